// The stack save worker's lifetime: its stop flag, and the references that keep a
// started worker alive until its thread has ended.
#include <chrono>
#include <thread>
#include <unordered_map>

#include "saving/saving.hpp"

namespace cep::saving {

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

}  // namespace

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

namespace {

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
void finish_started_saves() {
    if (!g_started) return;
    nb::list pending = nb::borrow<nb::list>(nb::handle(g_started));
    for (nb::handle w : nb::list(pending)) w.attr("wait")();
    if (PyList_SetSlice(g_started, 0, PY_SSIZE_T_MAX, nullptr) < 0) throw nb::python_error();
}
constexpr MethodDef kFinishSaves = method<finish_started_saves>("_finish_started_saves", "()");

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

}  // namespace cep::saving
