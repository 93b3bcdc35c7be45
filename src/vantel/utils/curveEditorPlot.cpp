// Module entry: imports, the method tables and the assembly of the two classes.
#include "binding/py.hpp"
#include "methods.hpp"

#include <iterator>

namespace cep {

PyObject *g_module_dict = nullptr;
PyObject *g_plot_class = nullptr;
PyObject *g_worker_class = nullptr;

namespace {

const char kWorkerDoc[] = "Worker thread for saving stack images with optional curve overlay to prevent UI blocking.";
const char kPlotDoc[] = "A class for editing and plotting curves with control points in a graphical interface.";

const MethodDef kWorkerMethods[] = {
    {"__init__", "(self, filename: str, save_type: str, **kwargs)", export_::worker::init, nullptr},
    {"run", "(self)", export_::worker::run, nullptr},
    {"_save_stack", "(self)", export_::worker::save_stack, "Save volume stack as grayscale TIFF."},
    {"_save_stack_with_curve", "(self)", export_::worker::save_stack_with_curve,
     "Save volume stack with curve lines burned in as RGB TIFF.\n\n"
     "If ``gCurves_volume`` was given, entry i of each curve's per-frame sequence is\n"
     "drawn on frame i; otherwise the plot's current curves are drawn on every frame."},
};

const MethodDef kPlotMethods[] = {
    {"__init__",
     "(self, parentWindow: QtWidgets.QWidget = None, parent: QtWidgets.QWidget = None, name: str = None, "
     "labels: dict = None, title: str = None, viewBox: pg.ViewBox = None, axisItems: dict = None, "
     "enableMenu: bool = True, eidtorType: str = 'none', update_mode: str = 'global', "
     "enableEditorMenu: bool = True, **kargs) -> None",
     frame::init, nullptr},
    {"onSaveImageAs", "(self) -> None", export_::onSaveImageAs, "Saves the current plot as an image file."},
    {"setVolumeData", "(self, data: np.ndarray) -> None", export_::setVolumeData,
     "Set the volume data for stack saving."},
    {"setVolumeGCurves", "(self, gCurves_volume) -> None", export_::setVolumeGCurves,
     "Set per-frame curves for the volume stack."},
    {"_get_current_frame_as_uint8", "(self) -> np.ndarray", export_::get_current_frame_as_uint8,
     "Return the current displayed frame as a uint8 array, or None if unavailable."},
    {"_render_image_with_curves", "(self, frame_img: np.ndarray) -> np.ndarray", export_::render_image_with_curves,
     "Render a single grayscale frame with all visible curves drawn on it as an RGB image."},
    {"onSaveStackImageAs", "(self) -> None", export_::onSaveStackImageAs,
     "Save the volume stack as a grayscale TIFF file using a background worker thread."},
    {"onSaveImageWithCurveAs", "(self) -> None", export_::onSaveImageWithCurveAs,
     "Save the current image frame with curves overlaid as a color image."},
    {"onSaveStackImageWithCurveAs", "(self) -> None", export_::onSaveStackImageWithCurveAs,
     "Save the volume stack with curves overlaid as a color TIFF using a background worker thread."},
    {"_start_save_worker", "(self, save_type: str, filename: str, **kwargs) -> None", export_::start_save_worker,
     "Start a background worker thread for saving stack images."},
    {"_on_save_progress", "(self, progress: int) -> None", export_::on_save_progress,
     "Handle save-progress updates from the worker thread."},
    {"_on_save_finished", "(self, message: str) -> None", export_::on_save_finished,
     "Handle successful completion of the save operation."},
    {"_on_save_error", "(self, error_message: str) -> None", export_::on_save_error,
     "Handle errors from the save worker thread."},
    {"setEnableEditorMenu", "(self, enableEditorMenu: bool) -> None", frame::setEnableEditorMenu, nullptr},
    {"set_added_items", "(self, added_items: Any) -> None", frame::set_added_items, nullptr},
    {"contextMenuEvent", "(self, event: QtGui.QContextMenuEvent) -> None", target_and_menu::contextMenuEvent, nullptr},
    {"on_add_cv_point", "(self, point: Any) -> None", target_and_menu::on_add_cv_point, nullptr},
    {"on_remove_cv_point", "(self) -> None", target_and_menu::on_remove_cv_point, nullptr},
    {"targetWhellEvent", "(self, event: QGraphicsSceneWheelEvent) -> None", target_and_menu::targetWhellEvent, nullptr},
    {"targetMoved", "(self, target: Any) -> None", target_and_menu::targetMoved, nullptr},
    {"mousePressEvent", "(self, event: QGraphicsSceneMouseEvent) -> None", pointer_editing::mousePressEvent, nullptr},
    {"mouseDoubleClickEvent", "(self, event: QGraphicsSceneMouseEvent) -> None",
     pointer_editing::mouseDoubleClickEvent, nullptr},
    {"mouse_release", "(self) -> None", pointer_editing::mouse_release, nullptr},
    {"setEditorType", "(self, editorType: str) -> None", target_and_menu::setEditorType, nullptr},
    {"hoverMoveEvent", "(self, event: QGraphicsSceneHoverEvent) -> None", pointer_editing::hoverMoveEvent, nullptr},
    {"set_curve", "(self, curve: list, curve_props: Any) -> None", frame::set_curve, nullptr},
    {"set_roi", "(self, roi_position: list) -> None", frame::set_roi, nullptr},
    {"plot", "(self, *args, **kargs) -> None", frame::plot, nullptr},
    {"plot_indicator", "(self, pos: Any, direction: str = 'vertical') -> None", curve_model::plot_indicator, nullptr},
    {"plot_focus_control_point", "(self, control_point: Any, eventPos: QtCore.QPointF = None) -> None",
     curve_model::plot_focus_control_point, nullptr},
    {"add_cv_point", "(self, x_value: int, y_value: int, curve_index: int) -> None", curve_model::add_cv_point,
     nullptr},
    {"remove_cv_points", "(self, x_indexes: Any, curve_index: int) -> None", curve_model::remove_cv_points, nullptr},
    {"_generate_control_points", "(self, t_p: float = 0.2) -> list", curve_model::generate_control_points, nullptr},
    {"build_curve", "(self, curve_index: int = -1) -> None", curve_model::build_curve, nullptr},
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

template <size_t N>
void add_methods(nb::dict &ns, const MethodDef (&defs)[N], const char *class_name) {
    for (const MethodDef &def : defs) {
        std::string qualname = std::string(class_name) + "." + def.name;
        ns[def.name] = make_function(def, qualname.c_str());
    }
}

nb::object build_worker(nb::handle module_name) {
    nb::object Signal = module_global("Signal");
    nb::object QThread = module_global("QThread");
    nb::dict ns;
    ns["__module__"] = module_name;
    ns["__qualname__"] = "CurveStackSaveWorker";
    ns["__doc__"] = kWorkerDoc;
    nb::handle str_type(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    nb::handle int_type(reinterpret_cast<PyObject *>(&PyLong_Type));
    ns["finished"] = Signal(str_type);
    ns["error"] = Signal(str_type);
    ns["progress"] = Signal(int_type);
    add_methods(ns, kWorkerMethods, "CurveStackSaveWorker");
    nb::handle meta(reinterpret_cast<PyObject *>(Py_TYPE(QThread.ptr())));
    return meta("CurveStackSaveWorker", nb::make_tuple(QThread), ns);
}

nb::object build_plot(nb::handle module_name) {
    nb::object pg = module_global("pg");
    nb::object QtCore = module_global("QtCore");
    nb::object base = pg.attr("PlotItem");
    nb::dict ns;
    ns["__module__"] = module_name;
    ns["__qualname__"] = "CurveEditorPlot";
    ns["__doc__"] = kPlotDoc;
    nb::dict annotations;
    ns["__annotations__"] = annotations;
    for (const AttrDef &a : kPlotAttrs) {
        annotations[a.name] = a.annotation;
        ns[a.name] = literal(a.value);
    }
    static const MethodDef inverse = {"<lambda>", "(self, color)", frame::get_inverse_color, nullptr};
    ns["get_inverse_color"] = make_function(inverse, "CurveEditorPlot.<lambda>");
    annotations["params_for_ctrl_point_changed_signal"] = "list";
    ns["params_for_ctrl_point_changed_signal"] = nb::none();

    nb::object Signal = QtCore.attr("Signal");
    nb::handle object_type(reinterpret_cast<PyObject *>(&PyBaseObject_Type));
    for (const char *name : kPlotSignals) ns[name] = Signal(object_type, object_type);
    ns["sigMousePosChanged"] = Signal(object_type);

    add_methods(ns, kPlotMethods, "CurveEditorPlot");
    nb::handle meta(reinterpret_cast<PyObject *>(Py_TYPE(base.ptr())));
    return meta("CurveEditorPlot", nb::make_tuple(base), ns);
}

void bind(nb::module_ &m, const char *name, nb::handle value) { m.attr(name) = value; }

}  // namespace
}  // namespace cep

NB_MODULE(curveEditorPlot, m) {
    using namespace cep;
    nb::object module_name = m.attr("__name__");
    init_function_type(module_name);
    g_module_dict = Py_NewRef(PyModule_GetDict(m.ptr()));

    bind(m, "Any", nb::module_::import_("typing").attr("Any"));
    nb::module_ pyside = nb::module_::import_("PySide6");
    nb::module_ QtCore = nb::module_::import_("PySide6.QtCore");
    nb::module_ QtGui = nb::module_::import_("PySide6.QtGui");
    nb::module_ QtWidgets = nb::module_::import_("PySide6.QtWidgets");
    bind(m, "QtCore", pyside.attr("QtCore"));
    bind(m, "QtGui", pyside.attr("QtGui"));
    bind(m, "QtWidgets", pyside.attr("QtWidgets"));
    for (const char *name : {"QGraphicsSceneHoverEvent", "QGraphicsSceneMouseEvent", "QGraphicsSceneWheelEvent",
                             "QFileDialog", "QMessageBox"})
        bind(m, name, QtWidgets.attr(name));
    bind(m, "QThread", QtCore.attr("QThread"));
    bind(m, "Signal", QtCore.attr("Signal"));
    bind(m, "np", nb::module_::import_("numpy"));
    bind(m, "tifffile", nb::module_::import_("tifffile"));
    bind(m, "pg", nb::module_::import_("pyqtgraph"));
    bind(m, "PchipInterpolator", nb::module_::import_("scipy.interpolate").attr("PchipInterpolator"));
    bind(m, "deepcopy", nb::module_::import_("copy").attr("deepcopy"));
    bind(m, "cv2", nb::module_::import_("cv2"));

    nb::object worker = build_worker(module_name);
    g_worker_class = Py_NewRef(worker.ptr());
    m.attr("CurveStackSaveWorker") = worker;
    nb::object plot = build_plot(module_name);
    g_plot_class = Py_NewRef(plot.ptr());
    m.attr("CurveEditorPlot") = plot;
}
