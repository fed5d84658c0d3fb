// A hash table from sequents, written as words (formula ids), to a 31-bit
// value: the keys of all entries lie end to end in one array, the slots in
// another, so an entry costs its key and one small slot. Open addressing with
// linear probing; no erase, only `clear`. It includes no Python.
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
    static uint64_t hash(std::span<const uint32_t> key) {
        uint64_t h = 0xCBF29CE484222325ull;
        for (uint32_t w : key) {
            h ^= w;
            h *= 0x100000001B3ull;
            h ^= h >> 29;
        }
        return h;
    }

    // The value stored under `key` (whose hash is `h`), or -1.
    int64_t find(std::span<const uint32_t> key, uint64_t h) const {
        if (used_ == 0) return -1;
        const size_t mask = slots_.size() - 1;
        for (size_t i = h & mask;; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (s.length == 0) return -1;
            if (matches(s, key, h)) return s.value;
        }
    }

    // Stores `value` under `key` unless the key is there already.
    void insert(std::span<const uint32_t> key, uint64_t h, uint32_t value) {
        if ((used_ + 1) * 2 > slots_.size()) grow();
        const size_t mask = slots_.size() - 1;
        size_t i = h & mask;
        for (; slots_[i].length != 0; i = (i + 1) & mask)
            if (matches(slots_[i], key, h)) return;
        slots_[i] = Slot{h, static_cast<uint32_t>(keys_.size()), static_cast<uint32_t>(key.size()), value};
        keys_.insert(keys_.end(), key.begin(), key.end());
        ++used_;
    }

    void clear() {
        keys_.clear();
        std::fill(slots_.begin(), slots_.end(), Slot{});
        used_ = 0;
    }

    size_t entries() const { return used_; }
    size_t key_words() const { return keys_.size(); }
    // Bytes held, for callers that bound the table.
    size_t bytes() const { return keys_.capacity() * sizeof(uint32_t) + slots_.capacity() * sizeof(Slot); }

private:
    struct Slot {
        uint64_t hash = 0;
        uint32_t offset = 0;
        uint32_t length = 0;  // 0: empty (every key has at least one word)
        uint32_t value = 0;
    };

    bool matches(const Slot& s, std::span<const uint32_t> key, uint64_t h) const {
        return s.hash == h && s.length == key.size() &&
               std::memcmp(&keys_[s.offset], key.data(), key.size() * sizeof(uint32_t)) == 0;
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

    std::vector<uint32_t> keys_;
    std::vector<Slot> slots_;
    size_t used_ = 0;
};

}  // namespace quorvel::ljt
