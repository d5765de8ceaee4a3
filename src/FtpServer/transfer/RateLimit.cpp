#include "transfer/RateLimit.h"

#include <stdint.h>

#include <algorithm>

namespace osprel {

namespace {

constexpr size_t kMinPiece = size_t{1} << 10;
constexpr size_t kMaxPiece = size_t{1} << 20;

// How far a schedule may fall behind and still catch up: a transfer that
// wakes a little late, or whose client was slow for a moment, loses nothing.
constexpr Clock::duration kSlack = RateLimit::kPieceTime;

// A piece lasts about kPieceTime at the rate, and at most a second.
size_t pieceSizeFor(long long rate) {
    auto perPiece = rate * std::chrono::duration_cast<std::chrono::milliseconds>(RateLimit::kPieceTime).count() / 1000;
    return static_cast<size_t>(
        std::clamp<long long>(perPiece, std::min<long long>(kMinPiece, rate), static_cast<long long>(kMaxPiece)));
}

}  // namespace

Clock::duration RateSchedule::timeFor(size_t bytes) const {
    // At most kMaxPiece * 1e9 or so: no overflow in 64 bits.
    auto nanoseconds = (static_cast<long long>(bytes) * 1000000000LL + rate_ - 1) / rate_;
    return std::chrono::ceil<Clock::duration>(std::chrono::nanoseconds(nanoseconds));
}

Clock::time_point RateSchedule::book(size_t bytes, Clock::time_point now, Clock::duration slack) {
    due_ = std::max(due_, now - slack) + timeFor(bytes);
    return due_;
}

Clock::time_point TotalRate::book(size_t bytes, Clock::time_point now, Clock::duration slack) {
    std::lock_guard<std::mutex> lock(mutex_);
    return schedule_.book(bytes, now, slack);
}

void TotalRate::cancel(size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    schedule_.cancel(bytes);
}

RateLimit::RateLimit(long long sessionRate, TotalRate *total)
    : sessionRate_(sessionRate),
      total_(total != nullptr && total->bytesPerSecond() > 0 ? total : nullptr),
      own_(sessionRate) {
    long long lower = sessionRate_;
    if (total_ != nullptr && (lower == 0 || total_->bytesPerSecond() < lower)) lower = total_->bytesPerSecond();
    pieceSize_ = lower > 0 ? pieceSizeFor(lower) : 0;
}

void RateLimit::begin(Clock::time_point now) {
    if (sessionRate_ > 0) own_.restartAt(now);
}

// A new piece is booked on both caps at once and may go when both allow.
size_t RateLimit::allowance(Clock::time_point now, Clock::time_point *readyAt) {
    if (!capped()) return SIZE_MAX;
    if (granted_ == 0) {
        granted_ = pieceSize_;
        grantedAt_ = Clock::time_point::min();
        if (sessionRate_ > 0) grantedAt_ = own_.book(granted_, now, kSlack);
        if (total_ != nullptr) grantedAt_ = std::max(grantedAt_, total_->book(granted_, now, kSlack));
    }
    if (grantedAt_ <= now) return granted_;
    *readyAt = grantedAt_;
    return 0;
}

void RateLimit::moved(size_t bytes) { granted_ -= std::min(bytes, granted_); }

void RateLimit::end() {
    if (granted_ == 0) return;
    if (sessionRate_ > 0) own_.cancel(granted_);
    if (total_ != nullptr) total_->cancel(granted_);
    granted_ = 0;
}

}  // namespace osprel
