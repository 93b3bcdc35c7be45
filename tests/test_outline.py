"""The module's outline as the host sees it: names, class bodies, signatures, binding."""
import inspect
import types

import pytest
from PySide6 import QtCore
import pyqtgraph as pg

import vantel.utils.curveEditorPlot as cep

PLOT_SIGNATURES = {
    "__init__": "(self, parentWindow: 'QtWidgets.QWidget' = None, parent: 'QtWidgets.QWidget' = None, "
    "name: 'str' = None, labels: 'dict' = None, title: 'str' = None, viewBox: 'pg.ViewBox' = None, "
    "axisItems: 'dict' = None, enableMenu: 'bool' = True, eidtorType: 'str' = 'none', "
    "update_mode: 'str' = 'global', enableEditorMenu: 'bool' = True, **kargs) -> 'None'",
    "onSaveImageAs": "(self) -> 'None'",
    "setVolumeData": "(self, data: 'np.ndarray') -> 'None'",
    "setVolumeGCurves": "(self, gCurves_volume) -> 'None'",
    "_get_current_frame_as_uint8": "(self) -> 'np.ndarray'",
    "_render_image_with_curves": "(self, frame_img: 'np.ndarray') -> 'np.ndarray'",
    "onSaveStackImageAs": "(self) -> 'None'",
    "onSaveImageWithCurveAs": "(self) -> 'None'",
    "onSaveStackImageWithCurveAs": "(self) -> 'None'",
    "_start_save_worker": "(self, save_type: 'str', filename: 'str', **kwargs) -> 'None'",
    "_on_save_progress": "(self, progress: 'int') -> 'None'",
    "_on_save_finished": "(self, message: 'str') -> 'None'",
    "_on_save_error": "(self, error_message: 'str') -> 'None'",
    "setEnableEditorMenu": "(self, enableEditorMenu: 'bool') -> 'None'",
    "set_added_items": "(self, added_items: 'Any') -> 'None'",
    "contextMenuEvent": "(self, event: 'QtGui.QContextMenuEvent') -> 'None'",
    "on_add_cv_point": "(self, point: 'Any') -> 'None'",
    "on_remove_cv_point": "(self) -> 'None'",
    "targetWhellEvent": "(self, event: 'QGraphicsSceneWheelEvent') -> 'None'",
    "targetMoved": "(self, target: 'Any') -> 'None'",
    "mousePressEvent": "(self, event: 'QGraphicsSceneMouseEvent') -> 'None'",
    "mouseDoubleClickEvent": "(self, event: 'QGraphicsSceneMouseEvent') -> 'None'",
    "mouse_release": "(self) -> 'None'",
    "setEditorType": "(self, editorType: 'str') -> 'None'",
    "hoverMoveEvent": "(self, event: 'QGraphicsSceneHoverEvent') -> 'None'",
    "set_curve": "(self, curve: 'list', curve_props: 'Any') -> 'None'",
    "set_roi": "(self, roi_position: 'list') -> 'None'",
    "plot": "(self, *args, **kargs) -> 'None'",
    "plot_indicator": "(self, pos: 'Any', direction: 'str' = 'vertical') -> 'None'",
    "plot_focus_control_point": "(self, control_point: 'Any', eventPos: 'QtCore.QPointF' = None) -> 'None'",
    "add_cv_point": "(self, x_value: 'int', y_value: 'int', curve_index: 'int') -> 'None'",
    "remove_cv_points": "(self, x_indexes: 'Any', curve_index: 'int') -> 'None'",
    "_generate_control_points": "(self, t_p: 'float' = 0.2) -> 'list'",
    "build_curve": "(self, curve_index: 'int' = -1) -> 'None'",
}

WORKER_SIGNATURES = {
    "__init__": "(self, filename: 'str', save_type: 'str', **kwargs)",
    "run": "(self)",
    "_save_stack": "(self)",
    "_save_stack_with_curve": "(self)",
}

PLOT_ATTRIBUTES = [
    ("parentWindow", "QtWidgets.QWidget", None), ("gCurves", "list", None), ("curveLen", "int", 0),
    ("curve_props", "list", None), ("curve_props_bk", "list", None), ("ctrl_points", "list", []),
    ("highlight_curve", "pg.PlotDataItem", None), ("current_curve_idx", "int", -1),
    ("focus_control_point_plot", "pg.PlotDataItem", None), ("modified_left_adjcent_plot", "pg.PlotDataItem", None),
    ("modified_right_adjcent_plot", "pg.PlotDataItem", None), ("indicator_plot", "pg.PlotDataItem", None),
    ("roi_position", "list", [0, 0]), ("curves_plot", "list", None), ("mouse_path", "list", []),
    ("modified_x_boundaries", "list", None), ("mouse_pressed", "bool", False), ("modified_ctrl_point", "list", None),
    ("modified_left_adjcent_points", "list", []), ("modified_right_adjcent_points", "list", []),
    ("current_mouse_pos", "tuple", None), ("added_items", "list", None), ("distance_t", "int", 15),
    ("symbolSize", "int", 6), ("default_view_range", "tuple", None),
]

PLOT_SIGNALS = ["sigControlPointChanged", "sigCurveChanged", "sigCurveChangeFinished",
                "sigCurveEditorTypeChanged", "sigMousePosChanged"]


def test_module_binds_its_names_in_order_and_defines_two_classes():
    own = [k for k in vars(cep) if not k.startswith("__")]
    assert own == ["Any", "QtCore", "QtGui", "QtWidgets", "QGraphicsSceneHoverEvent", "QGraphicsSceneMouseEvent",
                   "QGraphicsSceneWheelEvent", "QFileDialog", "QMessageBox", "QThread", "Signal", "np", "tifffile",
                   "pg", "PchipInterpolator", "deepcopy", "cv2", "CurveStackSaveWorker", "CurveEditorPlot"]
    assert issubclass(cep.CurveEditorPlot, pg.PlotItem)
    assert issubclass(cep.CurveStackSaveWorker, QtCore.QThread)
    assert cep.CurveEditorPlot.__module__ == cep.CurveStackSaveWorker.__module__ == "vantel.utils.curveEditorPlot"
    assert cep.CurveEditorPlot.__doc__.startswith("A class for editing and plotting curves")
    assert cep.CurveStackSaveWorker.__doc__.startswith("Worker thread for saving stack images")


def test_plot_class_body_order_annotations_and_initial_values():
    body = list(vars(cep.CurveEditorPlot))
    attrs = [a for a, _, _ in PLOT_ATTRIBUTES]
    expected = (["__module__", "__doc__", "__annotations__"] + attrs
                + ["get_inverse_color", "params_for_ctrl_point_changed_signal"] + PLOT_SIGNALS
                + list(PLOT_SIGNATURES))
    assert [k for k in body if k in expected] == expected
    annotations = cep.CurveEditorPlot.__annotations__
    assert list(annotations) == attrs + ["params_for_ctrl_point_changed_signal"]
    for name, annotation, value in PLOT_ATTRIBUTES:
        assert annotations[name] == annotation
        assert getattr(cep.CurveEditorPlot, name) == value
    assert annotations["params_for_ctrl_point_changed_signal"] == "list"
    assert cep.CurveEditorPlot.params_for_ctrl_point_changed_signal is None
    for cls, signals in ((cep.CurveEditorPlot, PLOT_SIGNALS), (cep.CurveStackSaveWorker, ["finished", "error", "progress"])):
        assert all(isinstance(vars(cls)[name], QtCore.Signal) for name in signals)
    body = list(vars(cep.CurveStackSaveWorker))
    assert [k for k in body if k in ("finished", "error", "progress", "__init__", "run")] == [
        "finished", "error", "progress", "__init__", "run"]


@pytest.mark.parametrize("cls, table", [(cep.CurveEditorPlot, PLOT_SIGNATURES),
                                        (cep.CurveStackSaveWorker, WORKER_SIGNATURES)])
def test_methods_are_function_like_with_the_interface_signatures(cls, table):
    for name, text in table.items():
        func = vars(cls)[name]
        assert str(inspect.signature(func)) == text, name
        assert func.__name__ == name and func.__qualname__ == f"{cls.__name__}.{name}"
        assert isinstance(func.__code__, types.CodeType)
        assert func.__code__.co_name == name


def test_argument_binding_follows_python_rules(make_plot):
    plot = make_plot()
    bound = plot.setEnableEditorMenu
    assert isinstance(bound, types.MethodType) and bound.__self__ is plot
    cep.CurveEditorPlot.setEnableEditorMenu(plot, enableEditorMenu=False)
    assert plot.enableEditorMenu is False
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'enableEditorMenu'"):
        plot.setEnableEditorMenu()
    with pytest.raises(TypeError, match="takes 2 positional arguments but 3 were given"):
        plot.setEnableEditorMenu(True, False)
    with pytest.raises(TypeError, match="unexpected keyword argument 'enable'"):
        plot.setEnableEditorMenu(enable=True)
    with pytest.raises(TypeError, match="multiple values for argument 'enableEditorMenu'"):
        plot.setEnableEditorMenu(True, enableEditorMenu=True)


@pytest.mark.parametrize("color, expected", [((10, 20, 30), (245, 235, 225)),
                                             ((10, 20, 30, 128), (245, 235, 225)),
                                             ((0.5, 0, 255), (254.5, 255, 0)),
                                             ([300, 0, 0], (-45, 255, 255)),
                                             ((1, 2), IndexError)])
def test_get_inverse_color(make_plot, color, expected):
    plot = make_plot()
    assert cep.CurveEditorPlot.get_inverse_color.__name__ == "<lambda>"
    if expected is IndexError:
        with pytest.raises(IndexError):
            plot.get_inverse_color(color)
        return
    result = plot.get_inverse_color(color)
    assert result == expected and type(result) is tuple
    assert [type(v) for v in result] == [type(v) for v in expected]


def test_fresh_instance_state_and_no_shared_mutables(make_plot):
    a, b = make_plot(), make_plot()
    for name, _, value in PLOT_ATTRIBUTES[1:]:  # parentWindow is the host window
        assert getattr(a, name) == value
    for name in ("ctrl_points", "roi_position", "mouse_path", "modified_left_adjcent_points",
                 "modified_right_adjcent_points"):
        assert getattr(a, name) is not getattr(b, name)
        assert getattr(a, name) is not getattr(cep.CurveEditorPlot, name)
    a.roi_position[0] = 5
    a.mouse_path.append((1.0, 2.0))
    assert b.roi_position == [0, 0] and b.mouse_path == []
    assert cep.CurveEditorPlot.roi_position == [0, 0] and cep.CurveEditorPlot.mouse_path == []


def test_module_globals_are_read_when_used(make_plot, monkeypatch):
    import numpy as np
    calls = []
    real_pchip, real_cv2 = cep.PchipInterpolator, cep.cv2

    def pchip(x, y):
        calls.append("pchip")
        return real_pchip(x, y)

    class Cv2:
        LINE_AA = real_cv2.LINE_AA

        def polylines(self, *args):
            calls.append("polylines")
            return real_cv2.polylines(*args)

    plot = make_plot()
    monkeypatch.setattr(cep, "PchipInterpolator", pchip)
    monkeypatch.setattr(cep, "cv2", Cv2())
    plot.set_curve([np.linspace(0, 9, 10)], [{"color": (255, 0, 0)}])
    plot.params_for_ctrl_point_changed_signal = [0, 0, 10]
    plot.build_curve(0)
    plot._render_image_with_curves(np.zeros((10, 10), np.uint8))
    assert calls == ["pchip", "polylines"]
