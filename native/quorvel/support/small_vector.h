// A vector of trivially copyable items that keeps its first N items in
// place: the per-call tables of a clause or an atom (a few literals, a few
// bindings) then cost no heap allocation, which was a tenth of building a
// clause. Beyond N it moves to the heap, doubling.
#pragma once

#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>

namespace quorvel {

template <class T, size_t N>
class SmallVector {
    static_assert(std::is_trivially_copyable_v<T>, "items are moved by memcpy");

public:
    SmallVector() = default;
    SmallVector(const SmallVector&) = delete;
    SmallVector& operator=(const SmallVector&) = delete;
    ~SmallVector() {
        if (data_ != inline_) delete[] data_;
    }

    void reserve(size_t n) {
        if (n > capacity_) grow(n);
    }
    void push_back(const T& item) {
        if (size_ == capacity_) grow(capacity_ * 2);
        data_[size_++] = item;
    }
    void pop_back() { --size_; }
    void assign(size_t n, const T& item) {
        reserve(n);
        for (size_t i = 0; i < n; ++i) data_[i] = item;
        size_ = n;
    }
    void clear() { size_ = 0; }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }
    T& back() { return data_[size_ - 1]; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }

private:
    void grow(size_t capacity) {
        T* bigger = new T[capacity];  // std::bad_alloc: a MemoryError at the slot's guard
        std::memcpy(static_cast<void*>(bigger), data_, size_ * sizeof(T));
        if (data_ != inline_) delete[] data_;
        data_ = bigger;
        capacity_ = capacity;
    }

    T inline_[N];
    T* data_ = inline_;
    size_t size_ = 0;
    size_t capacity_ = N;
};

}  // namespace quorvel
