// libFuzzer target: any text as an accounts file.  Whatever it takes must
// keep the promises of Accounts.h, and whatever it refuses names a line.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <string_view>

#include "access/Accounts.h"
#include "base/PasswordHash.h"
#include "base/Rights.h"

namespace {

void require(bool condition) {
    if (!condition) abort();
}

void checkAccount(const osprel::AccountTable &table, const osprel::Account &account) {
    require(!account.name.empty() && account.name.size() <= 64 && account.name != "ftp");
    for (char c : account.name) require(c > ' ' && c <= '~' && c != ':');
    require(table.find(account.name) == &account);
    std::string reason;
    require(account.hash.empty() == (account.name == "anonymous"));
    require(account.hash.empty() || osprel::acceptableHash(account.hash, &reason));
    require(!account.home.empty() && account.home[0] == '/');
    require(account.home.find("/../") == std::string::npos && account.home.find("//") == std::string::npos);
    require(account.home.size() < 3 || account.home.compare(account.home.size() - 3, 3, "/..") != 0);
    for (char c : account.home) require(static_cast<unsigned char>(c) >= ' ' && c != '\x7f');
    require((account.rights & ~osprel::kAllRights) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    osprel::AccountTable table;
    std::string error;
    if (!osprel::AccountTable::parse(text, "users", &table, &error)) {
        require(error.rfind("users line ", 0) == 0);
        return 0;
    }
    require(!table.decoyHash().empty());
    // Every account line is found again by its name.
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        size_t colon = line.find(':');
        if (colon != std::string_view::npos && line.find_first_not_of(" \t") != std::string_view::npos &&
            line[line.find_first_not_of(" \t")] != '#') {
            const osprel::Account *account = table.find(line.substr(0, colon));
            require(account != nullptr);
            checkAccount(table, *account);
        }
        start = end + 1;
    }
    return 0;
}
