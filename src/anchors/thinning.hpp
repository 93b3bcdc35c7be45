// Control-point thinning over a strided curve buffer, free of Python types.
//
// The arithmetic follows NumPy scalar semantics for the element type T: differences
// are taken in T (integers wrap, float32 stays float32), np.abs of the most negative
// integer stays negative, and slopes are computed in double. Comparisons are strict.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace cep::thinning {

template <typename T>
inline T wrap_sub(T a, T b) {
    if constexpr (std::is_floating_point_v<T>) {
        return a - b;
    } else {
        using U = std::make_unsigned_t<T>;
        return static_cast<T>(static_cast<U>(static_cast<U>(a) - static_cast<U>(b)));
    }
}

template <typename T>
inline T wrap_abs(T a) {
    if constexpr (std::is_floating_point_v<T>) {
        return std::fabs(a);
    } else if constexpr (std::is_signed_v<T>) {
        using U = std::make_unsigned_t<T>;
        return a < 0 ? static_cast<T>(static_cast<U>(U(0) - static_cast<U>(a))) : a;
    } else {
        return a;
    }
}

// A read-only strided 1-D view; memcpy keeps unaligned buffers legal.
template <typename T>
struct Strided {
    const char *base;
    std::ptrdiff_t stride;
    T operator[](std::int64_t i) const {
        T v;
        std::memcpy(&v, base + i * stride, sizeof(T));
        return v;
    }
};

struct Limits {
    double flat = 2.5;       // each neighbour step below this counts as flat
    double flat_span = 4.5;  // ... and the step across both below this
    double slope = 0.15;
    double guard = 0.0001;   // keeps the slope finite for a repeated column 0
    int passes = 10;
};

// Columns 0 .. n-2 whose right neighbour differs, after a leading column 0, without
// the last such column. A NaN difference counts as a change, as np.sign makes it one.
template <typename T>
void candidates(Strided<T> y, std::int64_t n, std::vector<std::int64_t> &out) {
    out.clear();
    out.push_back(0);
    for (std::int64_t i = 0; i + 1 < n; ++i)
        if (!(wrap_sub(y[i + 1], y[i]) == T(0))) out.push_back(i);
    if (out.size() > 1) out.pop_back();
}

// True when candidate p between the last kept column l and the next candidate nx adds
// nothing: the curve hardly moves around it, or runs straight through it.
template <typename T>
bool redundant(Strided<T> y, std::int64_t l, std::int64_t p, std::int64_t nx, const Limits &lim) {
    const T d = wrap_sub(y[nx], y[l]);
    const T d1 = wrap_sub(y[p], y[l]);
    const T d2 = wrap_sub(y[nx], y[p]);
    if (static_cast<double>(wrap_abs(d1)) < lim.flat && static_cast<double>(wrap_abs(d2)) < lim.flat &&
        static_cast<double>(wrap_abs(d)) < lim.flat_span)
        return true;
    const double g = static_cast<double>(d) / (static_cast<double>(nx - l) + lim.guard);
    const double g1 = static_cast<double>(d1) / (static_cast<double>(p - l) + lim.guard);
    const double g2 = static_cast<double>(d2) / (static_cast<double>(nx - p) + lim.guard);
    return std::fabs(g - g1) < lim.slope && std::fabs(g - g2) < lim.slope;
}

// The control columns of one curve of n samples, ending with n - 1 (for n = 0 nothing
// is read, and indexing the empty curve with the result fails as in NumPy).
// t: a candidate further than t right of the last kept column is always kept.
template <typename T>
std::vector<std::int64_t> control_columns(Strided<T> y, std::int64_t n, double t, const Limits &lim = {}) {
    std::vector<std::int64_t> cur, next;
    candidates(y, n, cur);
    next.reserve(cur.size() + 1);
    for (int pass = 0; pass < lim.passes; ++pass) {
        next.clear();
        next.push_back(cur.front());
        const std::size_t m = cur.size();
        for (std::size_t i = 1; i + 1 < m; ++i) {
            const std::int64_t l = next.back(), p = cur[i];
            if (t < static_cast<double>(p - l) || !redundant(y, l, p, cur[i + 1], lim)) next.push_back(p);
        }
        next.push_back(cur.back());
        const bool settled = next.size() == cur.size();
        cur.swap(next);
        if (settled) break;
    }
    cur.push_back(n - 1);
    return cur;
}

}  // namespace cep::thinning
