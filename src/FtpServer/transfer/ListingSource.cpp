#include "transfer/ListingSource.h"

#include <errno.h>
#include <fcntl.h>

#include "files/PathResolver.h"
#include "files/Wildcard.h"

namespace osprel {

namespace {

// Pieces of this size at most; one line (a name and a link target) is at
// most about kLongestListingLine.
constexpr size_t kListingPiece = size_t{64} << 10;
constexpr size_t kLongestListingLine = size_t{8} << 10;

// "-la name" -> "name".
std::string withoutOptions(const std::string &argument) {
    size_t position = 0;
    while (position < argument.size() && argument[position] == '-') {
        size_t space = argument.find(' ', position);
        if (space == std::string::npos) return std::string();
        position = argument.find_first_not_of(' ', space);
        if (position == std::string::npos) return std::string();
    }
    return argument.substr(position);
}

}  // namespace

int ListingSource::open(const Jail &jail, const std::string &argument) {
    std::string named = kind_ == Kind::kFacts ? argument : withoutOptions(argument);
    std::string path;
    if (!jail.resolve(named, &path)) return 550;
    directory_.reset(jail.open(path, O_RDONLY | O_DIRECTORY | O_NONBLOCK));
    if (directory_.get() >= 0) return 0;
    // A single file: MLSD lists directories only.
    if (directory_.get() == -ENOTDIR && jail.describe(path, &single_)) {
        single_.name = named;
        return kind_ == Kind::kFacts ? 501 : 0;
    }
    // NLST dir/*.txt: the names of dir that the last component matches.
    std::string leaf = leafName(path);
    if (kind_ != Kind::kNames || !hasWildcard(leaf) || leaf.size() > kMaxWildcardPattern) return 550;
    directory_.reset(jail.open(path.substr(0, path.size() - leaf.size()), O_RDONLY | O_DIRECTORY | O_NONBLOCK));
    if (directory_.get() < 0) return 550;
    pattern_ = leaf;
    prefix_ = named.substr(0, named.rfind('/') + 1);
    return 0;
}

void ListingSource::append(const ListEntry &entry, const std::string &prefix, std::string *text) const {
    if (kind_ == Kind::kLong) {
        *text += listLine(entry, now_);
        return;
    }
    if (kind_ == Kind::kFacts) *text += mlsxFacts(entry, facts_, rights_);
    *text += listingName(prefix + entry.name);
    *text += "\r\n";
}

TextSource::Next ListingSource::next(std::string *piece) {
    piece->clear();
    if (ended_) return Next::kEnd;
    if (directory_.get() < 0) {
        append(single_, std::string(), piece);
        ended_ = true;
        return Next::kPiece;
    }
    if (reader_ == nullptr) {
        reader_ = std::make_unique<DirectoryReader>(directory_.get(), pattern_);
        if (!reader_->isOpen()) return Next::kFailed;
        piece->reserve(kListingPiece);
    }
    ListEntry entry;
    while (reader_->next(&entry)) {
        append(entry, prefix_, piece);
        if (piece->size() >= kListingPiece - kLongestListingLine) return Next::kPiece;
    }
    if (reader_->failed()) return Next::kFailed;
    ended_ = true;
    return piece->empty() ? Next::kEnd : Next::kPiece;
}

}  // namespace osprel

