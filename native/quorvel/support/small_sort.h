// A stable sort for the short ranges sorted once per search level or per
// clause: std::stable_sort takes a temporary buffer from the heap at every
// call, which costs more than sorting a handful of items.
#pragma once

#include <algorithm>
#include <iterator>
#include <utility>

namespace quorvel {

// Stable, like std::stable_sort; insertion sort up to kSmallSort items.
inline constexpr std::ptrdiff_t kSmallSort = 24;

template <class It, class Less>
void stable_sort_small(It first, It last, Less less) {
    if (last - first > kSmallSort) {
        std::stable_sort(first, last, less);
        return;
    }
    for (It i = first; i != last; ++i) {
        auto item = std::move(*i);
        It j = i;
        for (; j != first && less(item, *std::prev(j)); --j) *j = std::move(*std::prev(j));
        *j = std::move(item);
    }
}

}  // namespace quorvel
