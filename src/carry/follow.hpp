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
    // Two scales of an edge's profile (rows above and below the curve, and the taper that
    // weighs rows less the farther they are): the wide one tells an edge from its neighbours
    // a few rows away, which a narrow one confuses; but neighbouring layers do not move
    // exactly together, so the wide one places the edge a row or two off where they part.
    // The narrow one places it, within `reach` rows of where the wide one found it.
    int half = 12;
    double taper = 6;
    int fine_half = 6;
    double fine_taper = 3;
    int reach = 1;
    int smooth = 12;        // columns each side averaged along the curve in the frame searched
    int smooth_edge = 40;   // the same for the profile sought, which varies slowly along a layer
    int max_step = 2;       // rows the offset to the previous curve may change per column
    double bend = 3.0;      // cost of one row of such change, in units of the profile's energy
    double join_tol = 1;    // rows the span's ends may lie from the target's own values
    int settle = 8;         // columns each side averaged along the path found
    double mix = 0.5;       // share of the previous frame's profile in the profile sought
    // Where the target's own curve lies this close to the edge found, it is kept (blended in
    // between): a frame that was right stays as it was, and small errors do not build up.
    double own_near = 1.5, own_far = 2.5;
    int own_run = 10;
};

// Reads pixels of one frame as double. `T` is the element type, strides in bytes, so that
// any view of the caller's volume (a slice, a transposed or read-only array) is read in place.
template <class T>
struct StridedFrame {
    const char *data;
    std::ptrdiff_t row_stride, col_stride, rows;

    // rows y0, y0 + 1 .. (count of them) of column `col`, linearly interpolated between
    // pixels and clamped at the image's top and bottom: a curve lies between rows, and
    // rounding it would shift every profile by up to half a row.
    void column(std::ptrdiff_t col, double y0, int count, double *dst) const {
        const char *c = data + col * col_stride;
        auto at = [&](std::ptrdiff_t r) {
            r = std::clamp<std::ptrdiff_t>(r, 0, rows - 1);
            return static_cast<double>(*reinterpret_cast<const T *>(c + r * row_stride));
        };
        double fl = std::floor(y0), f = y0 - fl;
        auto r0 = static_cast<std::ptrdiff_t>(fl);
        double lo = at(r0);
        for (int i = 0; i < count; ++i) {
            double hi = at(r0 + i + 1);
            dst[i] = lo + f * (hi - lo);
            lo = hi;
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
    std::vector<double> strip, cost, acc, next_acc, sums, weight, base, path, mean;
    std::vector<std::int8_t> back;
};

inline double in_image(double y, std::ptrdiff_t rows) {
    return std::clamp(y, 0.0, static_cast<double>(rows - 1));
}

// The edge's profile under `curve` (n values, columns col0 .., at least one of them
// `known`): rows -half .. half around it, averaged along the curve and without its mean,
// n x (2 half + 1) into `out`.
template <class Frame>
void edge_profiles(const Frame &frame, std::ptrdiff_t rows, std::ptrdiff_t col0, const double *curve,
                   std::ptrdiff_t n, int half, int along, const std::vector<bool> &known,
                   std::vector<double> &out, Scratch &s) {
    const int m = 2 * half + 1;
    out.resize(static_cast<size_t>(n * m));
    std::ptrdiff_t last = -1;
    for (std::ptrdiff_t c = 0; c < n; ++c) {
        if (!known[c]) continue;
        frame.column(col0 + c, in_image(curve[c], rows) - half, m, &out[c * m]);
        // A column without a value of its own takes the profile of the nearest one that has
        // one: a guessed row would centre it off the edge.
        for (std::ptrdiff_t k = last + 1; k < c; ++k) {
            std::ptrdiff_t from = (last < 0 || c - k <= k - last) ? c : last;
            std::copy_n(&out[from * m], m, &out[k * m]);
        }
        last = c;
    }
    for (std::ptrdiff_t k = last + 1; k < n; ++k) std::copy_n(&out[last * m], m, &out[k * m]);
    smooth_columns(out, n, m, along, s.sums);
    // Without their means, profiles of a frame a little brighter or darker than its
    // neighbour still match.
    for (std::ptrdiff_t c = 0; c < n; ++c) {
        double *t = &out[c * m], mean = 0;
        for (int k = 0; k < m; ++k) mean += t[k];
        mean /= m;
        for (int k = 0; k < m; ++k) t[k] -= mean;
    }
}

// One scale of the search: n rows into `out`, each within `band` rows of `around`, where
// the frame's profile (2 half + 1 rows, weighed by `taper`) best matches `sought`, as a path
// whose offset to `around` changes by at most max_step rows per column. `left`, `right`:
// the target's own values just outside the span, NaN where unknown; the path starts and
// ends within join_tol of them. `refine`: sub-row positions and a smoothed path; otherwise
// whole-row offsets to `around`.
template <class Frame>
void search(const Frame &frame, std::ptrdiff_t rows, std::ptrdiff_t col0, const double *around,
            std::ptrdiff_t n, const std::vector<double> &sought, int half, double taper, int band,
            double left, double right, bool refine, const Params &p, double *out, Scratch &s) {
    const int m = 2 * half + 1;                    // profile length
    const int nd = 2 * band + 1;                   // offsets -band .. band
    const int ws = nd + 2 * half;                  // strip height: every profile of every offset
    s.base.resize(static_cast<size_t>(n));
    s.strip.resize(static_cast<size_t>(n * ws));
    for (std::ptrdiff_t c = 0; c < n; ++c) {
        s.base[c] = in_image(around[c], rows);
        frame.column(col0 + c, s.base[c] - band - half, ws, &s.strip[c * ws]);
    }
    // Averaging along the curve (rows taken relative to it) keeps the edge sharp where the
    // layer is steep, which a plain horizontal blur of the image would not.
    smooth_columns(s.strip, n, ws, p.smooth, s.sums);

    s.weight.resize(static_cast<size_t>(m));
    for (int k = 0; k < m; ++k) {
        double r = (k - half) / taper;
        s.weight[k] = std::exp(-0.5 * r * r);
    }
    // Costs are in units of the sought profile's energy, so one bend cost fits every contrast;
    // a faded edge matches every offset about equally, which leaves the path to the bend
    // cost: the curve keeps the shape it had.
    double energy = 0, here = 0;
    for (std::ptrdiff_t c = 0; c < n; ++c) {
        const double *q = &s.strip[c * ws + band];
        double mean = 0;
        for (int k = 0; k < m; ++k) mean += q[k];
        mean /= m;
        for (int k = 0; k < m; ++k) {
            energy += s.weight[k] * sought[c * m + k] * sought[c * m + k];
            here += s.weight[k] * (q[k] - mean) * (q[k] - mean);
        }
    }
    // A featureless profile sought (the source all in shadow) would make the frame's noise
    // look significant; the texture there, where the layer was, sets the floor.
    energy = std::max(energy, 0.25 * here) / static_cast<double>(n) + 1e-12;

    constexpr double kOff = 1e12;   // a row outside the image
    constexpr double kJoin = 1e6;   // per row beyond join_tol at the span's ends
    s.cost.resize(static_cast<size_t>(n * nd));
    s.mean.resize(static_cast<size_t>(nd));
    for (std::ptrdiff_t c = 0; c < n; ++c) {
        const double *t = &sought[c * m], *q = &s.strip[c * ws];
        double *cost = &s.cost[c * nd], *mean = s.mean.data();
        // k outside, the offsets inside: the inner loops run over contiguous rows and
        // vectorise, which one offset's sum over its profile would not
        std::fill(mean, mean + nd, 0.0);
        for (int k = 0; k < m; ++k)
            for (int d = 0; d < nd; ++d) mean[d] += q[d + k];
        for (int d = 0; d < nd; ++d) mean[d] /= m;
        std::fill(cost, cost + nd, 0.0);
        for (int k = 0; k < m; ++k) {
            const double w = s.weight[k], tk = t[k];
            for (int d = 0; d < nd; ++d) {
                double e = q[d + k] - mean[d] - tk;
                cost[d] += w * e * e;
            }
        }
        for (int d = 0; d < nd; ++d) {
            double y = s.base[c] + d - band;
            cost[d] /= energy;
            if (y < 0 || y > static_cast<double>(rows - 1)) cost[d] += kOff;
            if (c == 0 && std::isfinite(left)) cost[d] += kJoin * std::max(0.0, std::fabs(y - left) - p.join_tol);
            if (c == n - 1 && std::isfinite(right)) cost[d] += kJoin * std::max(0.0, std::fabs(y - right) - p.join_tol);
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
    int d = band;  // on a tie, the end nearest `around`
    for (int a = 1; a < nd; ++a) {
        int e = band + (a + 1) / 2 * (a % 2 ? -1 : 1);
        if (e >= 0 && e < nd && s.acc[e] < s.acc[d]) d = e;
    }
    double *path = out;
    if (refine) {
        s.path.resize(static_cast<size_t>(n));
        path = s.path.data();
    }
    for (std::ptrdiff_t c = n - 1; c >= 0; --c) {
        double frac = 0;
        const double *k = &s.cost[c * nd + d];
        // the parabola through the cost and its neighbours' places the edge between rows
        if (refine && d > 0 && d < nd - 1 && std::max({k[-1], k[0], k[1]}) < kJoin) {
            double curv = k[-1] - 2 * k[0] + k[1];
            if (curv > 0) frac = std::clamp(0.5 * (k[-1] - k[1]) / curv, -0.5, 0.5);
        }
        path[c] = s.base[c] + d - band + frac;
        if (c > 0) d -= s.back[c * nd + d];
    }
    if (!refine) return;
    // A layer bends smoothly; a path of whole-row steps does not. Symmetric windows that
    // narrow towards the span's ends keep the ends where the join put them.
    for (std::ptrdiff_t c = 0; c < n; ++c) {
        std::ptrdiff_t h = std::min<std::ptrdiff_t>({p.settle, c, n - 1 - c});
        double sum = 0;
        for (std::ptrdiff_t j = c - h; j <= c + h; ++j) sum += path[j];
        out[c] = sum / static_cast<double>(2 * h + 1);
    }
}

// The profiles a frame is searched for: the corrected edge in the source, at both scales.
struct Sought {
    std::vector<double> wide, fine;
};

template <class Frame>
void profiles(const Frame &frame, std::ptrdiff_t rows, std::ptrdiff_t col0, const double *curve,
              std::ptrdiff_t n, const std::vector<bool> &known, const Params &p, Sought &out, Scratch &s) {
    edge_profiles(frame, rows, col0, curve, n, p.half, p.smooth_edge, known, out.wide, s);
    edge_profiles(frame, rows, col0, curve, n, p.fine_half, p.smooth_edge, known, out.fine, s);
}

// Finds the layer in the next frame: n values into `out`, within `band` rows of `prev` (the
// layer in the frame before) and about `reach` more, where that frame's profiles best match
// `sought`. `own`: the target's own values over the span, `left`, `right` just outside it,
// NaN where unknown.
template <class Next>
void follow(const Next &next_frame, std::ptrdiff_t rows, std::ptrdiff_t col0, const double *prev,
            std::ptrdiff_t n, const Sought &sought, const double *own, double left, double right,
            const Params &p, double *out, Scratch &s) {
    std::vector<double> coarse(static_cast<size_t>(n));
    search(next_frame, rows, col0, prev, n, sought.wide, p.half, p.taper, p.band, left, right, false, p,
           coarse.data(), s);
    search(next_frame, rows, col0, coarse.data(), n, sought.fine, p.fine_half, p.fine_taper, p.reach, left,
           right, true, p, out, s);
    // The own curve counts only along runs of `own_run` columns each side: a slip leaves
    // the edge through a ramp whose stretch near the edge found must not pull the curve off.
    s.path.resize(static_cast<size_t>(n));
    for (std::ptrdiff_t c = 0; c < n; ++c)
        s.path[c] = std::isfinite(own[c])
                        ? std::clamp((p.own_far - std::fabs(out[c] - own[c])) / (p.own_far - p.own_near), 0.0, 1.0)
                        : 0.0;
    std::vector<double> w(static_cast<size_t>(n));
    for (std::ptrdiff_t c = 0; c < n; ++c) {
        double least = 1;
        for (std::ptrdiff_t j = std::max<std::ptrdiff_t>(0, c - p.own_run); j <= std::min(n - 1, c + p.own_run); ++j)
            least = std::min(least, s.path[j]);
        w[c] = least;
    }
    for (std::ptrdiff_t c = 0; c < n; ++c)
        if (w[c] > 0) out[c] += w[c] * (own[c] - out[c]);
}

}  // namespace cep::carry
