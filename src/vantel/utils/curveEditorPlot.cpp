// Module entry: imports, then the two classes: attributes, signals and methods in their order.
#include "binding/py.hpp"
#include "methods.hpp"

namespace cep {

PyObject *g_module_dict = nullptr;
PyObject *g_plot_class = nullptr;
PyObject *g_worker_class = nullptr;

namespace {

const char kWorkerDoc[] = "Worker thread for saving stack images with optional curve overlay to prevent UI blocking.";
const char kPlotDoc[] = "A class for editing and plotting curves with control points in a graphical interface.";

const MethodDef *const kWorkerMethods[] = {
    &saving::worker::kInit, &saving::worker::kRun, &saving::worker::kSaveStack, &saving::worker::kSaveStackWithCurve,
};

const MethodDef *const kPlotMethods[] = {
    &plot::kInit, &saving::kOnSaveImageAs, &plot::kSetVolumeData, &plot::kSetVolumeGCurves,
    &saving::kGetCurrentFrameAsUint8, &saving::kRenderImageWithCurves, &saving::kOnSaveStackImageAs,
    &saving::kOnSaveImageWithCurveAs, &saving::kOnSaveStackImageWithCurveAs, &saving::kStartSaveWorker,
    &saving::kOnSaveProgress, &saving::kOnSaveFinished, &saving::kOnSaveError, &menus::kSetEnableEditorMenu,
    &plot::kSetAddedItems, &menus::kContextMenuEvent, &menus::kOnAddCvPoint, &menus::kOnRemoveCvPoint,
    &anchors::kTargetWhellEvent, &anchors::kTargetMoved, &strokes::kMousePressEvent, &strokes::kMouseDoubleClickEvent,
    &strokes::kMouseRelease, &menus::kSetEditorType, &hover::kHoverMoveEvent, &plot::kSetCurve, &plot::kSetRoi,
    &plot::kPlot, &anchors::kPlotIndicator, &anchors::kPlotFocusControlPoint, &anchors::kAddCvPoint,
    &anchors::kRemoveCvPoints, &anchors::kGenerateControlPoints, &curves::kBuildCurve,
};

// Class attributes of CurveEditorPlot in declaration order: name, annotation, initial
// value (a Python literal).
struct AttrDef {
    const char *name;
    const char *annotation;
    const char *value;
};
const AttrDef kPlotAttrs[] = {
    {"parentWindow", "QtWidgets.QWidget", "None"},
    {"gCurves", "list", "None"},
    {"curveLen", "int", "0"},
    {"curve_props", "list", "None"},
    {"curve_props_bk", "list", "None"},
    {"ctrl_points", "list", "[]"},
    {"highlight_curve", "pg.PlotDataItem", "None"},
    {"current_curve_idx", "int", "-1"},
    {"focus_control_point_plot", "pg.PlotDataItem", "None"},
    {"modified_left_adjcent_plot", "pg.PlotDataItem", "None"},
    {"modified_right_adjcent_plot", "pg.PlotDataItem", "None"},
    {"indicator_plot", "pg.PlotDataItem", "None"},
    {"roi_position", "list", "[0, 0]"},
    {"curves_plot", "list", "None"},
    {"mouse_path", "list", "[]"},
    {"modified_x_boundaries", "list", "None"},
    {"mouse_pressed", "bool", "False"},
    {"modified_ctrl_point", "list", "None"},
    {"modified_left_adjcent_points", "list", "[]"},
    {"modified_right_adjcent_points", "list", "[]"},
    {"current_mouse_pos", "tuple", "None"},
    {"added_items", "list", "None"},
    {"distance_t", "int", "15"},
    {"symbolSize", "int", "6"},
    {"default_view_range", "tuple", "None"},
};

const char *const kPlotSignals[] = {
    "sigControlPointChanged", "sigCurveChanged", "sigCurveChangeFinished", "sigCurveEditorTypeChanged",
};

nb::object literal(const char *text) {
    PyObject *r = PyRun_String(text, Py_eval_input, PyEval_GetBuiltins(), nullptr);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::object build_worker() {
    nb::object Signal = module_global("Signal");
    nb::handle str_type(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    nb::handle int_type(reinterpret_cast<PyObject *>(&PyLong_Type));
    nb::dict attrs;
    attrs["finished"] = Signal(str_type);
    attrs["error"] = Signal(str_type);
    attrs["progress"] = Signal(int_type);
    return make_class(module_global("QThread"), "CurveStackSaveWorker", kWorkerDoc, attrs, kWorkerMethods);
}

nb::object build_plot() {
    nb::dict attrs;
    nb::dict annotations;
    attrs["__annotations__"] = annotations;
    for (const AttrDef &a : kPlotAttrs) {
        annotations[a.name] = a.annotation;
        attrs[a.name] = literal(a.value);
    }
    attrs["get_inverse_color"] = make_function(plot::kGetInverseColor, "CurveEditorPlot.<lambda>");
    annotations["params_for_ctrl_point_changed_signal"] = "list";
    attrs["params_for_ctrl_point_changed_signal"] = nb::none();

    nb::object Signal = module_global("QtCore").attr("Signal");
    nb::handle object_type(reinterpret_cast<PyObject *>(&PyBaseObject_Type));
    for (const char *name : kPlotSignals) attrs[name] = Signal(object_type, object_type);
    attrs["sigMousePosChanged"] = Signal(object_type);
    return make_class(module_global("pg").attr("PlotItem"), "CurveEditorPlot", kPlotDoc, attrs, kPlotMethods);
}

}  // namespace
}  // namespace cep

NB_MODULE(curveEditorPlot, m) {
    using namespace cep;
    nb::object module_name = m.attr("__name__");
    init_function_type(module_name);
    g_module_dict = Py_NewRef(PyModule_GetDict(m.ptr()));

    m.attr("Any") = nb::module_::import_("typing").attr("Any");
    nb::module_ pyside = nb::module_::import_("PySide6");
    nb::module_ QtCore = nb::module_::import_("PySide6.QtCore");
    nb::module_ QtGui = nb::module_::import_("PySide6.QtGui");
    nb::module_ QtWidgets = nb::module_::import_("PySide6.QtWidgets");
    m.attr("QtCore") = pyside.attr("QtCore");
    m.attr("QtGui") = pyside.attr("QtGui");
    m.attr("QtWidgets") = pyside.attr("QtWidgets");
    for (const char *name : {"QGraphicsSceneHoverEvent", "QGraphicsSceneMouseEvent", "QGraphicsSceneWheelEvent",
                             "QFileDialog", "QMessageBox"})
        m.attr(name) = QtWidgets.attr(name);
    m.attr("QThread") = QtCore.attr("QThread");
    m.attr("Signal") = QtCore.attr("Signal");
    m.attr("np") = nb::module_::import_("numpy");
    m.attr("tifffile") = nb::module_::import_("tifffile");
    m.attr("pg") = nb::module_::import_("pyqtgraph");
    m.attr("PchipInterpolator") = nb::module_::import_("scipy.interpolate").attr("PchipInterpolator");
    m.attr("deepcopy") = nb::module_::import_("copy").attr("deepcopy");
    m.attr("cv2") = nb::module_::import_("cv2");

    nb::object worker = build_worker();
    g_worker_class = Py_NewRef(worker.ptr());
    m.attr("CurveStackSaveWorker") = worker;
    nb::object plot = build_plot();
    g_plot_class = Py_NewRef(plot.ptr());
    m.attr("CurveEditorPlot") = plot;
}
