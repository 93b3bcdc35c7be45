// The edit history's bookkeeping, free of Python: value snapshots and their diffs,
// control-point splices, and the bounded list of steps of one set of curves.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <vector>

namespace cep::history {

// Everything the history keeps goes through these, so that the host can see it in its
// own memory tracing (the module points them at the interpreter's raw allocator).
struct Memory {
    static inline void *(*allocate)(size_t) = std::malloc;
    static inline void (*release)(void *) = std::free;
};

template <typename T>
struct Alloc {
    using value_type = T;
    Alloc() = default;
    template <typename U>
    Alloc(const Alloc<U> &) {}
    T *allocate(size_t n) {
        void *p = Memory::allocate(n > 0 ? n * sizeof(T) : 1);
        if (!p) throw std::bad_alloc();
        return static_cast<T *>(p);
    }
    void deallocate(T *p, size_t) { Memory::release(p); }
    template <typename U>
    bool operator==(const Alloc<U> &) const { return true; }
    template <typename U>
    bool operator!=(const Alloc<U> &) const { return false; }
};

template <typename T>
using Vec = std::vector<T, Alloc<T>>;
using Bytes = Vec<char>;

template <typename T>
size_t held(const Vec<T> &v) { return v.capacity() * sizeof(T); }

// A live one-dimensional array as raw elements: bit-for-bit is the only comparison
// the history needs, so the element type does not matter, only its size.
struct Strided {
    char *data = nullptr;
    ptrdiff_t stride = 0;
    int64_t len = 0;
    size_t itemsize = 0;
    char *at(int64_t i) const { return data + i * stride; }
};

// A run of changed elements of one curve: [start, start + count).
struct Run {
    uint32_t curve;
    int64_t start;
    int64_t count;
};

// Appends to `runs` the maximal runs where `live` differs from the contiguous copy `base`.
inline void diff_runs(const char *base, const Strided &live, uint32_t curve, Vec<Run> &runs) {
    const size_t w = live.itemsize;
    int64_t i = 0;
    auto same = [&](int64_t k) { return std::memcmp(base + k * w, live.at(k), w) == 0; };
    // Whole-block comparison first: most of a curve is untouched by a gesture.
    const bool contiguous = live.stride == static_cast<ptrdiff_t>(w);
    while (i < live.len) {
        if (contiguous) {
            int64_t block = std::min<int64_t>(512, live.len - i);
            if (std::memcmp(base + i * w, live.at(i), block * w) == 0) {
                i += block;
                continue;
            }
        }
        if (same(i)) {
            ++i;
            continue;
        }
        int64_t start = i;
        while (i < live.len && !same(i)) ++i;
        runs.push_back(Run{curve, start, i - start});
    }
}

// One curve's values as the history last knew them.
struct CurveBase {
    bool tracked = false;   // false: not a numeric one-dimensional buffer, left alone
    int64_t len = 0;
    size_t itemsize = 0;
    Bytes bytes;
};

inline void copy_out(const Strided &live, int64_t start, int64_t count, char *out) {
    if (live.stride == static_cast<ptrdiff_t>(live.itemsize)) {
        std::memcpy(out, live.at(start), count * live.itemsize);
        return;
    }
    for (int64_t k = 0; k < count; ++k) std::memcpy(out + k * live.itemsize, live.at(start + k), live.itemsize);
}

inline void copy_in(const Strided &live, int64_t start, int64_t count, const char *in) {
    if (live.stride == static_cast<ptrdiff_t>(live.itemsize)) {
        std::memcpy(live.at(start), in, count * live.itemsize);
        return;
    }
    for (int64_t k = 0; k < count; ++k) std::memcpy(live.at(start + k), in + k * live.itemsize, live.itemsize);
}

// One control-point array (xs or ys of one curve): its element type as an index into a
// table the caller keeps, and its raw elements.
struct Comp {
    int dtype = -1;
    uint32_t itemsize = 0;
    Bytes bytes;
    int64_t len() const { return itemsize ? static_cast<int64_t>(bytes.size() / itemsize) : 0; }
    bool operator==(const Comp &o) const { return dtype == o.dtype && itemsize == o.itemsize && bytes == o.bytes; }
};
// Two entries per curve: xs of curve 0, ys of curve 0, xs of curve 1, ...
using CtrlState = Vec<Comp>;

// The change of one array, as the middle that differs between a common prefix and a
// common suffix: a moved point is one element, an inserted point an empty middle and a
// one-element middle.
struct Splice {
    uint32_t index;
    int dtype_a, dtype_b;
    uint32_t itemsize_a, itemsize_b;
    int64_t prefix;       // elements
    Bytes mid_a, mid_b;   // the differing middles
};

// How a whole control-point state changes: entries beyond a state's count are absent.
struct CtrlDelta {
    uint32_t count_a = 0, count_b = 0;
    Vec<Splice> splices;
    bool empty() const { return count_a == count_b && splices.empty(); }
    size_t bytes() const {
        size_t n = held(splices);
        for (const Splice &s : splices) n += held(s.mid_a) + held(s.mid_b);
        return n;
    }
};

inline Splice splice_of(uint32_t index, const Comp &a, const Comp &b) {
    Splice s{index, a.dtype, b.dtype, a.itemsize, b.itemsize, 0, {}, {}};
    int64_t na = a.len(), nb = b.len();
    int64_t prefix = 0, suffix = 0;
    if (a.dtype == b.dtype && a.itemsize == b.itemsize && a.itemsize) {
        const size_t w = a.itemsize;
        while (prefix < na && prefix < nb && std::memcmp(&a.bytes[prefix * w], &b.bytes[prefix * w], w) == 0)
            ++prefix;
        while (suffix < na - prefix && suffix < nb - prefix &&
               std::memcmp(&a.bytes[(na - 1 - suffix) * w], &b.bytes[(nb - 1 - suffix) * w], w) == 0)
            ++suffix;
    }
    s.prefix = prefix;
    s.mid_a.assign(a.bytes.begin() + prefix * a.itemsize, a.bytes.end() - suffix * a.itemsize);
    s.mid_b.assign(b.bytes.begin() + prefix * b.itemsize, b.bytes.end() - suffix * b.itemsize);
    return s;
}

inline CtrlDelta ctrl_diff(const CtrlState &a, const CtrlState &b) {
    CtrlDelta d;
    d.count_a = static_cast<uint32_t>(a.size());
    d.count_b = static_cast<uint32_t>(b.size());
    static const Comp absent{};
    const size_t n = std::max(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const Comp &ca = i < a.size() ? a[i] : absent;
        const Comp &cb = i < b.size() ? b[i] : absent;
        if (!(ca == cb)) d.splices.push_back(splice_of(static_cast<uint32_t>(i), ca, cb));
    }
    return d;
}

// Turns state a into state b (forward) or b into a (backward); the state must be the
// one the delta was taken from.
inline void ctrl_apply(CtrlState &state, const CtrlDelta &d, bool forward) {
    const uint32_t to = forward ? d.count_b : d.count_a;
    if (state.size() < std::max(d.count_a, d.count_b)) state.resize(std::max(d.count_a, d.count_b));
    for (const Splice &s : d.splices) {
        Comp &c = state[s.index];
        const Bytes &from_mid = forward ? s.mid_a : s.mid_b;
        const Bytes &to_mid = forward ? s.mid_b : s.mid_a;
        const size_t from_size = forward ? s.itemsize_a : s.itemsize_b;
        const size_t to_size = forward ? s.itemsize_b : s.itemsize_a;
        Bytes out;
        out.reserve(c.bytes.size() - from_mid.size() + to_mid.size());
        const size_t head = s.prefix * from_size;
        out.insert(out.end(), c.bytes.begin(), c.bytes.begin() + head);
        out.insert(out.end(), to_mid.begin(), to_mid.end());
        out.insert(out.end(), c.bytes.begin() + head + from_mid.size(), c.bytes.end());
        c.bytes.swap(out);
        c.dtype = forward ? s.dtype_b : s.dtype_a;
        c.itemsize = static_cast<uint32_t>(to_size);
    }
    state.resize(to);
}

inline size_t ctrl_bytes(const CtrlState &s) {
    size_t n = held(s);
    for (const Comp &c : s) n += held(c.bytes);
    return n;
}

// One undoable step: the changed runs of values with their elements before and after
// (concatenated in run order), and the control points' change, from the state the
// previous step left (gap) through the state before this one to the state after it.
struct Step {
    Vec<Run> runs;
    Bytes before, after;
    CtrlDelta gap, edit;
    size_t bytes() const {
        return sizeof(Step) + held(runs) + held(before) + held(after) + gap.bytes() + edit.bytes();
    }
};

// The steps of one set of curves: at most `depth`, the first `cursor` of them done.
struct Ring {
    std::deque<Step, Alloc<Step>> steps;
    size_t cursor = 0;

    void push(Step &&step, size_t depth) {
        steps.erase(steps.begin() + static_cast<ptrdiff_t>(cursor), steps.end());
        steps.push_back(std::move(step));
        while (steps.size() > depth) steps.pop_front();
        cursor = steps.size();
    }
    bool can_undo() const { return cursor > 0; }
    bool can_redo() const { return cursor < steps.size(); }
    size_t bytes() const {
        size_t n = 0;
        for (const Step &s : steps) n += s.bytes();
        return n;
    }
};

// What the history holds for one set of curves.
struct SetState {
    Vec<CurveBase> values;   // the values at the last step (or undo, redo, first sight)
    CtrlState cp_base;       // the control points the next step starts from
    CtrlState cp_cursor;     // the control points right after the last done step
    Ring ring;
    size_t bytes() const {
        size_t n = held(values) + ctrl_bytes(cp_base) + ctrl_bytes(cp_cursor) + ring.bytes();
        for (const CurveBase &c : values) n += held(c.bytes);
        return n;
    }
};

}  // namespace cep::history
