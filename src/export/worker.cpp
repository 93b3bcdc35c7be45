// The stack save worker: a QThread that renders and writes a volume as a TIFF stack.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <unordered_map>

#include "binding/arrays.hpp"
#include "export/burn_in.hpp"
#include "export/export.hpp"
#include "methods.hpp"

namespace cep::export_ {

// QThread::terminate cancels the thread wherever it stands. A thread running Python
// is then usually waiting for the interpreter lock and dies holding its mutex (every
// other thread hangs), or the forced unwind crosses a catch-all and aborts. So run()
// turns Qt termination off for its thread, the cancel Qt then leaves pending never
// fires, and the worker ends itself at the next frame once the plot has asked it to.
struct WorkerControl {
    std::atomic<bool> entered{false};  // run() is under way with termination off
    std::atomic<bool> stop{false};
    PyObject *weakref = nullptr;       // its callback drops the entry with the worker
};

namespace {

// Keyed by live worker; only touched with the GIL held. Never destroyed: it may hold
// Python objects when the process exits.
using ControlMap = std::unordered_map<PyObject *, std::shared_ptr<WorkerControl>>;
ControlMap &controls() {
    static auto *map = new ControlMap;
    return *map;
}

PyObject *forget_worker(PyObject *key, PyObject *) {
    auto &map = controls();
    auto it = map.find(static_cast<PyObject *>(PyLong_AsVoidPtr(key)));
    if (it != map.end()) {
        Py_XDECREF(it->second->weakref);
        map.erase(it);
    }
    Py_RETURN_NONE;
}
PyMethodDef kForgetDef = {"_forget_worker", forget_worker, METH_O, nullptr};

void register_worker(nb::handle self) {
    nb::object key = nb::steal(PyLong_FromVoidPtr(self.ptr()));
    nb::object callback = nb::steal(PyCFunction_New(&kForgetDef, key.ptr()));
    if (!key.is_valid() || !callback.is_valid()) throw nb::python_error();
    PyObject *ref = PyWeakref_NewRef(self.ptr(), callback.ptr());
    if (!ref) throw nb::python_error();
    auto control = std::make_shared<WorkerControl>();
    control->weakref = ref;
    auto &slot = controls()[self.ptr()];
    if (slot) Py_XDECREF(slot->weakref);
    slot = std::move(control);
}

std::shared_ptr<WorkerControl> control_of(nb::handle self) {
    auto &map = controls();
    auto it = map.find(self.ptr());
    return it == map.end() ? nullptr : it->second;
}

void check_stop(const std::shared_ptr<WorkerControl> &control) {
    if (control && control->stop.load()) raise(PyExc_RuntimeError, "save stopped");
}

void emit(nb::handle self, const char *signal, nb::handle value) { getattr(self, signal).attr("emit")(value); }

nb::object concat(const char *prefix, nb::handle value) {
    nb::object text = nb::steal(PyObject_Str(value.ptr()));
    if (!text.is_valid()) throw nb::python_error();
    PyObject *r = PyUnicode_Concat(nb::str(prefix).ptr(), text.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

Py_ssize_t as_index(nb::handle v) {
    nb::object i = nb::steal(PyNumber_Index(v.ptr()));
    if (!i.is_valid()) throw nb::python_error();
    const Py_ssize_t n = PyLong_AsSsize_t(i.ptr());
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    return n;
}

bool is_exact_ndarray(nb::handle obj, nb::handle np) {
    return Py_TYPE(obj.ptr()) == reinterpret_cast<PyTypeObject *>(np.attr("ndarray").ptr());
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

// Strips handed to the compressor threads at once (tifffile's buffersize): about ten
// RGB frames of 496 x 1024, where tifffile's default would gather up to 512 MB.
constexpr long kWriteBuffer = 16L << 20;

// An OSError about the file beside the target, told with the path the user chose.
[[noreturn]] void rethrow_for(nb::python_error &e, nb::handle shown) {
    if (e.matches(PyExc_OSError)) {
        nb::handle error = e.value();
        nb::object code = getattr(error, "errno");
        if (!code.is_none()) {
            nb::handle type = error.type();
            nb::object told = type(code, getattr(error, "strerror"), shown);
            PyErr_SetObject(type.ptr(), told.ptr());
            throw nb::python_error();
        }
    }
    throw;
}

// Removes the unfinished file; the save's own error is the one reported.
void discard(nb::handle os, nb::handle file, nb::handle temp) {
    try {
        if (file.is_valid()) file.attr("close")();
    } catch (nb::python_error &) {
    }
    try {
        os.attr("unlink")(temp);
    } catch (nb::python_error &) {
    }
}

// A replaced file keeps its permission bits, as one overwritten in place does.
void keep_mode(nb::handle os, nb::handle target, nb::handle temp) {
    try {
        nb::object mode = getattr(os.attr("stat")(target), "st_mode");
        nb::object bits = nb::steal(PyNumber_And(mode.ptr(), nb::int_(07777).ptr()));
        if (!bits.is_valid()) throw nb::python_error();
        os.attr("chmod")(temp, bits);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_FileNotFoundError)) throw;
    }
}

// True once interpreter exit has begun: no thread may start from then on.
bool threads_refused(nb::handle os) {
    nb::object probe = nb::module_::import_("threading").attr("Thread")("target"_a = os.attr("getpid"));
    try {
        probe.attr("start")();
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_RuntimeError)) return true;
        throw;
    }
    probe.attr("join")();
    return false;
}

// tifffile.imwrite(filename, pages, compression="zlib", **options), compressing on
// every core at deflate `level`. The file is written beside the target and renamed into place once
// complete: a failed or stopped save leaves no truncated file at the path, and an
// older file there is only ever replaced by a whole one.
void write_stack(nb::handle self, const std::shared_ptr<WorkerControl> &control,
                 const std::function<nb::object()> &pages, int level, nb::dict options) {
    nb::object os = nb::module_::import_("os");
    nb::object cores = os.attr("cpu_count")();
    options["compression"] = "zlib";
    nb::dict codec;
    codec["level"] = level;
    options["compressionargs"] = codec;
    options["maxworkers"] = cores.is_none() ? nb::int_(1) : cores;
    options["buffersize"] = nb::int_(kWriteBuffer);
    nb::object imwrite = G("tifffile").attr("imwrite");
    auto write_to = [&](nb::handle file) {
        PyObject *r = PyObject_Call(imwrite.ptr(), nb::make_tuple(file, pages()).ptr(), options.ptr());
        if (!r) throw nb::python_error();
        Py_DECREF(r);
    };

    nb::object filename = getattr(self, "filename");
    nb::object builtins = nb::module_::import_("builtins");
    nb::object path_like = nb::make_tuple(builtins.attr("str"), builtins.attr("bytes"), os.attr("PathLike"));
    const int is_path = PyObject_IsInstance(filename.ptr(), path_like.ptr());
    if (is_path < 0) throw nb::python_error();
    if (!is_path) {  // an open file: written as given
        write_to(filename);
        return;
    }
    nb::object ospath = os.attr("path");
    nb::object shown = os.attr("fsdecode")(filename);
    nb::object target = ospath.attr("realpath")(shown);  // a link keeps pointing at the new file
    auto [folder, name] = unpack2(ospath.attr("split")(target));
    nb::object tag = os.attr("urandom")(4).attr("hex")();
    nb::object temp = ospath.attr("join")(folder, nb::str(".{}.{}.part").attr("format")(name, tag));
    nb::object file;
    try {
        file = builtins.attr("open")(temp, "xb");
    } catch (nb::python_error &e) {
        rethrow_for(e, shown);
    }
    try {
        try {
            write_to(file);
        } catch (nb::python_error &e) {
            if ((control && control->stop.load()) || !e.matches(PyExc_RuntimeError) || !threads_refused(os)) throw;
            // Interpreter exit refuses new threads, and tifffile's compressor pool starts
            // its own with the first strips: write the file again on this thread alone.
            file.attr("seek")(0);
            file.attr("truncate")();
            options["maxworkers"] = 1;
            write_to(file);
        }
        file.attr("flush")();
        os.attr("fsync")(file.attr("fileno")());
        file.attr("close")();
        check_stop(control);
        keep_mode(os, target, temp);
        try {
            os.attr("replace")(temp, target);
        } catch (nb::python_error &e) {
            rethrow_for(e, shown);
        }
    } catch (...) {
        discard(os, file, temp);
        throw;
    }
}

// One page of the grayscale stack, as tifffile asks for it.
nb::object gray_page(Call &c) {
    nb::handle data = c.closure;  // (worker, volume)
    check_stop(control_of(PyTuple_GET_ITEM(data.ptr(), 0)));
    return item(PyTuple_GET_ITEM(data.ptr(), 1), c.arg("i"));
}
const MethodDef kGrayPage = {"gray_page", "(i)", gray_page, nullptr};

// One page of the curve stack: frame i as RGB with that frame's curves burnt in.
// tifffile asks for the pages in order, each once, and keeps the strips of the last
// few while they are compressed, so every page is an array of its own.
nb::object curve_page(Call &c) {
    nb::handle data = c.closure;  // (worker, volume, curves, per-frame curves or None, props, frames, h, w)
    auto at = [&](Py_ssize_t k) { return nb::handle(PyTuple_GET_ITEM(data.ptr(), k)); };
    nb::handle self = at(0), volume = at(1), curves = at(2), per_frame = at(3), props = at(4);
    const Py_ssize_t i = as_index(c.arg("i")), frames = as_index(at(5));
    const int64_t h = nb::cast<int64_t>(at(6)), w = nb::cast<int64_t>(at(7));
    check_stop(control_of(self));
    emit(self, "progress", nb::int_(static_cast<long>(static_cast<double>(i) / static_cast<double>(frames) * 90.0)));

    nb::object np = G("np");
    nb::object page = np.attr("empty")(nb::make_tuple(at(6), at(7), 3), "dtype"_a = np.attr("uint8"));
    // Drawing straight into the page gives the pixels of drawing into a copy first.
    const bool in_place = is_exact_ndarray(volume, np) && is_exact_ndarray(page, np) &&
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
    if (!in_place) set_item(page, nb::ellipsis(), rgb);  // a wider type wraps, as in a uint8 stack
    if (i + 1 == frames) emit(self, "progress", nb::int_(95));
    return page;
}
const MethodDef kCurvePage = {"curve_page", "(i)", curve_page, nullptr};

nb::object pages_of(const MethodDef &def, nb::handle data, nb::handle frames) {
    nb::object builtins = nb::module_::import_("builtins");
    return builtins.attr("map")(make_closure(def, def.name, data), builtins.attr("range")(frames));
}

// Started workers stay referenced here until their thread has ended: a QThread object
// destroyed while its thread runs aborts the process, and the host may drop the plot
// (and with it the last reference) while a save is still being written.
PyObject *g_started = nullptr;  // list, touched with the GIL held only

void prune_started() {
    nb::list alive;
    for (nb::handle w : nb::handle(g_started))
        if (truthy(w.attr("isRunning")())) alive.append(w);
    if (PyList_SetSlice(g_started, 0, PY_SSIZE_T_MAX, alive.ptr()) < 0) throw nb::python_error();
}

// At interpreter exit a save under way is finished, not cut off: its file is the user's.
nb::object finish_started_saves(Call &) {
    if (!g_started) return nb::none();
    nb::list pending = nb::borrow<nb::list>(nb::handle(g_started));
    for (nb::handle w : nb::list(pending)) w.attr("wait")();
    if (PyList_SetSlice(g_started, 0, PY_SSIZE_T_MAX, nullptr) < 0) throw nb::python_error();
    return nb::none();
}
const MethodDef kFinishSaves = {"_finish_started_saves", "()", finish_started_saves, nullptr};

}  // namespace

void keep_until_finished(nb::handle worker) {
    if (!g_started) {
        g_started = PyList_New(0);
        if (!g_started) throw nb::python_error();
        // Registered with threading rather than atexit: interpreter shutdown first stops
        // thread pools taking work (tifffile compresses in one), then runs atexit.
        nb::object finish = make_function(kFinishSaves, "_finish_started_saves");
        nb::object threading = nb::module_::import_("threading");
        bool registered = false;
        if (has_attr(threading, "_register_atexit")) {
            try {
                threading.attr("_register_atexit")(finish);
                registered = true;
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_RuntimeError)) throw;  // shutdown already under way
            }
        }
        if (!registered) nb::module_::import_("atexit").attr("register")(finish);
    }
    prune_started();
    if (PyList_Append(g_started, worker.ptr()) < 0) throw nb::python_error();
}

void request_stop(nb::handle worker) {
    std::shared_ptr<WorkerControl> control = control_of(worker);
    if (!control) return;
    control->stop = true;
    // Qt may only cancel the thread once run() has turned termination off; until then
    // it may be waiting for the interpreter lock, which this thread must give up.
    for (int k = 0; k < 10000 && !control->entered.load(); ++k) {
        if (!truthy(worker.attr("isRunning")())) break;
        nb::gil_scoped_release unlocked;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

namespace worker {

nb::object init(Call &c) {
    nb::handle self = c.self();
    worker_super(self).attr("__init__")();
    setattr(self, "filename", c.arg("filename"));
    setattr(self, "save_type", c.arg("save_type"));
    setattr(self, "kwargs", c.varkw);
    register_worker(self);
    return nb::none();
}

nb::object run(Call &c) {
    nb::handle self = c.self();
    std::shared_ptr<WorkerControl> control = control_of(self);
    if (self.attr("currentThread")().is(self)) {
        self.attr("setTerminationEnabled")(false);
        if (control) control->entered = true;
    }
    const bool stopping_allowed = control != nullptr;
    auto stopped = [&] { return stopping_allowed && control->stop.load(); };

    PyObject *done = guarded([&]() -> nb::object {
        nb::object save_type = getattr(self, "save_type");
        if (py_eq(save_type, "stack"))
            self.attr("_save_stack")();
        else if (py_eq(save_type, "stack_with_curve"))
            self.attr("_save_stack_with_curve")();
        if (stopped()) return nb::none();
        emit(self, "finished", concat("Successfully saved to ", getattr(self, "filename")));
        return nb::none();
    });
    if (done) {
        Py_DECREF(done);
        return nb::none();
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
    nb::python_error error;
    if (stopped()) return nb::none();
    emit(self, "error", concat("Error saving: ", error.value()));
    return nb::none();
}

nb::object save_stack(Call &c) {
    nb::handle self = c.self();
    std::shared_ptr<WorkerControl> control = control_of(self);
    nb::object volume = item(getattr(self, "kwargs"), nb::str("volume_data"));
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
    nb::object np = G("np");
    if (PyObject_IsInstance(volume.ptr(), np.attr("ndarray").ptr()) == 1 &&
        py_eq(getattr(volume, "ndim"), nb::int_(3)) && truthy(item(getattr(volume, "shape"), 0))) {
        nb::object dtype = getattr(volume, "dtype");
        options["shape"] = getattr(volume, "shape");
        options["dtype"] = dtype;
        options["byteorder"] = getattr(dtype, "byteorder");
        pages = [&] { return pages_of(kGrayPage, nb::make_tuple(self, volume), item(getattr(volume, "shape"), 0)); };
    }
    write_stack(self, control, pages, kGrayLevel, options);
    emit(self, "progress", nb::int_(100));
    return nb::none();
}

nb::object save_stack_with_curve(Call &c) {
    nb::handle self = c.self();
    std::shared_ptr<WorkerControl> control = control_of(self);
    nb::object kwargs = getattr(self, "kwargs");
    nb::object volume = item(kwargs, nb::str("volume_data"));
    nb::object curves = item(kwargs, nb::str("gCurves"));
    nb::object per_frame = kwargs.attr("get")("gCurves_volume");
    nb::object props = item(kwargs, nb::str("curve_props"));

    nb::object shape = getattr(volume, "shape");
    nb::object total_frames = item(shape, 0), h = item(shape, 1), w = item(shape, 2);
    const Py_ssize_t frames = as_index(total_frames);

    nb::dict metadata, options;
    metadata["axes"] = "ZYXC";
    options["metadata"] = metadata;
    options["photometric"] = "rgb";
    nb::object np = G("np");
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

}  // namespace worker
}  // namespace cep::export_
