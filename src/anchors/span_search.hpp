// Where a dragged control point lands among the other control points of its curve.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace cep::anchors {

struct Neighbours {
    std::ptrdiff_t at_or_left = -1;   // position (in xs) of the largest other x <= x, -1 if none
    std::ptrdiff_t at_or_right = -1;  // position of the smallest other x >= x, -1 if none
    std::size_t distinct_others = 0;  // number of distinct x values besides the dragged point
};

// One pass over xs (any order), skipping the dragged position `skip`. Ties between equal
// values keep the first position, which holds the same value, so the choice is invisible.
template <typename Get>
Neighbours find_neighbours(std::size_t count, std::size_t skip, double x, Get get, std::vector<double> &scratch) {
    Neighbours result;
    bool has_nan = false;
    scratch.clear();
    for (std::size_t j = 0; j < count; ++j) {
        if (j == skip) continue;
        const double v = get(j);
        if (std::isnan(v)) {
            has_nan = true;  // NumPy's unique counts every NaN as one value
            continue;
        }
        scratch.push_back(v);
        if (v <= x && (result.at_or_left < 0 || v > get(static_cast<std::size_t>(result.at_or_left))))
            result.at_or_left = static_cast<std::ptrdiff_t>(j);
        if (v >= x && (result.at_or_right < 0 || v < get(static_cast<std::size_t>(result.at_or_right))))
            result.at_or_right = static_cast<std::ptrdiff_t>(j);
    }
    std::sort(scratch.begin(), scratch.end());
    result.distinct_others =
        static_cast<std::size_t>(std::unique(scratch.begin(), scratch.end()) - scratch.begin()) + (has_nan ? 1 : 0);
    return result;
}

}  // namespace cep::anchors
