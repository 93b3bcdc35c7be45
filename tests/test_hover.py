"""The hover handler: position report, anchor focus, curve pick."""
import math

import numpy as np
import pytest
from PySide6 import QtCore

from pointer_helpers import CTRL, Qt, Recorder, base_calls, editor, hover, real_move  # noqa: F401

DTYPES = [np.float64, np.float32, np.int64, np.int32, np.int16, np.uint8, np.uint64, np.float16]


def anchors_plot(editor, xs_ys, hidden=(), **kwargs):
    plot = editor([np.zeros(100) for _ in xs_ys], hidden=hidden, eidtorType="anchors", **kwargs)
    plot.ctrl_points = [[np.asarray(xs), np.asarray(ys)] for xs, ys in xs_ys]
    return plot


def transcribed_focus(plot, px, py, threshold):
    """The anchor focus loop, written out with NumPy."""
    nearest_distance, nearest_point = threshold, None
    for i, ctrl_points in enumerate(plot.ctrl_points):
        if not plot.curve_props[i]["is_visible"]:
            continue
        for j, (x, inner_y) in enumerate(zip(ctrl_points[0], ctrl_points[1])):
            distance = np.linalg.norm(np.array([x, inner_y]) - np.array([px, py]), ord=1)
            if distance < nearest_distance:
                nearest_distance, nearest_point = distance, (i, j, x, inner_y)
    return nearest_point


def test_real_pointer_moves_reach_the_handler(qapp, editor):
    plot = editor([np.full(200, 50.0), np.full(200, 120.0)], steer=False, eidtorType="anchors")
    plot.plot()
    plot.vb.setRange(xRange=(0, 199), yRange=(0, 199), padding=0)
    qapp.processEvents()
    seen = Recorder(plot)
    real_move(qapp, plot.view, plot, 30.3, 119.6)
    real_move(qapp, plot.view, plot, 31.6, 118.8)
    assert [p for (p,) in seen.named("sigMousePosChanged")] == [[30, 119], [31, 118]]
    assert all(type(v) is np.int32 for (p,) in seen.named("sigMousePosChanged") for v in p)
    assert plot.modified_ctrl_point[:3] == (1, 4, 32) and plot.target.isVisible()

    plot.setEditorType("liner")
    real_move(qapp, plot.view, plot, 60.2, 52.0)
    assert plot.current_curve_idx == 0 and plot.curve_props[0]["width"] == 4


def test_frame_returns_early_without_bounds_or_extent(editor, base_calls):
    plot = editor([np.zeros(10)], eidtorType="anchors")
    seen = Recorder(plot)
    plot.vb.x_range = None
    assert hover(plot, 5, 5) is None
    assert plot.default_view_range[0] is None
    plot.vb.x_range = (4.0, 4.0)
    hover(plot, 5, 5)
    assert seen.seen == [] and base_calls == [] and plot.modified_ctrl_point is None


def test_outside_the_plot_only_the_base_class_sees_it(editor, base_calls):
    plot = editor([np.zeros(10)], eidtorType="liner")
    seen = Recorder(plot)
    far = plot.sceneBoundingRect().bottomRight() + QtCore.QPointF(50, 50)
    hover(plot, 5, 5, scene_pos=far)
    assert seen.seen == [] and base_calls == ["hover"] and plot.redraws == 0


@pytest.mark.parametrize("x, y, reported", [(12.7, -3.2, [12, -3]), (-0.9, 99.99, [0, 99])])
def test_position_is_truncated_to_int32(editor, base_calls, x, y, reported):
    plot = editor([np.zeros(10)])
    seen = Recorder(plot)
    hover(plot, x, y)
    assert seen.seen == [("sigMousePosChanged", reported)] and base_calls == ["hover"]


@pytest.mark.parametrize("bad", [math.nan, 1e12])
def test_unrepresentable_position_raises_before_any_change(editor, bad):
    plot = anchors_plot(editor, [([10], [10])])
    with pytest.raises((ValueError, OverflowError)):
        hover(plot, bad, 10)
    assert plot.modified_ctrl_point is None


def test_events_lacking_methods_raise_attribute_error(editor):
    plot = anchors_plot(editor, [([10], [10])])
    plot.vb.point = QtCore.QPointF(11, 10)
    with pytest.raises(AttributeError):
        plot.hoverMoveEvent(object())

    class NoPos:
        def scenePos(self):
            return plot.sceneBoundingRect().center()

    with pytest.raises(AttributeError):
        plot.hoverMoveEvent(NoPos())
    assert plot.modified_ctrl_point == (0, 0, 10, 10)  # written before event.pos() is read


@pytest.mark.parametrize("width, near, focused", [
    (100.0, 14.999, True), (100.0, 15.0, False),  # strict at the threshold
    (50.0, 7.0, True), (50.0, 8.0, False),  # zoomed in by two
])
def test_anchor_threshold_scales_with_zoom(editor, width, near, focused):
    plot = anchors_plot(editor, [([40.0], [20.0 + near])])
    plot.vb.width = width
    hover(plot, 40.0, 20.0)
    assert (plot.modified_ctrl_point is not None) == focused


def test_anchor_ties_go_to_the_first_and_hidden_curves_are_skipped(editor):
    plot = anchors_plot(editor, [([2, 30], [5.0, 5.0]), ([20, 25], [15.0, 10.0]), ([20], [5.0])], hidden=(2,))
    hover(plot, 20.0, 5.0)  # (0,1), (1,0) and (1,1) all 10 away, the hidden (2,0) on the pointer
    assert plot.modified_ctrl_point == (0, 1, 30, 5.0)
    assert type(plot.modified_ctrl_point[2]) is np.int64


def test_anchor_neighbours_survive_only_while_the_focus_stays(editor):
    plot = anchors_plot(editor, [([10, 30], [5.0, 5.0])])
    hover(plot, 10.0, 6.0)
    plot.modified_left_adjcent_points = [[0, 0, 10, 5.0]]
    hover(plot, 11.0, 5.0)
    assert plot.modified_left_adjcent_points == [[0, 0, 10, 5.0]]
    hover(plot, 29.0, 5.0)
    assert plot.modified_ctrl_point[:2] == (0, 1) and plot.modified_left_adjcent_points == []


@pytest.mark.parametrize("seed", range(4))
def test_anchor_focus_matches_numpy_for_every_element_type(editor, seed):
    rng = np.random.default_rng(seed)
    entries = []
    for k in range(6):
        xt, yt = DTYPES[(seed + k) % len(DTYPES)], DTYPES[(seed * 3 + k) % len(DTYPES)]
        n = int(rng.integers(0, 40))
        entries.append((rng.integers(0, 100, n).astype(xt), rng.integers(0, 100, n + k % 2).astype(yt)))
    entries.append(([3, 4.5], [50, 50]))  # plain lists go through NumPy too
    plot = anchors_plot(editor, entries, hidden=(seed,))
    for px, py in rng.uniform(0, 100, (25, 2)):
        hover(plot, float(px), float(py))
        expected = transcribed_focus(plot, px, py, 15.0)
        assert plot.modified_ctrl_point == expected
        if expected is not None:
            assert [type(v) for v in plot.modified_ctrl_point] == [type(v) for v in expected]


def test_curve_pick_nearest_in_column_ties_low_hidden_included(editor, base_calls):
    plot = editor([np.full(20, 10.0), np.full(20, 30.0), np.full(20, 20.0)], hidden=(2,), eidtorType="liner")
    hover(plot, 5.2, 19.0)
    assert plot.current_curve_idx == 2 and plot.curve_props[2]["width"] == 4
    assert plot.curve_props[2]["style"] == Qt.PenStyle.SolidLine
    hover(plot, 5.2, 25.0)  # 20 and 30 both 5 away
    assert plot.current_curve_idx == 1 and plot.curve_props[2] == plot.curve_props_bk[2]
    assert plot.redraws == 2 and base_calls == ["hover", "hover"]


@pytest.mark.parametrize("x, inside", [(-0.6, False), (-0.5, True), (19.5, False), (18.5, True), (19.49, True)])
def test_curve_pick_column_rounds_half_to_even(editor, base_calls, x, inside):
    plot = editor([np.full(20, 10.0)], eidtorType="livewire")
    plot.curve_props[0]["width"] = 4
    hover(plot, x, 10.0)
    assert plot.current_curve_idx == (0 if inside else -1)
    assert plot.redraws == 1 and base_calls == (["hover"] if inside else [])
    assert plot.curve_props[0]["width"] == (4 if inside else 1)


def test_ctrl_takes_the_host_choice_unless_a_curve_is_near(editor, host):
    plot = editor([np.full(20, 10.0), np.full(20, 60.0)], eidtorType="liner")
    host.ui.comboBox_enfaceA_Slab.index = 1
    hover(plot, 3.0, 90.0, modifiers=CTRL)
    assert plot.current_curve_idx == 1 and plot.curve_props[1]["width"] == 4
    hover(plot, 3.0, 12.0, modifiers=CTRL)
    assert plot.current_curve_idx == 0
    hover(plot, 3.0, 90.0, modifiers=CTRL | Qt.KeyboardModifier.ShiftModifier)
    assert plot.current_curve_idx == -1

    plot.parentWindow = object()
    plot.current_curve_idx = 0
    with pytest.raises(AttributeError):
        hover(plot, 3.0, 90.0, modifiers=CTRL)
    assert plot.current_curve_idx == 0


def test_none_type_reports_and_passes_on(editor, base_calls):
    plot = editor([np.zeros(10)])
    seen = Recorder(plot)
    hover(plot, 2.0, 2.0)
    assert [s[0] for s in seen.seen] == ["sigMousePosChanged"] and base_calls == ["hover"] and plot.redraws == 0
