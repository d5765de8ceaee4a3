#include "base/PasswordHash.h"

#include <crypt.h>
#include <string.h>

#include <algorithm>
#include <memory>

namespace osprel {

namespace {

constexpr std::string_view kHashAlphabet = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr char kSchemesTaken[] = "use yescrypt ($y$), bcrypt ($2b$), SHA-512 ($6$) or SHA-256 ($5$) crypt";

bool inAlphabet(std::string_view text) {
    return !text.empty() && text.find_first_not_of(kHashAlphabet) == std::string_view::npos;
}

// Splits "a$b$c" at its first '$' into *head and the rest.
bool cutAtDollar(std::string_view *text, std::string_view *head) {
    size_t dollar = text->find('$');
    if (dollar == std::string_view::npos) return false;
    *head = text->substr(0, dollar);
    text->remove_prefix(dollar + 1);
    return true;
}

// Every digit, value from low to high.
bool numberIn(std::string_view digits, long low, long high) {
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    long value = std::stol(std::string(digits));
    return value >= low && value <= high;
}

// params$salt$checksum, after "$y$".
bool wellFormedYescrypt(std::string_view rest) {
    std::string_view params;
    std::string_view salt;
    return cutAtDollar(&rest, &params) && cutAtDollar(&rest, &salt) && inAlphabet(params) && inAlphabet(salt) &&
           rest.size() == 43 && inAlphabet(rest);
}

// cost$ then 22 characters of salt and 31 of checksum, after "$2b$".
bool wellFormedBcrypt(std::string_view rest) {
    std::string_view cost;
    return cutAtDollar(&rest, &cost) && cost.size() == 2 && numberIn(cost, 4, 31) && rest.size() == 53 &&
           inAlphabet(rest);
}

// [rounds=N$]salt$checksum, after "$5$" or "$6$".
bool wellFormedShaCrypt(std::string_view rest, size_t checksumLength) {
    std::string_view salt;
    if (rest.substr(0, 7) == "rounds=") {
        std::string_view rounds;
        rest.remove_prefix(7);
        if (!cutAtDollar(&rest, &rounds) || !numberIn(rounds, 1000, 999999999)) return false;
    }
    return cutAtDollar(&rest, &salt) && salt.size() <= 16 && inAlphabet(salt) && rest.size() == checksumLength &&
           inAlphabet(rest);
}

// libcrypt's own look at the setting.  It calls SHA-256 crypt legacy, which
// is still taken here; disabled or invalid is not.
bool libcryptTakes(std::string_view hash) {
    int verdict = crypt_checksalt(std::string(hash).c_str());
    return verdict == CRYPT_SALT_OK || verdict == CRYPT_SALT_METHOD_LEGACY;
}

struct Scheme {
    std::string_view prefix;
    const char *name;
    bool (*wellFormed)(std::string_view rest);
};

const Scheme kSchemes[] = {
    {"$y$", "yescrypt", wellFormedYescrypt},
    {"$2b$", "bcrypt", wellFormedBcrypt},
    {"$6$", "SHA-512 crypt", [](std::string_view rest) { return wellFormedShaCrypt(rest, 86); }},
    {"$5$", "SHA-256 crypt", [](std::string_view rest) { return wellFormedShaCrypt(rest, 43); }},
};

}  // namespace

bool acceptableHash(std::string_view hash, std::string *reason) {
    for (const Scheme &scheme : kSchemes) {
        if (hash.substr(0, scheme.prefix.size()) != scheme.prefix) continue;
        if (scheme.wellFormed(hash.substr(scheme.prefix.size())) && libcryptTakes(hash)) return true;
        *reason = std::string("not a well-formed ") + scheme.name + " hash";
        return false;
    }
    size_t idEnd = hash.size() > 1 && hash[0] == '$' ? hash.find('$', 1) : std::string_view::npos;
    if (idEnd == std::string_view::npos || idEnd > 8)
        *reason = std::string("DES and other hashes without a $id$ are refused: ") + kSchemesTaken;
    else
        *reason = std::string(hash.substr(0, idEnd + 1)) + " hashes are refused: " + kSchemesTaken;
    return false;
}

PasswordCheck checkPassword(const std::string &password, const std::string &hash) {
    // About 32 KiB: on the heap, not on a session thread's stack.
    auto work = std::make_unique<crypt_data>();
    const char *hashed = crypt_rn(password.c_str(), hash.c_str(), work.get(), sizeof *work);
    PasswordCheck result = hashed == nullptr         ? PasswordCheck::kUnusable
                           : sameSecret(hashed, hash) ? PasswordCheck::kMatch
                                                      : PasswordCheck::kMismatch;
    // What is left of the password's processing goes with it.
    explicit_bzero(work.get(), sizeof *work);
    return result;
}

bool sameSecret(std::string_view given, std::string_view expected) {
    size_t length = std::max(given.size(), expected.size());
    unsigned difference = given.size() == expected.size() ? 0 : 1;
    for (size_t i = 0; i < length; ++i) {
        unsigned char a = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        unsigned char b = i < expected.size() ? static_cast<unsigned char>(expected[i]) : 0;
        difference |= a ^ b;
    }
    return difference == 0;
}

}  // namespace osprel
