// The commands that move data: each checks what it may, opens the file or
// the listing, answers 150 and hands the rest to a Transfer, whose outcome
// becomes the reply.  While a transfer runs the session's ControlWatch
// hears ABOR and STAT; other commands wait for the transfer's end.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include "files/PathResolver.h"
#include "files/UploadLimits.h"
#include "session/Session.h"
#include "transfer/UploadSink.h"

namespace osprel {

namespace {

// STOU's name when the client suggests none.
constexpr char kUniqueStem[] = "upload";

// ALLO's size: "ALLO bytes [R record-size]".  False for anything else.
bool allocationSize(const std::string &argument, unsigned long long *size) {
    size_t end = argument.find(' ');
    std::string digits = argument.substr(0, end);
    if (digits.empty() || digits.size() > 19 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *size = std::stoull(digits);
    return true;
}

}  // namespace

TransferSettings Session::transferSettings() {
    TransferSettings settings;
    settings.peer = peer_;
    settings.stallSeconds = config_.idleTimeoutSeconds;
    settings.connectSeconds = config_.passiveTimeoutSeconds;
    settings.rate = &rate_;
    settings.stop = context_.stop;
    settings.counters = context_.counters;
    if (protectsData()) {
        settings.tls = tls_.get();
        settings.binding = binding_.get();
    }
    return settings;
}

void Session::finishTransfer(TransferOutcome outcome, const char *doneText) {
    // A long transfer is activity: the idle time counts from its end.
    lastActivity_ = Clock::now();
    switch (outcome) {
    case TransferOutcome::kDone:
        control_.reply(226, doneText);
        break;
    case TransferOutcome::kAborted:
        control_.reply(426, "Connection closed; transfer aborted.");
        control_.reply(226, "Abort successful.");
        break;
    case TransferOutcome::kNoConnection:
        control_.reply(425, "Failed to establish connection.");
        break;
    case TransferOutcome::kNotResumed:
        control_.reply(522, "Data connection must resume the control connection's TLS session.");
        break;
    case TransferOutcome::kNetworkFailed:
        control_.reply(426, "Data connection failed; transfer aborted.");
        break;
    case TransferOutcome::kTimedOut:
        control_.reply(426, "Data connection timed out; transfer aborted.");
        break;
    case TransferOutcome::kLocalFailed:
        control_.reply(451, "Local file error; transfer aborted.");
        break;
    case TransferOutcome::kNoSpace:
    case TransferOutcome::kTooBig:
        replyStorageRefusal(outcome);
        break;
    case TransferOutcome::kControlLost:
        closing_ = true;
        break;
    case TransferOutcome::kStopped:
        control_.reply(426, "Server shutting down; transfer aborted.");
        break;
    }
}

// A download or upload: its line in the transfer log, its counters and its
// event (an upload's once its file is stored or discarded), then its reply,
// so a client that has its 226 finds the line and the event.
void Session::finishFileTransfer(const Transfer &transfer, TransferOutcome outcome, const std::string &path,
                                 TransferDirection direction) {
    bool complete = outcome == TransferOutcome::kDone;
    bool upload = direction == TransferDirection::kIncoming;
    logTransfer(path, direction, transfer.moved(), transfer.took(), complete);
    if (ServerCounters *counters = context_.counters) {
        if (upload)
            count(complete ? counters->uploadsComplete : counters->uploadsCut);
        else
            count(complete ? counters->downloadsComplete : counters->downloadsCut);
    }
    tell(upload ? EventType::kUpload : EventType::kDownload, complete, path,
         static_cast<unsigned long long>(transfer.moved()));
    finishTransfer(outcome, "Transfer complete.");
}

// The user is the name given at login: for anonymous sessions too, never
// the password, which the tradition has there but which may be a real one.
void Session::logTransfer(const std::string &path, TransferDirection direction, long long bytes,
                          Clock::duration took, bool complete) {
    if (context_.transferLog == nullptr) return;
    TransferRecord record;
    record.finished = time(nullptr);
    record.took = took;
    record.remoteHost = hostText(peer_);
    record.bytes = bytes;
    record.path = path;
    record.binary = binary_;
    record.direction = direction;
    record.anonymous = anonymous_;
    record.user = user_;
    record.complete = complete;
    context_.transferLog->write(record);
}

// Streams the listing as a 213 reply on the control connection.
void Session::statListing(const std::string &argument) {
    ListingSource source(ListingSource::Kind::kLong, facts_, rights_);
    if (source.open(jail_, argument) != 0) {
        control_.reply(550, "Could not list.");
        return;
    }
    if (!control_.sendText("213-Status follows:\r\n")) return;
    std::string piece;
    for (TextSource::Next next = source.next(&piece); next != TextSource::Next::kEnd; next = source.next(&piece)) {
        if (next == TextSource::Next::kFailed) break;
        if (!control_.sendText(piece)) return;
    }
    control_.reply(213, "End of status");
}

void Session::sendListing(const std::string &argument, ListingSource::Kind kind) {
    if (!dataSetup_.channel().isSetUp()) {
        control_.reply(425, "Use PORT or PASV first.");
        return;
    }
    ListingSource source(kind, facts_, rights_);
    if (int refusal = source.open(jail_, argument); refusal != 0) {
        control_.reply(refusal, "Could not list that directory.");
        return;
    }
    control_.reply(150, "Here comes the directory listing.");
    Transfer transfer(dataSetup_.channel(), watch_, transferSettings());
    finishTransfer(transfer.sendText(source), "Directory send OK.");
}

void Session::cmdRetr(const std::string &argument) {
    std::string path;
    struct stat info;
    UniqueFd file(jail_.resolve(argument, &path) ? jail_.open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY) : -EINVAL);
    // Only regular files: a FIFO or device could hang or harm the session.
    if (file.get() < 0 || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        control_.reply(550, "Failed to open file.");
        return;
    }
    if (!dataSetup_.channel().isSetUp()) {
        control_.reply(425, "Use PORT or PASV first.");
        return;
    }
    control_.replyf(150, "Opening %s mode data connection for %s (%lld bytes).", binary_ ? "BINARY" : "ASCII",
                    listingName(leafName(path)).c_str(), static_cast<long long>(info.st_size));
    Transfer transfer(dataSetup_.channel(), watch_, transferSettings());
    finishFileTransfer(transfer, transfer.sendFile(file.get(), transferOffset_), path, TransferDirection::kOutgoing);
}

// REST n + STOR and APPE continue a file on purpose, so they write into it;
// any other STOR, unless atomic uploads are off, into a new file that
// replaces the old one only once complete.
void Session::store(const std::string &argument, bool append) {
    if (append)
        upload(argument, StoredFile::Mode::kInPlace, StoredFile::kAtEnd);
    else if (transferOffset_ > 0 || !config_.atomicUploads)
        upload(argument, StoredFile::Mode::kInPlace, transferOffset_);
    else
        upload(argument, StoredFile::Mode::kReplace, 0);
}

// STOU [name]: a new file in the current directory, named after the name
// given, never replacing one.
void Session::cmdStou(const std::string &argument) {
    if (argument.find('/') != std::string::npos || argument == "." || argument == "..") {
        control_.reply(553, "Could not create file.");
        return;
    }
    upload(argument.empty() ? kUniqueStem : argument, StoredFile::Mode::kUnique, 0);
}

void Session::upload(const std::string &argument, StoredFile::Mode mode, off_t offset) {
    std::string path;
    std::string leaf;
    UniqueFd parent(jail_.resolve(argument, &path) ? jail_.openParent(path, &leaf) : -EINVAL);
    if (parent.get() < 0) {
        // A missing directory is "not found", as for every other command.
        control_.reply(parent.get() == -ENOENT || parent.get() == -ENOTDIR ? 550 : 553, "Could not create file.");
        return;
    }
    // Checked before the file is opened, which may truncate it.
    if (!dataSetup_.channel().isSetUp()) {
        control_.reply(425, "Use PORT or PASV first.");
        return;
    }
    UploadSink sink(config_);
    if (int error = sink.open(parent.get(), leaf, mode, offset, uploadCreationFlags(rights_)); error != 0) {
        if (uploadRefusedByRights(error, rights_))
            control_.reply(550, "Permission denied.");
        else if (!replyStorageRefusal(storageFailure(error)))
            control_.reply(553, "Could not create file.");
        return;
    }
    if (mode == StoredFile::Mode::kUnique)
        control_.reply(150, "FILE: " + listingName(sink.uniqueName()));
    else
        control_.reply(150, "Ok to send data.");
    // STOU's file is logged under the name it got.
    if (mode == StoredFile::Mode::kUnique) path = path.substr(0, path.size() - leaf.size()) + sink.uniqueName();
    Transfer transfer(dataSetup_.channel(), watch_, transferSettings());
    finishFileTransfer(transfer, transfer.receiveFile(sink), path, TransferDirection::kIncoming);
}

// ALLO with a size the upload could not keep to is refused at once.
void Session::cmdAllo(const std::string &argument) {
    unsigned long long size = 0;
    UniqueFd directory(allocationSize(argument, &size) ? jail_.open(jail_.cwd(), O_PATH | O_DIRECTORY) : -EINVAL);
    int refused = directory.get() < 0 ? 0 : UploadLimits(config_, 0).checkStart(directory.get(), size);
    if (!replyStorageRefusal(storageFailure(refused))) control_.reply(202, "ALLO command ignored.");
}

// 452 for a full file system (or one at its reserve), 552 past the size
// cap; false for any other outcome, left to the caller.
bool Session::replyStorageRefusal(TransferOutcome outcome) {
    if (outcome == TransferOutcome::kNoSpace) control_.reply(452, "Insufficient storage space.");
    if (outcome == TransferOutcome::kTooBig) control_.reply(552, "Exceeded storage allocation.");
    return outcome == TransferOutcome::kNoSpace || outcome == TransferOutcome::kTooBig;
}

}  // namespace osprel
