// The writes of a stroke: a straight segment of y values, and a live-wire path
// reduced to one row per column.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "binding/first_per_key.hpp"

namespace cep::strokes {

// np.interp(np.arange(x0, x1), [x0, x1], [y0, y1]) for x0 < x1, value for value:
// the start column gets y0 itself, the others slope * (x - x0) + y0, retried from
// the other end when that gives NaN (infinite ends), as NumPy does. No fused
// multiply-add, or the last bit could differ from NumPy's.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC push_options
#pragma GCC optimize("fp-contract=off")
#endif
inline void line_values(int64_t x0, int64_t x1, double y0, double y1, double *out) {
#if defined(__clang__)
#pragma clang fp contract(off)
#endif
    const double dx0 = static_cast<double>(x0), dx1 = static_cast<double>(x1);
    const double slope = (y1 - y0) / (dx1 - dx0);
    out[0] = y0;
    for (int64_t c = x0 + 1; c < x1; ++c) {
        const double x = static_cast<double>(c);
        double v = slope * (x - dx0) + y0;
        if (std::isnan(v)) {
            v = slope * (x - dx1) + y1;
            if (std::isnan(v) && y0 == y1) v = y0;
        }
        out[c - x0] = v;
    }
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC pop_options
#endif

// True when storing v into a T is the plain conversion NumPy makes without any
// warning: always for double, no overflow to infinity for float, and a truncated
// value inside the range for integers. Anything else is left to NumPy.
template <typename T>
bool stores_plainly(double v) {
    if constexpr (std::is_same_v<T, double>) {
        return true;
    } else if constexpr (std::is_same_v<T, float>) {
        return !std::isfinite(v) || std::isfinite(static_cast<float>(v));
    } else if constexpr (sizeof(T) == 8) {
        constexpr double two63 = 9223372036854775808.0;
        if constexpr (std::is_signed_v<T>)
            return v >= -two63 && v < two63;
        else
            return v > -1.0 && v < 2.0 * two63;
    } else {
        return v > static_cast<double>(std::numeric_limits<T>::min()) - 1.0 &&
               v < static_cast<double>(std::numeric_limits<T>::max()) + 1.0;
    }
}

template <typename T, typename V>
inline void store_as(char *p, V v) {
    const T t = static_cast<T>(v);
    std::memcpy(p, &t, sizeof t);
}

// True when every value between lo and hi, give or take the rounding of the line,
// stores plainly into a T: then the per-value checks can be skipped.
template <typename T>
bool stores_plainly_between(double lo, double hi) {
    if (!(std::isfinite(lo) && std::isfinite(hi))) return false;
    if constexpr (std::is_same_v<T, double>) {
        return true;
    } else if constexpr (std::is_same_v<T, float>) {
        return lo > -1e38 && hi < 1e38;
    } else if constexpr (sizeof(T) == 8) {
        constexpr double two62 = 4611686018427387904.0;
        return lo > (std::is_signed_v<T> ? -two62 : 0.0) && hi < two62;
    } else {
        return lo >= static_cast<double>(std::numeric_limits<T>::min()) + 1.0 &&
               hi <= static_cast<double>(std::numeric_limits<T>::max()) - 1.0;
    }
}

// Writes the values of line_values straight into a strided column of T, for ends
// that stores_plainly_between accepts (finite ends never give NaN).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC push_options
#pragma GCC optimize("fp-contract=off")
#endif
template <typename T>
void store_line(char *column, std::ptrdiff_t stride, int64_t x0, int64_t x1, double y0, double y1) {
#if defined(__clang__)
#pragma clang fp contract(off)
#endif
    const double dx0 = static_cast<double>(x0), dx1 = static_cast<double>(x1);
    const double slope = (y1 - y0) / (dx1 - dx0);
    char *out = column + x0 * stride;
    store_as<T>(out, y0);
    // double(c) - dx0 is exactly the column's offset from x0 (columns are far below
    // 2**53): the same products and sums, from a counter the compiler can vectorise.
    const int64_t count = x1 - x0;
    if (stride == static_cast<std::ptrdiff_t>(sizeof(T)) && count <= std::numeric_limits<int32_t>::max()) {
        const int32_t m = static_cast<int32_t>(count);
        for (int32_t i = 1; i < m; ++i) store_as<T>(out + i * sizeof(T), slope * static_cast<double>(i) + y0);
    } else {
        for (int64_t i = 1; i < count; ++i) store_as<T>(out + i * stride, slope * static_cast<double>(i) + y0);
    }
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC pop_options
#endif

template <typename T>
inline int64_t load_int(const char *p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return static_cast<int64_t>(v);
}

struct PathPoint {
    int64_t x, y;
};

// One point per column: the first of that column in path order.
inline void one_point_per_column(std::vector<PathPoint> &points) {
    points.erase(first_per_key(points.begin(), points.end(), [](const PathPoint &p) { return p.x; }), points.end());
}

}  // namespace cep::strokes
