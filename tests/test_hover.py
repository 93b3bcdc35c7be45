# The hover handler: position report, anchor focus, curve pick.
import numpy as np
import pytest

from pointer_helpers import Ev, QtCore, Qt, Recorder, hover, send

NONE, CTRL, SHIFT = (getattr(Qt.KeyboardModifier, m + "Modifier") for m in ("No", "Control", "Shift"))
DTYPES = [np.float64, np.float32, np.int64, np.int32, np.int16, np.uint8, np.uint64, np.float16]


def transcribed_focus(plot, pointer, threshold):
    # The anchor focus loop, written out with NumPy: the nearest visible anchor under the threshold, the first on a tie.
    near = [(d, i, j, x, y) for i, (xs, ys) in enumerate(plot.ctrl_points) if plot.curve_props[i]["is_visible"]
            for j, (x, y) in enumerate(zip(xs, ys)) if (d := np.abs(np.array([x, y]) - pointer).sum()) < threshold]
    return min(near, key=lambda n: n[0])[1:] if near else None


def test_real_pointer_moves_reach_the_handler(editor):
    plot = editor([np.full(200, 50.0), np.full(200, 120.0)], steer=False, eidtorType="anchors")
    seen = Recorder(plot)
    send(plot, Ev.MouseMove, 30.3, 119.6)
    send(plot, Ev.MouseMove, 31.6, 118.8)
    assert seen == [("sigMousePosChanged", [30, 119]), ("sigMousePosChanged", [31, 118])]
    assert {type(v) for _, p in seen for v in p} == {np.int32}
    assert plot.modified_ctrl_point[:3] == (1, 4, 32) and plot.target.isVisible()


@pytest.mark.parametrize("kind, x, x_range, outside, reported, base", [
    pytest.param("none", 12.7, (0.0, 100.0), False, [12, -3], ["hover"], id="position truncated"),
    pytest.param("none", -0.9, (0.0, 100.0), False, [0, -3], ["hover"], id="truncated towards zero"),
    pytest.param("anchors", 5.0, None, False, None, [], id="no bounds: nothing"),
    pytest.param("anchors", 5.0, (4.0, 4.0), False, None, [], id="no extent: nothing"),
    pytest.param("liner", 5.0, (0.0, 100.0), True, None, ["hover"], id="outside the plot only the base class sees it"),
])
def test_position_report_and_early_ends(editor, base_calls, kind, x, x_range, outside, reported, base):
    plot = editor([np.zeros(10)], eidtorType=kind)
    seen, plot.vb.x_range = Recorder(plot), x_range
    far = plot.sceneBoundingRect().bottomRight() + QtCore.QPointF(50, 50) if outside else None
    assert hover(plot, x, -3.2, scene_pos=far) is None
    assert seen == ([("sigMousePosChanged", reported)] if reported else []) and base_calls == base
    assert plot.redraws == 0 and plot.modified_ctrl_point is None and plot.current_curve_idx == -1


@pytest.mark.parametrize("seed, x_end, width", [(0, 100.0, 100.0), (1, 150.0, 100.0), (2, 100.0, 50.0),
                                                 (3, 100.0, 200.0)])
def test_anchor_focus_matches_numpy(editor, seed, x_end, width):
    # Whole-number anchors and pointers meet ties and the exact threshold, which zooming scales.
    rng = np.random.default_rng(seed)
    entries = [(rng.integers(0, 100, n := int(rng.integers(0, 40))).astype(DTYPES[(seed + k) % len(DTYPES)]),
                rng.integers(0, 100, n + k % 2).astype(DTYPES[(seed * 3 + k) % len(DTYPES)])) for k in range(6)]
    plot = editor([np.zeros(100) for _ in range(7)], hidden=(seed,), eidtorType="anchors")
    plot.ctrl_points = [[np.asarray(xs), np.asarray(ys)] for xs, ys in entries + [([3, 4.5], [50, 50])]]
    plot.vb.x_range, plot.vb.width = (0.0, x_end), width
    for pointer in np.vstack([rng.integers(0, 100, (30, 2)), rng.uniform(0, 100, (30, 2))]):
        before, plot.modified_left_adjcent_points = plot.modified_ctrl_point, [[0, 0, 10, 5.0]]
        hover(plot, *map(float, pointer))
        expected = transcribed_focus(plot, pointer, plot.distance_t / (x_end / width))
        assert plot.modified_ctrl_point == expected
        assert [type(v) for v in expected or ()] == [type(v) for v in plot.modified_ctrl_point or ()]
        assert plot.modified_left_adjcent_points == ([[0, 0, 10, 5.0]] if expected == before else [])


@pytest.mark.parametrize("x, y, mods, picked", [
    pytest.param(5.2, 19.0, NONE, 2, id="nearest in the column, hidden included"),
    pytest.param(5.2, 25.0, NONE, 1, id="a tie goes to the first"),
    pytest.param(3.0, 90.0, NONE, -1, id="none near"),
    pytest.param(3.0, 90.0, CTRL, 0, id="Ctrl: the host's choice"),
    pytest.param(3.0, 29.0, CTRL, 1, id="Ctrl, but a curve is near"),
    pytest.param(3.0, 90.0, CTRL | SHIFT, -1, id="Ctrl with another modifier: none"),
    pytest.param(-0.5, 10.0, NONE, 0, id="column -0.5 rounds to 0"),
    pytest.param(18.5, 10.0, NONE, 0, id="column 18.5 rounds to even"),
    pytest.param(19.49, 10.0, NONE, 0, id="column 19.49 rounds to the last"),
    pytest.param(-0.6, 10.0, NONE, None, id="left of the curves the hover ends"),
    pytest.param(19.5, 10.0, NONE, None, id="right of the curves the hover ends"),
])
def test_curve_pick(editor, base_calls, x, y, mods, picked):
    plot = editor([np.full(20, v) for v in (10.0, 30.0, 20.0, 60.0)], hidden=(2,), eidtorType="liner")
    plot.curve_props[0]["width"] = 4  # a stale highlight
    hover(plot, x, y, modifiers=mods)
    assert plot.current_curve_idx == (-1 if picked is None else picked) and plot.curve_props == [
        dict(p, **({"width": 4, "style": Qt.PenStyle.SolidLine} if i == picked else {}))
        for i, p in enumerate(plot.curve_props_bk)]
    assert plot.redraws == 1 and base_calls == ([] if picked is None else ["hover"])
