// Module entry of vantel.utils.curveEditHistory: the CurveEditHistory class, which
// listens to a CurveEditorPlot's signals and undoes and redoes whole edits.
#include "binding/py.hpp"
#include "history/tracker.hpp"

#include <utility>

namespace cep {

PyObject *g_module_dict = nullptr;

namespace history {
namespace {

PyObject *g_history_class = nullptr;
const char kCapsule[] = "vantel.utils.curveEditHistory.state";

const char kDoc[] =
    "Undo and redo of whole edits of a CurveEditorPlot.\n\n"
    "Attaches to the plot at construction and listens to its signals; one step per anchors drag,\n"
    "liner or live-wire stroke, or context-menu point command. Steps belong to the curve arrays\n"
    "they changed: undo() and redo() act on the steps of the curves the plot shows now.\n\n"
    "Signal sigHistoryChanged(): what canUndo() or canRedo() answer may have changed.";

Tracker &tracker(nb::handle self) {
    PyObject *cap = PyObject_GetAttrString(self.ptr(), "_state");
    if (!cap) {
        PyErr_Clear();
        raise(PyExc_RuntimeError, "CurveEditHistory.__init__() has not been called");
    }
    nb::object held = nb::steal(cap);
    void *p = PyCapsule_GetPointer(cap, kCapsule);
    if (!p) throw nb::python_error();
    return *static_cast<Tracker *>(p);
}

// The plot while it and its Qt object exist; otherwise the history lets go of everything.
nb::object live_plot(Tracker &t) {
    nb::object plot = t.plot();
    if (plot.is_valid() && truthy(module_global("shiboken6").attr("isValid")(plot))) return plot;
    t.clear(nb::handle());
    return nb::object();
}

void changed(nb::handle self) { getattr(self, "sigHistoryChanged").attr("emit")(); }

// Tells the host what undo or redo rewrote, as the plot does after an edit.
void announce(Tracker &t, nb::handle plot, const std::vector<Touched> &cols) {
    struct Busy {
        Tracker &t;
        explicit Busy(Tracker &t) : t(t) { t.busy = true; }
        ~Busy() { t.busy = false; }
    } busy(t);
    // The restored control points may no longer hold the focused one.
    setattr(plot, "modified_ctrl_point", nb::none());
    setattr(plot, "modified_left_adjcent_points", nb::list());
    setattr(plot, "modified_right_adjcent_points", nb::list());
    getattr(plot, "target").attr("hide")();
    plot.attr("plot")();
    nb::object curves = getattr(plot, "gCurves");
    for (const Touched &c : cols) {
        nb::object index = nb::int_(c.curve);
        getattr(plot, "sigCurveChanged").attr("emit")(index, item(curves, index));
        nb::list span;
        span.append(nb::int_(c.start));
        span.append(nb::int_(c.stop));
        getattr(plot, "sigControlPointChanged").attr("emit")(index, span);
    }
    getattr(plot, "sigCurveChangeFinished").attr("emit")(nb::none(), nb::none());
}

nb::object init(Call &c) {
    nb::handle self = c.self(), plot = c.arg("plot"), depth_arg = c.arg("depth");
    super_of(g_history_class, self).attr("__init__")();
    int is_plot = PyObject_IsInstance(plot.ptr(), module_global("CurveEditorPlot").ptr());
    if (is_plot < 0) throw nb::python_error();
    if (!is_plot)
        raise_format(PyExc_TypeError, "CurveEditHistory() needs a CurveEditorPlot, not %.200s",
                     Py_TYPE(plot.ptr())->tp_name);
    nb::object depth = nb::steal(PyNumber_Index(depth_arg.ptr()));
    if (!depth.is_valid()) {
        PyErr_Clear();
        raise_format(PyExc_TypeError, "depth must be an int, not %.200s", Py_TYPE(depth_arg.ptr())->tp_name);
    }
    if (py_lt(depth, nb::int_(1))) raise(PyExc_ValueError, "depth must be at least 1");
    Py_ssize_t n = PyNumber_AsSsize_t(depth.ptr(), nullptr);  // clipped: no ring gets that long

    auto owned = std::make_unique<Tracker>(plot, static_cast<size_t>(n));
    nb::object cap = nb::steal(PyCapsule_New(owned.get(), kCapsule, [](PyObject *o) {
        delete static_cast<Tracker *>(PyCapsule_GetPointer(o, kCapsule));
    }));
    if (!cap.is_valid()) throw nb::python_error();
    Tracker *t = owned.release();
    setattr(self, "_state", cap);

    // Bound methods of a QObject: Qt drops the connections when either side goes.
    getattr(plot, "sigMousePosChanged").attr("connect")(getattr(self, "_on_pointer"));
    getattr(plot, "sigControlPointChanged").attr("connect")(getattr(self, "_on_span"));
    getattr(plot, "sigCurveChangeFinished").attr("connect")(getattr(self, "_on_finished"));
    getattr(getattr(plot, "menu"), "aboutToShow").attr("connect")(getattr(self, "_on_menu"));
    t->sync(plot);
    return nb::none();
}

// Pointer over the plot or its menu opening: the moments before a gesture, when a new
// set of curves is noticed before anything is written into it.
nb::object idle_sync(nb::handle self) {
    Tracker &t = tracker(self);
    if (t.busy) return nb::none();
    nb::object plot = t.plot();
    if (!plot.is_valid() || Tracker::in_gesture(plot)) return nb::none();
    if (t.sync(plot)) changed(self);
    return nb::none();
}
nb::object on_pointer(Call &c) { return idle_sync(c.self()); }
nb::object on_menu(Call &c) { return idle_sync(c.self()); }

// Every curve rebuild: inside a drag or at a stroke's end it only marks the gesture,
// otherwise (a point command) it is a whole step.
nb::object on_span(Call &c) {
    nb::handle self = c.self();
    Tracker &t = tracker(self);
    if (t.busy) return nb::none();
    nb::object plot = t.plot();
    if (!plot.is_valid()) return nb::none();
    if (Tracker::in_gesture(plot)) {
        t.touched = true;
        return nb::none();
    }
    bool moved = t.sync(plot);
    if (t.record(plot) || moved) changed(self);
    return nb::none();
}

nb::object on_finished(Call &c) {
    nb::handle self = c.self();
    Tracker &t = tracker(self);
    if (t.busy) return nb::none();
    nb::object plot = t.plot();
    if (!plot.is_valid()) return nb::none();
    bool moved = false;
    if (t.touched) {
        t.touched = false;
        moved = t.record(plot);
    }
    if (t.sync(plot) || moved) changed(self);
    return nb::none();
}

nb::object step(Call &c, bool forward) {
    nb::handle self = c.self();
    Tracker &t = tracker(self);
    if (t.busy) return nb::bool_(false);
    nb::object plot = live_plot(t);
    if (!plot.is_valid() || Tracker::in_gesture(plot)) return nb::bool_(false);
    if (t.touched) {  // a gesture ended without its signal: keep it as a step first
        t.touched = false;
        t.record(plot);
    }
    bool moved = t.sync(plot);
    std::vector<Touched> cols = forward ? t.redo(plot) : t.undo(plot);
    if (cols.empty()) {
        if (moved) changed(self);
        return nb::bool_(false);
    }
    announce(t, plot, cols);
    changed(self);
    return nb::bool_(true);
}
nb::object undo(Call &c) { return step(c, false); }
nb::object redo(Call &c) { return step(c, true); }

nb::object ask(Call &c, bool redo_side) {
    nb::handle self = c.self();
    Tracker &t = tracker(self);
    nb::object plot = live_plot(t);
    if (!plot.is_valid()) return nb::bool_(false);
    if (!t.busy && !Tracker::in_gesture(plot) && t.sync(plot)) changed(self);
    return nb::bool_(redo_side ? t.can_redo() : t.can_undo());
}
nb::object can_undo(Call &c) { return ask(c, false); }
nb::object can_redo(Call &c) { return ask(c, true); }

nb::object clear(Call &c) {
    nb::handle self = c.self();
    Tracker &t = tracker(self);
    nb::object plot = live_plot(t);
    if (plot.is_valid()) t.clear(plot);
    changed(self);
    return nb::none();
}

nb::object rebase(Call &c) {
    tracker(c.self()).rebase(c.arg("curve"));
    return nb::none();
}

nb::object bytes_held(Call &c) { return nb::int_(tracker(c.self()).bytes()); }

const MethodDef kMethods[] = {
    {"__init__", "(self, plot: CurveEditorPlot, depth: int = 100) -> None", init,
     "Attach to `plot`, keeping at most `depth` steps for each set of curves it shows."},
    {"undo", "(self) -> bool", undo,
     "Put back the values and control points from before the last step of the curves shown.\n\n"
     "Returns False, changing and emitting nothing, when there is no such step, while a drag or\n"
     "stroke is under way, or once the plot is gone."},
    {"redo", "(self) -> bool", redo, "Do again the step that undo() took back last; False when there is none."},
    {"canUndo", "(self) -> bool", can_undo, "Whether undo() has a step for the curves the plot shows now."},
    {"canRedo", "(self) -> bool", can_redo, "Whether redo() has a step for the curves the plot shows now."},
    {"clear", "(self) -> None", clear,
     "Forget every step of every set of curves. Call it after writing into the curve arrays yourself."},
    {"rebase", "(self, curve: Any) -> None", rebase,
     "Take `curve`, one of the arrays the plot has shown, as it is now for the start of its next\n"
     "step, keeping every step. Call it after writing into that array yourself; without it the\n"
     "next step of those curves would take the write in as its own."},
    {"_bytes_held", "(self) -> int", bytes_held, "Bytes of snapshots and steps the history holds."},
    {"_on_pointer", "(self, pos: Any) -> None", on_pointer, nullptr},
    {"_on_menu", "(self) -> None", on_menu, nullptr},
    {"_on_span", "(self, index: Any, span: Any) -> None", on_span, nullptr},
    {"_on_finished", "(self, first: Any, second: Any) -> None", on_finished, nullptr},
};

nb::object build_class(nb::handle module_name) {
    nb::object QtCore = module_global("QtCore");
    nb::object base = QtCore.attr("QObject");
    nb::dict ns;
    ns["__module__"] = module_name;
    ns["__qualname__"] = "CurveEditHistory";
    ns["__doc__"] = kDoc;
    ns["sigHistoryChanged"] = QtCore.attr("Signal")();
    for (const MethodDef &def : kMethods) {
        std::string qualname = std::string("CurveEditHistory.") + def.name;
        ns[def.name] = make_function(def, qualname.c_str());
    }
    nb::handle meta(reinterpret_cast<PyObject *>(Py_TYPE(base.ptr())));
    return meta("CurveEditHistory", nb::make_tuple(base), ns);
}

}  // namespace
}  // namespace history
}  // namespace cep

NB_MODULE(curveEditHistory, m) {
    using namespace cep;
    // The history's memory shows up in the host's tracemalloc like its own.
    history::Memory::allocate = PyMem_RawMalloc;
    history::Memory::release = PyMem_RawFree;
    nb::object module_name = m.attr("__name__");
    init_function_type(module_name);
    g_module_dict = Py_NewRef(PyModule_GetDict(m.ptr()));

    m.attr("Any") = nb::module_::import_("typing").attr("Any");
    m.attr("QtCore") = nb::module_::import_("PySide6.QtCore");
    m.attr("np") = nb::module_::import_("numpy");
    m.attr("shiboken6") = nb::module_::import_("shiboken6");
    m.attr("CurveEditorPlot") = nb::module_::import_("vantel.utils.curveEditorPlot").attr("CurveEditorPlot");

    nb::object cls = history::build_class(module_name);
    history::g_history_class = Py_NewRef(cls.ptr());
    m.attr("CurveEditHistory") = cls;
}
