// One data transfer, from the data connection's opening to its outcome: the
// passive or active connection (over TLS when data connections are
// protected, bound to the control connection's TLS session), the loops that
// move a file, a listing or an upload, the waits that keep watching the
// control connection for ABOR and for a lost client, and the stall deadline.
// It knows nothing of commands: the session checks and opens what a command
// needs, hands over a source or a sink, and turns the outcome into a reply.
//
// Where things are:
// - Bytes are counted in Transfer::counted() (Transfer.cpp), which every
//   loop calls after each piece it moved.  The pieces are sized by the
//   constants at the top of TransferMove.cpp, cut down by
//   Transfer::allowed() under a rate cap: it waits for the piece's time as
//   every wait here does, hearing the control connection, and the wait
//   counts as progress for the stall deadline.
// - An upload is finished or abandoned in UploadSink::finish() and
//   UploadSink::abandon() (UploadSink.cpp), which Transfer::receiveFile()
//   alone calls once the outcome is known: the file is published whole, or
//   discarded (one written in place keeps what arrived; StoredFile.h).  The upload's loops ask UploadSink::admit()
//   (the free-space reserve, the size cap) before each piece they write.
//
// Files: TransferLink.cpp opens and closes the data connection,
// TransferMove.cpp moves the bytes, Transfer.cpp waits and counts.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <memory>
#include <string>

#include "base/Clock.h"
#include "base/StopSignal.h"
#include "events/ServerEvents.h"
#include "net/DataConnection.h"
#include "net/NetAddress.h"
#include "tls/TlsStream.h"

namespace osprel {

class RateLimit;
class TlsContext;
class TlsSessionBinding;
class UploadSink;

enum class TransferOutcome {
    kDone,
    kAborted,       // ABOR
    kNoConnection,  // no data connection came
    kNotResumed,    // protected: none resumed the control connection's TLS session
    kNetworkFailed,
    kLocalFailed,   // the file or directory could not be read or written
    kNoSpace,       // the file system is full, or at its free-space reserve
    kTooBig,        // the upload passed the size cap
    kTimedOut,      // no progress within the idle time
    kControlLost,   // the client left: the session ends
    kStopped,       // cut by the server's stop, its drain over
};

// What an upload's errno means: kNoSpace for ENOSPC and EDQUOT (and the
// reserve), kTooBig for EFBIG (and the size cap), kDone for 0.
TransferOutcome storageFailure(int error);

// What a transfer needs of its session's control connection while it runs.
class TransferControl {
public:
    enum class Heard { kNothing, kAbort, kLost };

    // Takes in what the client has sent, without waiting: ABOR stops the
    // transfer, STAT is answered with `moved` (bytes so far), other commands
    // wait for the transfer's end.  kLost once the connection is gone.
    virtual Heard listen(long long moved) = 0;
    // Whether listen() has bytes to look at that polling would not show.
    virtual bool hasUnread() const = 0;
    virtual bool lost() const = 0;
    // What to poll for the client's next bytes; fd -1 while listen() is to
    // read nothing more (too many commands already wait).
    virtual pollfd pollEntry() const = 0;

protected:
    ~TransferControl() = default;
};

// Listings arrive in pieces of bounded size, so memory does not grow with
// the directory or wait on the client's speed.
class TextSource {
public:
    enum class Next { kPiece, kEnd, kFailed };
    // Replaces *piece with the next piece; kFailed when it cannot be read.
    virtual Next next(std::string *piece) = 0;

protected:
    ~TextSource() = default;
};

struct TransferSettings {
    SocketAddress peer;           // the only host data connections may come from
    int stallSeconds = 300;       // without progress, the transfer times out
    int connectSeconds = 30;      // for an active connection, or a protected one
    const TlsContext *tls = nullptr;        // both set: data connections protected
    TlsSessionBinding *binding = nullptr;
    RateLimit *rate = nullptr;    // the session's caps, or null for none
    // The server's stop (its cut ends the transfer) and counters, or null.
    const StopSignal *stop = nullptr;
    ServerCounters *counters = nullptr;
};

class Transfer {
public:
    // channel holds the PASV or PORT set-up, which the transfer uses up.
    Transfer(DataChannel &channel, TransferControl &control, const TransferSettings &settings);
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;

    // Each opens the data connection, moves the data and closes it: orderly
    // when everything went, with a reset otherwise.
    TransferOutcome sendFile(int fileFd, off_t offset);
    TransferOutcome sendText(TextSource &source);
    TransferOutcome receiveFile(UploadSink &sink);

    long long moved() const { return moved_; }
    // Since the transfer was made.
    Clock::duration took() const { return Clock::now() - started_; }

private:
    enum class Wait { kReady, kAborted, kTimedOut, kControlLost, kStopped };
    // The data connection, with its TLS stream when protected.
    struct DataLink {
        UniqueFd fd;
        std::unique_ptr<TlsStream> tls;
    };
    static constexpr size_t kMaxWatched = DataChannel::kMaxCandidates + 1;
    void countInto(std::atomic<unsigned long long> ServerCounters::*counter);

    // Transfer.cpp: waits that watch the control connection, and counting.
    Wait waitFor(int fd, short events, Clock::time_point deadline);
    Wait waitFor(const pollfd *fds, size_t count, Clock::time_point deadline);
    Wait controlNow();
    Wait controlAtTimes(Clock::time_point *nextLook);
    TlsWaiter waiter(Wait *stopped);
    size_t allowed(size_t wanted, Wait *stopped);
    void counted(size_t bytes);
    Clock::time_point stallDeadline() const;
    static TransferOutcome outcomeOf(Wait wait);
    static TransferOutcome outcomeOf(TlsResult result, Wait stopped);

    // TransferLink.cpp: the data connection.
    template <typename Move>
    TransferOutcome overDataLink(Move move);
    bool open(DataLink *link, TransferOutcome *failure);
    bool openProtected(DataLink *link, int activeFd, TransferOutcome *failure);
    TransferOutcome close(DataLink &link, TransferOutcome outcome);
    static TransferOutcome connectionFailure(Wait wait, bool refused);

    // TransferMove.cpp: the bytes.
    TransferOutcome sendText(DataLink &link, const std::string &text);
    TransferOutcome sendSome(int dataFd, const char *data, size_t *size);
    TransferOutcome sendFile(DataLink &link, int fileFd, off_t offset);
    TransferOutcome sendFileTls(TlsStream &tls, int fileFd, off_t offset);
    TransferOutcome receiveFile(DataLink &link, UploadSink &sink);
    TransferOutcome receiveFileTls(TlsStream &tls, UploadSink &sink);

    DataChannel &channel_;
    TransferControl &control_;
    TransferSettings settings_;
    long long moved_ = 0;
    std::atomic<unsigned long long> *movedCounter_ = nullptr;  // the server's, for this direction
    Clock::time_point started_;
    Clock::time_point lastProgress_;
};

}  // namespace osprel
