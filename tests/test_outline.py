"""What the stub cannot say: methods that bind and count their arguments like functions."""
import inspect
import types

import pytest
from PySide6 import QtCore

import vantel.utils.curveEditorPlot as cep

# The stub test checks the signatures; this checks what Qt and PySide need of every method: a function that binds
# as a method, with a code object whose argument count matches its signature (a signal's slot gets that many).
@pytest.mark.parametrize("cls", [cep.CurveEditorPlot, cep.CurveStackSaveWorker])
def test_methods_bind_as_functions_with_code(cls, make_plot):
    plot = make_plot()
    for name, func in vars(cls).items():
        if not callable(func) or isinstance(func, (type, QtCore.Signal)):
            continue
        code = func.__code__
        assert isinstance(code, types.CodeType) and code.co_name == func.__name__ in (name, "<lambda>")
        positional = [p for p in inspect.signature(func).parameters.values()
                      if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
        assert code.co_argcount == len(positional), name
        if cls is cep.CurveEditorPlot and name != "__init__":
            bound = getattr(plot, name)
            assert isinstance(bound, types.MethodType) and bound.__self__ is plot and bound.__func__ is func


def test_argument_binding_and_inverse_colour_follow_python_rules(make_plot):
    plot = make_plot()
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
    assert cep.CurveEditorPlot.get_inverse_color.__name__ == "<lambda>"
    for color, expected in [((10, 20, 30), (245, 235, 225)), ((10, 20, 30, 128), (245, 235, 225)),
                            ((0.5, 0, 255), (254.5, 255, 0)), ([300, 0, 0], (-45, 255, 255))]:
        result = plot.get_inverse_color(color)
        assert result == expected and type(result) is tuple and list(map(type, result)) == list(map(type, expected))
    with pytest.raises(IndexError):
        plot.get_inverse_color((1, 2))


def test_instances_share_no_mutable_state(make_plot):
    a, b = make_plot(), make_plot()
    for name in ("ctrl_points", "roi_position", "mouse_path", "modified_left_adjcent_points",
                 "modified_right_adjcent_points"):
        assert getattr(a, name) is not getattr(b, name)
        assert getattr(a, name) is not getattr(cep.CurveEditorPlot, name)
    a.roi_position[0] = 5
    a.mouse_path.append((1.0, 2.0))
    assert b.roi_position == [0, 0] and b.mouse_path == []
    assert cep.CurveEditorPlot.roi_position == [0, 0] and cep.CurveEditorPlot.mouse_path == []
