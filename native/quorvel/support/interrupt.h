// Polling a long native loop for an interrupt by the work it has done.
//
// Counting steps is not enough: one step of a search may cost a handful of
// operations or a million, so "every 4096 steps" can mean microseconds or
// tens of seconds. A loop charges what it actually did instead, about one
// unit per elementary operation (a set insertion, a scanned word, a round of
// an inner loop); every kStride units the callback runs. The callback is the
// caller's (for Python, support/py/interrupt.h checks for signals), so this
// header stays free of Python.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvel {

class InterruptPoll {
public:
    // True asks the loop to stop.
    using Interrupted = bool (*)(void* context);

    // Units between two calls of the callback: at a few nanoseconds a unit,
    // a poll every few tens of microseconds, whose own cost is lost in it.
    static constexpr uint64_t kStride = uint64_t{1} << 12;

    // A null callback never stops the loop. A loop whose units are cheaper
    // than the default's may poll less often with a larger `stride`.
    explicit InterruptPoll(Interrupted interrupted = nullptr, void* context = nullptr,
                           uint64_t stride = kStride)
        : interrupted_(interrupted), context_(context), stride_(stride) {}

    // Charges `units` of work; false once the callback has asked to stop
    // (and on every call after that, so nested loops unwind alike).
    bool charge(uint64_t units = 1) {
        if (stopped_) return false;
        used_ += units;
        if (used_ < stride_) return true;
        used_ = 0;
        stopped_ = interrupted_ && interrupted_(context_);
        return !stopped_;
    }

    // Polls now, whatever has been charged.
    bool check() { return charge(stride_); }

    bool stopped() const { return stopped_; }
    // Forgets an interrupt already reported, for a new question.
    void reset() { stopped_ = false; }

private:
    Interrupted interrupted_;
    void* context_;
    uint64_t stride_;
    uint64_t used_ = 0;
    bool stopped_ = false;
};

// The same budget read the other way round, for loops written as
// `if (interrupt.tick(n)) stop;`: tick() is true once the callback has asked
// to stop.
class Interrupt : public InterruptPoll {
public:
    using Test = Interrupted;

    Interrupt() = default;
    Interrupt(Test test, void* context) : InterruptPoll(test, context) {}

    bool tick(uint64_t units = 1) { return !charge(units); }
};

}  // namespace quorvel
