// A hash table from sequents, written as words (formula ids), to a 32-bit
// value: every entry's value and key lie end to end in one array (the value
// first, so a hit reads it from the cache line it compared), the slots in
// another, so an entry costs its key, one word and a 16-byte slot. Open
// addressing with linear probing; no erase, only `clear`. It includes no
// Python.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace quorvel::ljt {

class SequentTable {
public:
    // A key is one word followed by a run of words (a goal and the
    // antecedents, say), so that callers need not copy them together.
    static uint64_t hash(uint32_t head, std::span<const uint32_t> rest) {
        uint64_t h = step(0xCBF29CE484222325ull, head);
        for (uint32_t w : rest) h = step(h, w);
        return h;
    }

    // The value stored under the key (whose hash is `h`), or -1.
    int64_t find(uint32_t head, std::span<const uint32_t> rest, uint64_t h) const {
        if (used_ == 0) return -1;
        const size_t mask = slots_.size() - 1;
        for (size_t i = h & mask;; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (s.length == 0) return -1;
            if (matches(s, head, rest, h)) return words_[s.offset];
        }
    }

    // Stores `value` under the key unless it is there already; returns the
    // entry, whose value `set` may change later.
    uint32_t insert(uint32_t head, std::span<const uint32_t> rest, uint64_t h, uint32_t value) {
        if ((used_ + 1) * 2 > slots_.size()) grow();
        const size_t mask = slots_.size() - 1;
        size_t i = h & mask;
        for (; slots_[i].length != 0; i = (i + 1) & mask)
            if (matches(slots_[i], head, rest, h)) return slots_[i].offset;
        const uint32_t entry = static_cast<uint32_t>(words_.size());
        slots_[i] = Slot{h, entry, static_cast<uint32_t>(rest.size() + 1)};
        words_.push_back(value);
        words_.push_back(head);
        words_.insert(words_.end(), rest.begin(), rest.end());
        ++used_;
        return entry;
    }
    void set(uint32_t entry, uint32_t value) { words_[entry] = value; }

    void clear() {
        words_.clear();
        std::fill(slots_.begin(), slots_.end(), Slot{});
        used_ = 0;
    }

    size_t entries() const { return used_; }
    // Words held by the values and keys.
    size_t words() const { return words_.size(); }

private:
    struct Slot {
        uint64_t hash = 0;
        uint32_t offset = 0;  // of the value; the key follows it
        uint32_t length = 0;  // 0: empty (every key has at least one word)
    };

    static uint64_t step(uint64_t h, uint32_t w) {
        h ^= w;
        h *= 0x100000001B3ull;
        return h ^ (h >> 29);
    }

    bool matches(const Slot& s, uint32_t head, std::span<const uint32_t> rest, uint64_t h) const {
        return s.hash == h && s.length == rest.size() + 1 && words_[s.offset + 1] == head &&
               std::memcmp(&words_[s.offset + 2], rest.data(), rest.size() * sizeof(uint32_t)) == 0;
    }

    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{});
        const size_t mask = slots_.size() - 1;
        for (const Slot& o : old) {
            if (o.length == 0) continue;
            size_t i = o.hash & mask;
            while (slots_[i].length != 0) i = (i + 1) & mask;
            slots_[i] = o;
        }
    }

    std::vector<uint32_t> words_;
    std::vector<Slot> slots_;
    size_t used_ = 0;
};

}  // namespace quorvel::ljt
