// How much a single call may allocate for results that grow exponentially
// with its input (matrix paths, clause sets): half the memory that is free
// when the call starts (never more than half the machine's). Beyond it the call raises MemoryError up front instead of leaving
// the process to the kernel's out-of-memory killer, which overcommitting
// allocators would otherwise do long before std::bad_alloc.
#pragma once

#include <sys/sysinfo.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <new>

namespace quorvel {

// One sysinfo() call gives both the machine's memory and the free memory
// (what sysconf's _SC_PHYS_PAGES and _SC_AVPHYS_PAGES each ask it for).
inline size_t read_memory_budget() {
    struct sysinfo info;
    long page = sysconf(_SC_PAGE_SIZE);
    if (sysinfo(&info) != 0 || page <= 0) return SIZE_MAX / 4;
    uint64_t unit = info.mem_unit ? info.mem_unit : 1;
    uint64_t pages = static_cast<uint64_t>(info.totalram) * unit / static_cast<uint64_t>(page);
    uint64_t free_pages = static_cast<uint64_t>(info.freeram) * unit / static_cast<uint64_t>(page);
    if (pages == 0) return SIZE_MAX / 4;
    if (free_pages == 0 || free_pages > pages) free_pages = pages;
    return static_cast<size_t>(free_pages) / 2 * static_cast<size_t>(page);
}

// sysinfo() costs about a microsecond, as much as a whole small call, so one
// reading serves every call of the next few milliseconds: free memory does
// not move much faster than that, and the budget is a coarse guard anyway.
inline size_t memory_budget() {
    using Clock = std::chrono::steady_clock;
    constexpr int64_t kFresh = std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(5)).count();
    static std::atomic<int64_t> read_at{INT64_MIN};
    static std::atomic<size_t> budget{0};
    int64_t now = Clock::now().time_since_epoch().count();
    int64_t then = read_at.load(std::memory_order_acquire);
    if (then != INT64_MIN && now - then < kFresh) return budget.load(std::memory_order_relaxed);
    size_t fresh = read_memory_budget();
    budget.store(fresh, std::memory_order_relaxed);
    read_at.store(now, std::memory_order_release);
    return fresh;
}

// a * b + c, or std::bad_alloc when that exceeds `limit`.
inline size_t checked_size(size_t a, size_t b, size_t c, size_t limit) {
    if (b != 0 && a > (limit - (c < limit ? c : limit)) / b) throw std::bad_alloc();
    size_t r = a * b + c;
    if (r > limit) throw std::bad_alloc();
    return r;
}

}  // namespace quorvel
