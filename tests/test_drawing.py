"""Curve data setters, the full redraw, and the indicator and focus markers, with real pyqtgraph items."""
import numpy as np
import pytest
import pyqtgraph as pg
from PySide6 import QtCore

SOLID, DOT = QtCore.Qt.PenStyle.SolidLine, QtCore.Qt.PenStyle.DotLine


def props(color=(255, 0, 0), visible=True):
    return {"color": color, "style": SOLID, "width": 2, "connect": "all", "is_visible": visible}


def rgb(pen_or_colour):
    return (pen_or_colour.color() if hasattr(pen_or_colour, "color") else pg.mkColor(pen_or_colour)).getRgb()[:3]


def data(item):
    return tuple(a.tolist() for a in item.getData())


@pytest.mark.parametrize("value, expected", [(1.0, 255), (0.5, 127), (0.999, 254), (None, 0)])
def test_setters_keep_the_host_arrays_and_feed_the_live_wire(make_plot, value, expected):
    plot, curves, prop_list = make_plot(), [np.full(500, 3.0)], [props()]
    plot.set_curve(curves, prop_list)
    prop_list[0]["width"] = 9
    assert plot.gCurves is curves and plot.curve_props is prop_list and plot.curveLen == 500
    assert plot.curve_props_bk == [props()] and plot.ctrl_points[0][0].tolist() == [0, 0, 499]
    with pytest.raises(IndexError):
        plot.set_curve([], [props((1, 2, 3))])
    plot.liveWire = type("Recorder", (list,), {"applyImage": list.append})()
    plot.set_added_items(None if value is None else pg.ImageItem(np.full((20, 30), value)))
    image, = plot.liveWire
    assert image.dtype == np.uint8 and np.array_equal(image, np.full((20, 30) if expected else (100, 100), expected))


# The markers replace themselves and leave the curves.
@pytest.mark.parametrize("mode, roi, lines", [("anchors", [120, 300], [300, 120]), ("liner", [0, 300], [300, 0]),
                                              ("livewire", [120, 0], []), ("none", [0, 0], [])])
def test_redraw_replaces_everything_then_markers(make_plot, mode, roi, lines):
    plot = make_plot()  # with its real live wire
    plot.set_curve([np.linspace(10, 60, 50), np.linspace(80, 30, 50)], [props(), props((0, 0, 255), False)])
    plot.set_added_items(pg.ImageItem(np.full((300, 500), 0.25)))
    plot.editorType = mode
    plot.set_roi(roi)
    plot.plot_focus_control_point((0, 1, 5, 6))
    plot.plot([1, 2, 3], pen="r", symbol="o")  # arguments are ignored; the marker goes too
    base, drawn = plot.listDataItems(), 2 if mode == "anchors" else 1  # the hidden curve is skipped
    assert plot.items == plot.added_items + base
    assert [it.opts["symbol"] for it in base] == [None, "s"][:drawn] + [None] * len(lines)
    assert sorted(data(it) for it in base[drawn:]) == sorted(([0, 50], [y, y]) for y in lines)
    assert all(it.opts["pen"].style() == DOT and rgb(it.opts["pen"]) == (200, 200, 200) for it in base[drawn:])
    assert data(base[0]) == (list(range(50)), plot.gCurves[0].tolist()) and base[0].opts["pen"].widthF() == 2
    assert rgb(base[0].opts["pen"]) == (255, 0, 0) and base[0].opts["pen"].style() == SOLID
    if mode == "anchors":
        pts = base[1].opts
        assert data(base[1]) == tuple(a.tolist() for a in plot.ctrl_points[0]) and pts["pen"] is None
        assert (rgb(pts["symbolBrush"]), rgb(pts["symbolPen"]), pts["symbolSize"]) == ((77,) * 3, (255, 0, 0), 6)
    plot.plot_indicator((12.5, 40), "vertical")
    assert plot.listDataItems() == base + [line := plot.indicator_plot] and data(line) == ([12.5, 12.5], [0, 300])
    assert rgb(line.opts["pen"]) == (200, 200, 0) and line.opts["pen"].widthF() == 2 and line.opts["pen"].style() == DOT
    plot.plot_indicator((12.5, 40), "horizontal")
    assert data(plot.indicator_plot) == ([0, 500], [40, 40])
    plot.plot_indicator(None)
    plot.plot_focus_control_point((0, 3, 40, 120))
    plot.plot_focus_control_point((0, 4, 45, 125), QtCore.QPointF(41.0, 119.0))
    assert plot.listDataItems() == base + [marker := plot.focus_control_point_plot] and data(marker) == ([45], [125])
    assert [marker.opts[k] for k in ("symbol", "pen", "symbolBrush", "symbolPen")] == ["s", None, (0, 255, 255), "w"]
    assert plot.target.pos() == pg.Point(41, 119) and plot.target.isVisible()
    with pytest.raises(IndexError):  # a bad reference fails after the old marker went
        plot.plot_focus_control_point((5, 0, 1, 1))
    assert plot.listDataItems() == base
    plot.editorType, plot.modified_left_adjcent_points = "anchors", [[1, 2, 10, 20], [1, 1, 5, 22]]
    plot.plot_focus_control_point(None)
    assert plot.listDataItems() == base + [adj := plot.modified_left_adjcent_plot] and data(adj) == ([10, 5], [20, 22])
    assert [adj.opts[k] for k in ("symbol", "symbolBrush", "symbolPen")] == ["o", (255, 255, 0), "w"]
    plot.editorType = "liner"  # previews only in anchors mode
    plot.plot_focus_control_point(None)
    assert plot.listDataItems() == base
