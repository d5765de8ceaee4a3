// Password hashes in crypt(3) form, as `mkpasswd -m yescrypt` and `openssl
// passwd -6` make them, checked with libcrypt.  Only yescrypt ($y$), bcrypt
// ($2b$), SHA-512 crypt ($6$) and SHA-256 crypt ($5$) are taken: MD5 crypt,
// DES and the rest are too cheap to guess through, and $2a$ and $2y$ name
// bcrypt variants of uncertain lineage ($2y$ hashes work renamed to $2b$).
#pragma once

#include <string>
#include <string_view>

namespace osprel {

// Whether hash is one of the schemes taken, well formed; if not, why not in
// *reason.  Looks at the text only: no hashing is done.
bool acceptableHash(std::string_view hash, std::string *reason);

enum class PasswordCheck { kMatch, kMismatch, kUnusable };

// Hashes password with hash's scheme, cost and salt and compares the result
// with hash in constant time.  kUnusable: libcrypt refused the hash.  Takes
// the CPU for as long as the scheme's cost says (about 10 to 100 ms, and
// yescrypt's memory, 16 MiB by default): see PasswordGate.
PasswordCheck checkPassword(const std::string &password, const std::string &hash);

// Compares without stopping at the first difference, so timing tells nothing.
bool sameSecret(std::string_view given, std::string_view expected);

}  // namespace osprel
