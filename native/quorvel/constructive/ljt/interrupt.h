// The LJT search, solver and walks poll for an interrupt by the work done,
// charging about one unit per word read or written: a step of the search or
// of the solver may cost one word or a pass over a hundred thousand.
#pragma once

#include <cstdint>

#include "quorvel/support/interrupt.h"

namespace quorvel::ljt {

class WorkPoll : public InterruptPoll {
public:
    // About a millisecond of work between two polls.
    static constexpr uint64_t kSlice = uint64_t{1} << 18;

    WorkPoll(Interrupted interrupted = nullptr, void* context = nullptr)
        : InterruptPoll(interrupted, context, kSlice) {}

    // Adds `units` of work; false once the callback has reported an
    // interrupt (and from then on).
    bool spend(uint64_t units) { return charge(units); }
};

}  // namespace quorvel::ljt
