// Reading ahead for walks over trees of Python objects.
#pragma once

namespace quorvel {

// A tree is built children before parents, first child first, so a walk
// that goes last child first meets its nodes at falling addresses within
// each size of object. Fetching the memory a little below each node it meets
// brings in, ahead of time, the ones it meets soon after; a wrong guess costs
// a fetch and cannot fault.
inline constexpr int kPrefetchDistance = 512;

inline void prefetch_below(const void* node) {
    __builtin_prefetch(static_cast<const char*>(node) - kPrefetchDistance);
}

}  // namespace quorvel
