// The current frame as 8-bit data, and frames rendered with the curves burnt in.
#include <algorithm>
#include <cstring>
#include <tuple>
#include <vector>

#include "binding/arrays.hpp"
#include "saving/burn_in.hpp"
#include "saving/saving.hpp"
#include "methods.hpp"

namespace cep::saving {

namespace {

[[noreturn]] void raise_status(burn_in::Status s) {
    if (s == burn_in::Status::NotANumber) raise(PyExc_ValueError, "cannot convert float NaN to integer");
    raise(PyExc_OverflowError, "cannot convert float infinity to integer");
}

// Points of a curve that has no typed buffer: float() of each element, as Python
// would take it, then the same rounding and clipping.
void points_generic(nb::handle curve, std::ptrdiff_t n, int64_t h, std::vector<int32_t> &out) {
    for (std::ptrdiff_t x = 0; x < n; ++x) {
        nb::object value = nb::steal(PyNumber_Float(item(curve, x).ptr()));
        if (!value.is_valid()) throw nb::python_error();
        const double v = PyFloat_AS_DOUBLE(value.ptr());
        int32_t row = 0;
        const burn_in::Status s = burn_in::row_of(v, h, row);
        if (s != burn_in::Status::Ok) raise_status(s);
        out[2 * x] = static_cast<int32_t>(x);
        out[2 * x + 1] = row;
    }
}

}  // namespace

nb::object prepare_curve(int64_t h, int64_t w, nb::handle curve, nb::handle props) {
    if (!truthy(props.attr("get")("is_visible", true))) return nb::none();

    nb::object channels = item(item(props, nb::str("color")), nb::slice(nb::none(), nb::int_(3), nb::none()));
    nb::list components;
    for (nb::handle c : channels) {
        PyObject *v = PyNumber_Long(c.ptr());
        if (!v) throw nb::python_error();
        components.append(nb::steal(v));
    }
    nb::object color = nb::tuple(components);

    const Py_ssize_t len = nb::len(curve);
    const std::ptrdiff_t n = std::min<int64_t>(w, len) > 0 ? std::min<int64_t>(w, len) : 0;
    // Local, not shared: reading a generic curve runs Python code, which may render too.
    std::vector<int32_t> points(static_cast<size_t>(2 * n));

    bool done = false;
    ArrayView view;
    nb::object np = module_global("np");
    if (Py_TYPE(curve.ptr()) == reinterpret_cast<PyTypeObject *>(np.attr("ndarray").ptr()) && view.open(curve) &&
        view.ndim() == 1) {
        burn_in::Status s = burn_in::Status::Ok;
        std::ptrdiff_t bad = 0;
        done = dispatch(view.elem(), [&](auto tag) {
            using T = decltype(tag);
            s = burn_in::curve_points<T>(view.data(), view.stride(0), n, h, points.data(), bad);
        });
        view.release();
        if (done && s != burn_in::Status::Ok) raise_status(s);
    }
    if (!done) points_generic(curve, n, h, points);

    if (n < 2) return nb::none();
    nb::object pts = np.attr("empty")(nb::make_tuple(n, 1, 2), "dtype"_a = np.attr("int32"));
    {
        ArrayView out;
        if (!out.open(pts, true)) raise(PyExc_RuntimeError, "point array without a writable buffer");
        std::memcpy(out.data(), points.data(), points.size() * sizeof(int32_t));
    }
    return nb::make_tuple(pts, color);
}

void draw_prepared(nb::handle rgb, nb::handle prepared) {
    if (prepared.is_none()) return;
    nb::object cv2 = module_global("cv2");
    nb::list polys;
    polys.append(item(prepared, 0));
    cv2.attr("polylines")(rgb, polys, false, item(prepared, 1), 1, cv2.attr("LINE_AA"));
}

void burn_in_curve(nb::handle rgb, int64_t h, int64_t w, nb::handle curve, nb::handle props) {
    draw_prepared(rgb, prepare_curve(h, w, curve, props));
}

nb::object get_current_frame_as_uint8(nb::handle self) {
    nb::object items = nb::getattr(self, "added_items");
    if (items.is_none()) return nb::none();
    if (nb::len(items) == 0) return nb::none();
    nb::object img = nb::getattr(item(items, 0), "image");
    if (img.is_none()) return nb::none();
    nb::object np = module_global("np");
    if (!nb::getattr(img, "dtype").equal(np.attr("uint8"))) {
        img = (img * nb::int_(255)).attr("clip")(0, 255).attr("astype")(np.attr("uint8"));
    }
    return img;
}
constexpr MethodDef kGetCurrentFrameAsUint8 = method<get_current_frame_as_uint8>(
    "_get_current_frame_as_uint8", "(self) -> np.ndarray",
    "Return the current displayed frame as a uint8 array, or None if unavailable.");

nb::object render_image_with_curves(nb::handle self, nb::handle frame) {
    nb::object np = module_global("np");
    nb::object h, w, rgb;
    if (nb::getattr(frame, "ndim").equal(nb::int_(2))) {
        std::tie(h, w) = unpack2(nb::getattr(frame, "shape"));
        nb::list planes;
        for (int k = 0; k < 3; ++k) planes.append(frame);
        rgb = np.attr("stack")(planes, "axis"_a = 2).attr("copy")();
    } else {
        std::tie(h, w) = unpack2(item(nb::getattr(frame, "shape"), nb::slice(nb::none(), nb::int_(2), nb::none())));
        rgb = frame.attr("copy")();
    }
    nb::object curves = nb::getattr(self, "gCurves"), props = nb::getattr(self, "curve_props");
    if (curves.is_none() || props.is_none()) return rgb;
    const int64_t hh = nb::cast<int64_t>(h), ww = nb::cast<int64_t>(w);
    nb::object zip = nb::module_::import_("builtins").attr("zip");
    for (nb::handle pair : zip(curves, props)) burn_in_curve(rgb, hh, ww, item(pair, 0), item(pair, 1));
    return rgb;
}
constexpr MethodDef kRenderImageWithCurves = method<render_image_with_curves>(
    "_render_image_with_curves", "(self, frame_img: np.ndarray) -> np.ndarray",
    "Render a single grayscale frame with all visible curves drawn on it as an RGB image.");

}  // namespace cep::saving
