// What a LIST, NLST, MLSD or STAT argument names (a directory, one file,
// or for NLST the names of a directory that a wildcard matches), read out
// as listing text a piece at a time.
#pragma once

#include <time.h>

#include <memory>
#include <string>

#include "files/Jail.h"
#include "files/Listing.h"
#include "net/DataConnection.h"
#include "transfer/Transfer.h"

namespace osprel {

class ListingSource final : public TextSource {
public:
    enum class Kind { kLong, kNames, kFacts };

    // rights (Rights.h) show in the facts' perm.
    ListingSource(Kind kind, const FactSelection &facts, unsigned rights)
        : kind_(kind), facts_(facts), rights_(rights) {}

    // Returns 0, or the reply code of a refusal: 550, or 501 for MLSD of a
    // file.  LIST and NLST options ("-la") are accepted and ignored.
    int open(const Jail &jail, const std::string &argument);

    Next next(std::string *piece) override;

private:
    void append(const ListEntry &entry, const std::string &prefix, std::string *text) const;

    Kind kind_;
    FactSelection facts_;
    unsigned rights_;
    time_t now_ = time(nullptr);
    UniqueFd directory_;
    std::unique_ptr<DirectoryReader> reader_;
    ListEntry single_;
    bool ended_ = false;
    std::string pattern_;  // NLST: the last component's wildcard
    std::string prefix_;   // NLST: the path shown before each name
};

}  // namespace osprel
