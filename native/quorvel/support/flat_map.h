// A small open-addressing hash map for the hot per-call tables of the tree
// walks and provers (memo by object identity, interned keys): one flat array,
// linear probing, no allocation per entry. Keys are trivially copyable; one
// key value is reserved to mark empty slots. No erase.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace quorvel {

inline uint64_t mix64(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ull;
    x ^= x >> 33;
    return x;
}

template <class Key, class Value, class Hash>
class FlatMap {
public:
    explicit FlatMap(Key empty) : empty_(empty) {}

    // The value under `key`, or nullptr.
    Value* find(const Key& key) { return const_cast<Value*>(std::as_const(*this).find(key)); }
    const Value* find(const Key& key) const {
        if (slots_.empty()) return nullptr;
        size_t mask = slots_.size() - 1;
        for (size_t i = Hash{}(key) & mask;; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (s.key == key) return &s.value;
            if (s.key == empty_) return nullptr;
        }
    }

    // Inserts when absent; returns the stored value and whether it is new.
    std::pair<Value*, bool> insert(const Key& key, const Value& value) {
        if ((size_ + 1) * 4 > slots_.size() * 3) grow();
        size_t mask = slots_.size() - 1;
        for (size_t i = Hash{}(key) & mask;; i = (i + 1) & mask) {
            Slot& s = slots_[i];
            if (s.key == key) return {&s.value, false};
            if (s.key == empty_) {
                s.key = key;
                s.value = value;
                ++size_;
                return {&s.value, true};
            }
        }
    }

    size_t size() const { return size_; }

    // Room for `n` entries in all without growing.
    void reserve(size_t n) {
        size_t want = 16;
        while (want * 3 < (n + 1) * 4) want *= 2;
        if (want > slots_.size()) rehash(want);
    }

    template <class F>
    void for_each(F f) {
        for (Slot& s : slots_)
            if (!(s.key == empty_)) f(s.key, s.value);
    }

private:
    struct Slot {
        Key key;
        Value value;
    };

    void grow() { rehash(slots_.empty() ? 16 : slots_.size() * 2); }

    void rehash(size_t slots) {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(slots, Slot{empty_, Value{}});
        size_ = 0;
        for (Slot& s : old)
            if (!(s.key == empty_)) insert(s.key, s.value);
    }

    Key empty_;
    std::vector<Slot> slots_;
    size_t size_ = 0;
};

struct PointerHash {
    size_t operator()(const void* p) const { return static_cast<size_t>(mix64(reinterpret_cast<uintptr_t>(p))); }
    size_t operator()(uintptr_t p) const { return static_cast<size_t>(mix64(p)); }
};

// Identity set/map keyed by object address.
template <class Value>
class IdentityMap : public FlatMap<const void*, Value, PointerHash> {
public:
    IdentityMap() : FlatMap<const void*, Value, PointerHash>(nullptr) {}
    explicit IdentityMap(const void* empty) : FlatMap<const void*, Value, PointerHash>(empty) {}
};

// Object address -> small number (an index into a table of the caller's).
class AddressIndex {
public:
    static constexpr uint32_t kMissing = UINT32_MAX;

    uint32_t find(const void* key) const {
        const uint32_t* v = map_.find(key);
        return v ? *v : kMissing;
    }
    // Inserts `key`, which must be absent.
    void insert(const void* key, uint32_t value) { map_.insert(key, value); }

private:
    IdentityMap<uint32_t> map_;
};

}  // namespace quorvel
