#include "access/Accounts.h"

#include <errno.h>
#include <sys/stat.h>

#include "base/PasswordHash.h"
#include "base/PrivateFile.h"
#include "base/Rights.h"
#include "files/PathResolver.h"

namespace osprel {

namespace {

constexpr size_t kMaxName = 64;
// yescrypt at mkpasswd's default cost, of a password nobody knows: the decoy
// for a file with no password account.
constexpr char kDefaultDecoy[] = "$y$j9T$tRuC4m6c0BfKw57594EUC/$4qt/jFl1PLt7hEaizY8PFplJVzJ3WMheUg25l4YWzMD";

bool validName(std::string_view name) {
    if (name.empty() || name.size() > kMaxName) return false;
    for (char c : name)
        if (c <= ' ' || c > '~') return false;
    return true;
}

bool homePath(std::string_view home, std::string *path, std::string *why) {
    for (char c : home) {
        if (static_cast<unsigned char>(c) < ' ' || c == '\x7f') {
            *why = "the home holds a control character";
            return false;
        }
    }
    std::string_view rest = home;
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        if (rest.substr(0, slash) == "..") {
            *why = "the home must not climb with \"..\"";
            return false;
        }
        rest.remove_prefix(slash == std::string_view::npos ? rest.size() : slash + 1);
    }
    return virtualPathFor("/", home, path);
}

bool parseRights(std::string_view letters, unsigned *rights) {
    *rights = 0;
    for (char c : letters) {
        unsigned right = c == 'r' ? kRead : c == 'w' ? kWrite : c == 'd' ? kDelete : 0u;
        if (right == 0 || (*rights & right) != 0) return false;
        *rights |= right;
    }
    return true;
}

bool splitFields(std::string_view line, std::string_view fields[4]) {
    for (int i = 0; i < 3; ++i) {
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) return false;
        fields[i] = line.substr(0, colon);
        line.remove_prefix(colon + 1);
    }
    fields[3] = line;
    return line.find(':') == std::string_view::npos;
}

bool parseHash(std::string_view hash, const std::string &name, std::string *why) {
    bool anonymous = name == "anonymous";
    if (anonymous != hash.empty()) {
        *why = anonymous ? "the anonymous account takes no password hash (leave the field empty)"
                         : "no password hash for " + name;
        return false;
    }
    return hash.empty() || acceptableHash(hash, why);
}

bool parseLine(std::string_view line, Account *account, std::string *why) {
    std::string_view fields[4];
    if (!splitFields(line, fields)) {
        *why = "not name:hash:home:rights";
        return false;
    }
    if (!validName(fields[0])) {
        *why = "a name is 1 to 64 visible ASCII characters, without blanks";
        return false;
    }
    account->name = std::string(fields[0]);
    if (account->name == "ftp") {
        *why = "the name ftp is the anonymous login's: call that account anonymous";
        return false;
    }
    if (!parseHash(fields[1], account->name, why) || !homePath(fields[2], &account->home, why)) return false;
    if (!parseRights(fields[3], &account->rights)) {
        *why = "the rights are any of the letters r, w and d, each once";
        return false;
    }
    account->hash = std::string(fields[1]);
    return true;
}

bool ignored(std::string_view line) {
    size_t first = line.find_first_not_of(" \t");
    return first == std::string_view::npos || line[first] == '#';
}

}  // namespace

bool AccountTable::parse(std::string_view text, const std::string &path, AccountTable *table, std::string *error) {
    int number = 0;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (ignored(line)) continue;
        Account account;
        std::string why;
        if (parseLine(line, &account, &why)) {
            if (const Account *earlier = table->find(account.name))
                why = account.name + " is already on line " + std::to_string(earlier->line);
        }
        if (!why.empty()) {
            *error = path + " line " + std::to_string(number) + ": " + why;
            return false;
        }
        account.line = number;
        if (table->decoyHash_.empty() && !account.hash.empty()) table->decoyHash_ = account.hash;
        table->accounts_.push_back(std::move(account));
    }
    if (table->decoyHash_.empty()) table->decoyHash_ = kDefaultDecoy;
    return true;
}

const Account *AccountTable::find(std::string_view name) const {
    for (const Account &account : accounts_)
        if (account.name == name) return &account;
    return nullptr;
}

const Account *AccountTable::anonymous() const { return find("anonymous"); }

std::shared_ptr<const AccountTable> loadAccounts(const std::string &path, std::string *error) {
    PrivateFile file;
    std::string reason;
    if (!readPrivateFile(path, &file, &reason)) {
        *error = "cannot read the accounts file " + path + ": " + reason;
        errno = file.cause;
        return nullptr;
    }
    if ((file.mode & (S_IWGRP | S_IWOTH | S_IROTH)) != 0) {
        *error = "the accounts file " + path + " is open to others (mode " + modeText(file.mode) +
                 "): chmod 600 or 640 it";
        errno = EPERM;
        return nullptr;
    }
    auto table = std::make_shared<AccountTable>();
    if (!AccountTable::parse(file.bytes, path, table.get(), error)) {
        errno = EINVAL;
        return nullptr;
    }
    return table;
}

bool isAnonymousName(std::string_view user) { return user == "anonymous" || user == "ftp"; }

}  // namespace osprel
