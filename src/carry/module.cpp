// Module entry of vantel.utils.curveCarry: carry(), which follows a corrected stretch of a
// layer's curve into neighbouring frames. Checks the arguments and reads the volume in place.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "binding/errors.hpp"
#include "carry/follow.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace cep::carry {
namespace {

std::string tp_name(nb::handle h) { return Py_TYPE(h.ptr())->tp_name; }

// str(value)
std::string text(nb::handle value) {
    nb::object s = nb::steal(PyObject_Str(value.ptr()));
    if (!s.is_valid()) throw nb::python_error();
    const char *utf8 = PyUnicode_AsUTF8(s.ptr());
    if (!utf8) throw nb::python_error();
    return utf8;
}

// operator.index(value), with the argument's name in the error
std::ptrdiff_t as_index(nb::handle value, const std::string &name) {
    PyObject *i = PyNumber_Index(value.ptr());
    if (!i) {
        PyErr_Clear();
        throw nb::type_error((name + " must be an integer, not " + tp_name(value)).c_str());
    }
    Py_ssize_t v = PyNumber_AsSsize_t(i, nullptr);  // clipped: still out of range below
    Py_DECREF(i);
    return v;
}

nb::object real_array(nb::handle np, nb::handle value, const char *name, size_t ndim, const char *layout) {
    nb::object a = np.attr("asarray")(value);
    std::string kind = text(a.attr("dtype").attr("kind"));
    if (kind.size() != 1 || std::string("buif").find(kind[0]) == std::string::npos)
        throw nb::type_error((std::string(name) + " must hold real numbers, not " +
                              text(a.attr("dtype"))).c_str());
    size_t got = nb::cast<size_t>(a.attr("ndim"));
    if (got != ndim)
        throw nb::value_error((std::string(name) + " must be " + layout + ", got an array of " +
                               std::to_string(got) + " dimension(s)").c_str());
    return a;
}

// The volume as the kernel reads it: frame i starts at data + slot[i] * frame_stride.
struct Volume {
    const char *data = nullptr;
    std::ptrdiff_t frame_stride = 0, row_stride = 0, col_stride = 0, rows = 0;
    nb::object keep;                  // what `data` points into
    std::vector<std::ptrdiff_t> slot;

    template <class T>
    StridedFrame<T> frame(std::ptrdiff_t i) const {
        return {data + slot[i] * frame_stride, row_stride, col_stride, rows};
    }
};

enum class Elem { u8, i8, u16, i16, u32, i32, u64, i64, f32, f64, b1 };

bool element_of(const nb::dlpack::dtype &t, Elem &e) {
    using C = nb::dlpack::dtype_code;
    if (t.lanes != 1) return false;
    switch (static_cast<C>(t.code)) {
        case C::UInt:
            if (t.bits == 8) e = Elem::u8; else if (t.bits == 16) e = Elem::u16;
            else if (t.bits == 32) e = Elem::u32; else if (t.bits == 64) e = Elem::u64; else return false;
            return true;
        case C::Int:
            if (t.bits == 8) e = Elem::i8; else if (t.bits == 16) e = Elem::i16;
            else if (t.bits == 32) e = Elem::i32; else if (t.bits == 64) e = Elem::i64; else return false;
            return true;
        case C::Float:
            if (t.bits == 32) e = Elem::f32; else if (t.bits == 64) e = Elem::f64; else return false;
            return true;
        case C::Bool:
            if (t.bits != 8) return false;
            e = Elem::b1;
            return true;
        default: return false;
    }
}

// The frames in place when their element type is one we read; otherwise (float16, a byte
// order not the machine's ...) only the frames the carry visits, converted to float64.
Volume open_volume(nb::handle np, nb::handle frames, const std::vector<std::ptrdiff_t> &needed,
                   std::ptrdiff_t n_frames, Elem &elem) {
    Volume v;
    v.slot.assign(static_cast<size_t>(n_frames), 0);
    nb::ndarray<nb::ro> a;
    if (nb::try_cast(frames, a) && a.ndim() == 3 && element_of(a.dtype(), elem)) {
        const std::ptrdiff_t item = a.itemsize();
        v.data = static_cast<const char *>(a.data());
        v.frame_stride = a.stride(0) * item;
        v.row_stride = a.stride(1) * item;
        v.col_stride = a.stride(2) * item;
        v.rows = static_cast<std::ptrdiff_t>(a.shape(1));
        for (std::ptrdiff_t i = 0; i < n_frames; ++i) v.slot[i] = i;
        v.keep = nb::borrow(frames);
        return v;
    }
    nb::list picked;
    for (size_t k = 0; k < needed.size(); ++k) {
        v.slot[needed[k]] = static_cast<std::ptrdiff_t>(k);
        picked.append(frames[nb::int_(needed[k])]);
    }
    nb::object small = np.attr("ascontiguousarray")(np.attr("stack")(picked), "dtype"_a = np.attr("float64"));
    auto c = nb::cast<nb::ndarray<const double, nb::ndim<3>, nb::c_contig>>(small);
    elem = Elem::f64;
    v.data = reinterpret_cast<const char *>(c.data());
    v.rows = static_cast<std::ptrdiff_t>(c.shape(1));
    v.col_stride = sizeof(double);
    v.row_stride = static_cast<std::ptrdiff_t>(c.shape(2)) * v.col_stride;
    v.frame_stride = v.rows * v.row_stride;
    v.keep = small;
    return v;
}

// The source's values in the span with its gaps filled linearly (held flat past the last
// known value at either end), so every column has a row to start from.
std::vector<double> filled(const double *y, std::ptrdiff_t n) {
    std::vector<double> out(y, y + n);
    std::ptrdiff_t last = -1;
    for (std::ptrdiff_t c = 0; c < n; ++c) {
        if (!std::isfinite(out[c])) continue;
        if (last < 0)
            for (std::ptrdiff_t k = 0; k < c; ++k) out[k] = out[c];
        else
            for (std::ptrdiff_t k = last + 1; k < c; ++k)
                out[k] = out[last] + (out[c] - out[last]) * double(k - last) / double(c - last);
        last = c;
    }
    for (std::ptrdiff_t k = last + 1; k < n; ++k) out[k] = out[last];
    return out;
}

// The sought profiles mix the source's, which keep the carry on the corrected edge, with
// the previous frame's, which follow the edge as its look changes through the volume.
template <class T>
void run(const Volume &v, const std::vector<std::ptrdiff_t> &targets, std::ptrdiff_t source,
         std::ptrdiff_t start, std::ptrdiff_t stop, std::ptrdiff_t width, std::vector<double> prev,
         const std::vector<bool> &source_known, std::vector<double *> &outs, const Params &p) {
    Scratch s;
    std::ptrdiff_t n = stop - start, from = source;
    std::vector<double> next(static_cast<size_t>(n));
    Sought at_source, at_prev, sought;
    std::vector<bool> all(static_cast<size_t>(n), true);
    profiles(v.frame<T>(source), v.rows, start, prev.data(), n, source_known, p, at_source, s);
    auto mix = [&](std::vector<double> &out, const std::vector<double> &a, const std::vector<double> &b) {
        for (size_t i = 0; i < out.size(); ++i) out[i] = (1 - p.mix) * a[i] + p.mix * b[i];
    };
    for (size_t k = 0; k < targets.size(); ++k) {
        double *out = outs[k];
        double left = start > 0 ? out[start - 1] : NAN;
        double right = stop < width ? out[stop] : NAN;
        if (k == 0) {
            sought = at_source;
        } else {
            profiles(v.frame<T>(from), v.rows, start, prev.data(), n, all, p, at_prev, s);
            mix(sought.wide, at_source.wide, at_prev.wide);
            mix(sought.fine, at_source.fine, at_prev.fine);
        }
        follow(v.frame<T>(targets[k]), v.rows, start, prev.data(), n, sought, out + start, left, right, p,
               next.data(), s);
        std::copy(next.begin(), next.end(), out + start);
        prev.swap(next);
        from = targets[k];
    }
}

nb::list carry(nb::handle frames_arg, nb::handle curves_arg, nb::handle source_arg, nb::handle targets_arg,
               nb::handle start_arg, nb::handle stop_arg, nb::handle band_arg) {
    nb::module_ np = nb::module_::import_("numpy");
    nb::object frames = real_array(np, frames_arg, "frames", 3, "frames x rows x columns");
    nb::object curves = real_array(np, curves_arg, "curves", 2, "frames x columns");
    nb::tuple fshape = frames.attr("shape"), cshape = curves.attr("shape");
    std::ptrdiff_t n_frames = nb::cast<std::ptrdiff_t>(fshape[0]), rows = nb::cast<std::ptrdiff_t>(fshape[1]),
                   width = nb::cast<std::ptrdiff_t>(fshape[2]);
    if (nb::cast<std::ptrdiff_t>(cshape[0]) != n_frames || nb::cast<std::ptrdiff_t>(cshape[1]) != width)
        throw nb::value_error(("curves has shape " + text(cshape) +
                               ", but frames of shape " + text(fshape) + " need (" +
                               std::to_string(n_frames) + ", " + std::to_string(width) + ")").c_str());
    if (rows < 1) throw nb::value_error("frames must have at least one row");

    auto in_volume = [&](std::ptrdiff_t i, const std::string &name) {
        if (i < 0 || i >= n_frames)
            throw nb::index_error((name + " = " + std::to_string(i) + " is outside the volume of " +
                                   std::to_string(n_frames) + " frames").c_str());
    };
    std::ptrdiff_t source = as_index(source_arg, "source");
    in_volume(source, "source");

    nb::object iter = nb::steal(PyObject_GetIter(targets_arg.ptr()));
    if (!iter.is_valid()) {
        PyErr_Clear();
        throw nb::type_error(("targets must be a sequence of frame indices, not " + tp_name(targets_arg)).c_str());
    }
    std::vector<std::ptrdiff_t> targets;
    while (PyObject *t = PyIter_Next(iter.ptr())) {
        nb::object item = nb::steal(t);
        std::string name = "targets[" + std::to_string(targets.size()) + "]";
        targets.push_back(as_index(item, name));
        in_volume(targets.back(), name);
    }
    if (PyErr_Occurred()) throw nb::python_error();

    std::ptrdiff_t start = as_index(start_arg, "start"), stop = as_index(stop_arg, "stop");
    if (start < 0 || start >= width)
        throw nb::index_error(("start = " + std::to_string(start) + " is outside the curve's columns 0.." +
                               std::to_string(width - 1)).c_str());
    if (stop < 1 || stop > width)
        throw nb::index_error(("stop = " + std::to_string(stop) + " is outside the curve's columns 1.." +
                               std::to_string(width)).c_str());
    if (start >= stop)
        throw nb::value_error(("start (" + std::to_string(start) + ") must be less than stop (" +
                               std::to_string(stop) + ")").c_str());
    std::ptrdiff_t band = as_index(band_arg, "band");
    if (band < 1) throw nb::value_error(("band must be at least 1, got " + std::to_string(band)).c_str());

    auto row_of = [&](std::ptrdiff_t i) {
        return np.attr("array")(curves[nb::int_(i)], "dtype"_a = np.attr("float64"));
    };
    nb::object src = row_of(source);
    const double *src_data = nb::cast<nb::ndarray<const double, nb::ndim<1>>>(src).data();
    bool any = false;
    for (std::ptrdiff_t c = start; c < stop && !any; ++c) any = std::isfinite(src_data[c]);
    if (!any)
        throw nb::value_error(("curves[source] has no value in columns " + std::to_string(start) + ".." +
                               std::to_string(stop - 1)).c_str());

    nb::list result;
    std::vector<double *> outs;
    for (std::ptrdiff_t t : targets) {
        nb::object row = row_of(t);
        outs.push_back(nb::cast<nb::ndarray<double, nb::ndim<1>, nb::c_contig>>(row).data());
        result.append(row);
    }
    if (targets.empty()) return result;

    std::vector<std::ptrdiff_t> needed{source};
    needed.insert(needed.end(), targets.begin(), targets.end());
    Elem elem;
    Volume v = open_volume(np, frames, needed, n_frames, elem);
    Params p;
    // Farther than the image is tall changes nothing, and keeps the state count bounded.
    p.band = static_cast<int>(std::min<std::ptrdiff_t>(band, rows));
    std::vector<double> prev = filled(src_data + start, stop - start);
    std::vector<bool> known(static_cast<size_t>(stop - start));
    for (std::ptrdiff_t c = start; c < stop; ++c) known[c - start] = std::isfinite(src_data[c]);
    switch (elem) {
        case Elem::u8: run<std::uint8_t>(v, targets, source, start, stop, width, prev, known, outs, p); break;
        case Elem::i8: run<std::int8_t>(v, targets, source, start, stop, width, prev, known, outs, p); break;
        case Elem::u16: run<std::uint16_t>(v, targets, source, start, stop, width, prev, known, outs, p); break;
        case Elem::i16: run<std::int16_t>(v, targets, source, start, stop, width, prev, known, outs, p); break;
        case Elem::u32: run<std::uint32_t>(v, targets, source, start, stop, width, prev, known, outs, p); break;
        case Elem::i32: run<std::int32_t>(v, targets, source, start, stop, width, prev, known, outs, p); break;
        case Elem::u64: run<std::uint64_t>(v, targets, source, start, stop, width, prev, known, outs, p); break;
        case Elem::i64: run<std::int64_t>(v, targets, source, start, stop, width, prev, known, outs, p); break;
        case Elem::f32: run<float>(v, targets, source, start, stop, width, prev, known, outs, p); break;
        case Elem::f64: run<double>(v, targets, source, start, stop, width, prev, known, outs, p); break;
        case Elem::b1: run<bool>(v, targets, source, start, stop, width, prev, known, outs, p); break;
    }
    return result;
}

// A text signature makes inspect.signature() and the stub checker see a plain function.
const char kCarryDoc[] =
    "carry($module, /, frames, curves, source, targets, start, stop, band=8)\n--\n\n"
    "Carries the corrected columns [start, stop) of one layer's curve in frame `source` into\n"
    "the frames `targets`, in the order given, each from the result of the one before.\n\n"
    "frames: the volume, frames x rows x columns, any real dtype (read in place: only the\n"
    "    rows near the curve of the frames visited). curves: the layer's curves, frames x\n"
    "    columns, NaN where there is no value. band: rows the layer may move from one frame\n"
    "    to the next.\n\n"
    "Returns one new float64 curve per target: the target's own values outside the span;\n"
    "inside, the edge the source curve lies on, followed within `band` rows of the previous\n"
    "frame's result as a continuous curve that meets the target's own values at both ends of\n"
    "the span where they are known. Where the edge fades, the curve keeps its shape; where\n"
    "the target's own curve already lies on the edge found, it is kept.\n\n"
    "Raises ValueError for shapes that disagree, start >= stop, band < 1 or a source curve\n"
    "without a value in the span; IndexError for a source or target outside the volume or\n"
    "start/stop outside the curve; TypeError for arguments of the wrong type.";

PyObject *carry_entry(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *names[] = {"frames", "curves", "source", "targets", "start", "stop", "band", nullptr};
    PyObject *a[7] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOO|O:carry", const_cast<char **>(names), &a[0], &a[1],
                                     &a[2], &a[3], &a[4], &a[5], &a[6]))
        return nullptr;
    return cep::guarded([&] {
        nb::object band = a[6] ? nb::borrow(a[6]) : nb::int_(8);
        return nb::object(carry(a[0], a[1], a[2], a[3], a[4], a[5], band));
    });
}

PyMethodDef kCarryDef = {"carry", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(carry_entry)),
                         METH_VARARGS | METH_KEYWORDS, kCarryDoc};

}  // namespace
}  // namespace cep::carry

NB_MODULE(curveCarry, m) {
    m.doc() = "Carries a correction of a layer's curve into neighbouring frames of a volume.";
    nb::object f = nb::steal(PyCFunction_NewEx(&cep::carry::kCarryDef, m.ptr(), nb::str("vantel.utils.curveCarry").ptr()));
    if (!f.is_valid()) throw nb::python_error();
    m.attr("carry") = f;
}
