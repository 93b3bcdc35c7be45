// Nearest control point by L1 distance, over typed columns of x and y values.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstring>

namespace cep::hover {

template <typename T>
inline double load_as_double(const char *p) {
    T v;
    std::memcpy(&v, p, sizeof v);  // arrays need not be aligned
    return static_cast<double>(v);
}

// Index of the first point whose distance |x - px| + |y - py| is strictly below `best`
// and below every earlier point's, or -1; `best` is lowered to that distance. Both
// differences are taken in double, as NumPy does once the pair meets a float64 pointer.
template <typename X, typename Y>
std::ptrdiff_t nearest_l1(const char *xs, std::ptrdiff_t x_stride, const char *ys, std::ptrdiff_t y_stride,
                          std::ptrdiff_t n, double px, double py, double &best) {
    std::ptrdiff_t found = -1;
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        const double dx = load_as_double<X>(xs + j * x_stride) - px;
        const double dy = load_as_double<Y>(ys + j * y_stride) - py;
        const double d = std::fabs(dx) + std::fabs(dy);
        if (d < best) {
            best = d;
            found = j;
        }
    }
    return found;
}

}  // namespace cep::hover
