// The stack save worker: a QThread that renders a volume page by page and writes it as
// a TIFF stack.
#include "binding/arrays.hpp"
#include "saving/burn_in.hpp"
#include "saving/saving.hpp"
#include "methods.hpp"

namespace cep::saving {

namespace {

void emit(nb::handle self, const char *signal, nb::handle value) { nb::getattr(self, signal).attr("emit")(value); }

Py_ssize_t as_index(nb::handle v) {
    nb::object i = nb::steal(PyNumber_Index(v.ptr()));
    if (!i.is_valid()) throw nb::python_error();
    const Py_ssize_t n = PyLong_AsSsize_t(i.ptr());
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    return n;
}

// Copies volume[i] into `rgb` (C-contiguous h x w x 3) as three equal channels,
// without the GIL. Returns false when the volume no longer has the frame layout seen
// at the start (the host reshaped it): the caller then takes NumPy's path and its errors.
bool gray_frame_to_rgb(nb::handle volume, nb::handle rgb, Py_ssize_t i, Py_ssize_t h, Py_ssize_t w) {
    ArrayView src, dst;
    if (!src.open(volume) || !dst.open(rgb, true)) return false;
    if (src.elem() != Elem::U8 || src.ndim() != 3 || src.shape(0) <= i || src.shape(1) != h || src.shape(2) != w)
        return false;
    const uint8_t *from = reinterpret_cast<const uint8_t *>(src.data() + i * src.stride(0));
    uint8_t *to = reinterpret_cast<uint8_t *>(dst.data());
    const std::ptrdiff_t row_stride = src.stride(1), col_stride = src.stride(2);
    {
        // Both buffers stay exported (pinned) until the views close, after the GIL is back.
        nb::gil_scoped_release unlocked;
        burn_in::gray_to_rgb(from, h, w, row_stride, col_stride, to);
    }
    return true;
}

// Deflate levels (libdeflate, through imagecodecs), for speed at about the default
// level's (6) file size, measured on synthetic retina and noise volumes: level 2 is two
// to three times faster on RGB frames, within 1 % in size (level 1 is up to 20 % larger
// there); on grayscale frames level 1 is 20 to 35 % faster, within 3 %.
constexpr int kRgbLevel = 2, kGrayLevel = 1;

// One page of the grayscale stack, as tifffile asks for it.
nb::object gray_page(Closure data, nb::handle i) {  // data: (worker, volume)
    check_stop(control_of(PyTuple_GET_ITEM(data.ptr(), 0)));
    return item(PyTuple_GET_ITEM(data.ptr(), 1), i);
}
constexpr MethodDef kGrayPage = method<gray_page>("gray_page", "(i)");

// One page of the curve stack: frame i as RGB with that frame's curves burnt in.
// tifffile asks for the pages in order, each once, and keeps the strips of the last
// few while they are compressed, so every page is an array of its own.
// data: (worker, volume, curves, per-frame curves or None, props, frames, h, w)
nb::object curve_page(Closure data, nb::handle index) {
    auto at = [&](Py_ssize_t k) { return nb::handle(PyTuple_GET_ITEM(data.ptr(), k)); };
    nb::handle self = at(0), volume = at(1), curves = at(2), per_frame = at(3), props = at(4);
    const Py_ssize_t i = as_index(index), frames = as_index(at(5));
    const int64_t h = nb::cast<int64_t>(at(6)), w = nb::cast<int64_t>(at(7));
    check_stop(control_of(self));
    emit(self, "progress", nb::int_(static_cast<long>(static_cast<double>(i) / static_cast<double>(frames) * 90.0)));

    nb::object np = module_global("np");
    nb::object page = np.attr("empty")(nb::make_tuple(at(6), at(7), 3), "dtype"_a = np.attr("uint8"));
    // Drawing straight into the page gives the pixels of drawing into a copy first.
    const bool in_place = plain_ndarray(volume) && plain_ndarray(page) &&
                          gray_frame_to_rgb(volume, page, i, h, w);
    nb::object rgb = page;
    if (!in_place) {
        nb::object frame = item(volume, i);
        nb::list planes;
        for (int k = 0; k < 3; ++k) planes.append(frame);
        rgb = np.attr("stack")(planes, "axis"_a = 2).attr("copy")();
    }
    nb::object zip = nb::module_::import_("builtins").attr("zip");
    nb::list prepared;
    for (nb::handle pair : zip(per_frame.is_none() ? curves : per_frame, props)) {
        nb::object entry = item(pair, 0);
        nb::object y = per_frame.is_none() ? entry : item(entry, i);
        prepared.append(prepare_curve(h, w, y, item(pair, 1)));
    }
    for (nb::handle one : prepared) draw_prepared(rgb, one);
    if (!in_place) page[nb::ellipsis()] = rgb;  // a wider type wraps, as in a uint8 stack
    if (i + 1 == frames) emit(self, "progress", nb::int_(95));
    return page;
}
constexpr MethodDef kCurvePage = method<curve_page>("curve_page", "(i)");

nb::object pages_of(const MethodDef &def, nb::handle data, nb::handle frames) {
    nb::object builtins = nb::module_::import_("builtins");
    return builtins.attr("map")(make_function(def, def.name, data), builtins.attr("range")(frames));
}

}  // namespace

namespace worker {

void init(nb::handle self, nb::handle filename, nb::handle save_type, nb::dict kwargs) {
    worker_super(self).attr("__init__")();
    nb::setattr(self, "filename", filename);
    nb::setattr(self, "save_type", save_type);
    nb::setattr(self, "kwargs", kwargs);
    register_worker(self);
}
constexpr MethodDef kInit = method<init>("__init__", "(self, filename: str, save_type: str, **kwargs)",
    R"doc(Prepare a save of a volume as a multi-page TIFF file; start() runs it on the
worker thread. CurveEditorPlot's stack save commands make and start it.

================ ===============================================================
**Arguments**
filename         (str) The file to write. The pages go to a new file beside it,
                 which then replaces it, so a failed save leaves an older
                 file as it was.
save_type        (str) "stack": the volume as grayscale pages;
                 "stack_with_curve": RGB pages with the curves burnt in. Any
                 other value writes nothing and still reports success.
**kwargs         volume_data: the uint8 volume (frames, rows, columns).
                 curve_props: the curves' property dicts (see
                 CurveEditorPlot.set_curve()). gCurves: the curves drawn on
                 every frame, or gCurves_volume: for each curve, parallel to
                 curve_props, a sequence of y arrays, one per frame.
================ ===============================================================

================ ===============================================================
**Signals**
progress         (percent) An int from 0 to 100, several times during a save,
                 in order.
finished         (message) Once, after a save without error: "Successfully
                 saved to " and the file name. It replaces QThread's own
                 finished signal.
error            (message) Once, after a failed save: "Error saving: " and the
                 reason.
================ ===============================================================

A save that a newer one replaced while it ran stops at its next frame and emits
neither finished nor error.

================ ===============================================================
**Attributes**
filename         The path of the TIFF file to write, as given to the
                 constructor.
save_type        "stack" or "stack_with_curve", as given to the constructor.
kwargs           The keyword arguments given to the constructor.
================ ===============================================================)doc");

nb::object run(nb::handle self) {
    std::shared_ptr<WorkerControl> control = control_of(self);
    if (self.attr("currentThread")().is(self)) {
        self.attr("setTerminationEnabled")(false);
        if (control) control->entered = true;
    }
    const bool stopping_allowed = control != nullptr;
    auto stopped = [&] { return stopping_allowed && control->stop.load(); };

    PyObject *done = guarded([&]() -> nb::object {
        nb::object save_type = nb::getattr(self, "save_type");
        if (save_type.equal(nb::str("stack")))
            self.attr("_save_stack")();
        else if (save_type.equal(nb::str("stack_with_curve")))
            self.attr("_save_stack_with_curve")();
        if (stopped()) return nb::none();
        emit(self, "finished", nb::str("Successfully saved to ") + nb::str(nb::getattr(self, "filename")));
        return nb::none();
    });
    if (done) {
        Py_DECREF(done);
        return nb::none();
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
    nb::python_error error;
    if (stopped()) return nb::none();
    emit(self, "error", nb::str("Error saving: ") + nb::str(error.value()));
    return nb::none();
}
constexpr MethodDef kRun = method<run>("run", "(self)",
    R"doc(The thread's body, which start() runs on the worker thread: write the file that
``save_type`` asks for, emitting ``progress``, then ``finished``, or ``error`` with
the reason if anything failed. No exception leaves it.)doc");

nb::object save_stack(nb::handle self) {
    std::shared_ptr<WorkerControl> control = control_of(self);
    nb::object volume = item(nb::getattr(self, "kwargs"), nb::str("volume_data"));
    emit(self, "progress", nb::int_(50));
    check_stop(control);
    nb::dict metadata, options;
    metadata["axes"] = "ZYX";
    options["metadata"] = metadata;
    // minisblack: a volume of 3 or 4 frames would otherwise become one colour page
    options["photometric"] = "minisblack";
    std::function<nb::object()> pages = [&] { return volume; };
    // Page by page, so that a save asked to stop ends at the next frame; the same
    // file as the whole array gives (tifffile takes its byte order from the array).
    nb::object np = module_global("np");
    if (PyObject_IsInstance(volume.ptr(), np.attr("ndarray").ptr()) == 1 &&
        nb::getattr(volume, "ndim").equal(nb::int_(3)) && truthy(item(nb::getattr(volume, "shape"), 0))) {
        nb::object dtype = nb::getattr(volume, "dtype");
        options["shape"] = nb::getattr(volume, "shape");
        options["dtype"] = dtype;
        options["byteorder"] = nb::getattr(dtype, "byteorder");
        pages = [&] { return pages_of(kGrayPage, nb::make_tuple(self, volume), item(nb::getattr(volume, "shape"), 0)); };
    }
    write_stack(self, control, pages, kGrayLevel, options);
    emit(self, "progress", nb::int_(100));
    return nb::none();
}
constexpr MethodDef kSaveStack = method<save_stack>("_save_stack", "(self)",
    "Save volume stack as grayscale TIFF.");

nb::object save_stack_with_curve(nb::handle self) {
    std::shared_ptr<WorkerControl> control = control_of(self);
    nb::object kwargs = nb::getattr(self, "kwargs");
    nb::object volume = item(kwargs, nb::str("volume_data"));
    nb::object curves = item(kwargs, nb::str("gCurves"));
    nb::object per_frame = kwargs.attr("get")("gCurves_volume");
    nb::object props = item(kwargs, nb::str("curve_props"));

    nb::object shape = nb::getattr(volume, "shape");
    nb::object total_frames = item(shape, 0), h = item(shape, 1), w = item(shape, 2);
    const Py_ssize_t frames = as_index(total_frames);

    nb::dict metadata, options;
    metadata["axes"] = "ZYXC";
    options["metadata"] = metadata;
    options["photometric"] = "rgb";
    nb::object np = module_global("np");
    options["shape"] = nb::make_tuple(total_frames, h, w, 3);
    options["dtype"] = np.attr("uint8");
    // One RGB frame at a time, rendered as the writer asks for it: memory stays at a
    // few frames whatever the volume, and progress follows the file being written.
    nb::object data = nb::make_tuple(self, volume, curves, per_frame, props, total_frames, h, w);
    auto pages = [&] { return pages_of(kCurvePage, data, total_frames); };
    if (frames == 0) emit(self, "progress", nb::int_(95));
    write_stack(self, control, pages, kRgbLevel, options);
    emit(self, "progress", nb::int_(100));
    return nb::none();
}
constexpr MethodDef kSaveStackWithCurve = method<save_stack_with_curve>("_save_stack_with_curve", "(self)",
    "Save volume stack with curve lines burned in as RGB TIFF.\n\n"
    "If ``gCurves_volume`` was given, entry i of each curve's per-frame sequence is\n"
    "drawn on frame i; otherwise the plot's current curves are drawn on every frame.");

}  // namespace worker
}  // namespace cep::saving
