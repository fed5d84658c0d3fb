// Polling for an interrupt by work done. A native search counts its inner
// units (unifier candidates, path elements, clause literals) with tick() and
// asks its caller every 4096 units whether to stop, so one expensive outer
// step still answers Ctrl-C promptly. Python-free: the caller hands in the
// test (the binding layer passes one that runs PyErr_CheckSignals).
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvel {

class Interrupt {
public:
    using Test = bool (*)(void*);

    Interrupt() = default;
    Interrupt(Test test, void* context) : test_(test), context_(context) {}

    // Counts `units` of work; true once the caller's test said stop (and from
    // then on).
    bool tick(size_t units = 1) {
        if (stopped_) return true;
        ticks_ += units;
        if (ticks_ >= kPeriod) {
            ticks_ = 0;
            if (test_ && test_(context_)) stopped_ = true;
        }
        return stopped_;
    }
    bool stopped() const { return stopped_; }

private:
    static constexpr uint64_t kPeriod = 4096;
    Test test_ = nullptr;
    void* context_ = nullptr;
    uint64_t ticks_ = 0;
    bool stopped_ = false;
};

}  // namespace quorvel
