// The accounts file (OSPREL_FTP_USERS_FILE): one account a line,
//     name:hash:home:rights
// with '#' comments and blank lines.  A name is 1 to 64 visible ASCII
// characters (no blank, no ':'), each name once; "ftp" is kept for anonymous
// logins.  The hash is a crypt(3) hash of a scheme PasswordHash.h takes;
// the account "anonymous" alone has none, and lets anonymous logins ("anonymous"
// or "ftp", any password) in with its home and rights.  The home is a
// directory below the served root ("/" or empty: all of it; no ".."), the
// rights any of the letters r, w and d (Rights.h).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace osprel {

struct Account {
    std::string name;
    std::string hash;  // empty for the anonymous account
    std::string home;  // a virtual path: "/" or "/dir/sub"
    unsigned rights = 0;
    int line = 0;      // in the file, for messages
};

class AccountTable {
public:
    // Parses the file's text.  On the first line it cannot use, returns
    // false with "PATH line N: why" in *error.
    static bool parse(std::string_view text, const std::string &path, AccountTable *table, std::string *error);

    // The account with exactly this name, or null.
    const Account *find(std::string_view name) const;
    // The account anonymous logins get, or null when they are refused.
    const Account *anonymous() const;
    // A hash of the scheme and cost the file's first account uses, for
    // names that have no account: checking their password costs the same.
    const std::string &decoyHash() const { return decoyHash_; }

private:
    std::vector<Account> accounts_;
    std::string decoyHash_;
};

// Reads and parses the accounts file at path.  Returns null with one line
// in *error, and errno set, when it cannot be read (its errno), when its
// group or others may write it or others may read it (EPERM), or when a
// line is unusable (EINVAL).
std::shared_ptr<const AccountTable> loadAccounts(const std::string &path, std::string *error);

// Whether user names an anonymous login.
bool isAnonymousName(std::string_view user);

}  // namespace osprel
