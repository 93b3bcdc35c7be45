// The sort-and-deduplicate step of the kernels, written once.
#pragma once

#include <algorithm>

namespace cep {

// Orders [first, last) by key, stably, and keeps the first element of each key: what
// NumPy's np.unique(..., return_index=True) keeps after a stable argsort. The keys must
// be totally ordered (no NaN). Returns the new end.
template <typename It, typename Key>
It first_per_key(It first, It last, Key key) {
    std::stable_sort(first, last, [&](const auto &a, const auto &b) { return key(a) < key(b); });
    return std::unique(first, last, [&](const auto &a, const auto &b) { return !(key(a) < key(b)) && !(key(b) < key(a)); });
}

}  // namespace cep
