// Stacks that a walk keeps for its next call.
#pragma once

#include <cstddef>
#include <vector>

namespace quorvel {

// A walk over a deep tree grows its stacks to the tree's depth; made afresh
// on every call, they grow again, page by fresh page, each time. A lease
// takes the one spare vector of its element type when the walk starts and
// gives the walk's vector back, emptied, when it ends, unless it has grown
// beyond `MaxBytes`. A walk that starts while another holds the spare (a
// signal handler's, say) starts with an empty vector. Under the GIL only.
template <class T, size_t MaxBytes = size_t{1} << 22>
class SpareLease {
public:
    explicit SpareLease(std::vector<T>& v) : v_(v) { v_.swap(spare()); }
    ~SpareLease() {
        v_.clear();
        std::vector<T>& s = spare();
        if (v_.capacity() > s.capacity() && v_.capacity() * sizeof(T) <= MaxBytes) s.swap(v_);
    }
    SpareLease(const SpareLease&) = delete;
    SpareLease& operator=(const SpareLease&) = delete;

private:
    static std::vector<T>& spare() {
        static std::vector<T> s;
        return s;
    }

    std::vector<T>& v_;
};

}  // namespace quorvel
