// Burning curves into RGB frames: the point list of one curve and the gray-to-RGB
// frame copy. Plain C++ over typed buffers; the Python-facing side lives in export.cpp.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace cep::burn_in {

enum class Status { Ok, NotANumber, Infinite };

// Row of one curve value on a frame of `h` rows: the value as a double, rounded to
// the nearest integer with ties to even, then clipped to 0 .. h - 1 (with h - 1 as
// the result when h is 0, as a minimum-then-maximum clip gives).
inline Status row_of(double v, int64_t h, int32_t &row) {
    if (std::isnan(v)) return Status::NotANumber;
    if (std::isinf(v)) return Status::Infinite;
    const double r = std::nearbyint(v);  // default rounding mode: ties to even
    const double top = static_cast<double>(h - 1);
    double y = r < 0.0 ? 0.0 : r;
    if (y > top) y = top;
    row = static_cast<int32_t>(y);
    return Status::Ok;
}

// Writes n (x, y) pairs, x = 0 .. n - 1, to `out` (2n values). `data` points at the
// curve's first element, `stride` bytes apart. Stops at the first value that cannot
// be rounded and reports it; `bad` then holds its index.
template <typename T>
Status curve_points(const char *data, std::ptrdiff_t stride, std::ptrdiff_t n, int64_t h, int32_t *out,
                    std::ptrdiff_t &bad) {
    for (std::ptrdiff_t x = 0; x < n; ++x) {
        const T value = *reinterpret_cast<const T *>(data + x * stride);
        int32_t row = 0;
        const Status s = row_of(static_cast<double>(value), h, row);
        if (s != Status::Ok) {
            bad = x;
            return s;
        }
        out[2 * x] = static_cast<int32_t>(x);
        out[2 * x + 1] = row;
    }
    return Status::Ok;
}

// Copies a gray frame (any strides, in bytes) into a C-contiguous rows x cols x 3 image.
inline void gray_to_rgb(const uint8_t *src, std::ptrdiff_t rows, std::ptrdiff_t cols, std::ptrdiff_t row_stride,
                        std::ptrdiff_t col_stride, uint8_t *dst) {
    for (std::ptrdiff_t r = 0; r < rows; ++r) {
        const uint8_t *s = src + r * row_stride;
        uint8_t *d = dst + r * cols * 3;
        if (col_stride == 1) {
            for (std::ptrdiff_t c = 0; c < cols; ++c) {
                const uint8_t g = s[c];
                d[3 * c] = g;
                d[3 * c + 1] = g;
                d[3 * c + 2] = g;
            }
        } else {
            for (std::ptrdiff_t c = 0; c < cols; ++c) {
                const uint8_t g = s[c * col_stride];
                d[3 * c] = g;
                d[3 * c + 1] = g;
                d[3 * c + 2] = g;
            }
        }
    }
}

}  // namespace cep::burn_in
