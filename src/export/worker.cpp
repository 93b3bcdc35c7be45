// The stack save worker: a QThread that renders and writes a volume as a TIFF stack.
#include <atomic>
#include <chrono>
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

// Copies volume[i] into stack[i] as three equal channels, without the GIL. Returns
// false when the volume no longer has the frame layout seen at the start (the host
// reshaped it): the caller then takes NumPy's path and its errors.
bool stack_frame_natively(nb::handle volume, nb::handle stack, Py_ssize_t i, Py_ssize_t h, Py_ssize_t w) {
    ArrayView src, dst;
    if (!src.open(volume) || !dst.open(stack, true)) return false;
    if (src.elem() != Elem::U8 || src.ndim() != 3 || src.shape(0) <= i || src.shape(1) != h || src.shape(2) != w)
        return false;
    const uint8_t *from = reinterpret_cast<const uint8_t *>(src.data() + i * src.stride(0));
    uint8_t *to = reinterpret_cast<uint8_t *>(dst.data() + i * dst.stride(0));
    const std::ptrdiff_t row_stride = src.stride(1), col_stride = src.stride(2);
    {
        // Both buffers stay exported (pinned) until the views close, after the GIL is back.
        nb::gil_scoped_release unlocked;
        burn_in::gray_to_rgb(from, h, w, row_stride, col_stride, to);
    }
    return true;
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
        nb::module_::import_("atexit").attr("register")(make_function(kFinishSaves, "_finish_started_saves"));
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
    nb::object volume = item(getattr(self, "kwargs"), nb::str("volume_data"));
    emit(self, "progress", nb::int_(50));
    check_stop(control_of(self));
    nb::dict metadata;
    metadata["axes"] = "ZYX";
    // minisblack: a volume of 3 or 4 frames would otherwise become one colour page
    G("tifffile").attr("imwrite")(getattr(self, "filename"), volume, "metadata"_a = metadata,
                                  "compression"_a = "zlib", "photometric"_a = "minisblack");
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
    nb::object np = G("np");
    nb::object stack = np.attr("zeros")(nb::make_tuple(total_frames, h, w, 3), "dtype"_a = np.attr("uint8"));

    const Py_ssize_t frames = as_index(total_frames);
    const int64_t hh = nb::cast<int64_t>(h), ww = nb::cast<int64_t>(w);
    const bool native = is_exact_ndarray(volume, np) && is_exact_ndarray(stack, np);
    nb::object source = per_frame.is_none() ? curves : per_frame;
    nb::object zip = nb::module_::import_("builtins").attr("zip");

    for (Py_ssize_t i = 0; i < frames; ++i) {
        check_stop(control);
        emit(self, "progress", nb::int_(static_cast<long>(static_cast<double>(i) / static_cast<double>(frames) * 90.0)));
        // Drawing straight into stack[i] gives the pixels of drawing into a copy first.
        nb::object rgb;
        const bool in_place = native && stack_frame_natively(volume, stack, i, hh, ww);
        if (in_place) {
            rgb = item(stack, i);
        } else {
            nb::object frame = item(volume, i);
            nb::list planes;
            for (int k = 0; k < 3; ++k) planes.append(frame);
            rgb = np.attr("stack")(planes, "axis"_a = 2).attr("copy")();
        }
        nb::list prepared;
        for (nb::handle pair : zip(source, props)) {
            nb::object entry = item(pair, 0);
            nb::object y = per_frame.is_none() ? entry : item(entry, i);
            prepared.append(prepare_curve(hh, ww, y, item(pair, 1)));
        }
        for (nb::handle one : prepared) draw_prepared(rgb, one);
        if (!in_place) set_item(stack, nb::int_(i), rgb);
    }
    emit(self, "progress", nb::int_(95));
    check_stop(control);
    nb::dict metadata;
    metadata["axes"] = "ZYXC";
    G("tifffile").attr("imwrite")(getattr(self, "filename"), stack, "metadata"_a = metadata, "compression"_a = "zlib",
                                  "photometric"_a = "rgb");
    emit(self, "progress", nb::int_(100));
    return nb::none();
}

}  // namespace worker
}  // namespace cep::export_
