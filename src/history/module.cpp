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

const char kDoc[] = R"doc(Undo and redo of whole edits of a CurveEditorPlot.

Attaches to the plot at construction and listens to its signals: one step per anchors
drag, liner or live-wire stroke, or addPoint or removePoint command. Steps belong to
the curve arrays they changed, so a host that shows another frame by giving the plot
other curves keeps each frame's steps apart: undo() and redo() act on the steps of
the curves the plot shows now. The history holds the plot weakly; once the plot is
gone it lets go of every step.

================= ================================================================
**Signals**
sigHistoryChanged () What canUndo() or canRedo() answer may have changed: a step
                  was recorded, undone or redone, the steps were cleared, or the
                  plot shows other curves.
================= ================================================================)doc";

Tracker &tracker(nb::handle self) {
    nb::object cap = nb::getattr(self, "_state", nb::handle());
    if (!cap.is_valid()) raise(PyExc_RuntimeError, "CurveEditHistory.__init__() has not been called");
    void *p = PyCapsule_GetPointer(cap.ptr(), kCapsule);
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

void changed(nb::handle self) { nb::getattr(self, "sigHistoryChanged").attr("emit")(); }

// Tells the host what undo or redo rewrote, as the plot does after an edit.
void announce(Tracker &t, nb::handle plot, const std::vector<Touched> &cols) {
    struct Busy {
        Tracker &t;
        explicit Busy(Tracker &t) : t(t) { t.busy = true; }
        ~Busy() { t.busy = false; }
    } busy(t);
    // The restored control points may no longer hold the focused one.
    nb::setattr(plot, "modified_ctrl_point", nb::none());
    nb::setattr(plot, "modified_left_adjcent_points", nb::list());
    nb::setattr(plot, "modified_right_adjcent_points", nb::list());
    nb::getattr(plot, "target").attr("hide")();
    plot.attr("plot")();
    nb::object curves = nb::getattr(plot, "gCurves");
    for (const Touched &c : cols) {
        nb::object index = nb::int_(c.curve);
        nb::getattr(plot, "sigCurveChanged").attr("emit")(index, item(curves, index));
        nb::list span(nb::make_tuple(nb::int_(c.start), nb::int_(c.stop)));
        nb::getattr(plot, "sigControlPointChanged").attr("emit")(index, span);
    }
    nb::getattr(plot, "sigCurveChangeFinished").attr("emit")(nb::none(), nb::none());
}

void init(nb::handle self, nb::handle plot, nb::handle depth_arg) {
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
    if (depth < nb::int_(1)) raise(PyExc_ValueError, "depth must be at least 1");
    Py_ssize_t n = PyNumber_AsSsize_t(depth.ptr(), nullptr);  // clipped: no ring gets that long

    auto owned = std::make_unique<Tracker>(plot, static_cast<size_t>(n));
    nb::object cap = nb::steal(PyCapsule_New(owned.get(), kCapsule, [](PyObject *o) {
        delete static_cast<Tracker *>(PyCapsule_GetPointer(o, kCapsule));
    }));
    if (!cap.is_valid()) throw nb::python_error();
    Tracker *t = owned.release();
    nb::setattr(self, "_state", cap);

    // Bound methods of a QObject: Qt drops the connections when either side goes.
    nb::getattr(plot, "sigMousePosChanged").attr("connect")(nb::getattr(self, "_on_pointer"));
    nb::getattr(plot, "sigControlPointChanged").attr("connect")(nb::getattr(self, "_on_span"));
    nb::getattr(plot, "sigCurveChangeFinished").attr("connect")(nb::getattr(self, "_on_finished"));
    nb::getattr(nb::getattr(plot, "menu"), "aboutToShow").attr("connect")(nb::getattr(self, "_on_menu"));
    t->sync(plot);
}
constexpr MethodDef kInit = method<init>("__init__", "(self, plot: CurveEditorPlot, depth: int = 100) -> None",
    R"doc(Attach to *plot*, keeping at most *depth* steps for each set of curves it
shows. Raises TypeError if *plot* is not a CurveEditorPlot or *depth* not an
int, ValueError if *depth* is below 1.)doc");

// Pointer over the plot or its menu opening: the moments before a gesture, when a new
// set of curves is noticed before anything is written into it.
void idle_sync(nb::handle self) {
    Tracker &t = tracker(self);
    if (t.busy) return;
    nb::object plot = t.plot();
    if (!plot.is_valid() || Tracker::in_gesture(plot)) return;
    if (t.sync(plot)) changed(self);
}
void on_pointer(nb::handle self, nb::handle) { idle_sync(self); }
constexpr MethodDef kOnPointer = method<on_pointer>("_on_pointer", "(self, pos: Any) -> None");
constexpr MethodDef kOnMenu = method<idle_sync>("_on_menu", "(self) -> None");

// Every curve rebuild: inside a drag or at a stroke's end it only marks the gesture,
// otherwise (a point command) it is a whole step.
void on_span(nb::handle self, nb::handle, nb::handle) {
    Tracker &t = tracker(self);
    if (t.busy) return;
    nb::object plot = t.plot();
    if (!plot.is_valid()) return;
    if (Tracker::in_gesture(plot)) {
        t.touched = true;
        return;
    }
    bool moved = t.sync(plot);
    if (t.record(plot) || moved) changed(self);
}
constexpr MethodDef kOnSpan = method<on_span>("_on_span", "(self, index: Any, span: Any) -> None");

void on_finished(nb::handle self, nb::handle, nb::handle) {
    Tracker &t = tracker(self);
    if (t.busy) return;
    nb::object plot = t.plot();
    if (!plot.is_valid()) return;
    bool moved = false;
    if (t.touched) {
        t.touched = false;
        moved = t.record(plot);
    }
    if (t.sync(plot) || moved) changed(self);
}
constexpr MethodDef kOnFinished = method<on_finished>("_on_finished", "(self, first: Any, second: Any) -> None");

nb::object step(nb::handle self, bool forward) {
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
nb::object undo(nb::handle self) { return step(self, false); }
constexpr MethodDef kUndo = method<undo>("undo", "(self) -> bool",
    R"doc(Put back the values and control points from before the last step of the curves
shown, and return True.

The plot drops its control-point focus and redraws, then emits, as after an
edit, sigCurveChanged and sigControlPointChanged for each curve the step changed
and sigCurveChangeFinished; sigHistoryChanged follows. Returns False, changing
and emitting nothing, when there is no such step, while a drag or stroke is
under way, or once the plot is gone. Raises ValueError, changing nothing, if a
curve array was made read-only or changed length since the step (call
clear()).)doc");
nb::object redo(nb::handle self) { return step(self, true); }
constexpr MethodDef kRedo = method<redo>("redo", "(self) -> bool",
    R"doc(Do again the step that undo() took back last, with the same signals, and
return True; False when there is none (see undo()).)doc");

nb::object ask(nb::handle self, bool redo_side) {
    Tracker &t = tracker(self);
    nb::object plot = live_plot(t);
    if (!plot.is_valid()) return nb::bool_(false);
    if (!t.busy && !Tracker::in_gesture(plot) && t.sync(plot)) changed(self);
    return nb::bool_(redo_side ? t.can_redo() : t.can_undo());
}
nb::object can_undo(nb::handle self) { return ask(self, false); }
constexpr MethodDef kCanUndo = method<can_undo>("canUndo", "(self) -> bool",
    "Whether undo() has a step for the curves the plot shows now.");
nb::object can_redo(nb::handle self) { return ask(self, true); }
constexpr MethodDef kCanRedo = method<can_redo>("canRedo", "(self) -> bool",
    "Whether redo() has a step for the curves the plot shows now.");

void clear(nb::handle self) {
    Tracker &t = tracker(self);
    nb::object plot = live_plot(t);
    if (plot.is_valid()) t.clear(plot);
    changed(self);
}
constexpr MethodDef kClear = method<clear>("clear", "(self) -> None",
    R"doc(Forget every step of every set of curves and emit sigHistoryChanged. Call it
after writing into the curve arrays yourself.)doc");

void rebase(nb::handle self, nb::handle curve) { tracker(self).rebase(curve); }
constexpr MethodDef kRebase = method<rebase>("rebase", "(self, curve: Any) -> None",
    R"doc(Take `curve`, one of the arrays the plot has shown, as it is now for the start of its
next step, keeping every step. Call it after writing into that array yourself; without it
the next step of those curves would take the write in as its own.)doc");

nb::object bytes_held(nb::handle self) { return nb::int_(tracker(self).bytes()); }
constexpr MethodDef kBytesHeld = method<bytes_held>("_bytes_held", "(self) -> int",
    "Bytes of snapshots and steps the history holds.");

const MethodDef *const kMethods[] = {
    &kInit, &kUndo, &kRedo, &kCanUndo, &kCanRedo, &kClear, &kRebase, &kBytesHeld, &kOnPointer, &kOnMenu, &kOnSpan, &kOnFinished,
};

nb::object build_class() {
    nb::object QtCore = module_global("QtCore");
    nb::dict attrs;
    attrs["sigHistoryChanged"] = QtCore.attr("Signal")();
    return make_class(QtCore.attr("QObject"), "CurveEditHistory", kDoc, attrs, kMethods);
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

    nb::object cls = history::build_class();
    history::g_history_class = Py_NewRef(cls.ptr());
    m.attr("CurveEditHistory") = cls;
}
