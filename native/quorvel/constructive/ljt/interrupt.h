// Polling for an interrupt by the work done rather than by steps: a step of
// the search or of the solver may cost one word or a pass over a hundred
// thousand, so a poll every so many steps can come seconds late. Callers
// spend units of work (about one word read or written each) and the
// callback runs once a slice of them is used up. It includes no Python.
#pragma once

#include <cstdint>

namespace quorvel::ljt {

class WorkPoll {
public:
    // About a millisecond of work between two polls.
    static constexpr uint64_t kSlice = uint64_t{1} << 18;

    WorkPoll(bool (*interrupted)(void*) = nullptr, void* context = nullptr)
        : interrupted_(interrupted), context_(context) {}

    // Adds `units` of work; false once the callback has reported an
    // interrupt (and from then on).
    bool spend(uint64_t units) {
        left_ -= static_cast<int64_t>(units);
        if (left_ > 0) return !stopped_;
        left_ = static_cast<int64_t>(kSlice);
        if (!stopped_ && interrupted_ && interrupted_(context_)) stopped_ = true;
        return !stopped_;
    }
    bool stopped() const { return stopped_; }
    // Forgets an interrupt already reported, for a new question.
    void reset() { stopped_ = false; }

private:
    bool (*interrupted_)(void*);
    void* context_;
    int64_t left_ = static_cast<int64_t>(kSlice);
    bool stopped_ = false;
};

}  // namespace quorvel::ljt
