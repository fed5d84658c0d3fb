// A small open-addressing map from object addresses to numbers: the hot
// lookup of every model read and every forcing step, where a node-based
// std::unordered_map costs an allocation per entry. No Python here.
#pragma once

#include <cstdint>
#include <vector>

namespace quorvel::kripke {

class PtrMap {
public:
    static constexpr uint32_t kMissing = UINT32_MAX;

    PtrMap() : keys_(16, nullptr), values_(16, 0) {}

    uint32_t find(const void* key) const {
        for (size_t i = slot(key);; i = (i + 1) & mask()) {
            if (keys_[i] == key) return values_[i];
            if (!keys_[i]) return kMissing;
        }
    }

    // Inserts `key` (which must be absent).
    void insert(const void* key, uint32_t value) {
        if (2 * (size_ + 1) > keys_.size()) grow();
        place(key, value);
        ++size_;
    }

private:
    size_t mask() const { return keys_.size() - 1; }
    size_t slot(const void* key) const {
        auto h = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key)) * 0x9E3779B97F4A7C15ULL;
        return static_cast<size_t>(h >> 32) & mask();
    }
    void place(const void* key, uint32_t value) {
        size_t i = slot(key);
        while (keys_[i]) i = (i + 1) & mask();
        keys_[i] = key;
        values_[i] = value;
    }
    void grow() {
        std::vector<const void*> keys(keys_.size() * 2, nullptr);
        std::vector<uint32_t> values(keys.size(), 0);
        keys.swap(keys_);
        values.swap(values_);
        for (size_t i = 0; i < keys.size(); ++i)
            if (keys[i]) place(keys[i], values[i]);
    }

    std::vector<const void*> keys_;
    std::vector<uint32_t> values_;
    size_t size_ = 0;
};

}  // namespace quorvel::kripke
