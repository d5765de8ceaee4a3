// The accounts file's lines, the password hashes taken and refused, the gate
// in front of hashing, and the reload of a changed file.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>

#include "access/Accounts.h"
#include "access/PasswordGate.h"
#include "base/PasswordHash.h"
#include "base/Renewal.h"
#include "base/Rights.h"
#include "capture.h"

using namespace osprel;

namespace {

// Each of "secret", made by mkpasswd and openssl passwd.
const char *const kSecretHashes[] = {
    "$y$j9T$Y5HN1W/gusCM5Q3Z82/nm0$B3D06j8RwQ7Fwd5mGiHS86D1UqFIm1IScJM6AKynEY6",
    "$2b$05$qRhID60Y44IGa8e20OjSgOG.V7PfuUdyo0jVcAXGZ6mxqtzrMTXqK",
    "$6$rounds=6000$u/2j2N6Lr0NVGPbB$jwe8ceNNgHQaDM0EpfydskyXCeEnVx8wqLDQwMIG7SS1NZH8MezB/KvWvEcBOYzoFNnIiWlU0vvf4jglJFuY6.",
    "$6$abcdefgh$ltjgWl6579NluT/Vi1nwEvcil.G5Nbc4NiXZaNGStk8PSwGfQv72N2CKPPrVACtLtip/cZ/1GM/O6IND4WQhG.",
    "$5$G5NRhIfxAA2mjWRm$7RmL6NtrrjuyusXCeVRiuIjJmnVo3eTCb49DfjnUtR7",
};
const std::string kHash = kSecretHashes[0];

std::string parseError(const std::string &text) {
    AccountTable table;
    std::string error;
    EXPECT_FALSE(AccountTable::parse(text, "/etc/users", &table, &error)) << text;
    return error;
}

void writeFile(const std::string &path, const std::string &text, mode_t mode) {
    FILE *file = fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    fputs(text.c_str(), file);
    fclose(file);
    chmod(path.c_str(), mode);
}

}  // namespace

TEST(AccountsFile, LinesCommentsHomesAndRights) {
    AccountTable table;
    std::string error;
    std::string text = "# operators\n\n  \t\nalice:" + kHash + ":/:rwd\r\nbob:" + kSecretHashes[4] +
                       ":logs//2024/:r\n  # drop box\nanonymous::incoming:w\ncarol:" + kSecretHashes[1] + "::";
    ASSERT_TRUE(AccountTable::parse(text, "/etc/users", &table, &error)) << error;
    const Account *bob = table.find("bob");
    ASSERT_NE(bob, nullptr);
    EXPECT_EQ(bob->home, "/logs/2024");
    EXPECT_EQ(bob->rights, unsigned{kRead});
    EXPECT_EQ(bob->line, 5);
    EXPECT_EQ(table.find("alice")->rights, kAllRights);
    EXPECT_EQ(table.find("alice")->hash, kHash);  // the CR is not part of the line
    EXPECT_EQ(table.find("carol")->home, "/");
    EXPECT_EQ(table.find("carol")->rights, 0u);
    ASSERT_NE(table.anonymous(), nullptr);
    EXPECT_EQ(table.anonymous()->home, "/incoming");
    EXPECT_EQ(table.find("Alice"), nullptr);
    EXPECT_EQ(table.decoyHash(), kHash);
    AccountTable none;
    ASSERT_TRUE(AccountTable::parse("anonymous:::r\n", "/etc/users", &none, &error));
    EXPECT_EQ(none.decoyHash().substr(0, 7), "$y$j9T$");
}

TEST(AccountsFile, UnusableLinesAreNamed) {
    const std::string h = kHash;
    const std::pair<std::string, std::string> refusals[] = {
        {"alice:" + h + ":/", "line 1: not name:hash:home:rights"},
        {"alice:" + h + ":/:r:x", "line 1: not name:hash:home:rights"},
        {"\nal ice:" + h + ":/:r", "line 2: a name is 1 to 64 visible ASCII characters, without blanks"},
        {":" + h + ":/:r", "line 1: a name is 1 to 64 visible ASCII characters, without blanks"},
        {std::string(65, 'a') + ":" + h + ":/:r", "line 1: a name is 1 to 64 visible ASCII characters, without blanks"},
        {"\xc3\xa9:" + h + ":/:r", "line 1: a name is 1 to 64 visible ASCII characters, without blanks"},
        {"ftp::/:r", "line 1: the name ftp is the anonymous login's: call that account anonymous"},
        {"anonymous:" + h + ":/:r", "line 1: the anonymous account takes no password hash (leave the field empty)"},
        {"alice::/:r", "line 1: no password hash for alice"},
        {"alice:" + h + ":/:r\n#\nalice:" + h + ":/x:r", "line 3: alice is already on line 1"},
        {"alice:" + h + ":a/../../etc:r", "line 1: the home must not climb with \"..\""},
        {"alice:" + h + ":a\tb:r", "line 1: the home holds a control character"},
        {"alice:" + h + ":/:rx", "line 1: the rights are any of the letters r, w and d, each once"},
        {"alice:" + h + ":/:rr", "line 1: the rights are any of the letters r, w and d, each once"},
        {"alice:" + h + ":/:R", "line 1: the rights are any of the letters r, w and d, each once"},
        {"alice:$1$i.VBmZkF$snCz0efnHuiDBhftuQCNW0:/:r",
         "line 1: $1$ hashes are refused: use yescrypt ($y$), bcrypt ($2b$), SHA-512 ($6$) or SHA-256 ($5$) crypt"},
    };
    for (const auto &[text, why] : refusals) EXPECT_EQ(parseError(text), "/etc/users " + why) << text;
}

TEST(PasswordHashes, SchemesTakenAndRefused) {
    for (const char *hash : kSecretHashes) {
        std::string reason;
        EXPECT_TRUE(acceptableHash(hash, &reason)) << hash << ": " << reason;
        EXPECT_EQ(checkPassword("secret", hash), PasswordCheck::kMatch) << hash;
        EXPECT_EQ(checkPassword("Secret", hash), PasswordCheck::kMismatch) << hash;
    }
    const std::string taken = "use yescrypt ($y$), bcrypt ($2b$), SHA-512 ($6$) or SHA-256 ($5$) crypt";
    const std::pair<std::string, std::string> refusals[] = {
        {"abNANd1rDfiNc", "DES and other hashes without a $id$ are refused: " + taken},
        {"_J9..abcdBa5pB0e6vL.", "DES and other hashes without a $id$ are refused: " + taken},
        {"$2a$05$qRhID60Y44IGa8e20OjSgOG.V7PfuUdyo0jVcAXGZ6mxqtzrMTXqK", "$2a$ hashes are refused: " + taken},
        {"$2y$05$qRhID60Y44IGa8e20OjSgOG.V7PfuUdyo0jVcAXGZ6mxqtzrMTXqK", "$2y$ hashes are refused: " + taken},
        {"$7$CU..../....abc$def", "$7$ hashes are refused: " + taken},
        // Cut short when copied, or with a cost libcrypt would refuse.
        {kHash.substr(0, kHash.size() - 1), "not a well-formed yescrypt hash"},
        {"$y$j9T$Y5HN1W/gusCM5Q3Z82/nm0", "not a well-formed yescrypt hash"},
        {"$2b$99$qRhID60Y44IGa8e20OjSgOG.V7PfuUdyo0jVcAXGZ6mxqtzrMTXqK", "not a well-formed bcrypt hash"},
        {"$2b$05$qRhID60Y44IGa8e20OjSgOG.V7PfuUdyo0jVcAXGZ6mxqtzrMTXq", "not a well-formed bcrypt hash"},
        {"$6$rounds=10$abcdefgh$" + std::string(86, 'a'), "not a well-formed SHA-512 crypt hash"},
        {"$5$G5NRhIfxAA2mjWRm$7RmL6Ntr!juyusXCeVRiuIjJmnVo3eTCb49DfjnUtR7", "not a well-formed SHA-256 crypt hash"},
    };
    for (const auto &[hash, why] : refusals) {
        std::string reason;
        EXPECT_FALSE(acceptableHash(hash, &reason)) << hash;
        EXPECT_EQ(reason, why) << hash;
    }
}

TEST(AccountsFile, LoadRefusesAFileOthersMayReadOrAnyoneElseWrite) {
    char dir[] = "/tmp/osprel-accounts-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/users";
    for (mode_t mode : {0644, 0620, 0602}) {
        writeFile(path, "anonymous:::r\n", mode);
        std::string error;
        EXPECT_EQ(loadAccounts(path, &error), nullptr);
        EXPECT_EQ(errno, EPERM);
        char octal[8];
        snprintf(octal, sizeof octal, "%04o", mode);
        EXPECT_EQ(error, "the accounts file " + path + " is open to others (mode " + octal + "): chmod 600 or 640 it");
    }
    writeFile(path, "anonymous:::r\n", 0640);
    std::string error;
    EXPECT_NE(loadAccounts(path, &error), nullptr) << error;
    unlink(path.c_str());
    EXPECT_EQ(loadAccounts(path, &error), nullptr);
    EXPECT_EQ(error, "cannot read the accounts file " + path + ": No such file or directory");
    rmdir(dir);
}

TEST(PasswordGate, TwoAtOnceAndTheRestWaitWithinTheirDeadline) {
    PasswordGate gate;
    auto farOff = Clock::now() + std::chrono::hours(1);
    ASSERT_TRUE(gate.enter(farOff));
    ASSERT_TRUE(gate.enter(farOff));
    EXPECT_FALSE(gate.enter(Clock::now() + std::chrono::milliseconds(20)));
    std::atomic<bool> admitted{false};
    std::thread waiter([&] {
        admitted = gate.enter(farOff);
        gate.leave();
    });
    gate.leave();  // the waiter's turn
    waiter.join();
    EXPECT_TRUE(admitted);
    // One left running: one more may go, not two.
    EXPECT_TRUE(gate.enter(farOff));
    EXPECT_FALSE(gate.enter(Clock::now()));
}

TEST(Renewal, AChangedFileIsLoadedAgainAtMostOnceASecondAndAFailedLoadKeepsTheOld) {
    char dir[] = "/tmp/osprel-renewal-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/value";
    writeFile(path, "1", 0600);
    Renewable<std::string> value({path}, "values", [path](std::string *error) -> std::shared_ptr<const std::string> {
        std::ifstream file(path);
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (text != "bad") return std::make_shared<const std::string>(text);
        *error = path + ": bad";
        return nullptr;
    });
    std::string error;
    ASSERT_TRUE(value.loadFirst(&error));
    Clock::time_point start = Clock::now();
    CapturedFd err(2);
    EXPECT_EQ(*value.current(start), "1");
    writeFile(path, "22", 0600);
    std::shared_ptr<const std::string> held = value.current(start);
    EXPECT_EQ(*held, "1");  // looked at start, not again within the second
    EXPECT_EQ(*value.current(start + std::chrono::milliseconds(999)), "1");
    EXPECT_EQ(*value.current(start + std::chrono::seconds(1)), "22");
    EXPECT_EQ(*held, "1");  // what a caller holds stays as it was
    writeFile(path, "bad", 0600);
    EXPECT_EQ(*value.current(start + std::chrono::seconds(2)), "22");
    EXPECT_EQ(*value.current(start + std::chrono::seconds(3)), "22");
    EXPECT_EQ(err.take(), "osprel: reloaded the values from " + path + "\nosprel: " + path +
                              ": bad; the values loaded before stay in use\n");
    unlink(path.c_str());
    rmdir(dir);
}
