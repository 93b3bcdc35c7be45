// The drag steps of an open stroke: a straight segment (liner) or the live-wire
// path (livewire) from the last press to the pointer, written into the picked curve.
#include <cmath>
#include <vector>

#include "binding/arrays.hpp"
#include "curves/edits.hpp"
#include "strokes/strokes.hpp"
#include "strokes/segment.hpp"

namespace cep::strokes {

nb::object round_to_int(nb::handle v) {
    double d;
    nb::object r;
    if (exact_double(v, d))
        r = nb::steal(PyLong_FromDouble(std::nearbyint(d)));
    else
        r = nb::steal(PyNumber_Long(module_global("np").attr("round")(v).ptr()));
    if (!r.is_valid()) throw nb::python_error();
    return r;
}

std::pair<nb::object, nb::object> sorted_ends(std::initializer_list<nb::handle> values) {
    // Plain ints, the usual case, need no list: the first smallest and the last
    // largest are what a stable sort puts at the ends.
    bool plain = true;
    long long low = 0, high = 0;
    nb::handle first_low, last_high;
    for (nb::handle v : values) {
        int overflow = 0;
        const long long x = PyLong_CheckExact(v.ptr()) ? PyLong_AsLongLongAndOverflow(v.ptr(), &overflow) : 0;
        if (!PyLong_CheckExact(v.ptr()) || overflow || (x == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            plain = false;
            break;
        }
        if (!first_low.is_valid() || x < low) low = x, first_low = v;
        if (!last_high.is_valid() || x >= high) high = x, last_high = v;
    }
    if (plain) return {nb::borrow(first_low), nb::borrow(last_high)};
    nb::list l;
    for (nb::handle v : values) l.append(v);
    if (PyList_Sort(l.ptr()) < 0) throw nb::python_error();
    return {item(l, 0), item(l, -1)};
}

namespace {

// max(min(v, hi), lo): first the min with hi, then the max with lo.
nb::object clamp(nb::handle v, nb::handle lo, nb::handle hi) {
    nb::object r = nb::borrow(v);
    if (hi < r) r = nb::borrow(hi);
    if (r < lo) r = nb::borrow(lo);
    return r;
}

// max(min(int(np.round(v)), n), 0), without making the intermediate ints for a float.
nb::object clamp_column(nb::handle v, Py_ssize_t n) {
    double d;
    if (exact_double(v, d) && std::isfinite(d)) {
        const double r = std::nearbyint(d);
        return nb::int_(r >= static_cast<double>(n) ? n : r <= 0.0 ? 0 : static_cast<Py_ssize_t>(r));
    }
    return clamp(round_to_int(v), nb::int_(0), nb::int_(n));  // raises for NaN and infinities as int() does
}

// A y value of the segment as np.interp reads it; false for anything but a real
// Python number, which is then left to NumPy.
bool segment_y(nb::handle y, double &out) {
    if (exact_double(y, out)) return true;
    if (!PyLong_Check(y.ptr())) return false;
    out = PyLong_AsDouble(y.ptr());
    if (out == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// curve[x0:x1] = np.interp(np.arange(x0, x1), [x0, x1], [y0, y1]) in place, in
// C++ when the curve is a plain writable vector and every value converts plainly.
bool write_segment(nb::handle curve, int64_t x0, int64_t x1, nb::handle y0, nb::handle y1) {
    double a, b;
    if (!plain_ndarray(curve) || !segment_y(y0, a) || !segment_y(y1, b)) return false;
    ArrayView view;
    if (!view.open(curve, true) || view.ndim() != 1 || x1 > view.shape(0)) return false;
    bool written = false;
    dispatch(view.elem(), [&](auto tag) {
        using T = decltype(tag);
        if (stores_plainly_between<T>(a < b ? a : b, a < b ? b : a)) {
            store_line<T>(view.data(), view.stride(0), x0, x1, a, b);
            written = true;
            return;
        }
        std::vector<double> values(static_cast<size_t>(x1 - x0));
        line_values(x0, x1, a, b, values.data());
        for (double v : values)
            if (!stores_plainly<T>(v)) return;
        for (int64_t c = x0; c < x1; ++c) store_as<T>(view.data() + c * view.stride(0), values[c - x0]);
        written = true;
    });
    return written;
}

// Reads a live-wire contour, (N, 2) or (N, 1, 2), into points; false for a layout
// or element type left to NumPy.
bool read_contour(nb::handle contour, std::vector<PathPoint> &points) {
    if (!plain_ndarray(contour)) return false;
    ArrayView view;
    if (!view.open(contour)) return false;
    const bool flat = view.ndim() == 2 && view.shape(1) == 2;
    const bool nested = view.ndim() == 3 && view.shape(1) == 1 && view.shape(2) == 2;
    const Elem e = view.elem();
    if ((!flat && !nested) || view.shape(0) == 0 || e == Elem::F64 || e == Elem::F32 || e == Elem::U64) return false;
    const Py_ssize_t n = view.shape(0), step = view.stride(0), along = view.stride(view.ndim() - 1);
    points.resize(static_cast<size_t>(n));
    dispatch(e, [&](auto tag) {
        using S = decltype(tag);
        for (Py_ssize_t k = 0; k < n; ++k) {
            const char *p = view.data() + k * step;
            points[k] = {load_int<S>(p), load_int<S>(p + along)};
        }
    });
    return true;
}

// curve[xs] = ys for the reduced points, in C++ when every column is a valid index.
bool write_path(nb::handle curve, const std::vector<PathPoint> &points) {
    if (!plain_ndarray(curve)) return false;
    ArrayView view;
    if (!view.open(curve, true) || view.ndim() != 1) return false;
    const int64_t n = view.shape(0);
    for (const PathPoint &p : points)
        if (p.x < -n || p.x >= n) return false;  // NumPy raises its own IndexError
    return dispatch(view.elem(), [&](auto tag) {
        using T = decltype(tag);
        for (const PathPoint &p : points) store_as<T>(view.data() + (p.x < 0 ? p.x + n : p.x) * view.stride(0), p.y);
    });
}

// The contour steps through NumPy: either layout to an (N, 2) array, sorted by
// column (stably, as the C++ path does), one point per column, written in place.
void write_contour_through_numpy(nb::handle curve, nb::handle contour) {
    nb::object np = module_global("np");
    nb::object arr = np.attr("asarray")(contour);
    nb::list rows;
    const bool nested = nb::getattr(arr, "ndim").equal(nb::int_(3));
    for (nb::handle p : arr) rows.append(nested ? item(p, 0) : nb::borrow(p));
    nb::object pts = np.attr("array")(rows);
    nb::object all = nb::steal(PySlice_New(nullptr, nullptr, nullptr));
    nb::object column0 = nb::make_tuple(all, 0), column1 = nb::make_tuple(all, 1);
    pts = item(pts, item(pts, column0).attr("argsort")("kind"_a = "stable"));
    nb::object unique_index = item(np.attr("unique")(item(pts, column0), "return_index"_a = true), 1);
    pts = item(pts, unique_index);
    curve[item(pts, column0)] = item(pts, column1);
}

// The pending span stretched to take in x0 and x1 (a new list; the old one is kept
// unchanged, as the host may hold it).
// The span widened to take in x0 and x1.
void widen_span(nb::handle self, nb::handle index, nb::handle x0, nb::handle x1) {
    nb::object edited = edits::pending(self);
    nb::object start_x = nb::borrow(x0), end_x = nb::borrow(x1);
    if (!edited.is_none()) {
        start_x = item(edited, 1);
        end_x = item(edited, 2);
    }
    auto [smaller, larger] = sorted_ends({x0, x1, start_x, end_x});
    edits::record(self, index, smaller, larger);
}

}  // namespace

bool liner_step(nb::handle self, const Pointer &pointer) {
    nb::object index = nb::getattr(self, "current_curve_idx");
    nb::object curves = nb::getattr(self, "gCurves");
    nb::object curve = item(curves, index);
    nb::object start = item(nb::getattr(self, "mouse_path"), 0);
    nb::object x0 = item(start, 0), y0 = item(start, 1);
    nb::object x1 = pointer.x, y1 = pointer.y;
    const Py_ssize_t n = nb::len(curve);
    x0 = clamp_column(x0, n);
    x1 = clamp_column(x1, n);
    int64_t c0 = PyLong_AsLongLong(x0.ptr()), c1 = PyLong_AsLongLong(x1.ptr());  // both within [0, n]
    if (PyErr_Occurred()) throw nb::python_error();
    if (c0 == c1) return false;
    if (c1 < c0) {
        std::swap(x0, x1);
        std::swap(y0, y1);
        std::swap(c0, c1);
    }

    if (!write_segment(curve, c0, c1, y0, y1)) {
        nb::object np = module_global("np");
        nb::list xp, fp;
        xp.append(x0);
        xp.append(x1);
        fp.append(y0);
        fp.append(y1);
        nb::object values = np.attr("interp")(np.attr("arange")(x0, x1), xp, fp);
        nb::object span = nb::steal(PySlice_New(x0.ptr(), x1.ptr(), nullptr));
        curve[span] = values;
    }

    if (equals(nb::getattr(self, "update_mode"), "local"))
        widen_span(self, index, x0, x1);
    else
        edits::record(self, index, nb::int_(0), nb::int_(n - 1));
    return true;
}

void livewire_step(nb::handle self, const Pointer &pointer) {
    nb::object index = nb::getattr(self, "current_curve_idx");
    nb::object curves = nb::getattr(self, "gCurves");
    nb::object curve = item(curves, index);
    nb::object x1 = round_to_int(pointer.x);
    nb::object y1 = round_to_int(pointer.y);
    x1 = clamp(x1, nb::int_(0), nb::int_(static_cast<Py_ssize_t>(nb::len(curve)) - 1));
    nb::object contour = nb::getattr(nb::getattr(self, "liveWire"), "getContour")(nb::make_tuple(x1, y1));
    // No path to the pointer: nothing was written, so the span stays as it was.
    if (contour.is_none()) return;
    std::vector<PathPoint> points;
    bool written = false;
    if (read_contour(contour, points)) {
        one_point_per_column(points);
        written = write_path(curve, points);
    }
    if (!written) write_contour_through_numpy(curve, contour);

    nb::object x0 = item(item(nb::getattr(self, "mouse_path"), 0), 0);
    widen_span(self, index, x0, x1);
}

}  // namespace cep::strokes
