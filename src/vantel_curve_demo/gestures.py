"""The scripted session's corrections, made with the pointer as a user makes them."""
from __future__ import annotations

import time

import numpy as np
from PySide6 import QtWidgets

from . import checks
from .planning import control_point_errors, corners, quiet_gap_column
from .pointer import trigger
from .session import StepFailed


def _choose(s, x, y, entry):
    try:
        return s.pointer.context_menu(x, y, trigger(entry))
    except LookupError as e:
        raise StepFailed(str(e)) from None


def _add_point_at_peak(s, k, lo, hi):
    x = lo + int(np.argmax(np.abs(s.curve(k) - s.goal(k))[lo:hi]))
    y = int(round(float(s.curve(k)[x])))
    s.pointer.glide([(x - 5, y - 5), (x, y)])
    if s.plot.modified_ctrl_point is None:
        seen = _choose(s, x, y, "addPoint")
        s.say(f"    no control point on the slip: addPoint at ({x}, {y}) from {seen['entries'][:1]}")
    xs = np.asarray(s.plot.ctrl_points[k][0])
    return int(np.argmin(np.abs(xs - x)))


def _drag_point(s, k, j):
    xs, ys = (np.asarray(a) for a in s.plot.ctrl_points[k])
    x, y = float(xs[j]), float(ys[j])
    goal = float(s.goal(k)[int(x)])
    s.pointer.glide([(x - 20, y - 12), (x - 6, y - 3), (x, y)])
    focused = s.plot.modified_ctrl_point
    if focused is None or (focused[0], focused[1]) != (k, j):
        raise StepFailed(f"hovering control point {j} focused {focused}")
    s.pointer.drag([(x, y)] + [(x, y + (goal - y) * n / 5) for n in range(1, 6)])
    s.say(f"    dragged control point {j} from ({x:.0f}, {y:.0f}) to row {goal:.0f}")


def anchors(s):
    s.set_editor("anchors")
    k = s.pick["anchors"]
    lo, hi = s.spans["anchors"]
    s.say(f"    curve {s.name(k)}: {'slip' if s.synthetic else 'correction'} over columns {lo}..{hi}")
    edit = checks.EditWatch(s, k)
    for n in range(3):
        # the point that strays furthest from the goal, as a user would pick it
        dev = control_point_errors(s, k, lo, hi)
        j = int(np.argmax(dev))
        if dev[j] < 1.5:
            if n == 0:
                # the slip lies between control points: add one on it first, then drag that
                _drag_point(s, k, _add_point_at_peak(s, k, lo, hi))
            break
        _drag_point(s, k, j)
    if s.plot.mouse_pressed:
        raise StepFailed("the drag did not end")
    cols, e0, e1 = edit.check(lo, hi, kind="anchors")
    if "sigCurveChangeFinished" not in [n for n, _ in s.events_since(edit.mark)]:
        raise StepFailed("sigCurveChangeFinished did not arrive")
    return f"{s.name(k)}: {e0:.1f} -> {e1:.1f} rows from the {s.goal_name}"


def _stroke(s, kind, k, lo, waypoints, corners=()):
    """Picks curve k near column lo, presses, follows the waypoints (clicking at corners), double-clicks.
    Returns the watch over the edit."""
    s.set_editor(kind)
    y0 = float(s.curve(k)[lo])
    s.pointer.glide([(lo - 8, y0 - 4), (lo - 3, y0 - 1), (lo, y0)])
    if s.plot.current_curve_idx != k:
        raise StepFailed(f"hover picked curve {s.plot.current_curve_idx}, not {k}")
    edit = checks.EditWatch(s, k)
    s.pointer.click(lo, y0)
    if not s.plot.mouse_path:
        raise StepFailed("the press opened no stroke")
    for n, (px, py) in enumerate(waypoints):
        s.pointer.move(px, py)
        if n in corners:
            s.pointer.click(px, py)
    s.pointer.double_click(*waypoints[-1])
    if s.plot.mouse_path:
        raise StepFailed("the double-click did not end the stroke")
    return edit


def liner(s):
    k = s.pick["liner"]
    lo, hi = s.spans["liner"]
    goal = s.goal(k)
    s.say(f"    curve {s.name(k)}: {'slip' if s.synthetic else 'redraw'} over columns {lo}..{hi}")
    # a polyline along the goal, with a corner every ~40 columns and wherever the goal bends away
    xs = sorted(set(np.linspace(lo, hi, max(3, (hi - lo) // 40 + 2))[1:].round().astype(int))
                | set(corners(goal, lo, hi)))
    waypoints = [(float(x), float(goal[x])) for x in xs]
    edit = _stroke(s, "liner", k, lo, waypoints, corners=range(len(waypoints) - 1))
    cols, e0, e1 = edit.check(lo, hi, kind="liner")
    return f"{s.name(k)}: {e0:.1f} -> {e1:.1f} rows from the {s.goal_name}"


def livewire(s):
    k = s.pick["livewire"]
    lo, hi = s.spans["livewire"]
    goal = s.goal(k)
    s.say(f"    curve {s.name(k)}: following the {'layer' if s.synthetic else 'image'} edge "
          f"over columns {lo}..{hi}")
    # the wire takes the best edge path from the last click: click where the edge bends, so that the
    # path cannot cut across to another edge
    bends = corners(goal, lo, hi, rows=1.0)
    xs = sorted(set(np.linspace(lo, hi, 8)[1:].round().astype(int)) | set(bends))
    waypoints = [(float(x), float(goal[x])) for x in xs]
    t0 = time.perf_counter()
    edit = _stroke(s, "livewire", k, lo, waypoints, corners={n for n, x in enumerate(xs[:-1]) if x in bends})
    cols, e0, e1 = edit.check(lo, hi, kind="livewire")
    moved = (f"{e0:.1f} -> {e1:.1f} rows from the layer edge" if s.synthetic
             else f"{cols.size} columns traced, {e1:.1f} rows from the curve as it was on average")
    return f"{s.name(k)}: {moved} ({time.perf_counter() - t0:.2f} s for the stroke)"


def context_menu(s):
    s.set_editor("anchors")
    k = s.pick["context"]
    before_pts = len(s.plot.ctrl_points[k][0])
    try:
        x = quiet_gap_column(s, k)
    except StepFailed:
        # control points too close for the pointer at this zoom: zoom in, as a user would
        w = s.volume.width
        s.plot.vb.setXRange(w * 0.25, w * 0.75, padding=0)
        QtWidgets.QApplication.processEvents()
        s.say(f"    zoomed in to columns {w // 4}..{3 * w // 4} to reach between the control points")
        x = quiet_gap_column(s, k)
    y = int(round(float(s.curve(k)[x])))
    s.pointer.glide([(x - 4, y - 4), (x, y)])
    if s.plot.modified_ctrl_point is not None:
        raise StepFailed("a control point is focused where a point should be added")
    mark = s.mark()
    seen = _choose(s, x, y, "addPoint")
    s.say(f"    menu: {seen['entries']}")
    xs_after = np.asarray(s.plot.ctrl_points[k][0])
    if x not in xs_after:
        raise StepFailed(f"no control point at column {x} after addPoint")
    s.say(f"    control points of {s.name(k)}: {before_pts} -> {len(xs_after)}, new one at ({x}, {y})")
    s.say(f"    signals: {checks.signals_text(s.events_since(mark))}")
    # and take it away again: focus the new point, then "removePoint"
    s.pointer.glide([(x + 3, y + 3), (x, y)])
    if s.plot.modified_ctrl_point is None:
        raise StepFailed("the new point cannot be focused")
    seen = _choose(s, x, y, "removePoint")
    s.say(f"    menu: {seen['entries']}")
    if x in np.asarray(s.plot.ctrl_points[k][0]):
        raise StepFailed("removePoint left the point in place")
    s.plot.vb.autoRange(padding=0.001)
    return f"addPoint then removePoint at column {x} of {s.name(k)}"
