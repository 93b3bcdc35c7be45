"""Curve data setters, the full redraw, and the indicator and focus markers, with real pyqtgraph items."""
import numpy as np
import pytest
import pyqtgraph as pg
from PySide6 import QtCore

SOLID, DOT = QtCore.Qt.PenStyle.SolidLine, QtCore.Qt.PenStyle.DotLine


def props(color=(255, 0, 0), visible=True, width=2):
    return {"color": color, "style": SOLID, "width": width, "connect": "all", "is_visible": visible}


class LiveWireRecorder:
    def __init__(self):
        self.images = []

    def applyImage(self, image):
        self.images.append(image)


def image_item(shape=(300, 500), value=0.25):
    return pg.ImageItem(np.full(shape, value))


def rgb(pen_or_colour):
    colour = pen_or_colour.color() if hasattr(pen_or_colour, "color") else pg.mkColor(pen_or_colour)
    return colour.getRgb()[:3]


@pytest.fixture
def plot(make_plot):
    plot = make_plot()
    plot.liveWire = LiveWireRecorder()
    return plot


@pytest.fixture
def loaded(plot):
    curves = [np.linspace(10, 60, 50), np.linspace(80, 30, 50)]
    plot.set_curve(curves, [props((255, 0, 0)), props((0, 0, 255), visible=False)])
    plot.set_added_items(image_item())
    plot.set_roi([120, 300])
    return plot


def data(item):
    x, y = item.getData()
    return x.tolist(), y.tolist()


class TestSetters:
    def test_set_curve_keeps_references_and_backs_up_props(self, plot):
        curves, prop_list = [np.full(500, 3.0)], [props()]
        plot.set_curve(curves, prop_list)
        assert plot.gCurves is curves and plot.curve_props is prop_list and plot.curveLen == 500
        prop_list[0]["width"] = 9
        assert plot.curve_props_bk == [props()]
        assert plot.ctrl_points[0][0].tolist() == [0, 0, 499]

    def test_set_curve_with_no_curves(self, plot):
        plot.set_curve([np.arange(10.0)], [props()])
        with pytest.raises(IndexError):
            plot.set_curve([], [props((1, 2, 3))])
        assert plot.gCurves == [] and plot.curveLen == 10 and plot.curve_props == [props()]

    def test_set_roi_stores_the_object(self, plot):
        roi = [3, 4]
        plot.set_roi(roi)
        assert plot.roi_position is roi

    @pytest.mark.parametrize("value, expected", [(1.0, 255), (0.5, 127), (0.999, 254), (0.0, 0)])
    def test_single_item_is_wrapped_and_feeds_the_live_wire(self, plot, value, expected):
        item = image_item((20, 30), value)
        plot.set_added_items(item)
        assert plot.added_items == [item]
        image, = plot.liveWire.images
        assert image.dtype == np.uint8 and image.shape == (20, 30) and np.all(image == expected)

    @pytest.mark.parametrize("items", [[], None, [pg.ImageItem()]])
    def test_no_frame_gives_a_black_live_wire_image(self, plot, items):
        plot.set_added_items(items)
        assert plot.added_items == ([] if items is None else items)
        image, = plot.liveWire.images
        assert image.dtype == np.uint8 and image.shape == (100, 100) and not image.any()

    def test_item_without_image_is_stored_then_fails(self, plot):
        item = pg.PlotCurveItem()
        with pytest.raises(AttributeError):
            plot.set_added_items(item)
        assert plot.added_items == [item]

    def test_real_live_wire_accepts_the_frame(self, make_plot):
        make_plot().set_added_items(image_item((40, 60), 0.7))


class TestPlot:
    def test_nothing_set_clears_nothing(self, plot):
        kept = pg.PlotCurveItem()
        plot.addItem(kept)
        before = list(plot.items)
        assert plot.plot([1, 2], [3, 4]) is None
        plot.set_curve([np.arange(5.0)], None)
        plot.plot()
        assert plot.items == before

    def test_anchors_draws_image_curves_points_then_roi_lines(self, loaded):
        loaded.editorType = "anchors"
        loaded.plot()
        image = loaded.added_items[0]
        curve, points, upper, lower = loaded.listDataItems()
        assert loaded.items == [image, curve, points, upper, lower]
        assert data(curve) == (list(range(50)), loaded.gCurves[0].tolist())
        pen = curve.opts["pen"]
        assert rgb(pen) == (255, 0, 0) and pen.style() == SOLID and pen.widthF() == 2
        xs, ys = loaded.ctrl_points[0]
        assert data(points) == (xs.tolist(), ys.tolist())
        assert points.opts["symbol"] == "s" and points.opts["symbolSize"] == 6 and points.opts["pen"] is None
        assert rgb(points.opts["symbolBrush"]) == (77, 77, 77) and rgb(points.opts["symbolPen"]) == (255, 0, 0)
        assert data(upper) == ([0, 50], [300, 300]) and data(lower) == ([0, 50], [120, 120])
        assert upper.opts["pen"].style() == DOT and rgb(upper.opts["pen"]) == (200, 200, 200)

    @pytest.mark.parametrize("mode", ["liner", "livewire", "none"])
    def test_other_modes_draw_no_points(self, loaded, mode):
        loaded.editorType = mode
        loaded.plot()
        assert [it.opts["symbol"] for it in loaded.listDataItems()] == [None, None, None]

    @pytest.mark.parametrize("roi, lines", [([0, 0], []), ([120, 0], []), ([0, 300], [300, 0])])
    def test_roi_lines_need_a_nonzero_upper_value(self, loaded, roi, lines):
        loaded.set_roi(roi)
        loaded.plot()
        assert [data(it)[1][0] for it in loaded.listDataItems()[1:]] == lines

    def test_zip_stops_at_the_shorter_list(self, plot):
        plot.editorType = "anchors"
        plot.set_curve([np.arange(30.0), np.arange(30.0) * 2, np.arange(30.0) * 3], [props(), props()])
        plot.ctrl_points = plot.ctrl_points[:1]
        plot.plot()
        assert len(plot.listDataItems()) == 2 + 1

    def test_redraw_replaces_items_and_markers_and_ignores_arguments(self, loaded):
        loaded.editorType = "anchors"
        loaded.plot()
        loaded.plot_focus_control_point((0, 1, 5, 6))
        assert len(loaded.listDataItems()) == 5
        loaded.plot([1, 2, 3], pen="r", symbol="o")
        assert len(loaded.listDataItems()) == 4 and len(loaded.items) == 5
        assert loaded.focus_control_point_plot not in loaded.items
        loaded.plot_focus_control_point((0, 1, 7, 8))    # removing the stale marker is harmless
        assert len(loaded.listDataItems()) == 5

    def test_missing_key_raises_after_earlier_curves(self, plot):
        broken = props()
        del broken["connect"]
        plot.set_curve([np.arange(10.0), np.arange(10.0)], [props(), broken])
        with pytest.raises(KeyError):
            plot.plot()
        assert len(plot.listDataItems()) == 1

    def test_anchors_with_broken_entry(self, plot):
        plot.set_curve([np.arange(10.0)], [props()])
        plot.editorType = "anchors"
        plot.ctrl_points = [None]
        with pytest.raises(TypeError):
            plot.plot()


class TestMarkers:
    def test_indicator_lines(self, loaded):
        loaded.plot_indicator((12.5, 40), "vertical")
        line = loaded.indicator_plot
        assert data(line) == ([12.5, 12.5], [0, 300])
        pen = line.opts["pen"]
        assert rgb(pen) == (200, 200, 0) and pen.widthF() == 2 and pen.style() == DOT
        loaded.plot_indicator((12.5, 40), "horizontal")
        assert data(loaded.indicator_plot) == ([0, 500], [40, 40])
        assert line not in loaded.items and loaded.listDataItems() == [loaded.indicator_plot]
        loaded.plot_indicator(None)
        assert loaded.listDataItems() == []

    @pytest.mark.parametrize("items", [None, [], [pg.ImageItem()]])
    def test_indicator_without_an_image_only_removes(self, loaded, items):
        loaded.plot_indicator((1, 2))
        loaded.added_items = items
        loaded.plot_indicator((3, 4))
        assert loaded.listDataItems() == []

    def test_indicator_on_a_colour_image_fails_after_removing(self, loaded):
        loaded.plot_indicator((1, 2))
        loaded.added_items = [pg.ImageItem(np.zeros((30, 40, 3)))]
        with pytest.raises(ValueError):
            loaded.plot_indicator((3, 4))
        assert loaded.listDataItems() == []

    def test_focus_marker_moves_and_shows_the_target(self, loaded):
        loaded.plot_focus_control_point((0, 3, 40, 120), QtCore.QPointF(41.0, 119.0))
        marker = loaded.focus_control_point_plot
        assert data(marker) == ([40], [120]) and marker.opts["symbol"] == "s" and marker.opts["pen"] is None
        assert marker.opts["symbolBrush"] == (0, 255, 255) and marker.opts["symbolPen"] == "w"
        assert loaded.target.pos() == pg.Point(41, 119) and loaded.target.isVisible()

    def test_focus_marker_without_position_leaves_the_target(self, loaded):
        loaded.plot_focus_control_point((0, 3, 40, 120))
        loaded.plot_focus_control_point((0, 4, 45, 125))
        assert [data(it) for it in loaded.listDataItems()] == [([45], [125])]
        assert not loaded.target.isVisible() and loaded.target.pos() == pg.Point(0, 0)

    def test_none_in_liner_mode_removes_marker_and_previews(self, loaded):
        loaded.editorType = "anchors"
        loaded.modified_left_adjcent_points = [[1, 2, 10, 20]]
        loaded.plot_focus_control_point((0, 3, 40, 120))
        assert len(loaded.listDataItems()) == 2
        loaded.editorType = "liner"
        loaded.plot_focus_control_point(None)
        assert loaded.listDataItems() == [] and not loaded.target.isVisible()

    def test_adjacent_previews_in_anchors_mode(self, loaded):
        loaded.editorType = "anchors"
        loaded.modified_right_adjcent_points = [[0, 5, 1, 1]]
        loaded.plot_focus_control_point(None)
        old_right = loaded.modified_right_adjcent_plot
        loaded.modified_left_adjcent_points = [[1, 2, 10, 20], [1, 1, 5, 22]]
        loaded.modified_right_adjcent_points = []
        loaded.plot_focus_control_point(None)
        left = loaded.modified_left_adjcent_plot
        assert loaded.listDataItems() == [left] and old_right not in loaded.items
        assert data(left) == ([10, 5], [20, 22]) and left.opts["symbol"] == "o"
        assert left.opts["symbolBrush"] == (255, 255, 0) and left.opts["symbolPen"] == "w"

    @pytest.mark.parametrize("point, error", [((5, 0, 1, 1), IndexError), ((0, 0, 1), IndexError)])
    def test_bad_reference_fails_after_removing_the_old_marker(self, loaded, point, error):
        loaded.plot_focus_control_point((0, 3, 40, 120))
        with pytest.raises(error):
            loaded.plot_focus_control_point(point)
        assert loaded.listDataItems() == []

    def test_markers_do_not_redraw_the_curves(self, loaded):
        loaded.plot()
        before = loaded.listDataItems()
        loaded.plot_indicator((3, 4))
        loaded.plot_focus_control_point((0, 0, 1, 1))
        assert loaded.listDataItems()[:len(before)] == before and len(loaded.listDataItems()) == len(before) + 2
