// Following a layer's edge from one frame into the next: a shortest path through the rows
// near the previous frame's curve, scored by how well each row's intensity profile matches
// the profile under that curve. Python-free; frames are read through a sampler.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace cep::carry {

struct Params {
    int band = 8;           // rows the layer may move between frames
    int half = 10;          // rows above and below the curve that make an edge's profile
    double taper = 5;       // rows: profile rows weigh less the farther they are from the curve
    int smooth = 8;         // columns each side averaged along the curve in the frame searched
    int smooth_edge = 40;   // the same for the profile sought, which varies slowly along a layer
    int max_step = 2;       // rows the offset to the previous curve may change per column
    double bend = 1.0;      // cost of one row of such change, in units of the profile's energy
    double join_tol = 1;    // rows the span's ends may lie from the target's own values
};

// Reads pixels of one frame as double. `T` is the element type, strides in bytes, so that
// any view of the caller's volume (a slice, a transposed or read-only array) is read in place.
template <class T>
struct StridedFrame {
    const char *data;
    std::ptrdiff_t row_stride, col_stride, rows;

    // rows [row0, row0 + count) of column `col`, clamped at the image's top and bottom
    void column(std::ptrdiff_t col, std::ptrdiff_t row0, int count, double *dst) const {
        const char *c = data + col * col_stride;
        for (int i = 0; i < count; ++i) {
            std::ptrdiff_t r = std::clamp<std::ptrdiff_t>(row0 + i, 0, rows - 1);
            dst[i] = static_cast<double>(*reinterpret_cast<const T *>(c + r * row_stride));
        }
    }
};

// Column means over [c - h, c + h] clipped to [0, n), for `width` values per column.
inline void smooth_columns(std::vector<double> &a, std::ptrdiff_t n, int width, int h,
                           std::vector<double> &scratch) {
    if (h <= 0 || n <= 1) return;
    // running sums, one row per column boundary
    scratch.assign(static_cast<size_t>((n + 1) * width), 0.0);
    for (std::ptrdiff_t c = 0; c < n; ++c)
        for (int k = 0; k < width; ++k)
            scratch[(c + 1) * width + k] = scratch[c * width + k] + a[c * width + k];
    for (std::ptrdiff_t c = 0; c < n; ++c) {
        std::ptrdiff_t lo = std::max<std::ptrdiff_t>(0, c - h), hi = std::min<std::ptrdiff_t>(n, c + h + 1);
        double inv = 1.0 / static_cast<double>(hi - lo);
        for (int k = 0; k < width; ++k)
            a[c * width + k] = (scratch[hi * width + k] - scratch[lo * width + k]) * inv;
    }
}

struct Scratch {
    std::vector<double> strip, cost, acc, next_acc, sums, weight;
    std::vector<std::int8_t> back;
    std::vector<long> base;
};

inline long row_near(double y, std::ptrdiff_t rows) {
    return std::lrint(std::clamp(y, 0.0, static_cast<double>(rows - 1)));
}

// The edge's profile under `curve` (n finite values, columns col0 ..): rows -half .. half
// around it, averaged along the curve and without its mean, n x (2 half + 1) into `out`.
template <class Frame>
void edge_profiles(const Frame &frame, std::ptrdiff_t rows, std::ptrdiff_t col0, const double *curve,
                   std::ptrdiff_t n, const Params &p, std::vector<double> &out, Scratch &s) {
    const int m = 2 * p.half + 1;
    out.resize(static_cast<size_t>(n * m));
    for (std::ptrdiff_t c = 0; c < n; ++c)
        frame.column(col0 + c, row_near(curve[c], rows) - p.half, m, &out[c * m]);
    smooth_columns(out, n, m, p.smooth_edge, s.sums);
    // Without their means, profiles of a frame a little brighter or darker than its
    // neighbour still match.
    for (std::ptrdiff_t c = 0; c < n; ++c) {
        double *t = &out[c * m], mean = 0;
        for (int k = 0; k < m; ++k) mean += t[k];
        mean /= m;
        for (int k = 0; k < m; ++k) t[k] -= mean;
    }
}

// Finds the layer in the next frame: n values into `out`, each within `band` rows of `prev`
// (the layer in the frame before), where the next frame's profile best matches `sought`
// (from edge_profiles). `left`, `right`: the target's own values just outside the span, NaN
// where unknown; the path starts and ends within join_tol of them.
template <class Next>
void follow(const Next &next_frame, std::ptrdiff_t rows, std::ptrdiff_t col0, const double *prev,
            std::ptrdiff_t n, const std::vector<double> &sought, double left, double right,
            const Params &p, double *out, Scratch &s) {
    const int m = 2 * p.half + 1;                  // profile length
    const int nd = 2 * p.band + 1;                 // offsets -band .. band
    const int ws = nd + 2 * p.half;                // strip height: every profile of every offset
    s.base.resize(static_cast<size_t>(n));
    s.strip.resize(static_cast<size_t>(n * ws));
    for (std::ptrdiff_t c = 0; c < n; ++c) {
        s.base[c] = row_near(prev[c], rows);
        next_frame.column(col0 + c, s.base[c] - p.band - p.half, ws, &s.strip[c * ws]);
    }
    // Averaging along the curve (rows taken relative to it) keeps the edge sharp where the
    // layer is steep, which a plain horizontal blur of the image would not.
    smooth_columns(s.strip, n, ws, p.smooth, s.sums);

    s.weight.resize(static_cast<size_t>(m));
    for (int k = 0; k < m; ++k) {
        double r = (k - p.half) / p.taper;
        s.weight[k] = std::exp(-0.5 * r * r);
    }
    // Costs are in units of the sought profile's energy, so one bend cost fits every contrast;
    // a faded edge matches every offset about equally, which leaves the path to the bend
    // cost: the curve keeps the shape it had.
    double energy = 0, here = 0;
    for (std::ptrdiff_t c = 0; c < n; ++c) {
        const double *q = &s.strip[c * ws + p.band];
        double mean = 0;
        for (int k = 0; k < m; ++k) mean += q[k];
        mean /= m;
        for (int k = 0; k < m; ++k) {
            energy += s.weight[k] * sought[c * m + k] * sought[c * m + k];
            here += s.weight[k] * (q[k] - mean) * (q[k] - mean);
        }
    }
    // A featureless profile sought (the source all in shadow) would make the next frame's
    // noise look significant; the texture there, where the layer was, sets the floor.
    energy = std::max(energy, 0.25 * here) / static_cast<double>(n) + 1e-12;

    constexpr double kOff = 1e12;   // a row outside the image
    constexpr double kJoin = 1e6;   // per row beyond join_tol at the span's ends
    s.cost.resize(static_cast<size_t>(n * nd));
    for (std::ptrdiff_t c = 0; c < n; ++c) {
        const double *t = &sought[c * m];
        for (int d = 0; d < nd; ++d) {
            const double *q = &s.strip[c * ws + d];
            double mean = 0;
            for (int k = 0; k < m; ++k) mean += q[k];
            mean /= m;
            double ssd = 0;
            for (int k = 0; k < m; ++k) {
                double e = q[k] - mean - t[k];
                ssd += s.weight[k] * e * e;
            }
            double cost = ssd / energy;
            long y = s.base[c] + d - p.band;
            if (y < 0 || y >= rows) cost += kOff;
            if (c == 0 && std::isfinite(left))
                cost += kJoin * std::max(0.0, std::fabs(static_cast<double>(y) - left) - p.join_tol);
            if (c == n - 1 && std::isfinite(right))
                cost += kJoin * std::max(0.0, std::fabs(static_cast<double>(y) - right) - p.join_tol);
            s.cost[c * nd + d] = cost;
        }
    }
    // Viterbi over the offsets; back[c * nd + d] is the step taken into (c, d).
    s.acc.assign(s.cost.begin(), s.cost.begin() + nd);
    s.next_acc.resize(static_cast<size_t>(nd));
    s.back.assign(static_cast<size_t>(n * nd), 0);
    for (std::ptrdiff_t c = 1; c < n; ++c) {
        for (int d = 0; d < nd; ++d) {
            double best = std::numeric_limits<double>::infinity();
            int arg = 0;
            // on a tie, no change of offset, then the smaller change
            for (int a = 0; a <= 2 * p.max_step; ++a) {
                int st = (a + 1) / 2 * (a % 2 ? -1 : 1);
                int from = d - st;
                if (from < 0 || from >= nd) continue;
                double v = s.acc[from] + p.bend * std::abs(st);
                if (v < best) {
                    best = v;
                    arg = st;
                }
            }
            s.next_acc[d] = best + s.cost[c * nd + d];
            s.back[c * nd + d] = static_cast<std::int8_t>(arg);
        }
        s.acc.swap(s.next_acc);
    }
    int d = p.band;  // on a tie, the end nearest the previous curve
    for (int a = 1; a < nd; ++a) {
        int e = p.band + (a + 1) / 2 * (a % 2 ? -1 : 1);
        if (e >= 0 && e < nd && s.acc[e] < s.acc[d]) d = e;
    }
    for (std::ptrdiff_t c = n - 1; c >= 0; --c) {
        out[c] = static_cast<double>(s.base[c] + d - p.band);
        if (c > 0) d -= s.back[c * nd + d];
    }
}

}  // namespace cep::carry
