// The control connection while a transfer runs: ABOR stops it, STAT reports
// its progress, and any other command waits in a queue for the transfer's
// end.  Past kMaxWaiting queued commands the connection is left unread.
#pragma once

#include <deque>
#include <string>

#include "control/ControlChannel.h"
#include "transfer/Transfer.h"

namespace osprel {

class ControlWatch final : public TransferControl {
public:
    explicit ControlWatch(ControlChannel &control) : control_(control) {}

    Heard listen(long long moved) override;
    bool hasUnread() const override { return !full() && control_.hasBuffered(); }
    bool lost() const override { return control_.broken(); }
    pollfd pollEntry() const override { return {full() ? -1 : control_.fd(), control_.readEvents(), 0}; }

    // The oldest command that waited, false when none did.  *tooLong says
    // that its line was too long to keep.
    bool takeWaiting(std::string *line, bool *tooLong);
    // Lines sent in clear before TLS began are never run.
    void dropWaiting() { waiting_.clear(); }

private:
    struct WaitingLine {
        bool tooLong;
        std::string text;
    };
    static constexpr size_t kMaxWaiting = 16;
    bool full() const { return waiting_.size() >= kMaxWaiting; }

    ControlChannel &control_;
    std::deque<WaitingLine> waiting_;
};

}  // namespace osprel
