"""Where the scripted session's gestures go: which curve each editor works on, over which columns,
and where each curve should end up.

On the synthetic volume the goal is the true layer edge of the slipped curves. A scan has no truth,
so the plan makes one: a smooth shift of a stretch of a curve, away from its neighbours, for the hand
tools, and a stretch the file knows for the edge follower to trace.
"""
from __future__ import annotations

import numpy as np

from .layers import runs
from .session import StepFailed


def plan(s):
    """Fills s.pick (editor type -> curve), s.spans (editor type -> columns) and, on a scan, s.goals."""
    (_plan_synthetic if s.synthetic else _plan_scan)(s)


def slip_span(s, k, margin=12):
    """The columns where curve k is off its goal, widened by margin; None when it is on it."""
    err = np.abs(s.curve(k) - s.goal(k))
    cols = np.flatnonzero(err > 1.5)
    if cols.size == 0:
        return None
    return max(1, cols[0] - margin), min(len(err) - 2, cols[-1] + margin)


def control_point_errors(s, k, lo, hi):
    """Per control point of curve k, its distance in rows from the goal (0 outside lo..hi)."""
    xs, ys = (np.asarray(a) for a in s.plot.ctrl_points[k])
    goal = s.goal(k)
    return np.array([abs(float(ys[j]) - goal[int(xs[j])]) if lo <= xs[j] <= hi else 0.0
                     for j in range(len(xs))])


def corners(goal, lo, hi, rows=0.5):
    """Columns after lo, ending at hi, of a polyline from lo that keeps within `rows` of the goal:
    each segment runs as far as its chord stays that close."""
    out, a = [], lo
    while a < hi:
        b = a + 1
        while b < hi:
            xs = np.arange(a, b + 2)
            chord = np.interp(xs, [a, b + 1], [goal[a], goal[b + 1]])
            if np.abs(chord - goal[a:b + 2]).max() > rows:
                break
            b += 1
        out.append(b)
        a = b
    return out


def _plan_synthetic(s):
    slipped = s.volume.slipped[s.frame]
    # the high-contrast slip for the edge follower; of the other two, anchors takes the one whose
    # control points stray furthest, the liner the other one
    spans = {k: slip_span(s, k) for k in slipped}
    worst = max(slipped[1:], key=lambda k: control_point_errors(s, k, *spans[k]).max())
    s.pick = {"livewire": slipped[0], "anchors": worst,
              "liner": next(k for k in slipped[1:] if k != worst), "context": slipped[0]}
    s.spans = {kind: spans[k] for kind, k in s.pick.items() if kind != "context"}


def _clearance(s, k, visible):
    """Per column, the distance from curve k to the nearest other visible curve."""
    others = [s.curve(j) for j in visible if j != k]
    if not others:
        return np.full(s.volume.width, np.inf)
    return np.min(np.abs(np.stack(others) - s.curve(k)), axis=0)


def _away(s, k, x, rows, visible):
    """+rows or -rows: the way curve k has more room at column x, away from its nearest neighbour."""
    c = s.curve(k)
    others = [s.curve(j)[x] for j in visible if j != k]
    below = min((o - c[x] for o in others if o > c[x]), default=np.inf)
    above = min((c[x] - o for o in others if o < c[x]), default=np.inf)
    return rows if (below > above and c[x] + rows < s.volume.height - 2) or c[x] - rows < 1 else -rows


def _bump(s, k, lo, hi, rows, visible):
    """Adds to curve k's goal a smooth shift over lo..hi, away from its nearest neighbour."""
    xs = np.arange(lo, hi + 1)
    s.goals[k][lo:hi + 1] += _away(s, k, (lo + hi) // 2, rows, visible) * np.sin(np.pi * (xs - lo) / max(1, hi - lo))


def _move_point(s, k, j, rows, visible):
    """Makes curve k's goal the curve through its control points with point j moved by `rows`, away
    from its nearest neighbour: the correction one anchors drag makes, so one drag can reach it.
    Returns the columns between j's neighbours, where the curve changes."""
    from scipy.interpolate import PchipInterpolator   # the plot's own interpolant
    xs, ys = (np.asarray(a, dtype=float) for a in s.plot.ctrl_points[k])
    ys = ys.copy()
    ys[j] += _away(s, k, int(xs[j]), rows, visible)
    a, b = int(xs[j - 1]), int(xs[j + 1])
    s.goals[k][a:b + 1] = PchipInterpolator(xs, ys)(np.arange(a, b + 1))
    return a, b


def _plan_scan(s):
    vol, f = s.volume, s.frame
    w = vol.width
    visible = [k for k in range(len(vol.names)) if s.w.props[k]["is_visible"]]
    if not visible:
        s.w.ui.visibility[0].setChecked(True)
        visible = [0]
    s.goals = {k: s.curve(k).copy() for k in range(len(vol.names))}
    room = {k: _clearance(s, k, visible) for k in visible}
    margin = max(4, w // 24)
    # order the layers by how far they keep from the others: gestures pick the nearest curve
    by_room = sorted(visible, key=lambda k: -np.median(room[k]))
    taken = []

    def next_layer(prefer=None):
        pool = [k for k in (prefer or by_room) if k not in taken] or by_room
        taken.append(pool[0])
        return pool[0]

    # liner: draw over the widest gap of the frame, if there is one
    gaps = [(b - a, k, a, b) for k in visible for a, b in runs(vol.unknown(k, f)) if 0 < a and b < w]
    if gaps:
        _, k, a, b = max(gaps)
        lo, hi = max(1, a - margin), min(w - 2, b - 1 + margin)
        taken.append(k)
    else:
        k = next_layer()
        lo, hi = int(w * 0.40), int(w * 0.58)
    s.pick = {"liner": k}
    s.spans["liner"] = (lo, hi)
    _bump(s, k, lo, hi, 4, visible)

    # anchors: the control point with the most room around it, away from the liner's columns
    k = next_layer()
    xs, ys = (np.asarray(a) for a in s.plot.ctrl_points[k])
    points = [(i, float(xo), float(yo)) for i in visible for xo, yo in zip(*s.plot.ctrl_points[i])]
    best = None
    for j in range(1, len(xs) - 1):
        x, y = int(xs[j]), float(ys[j])
        if xs[j] - xs[j - 1] < 6 or xs[j + 1] - xs[j] < 6 or (k == s.pick["liner"] and lo - 8 <= x <= hi + 8):
            continue
        # the hover focuses the nearest point (L1): keep clear of every other one
        near = min((abs(xo - x) + abs(yo - y) for i, xo, yo in points if not (i == k and int(xo) == x)),
                   default=np.inf)
        score = min(near, room[k][x]) - abs(x - w / 2) / w
        if best is None or score > best[0]:
            best = (score, j)
    if best is None:
        raise StepFailed(f"layer {vol.names[k]} has no control point to drag")
    s.pick["anchors"] = k
    s.spans["anchors"] = _move_point(s, k, best[1], 8, visible)

    # live-wire: trace the middle of the longest stretch the file knows on a third layer
    k = next_layer()
    known = [(b - a, a, b) for a, b in runs(~vol.unknown(k, f))]
    if k in (s.pick["liner"], s.pick["anchors"]):
        busy = [s.spans[kind] for kind in ("liner", "anchors") if s.pick[kind] == k]
        known = [(b - a, a, b) for a, b in runs(~vol.unknown(k, f) & ~np.isin(
            np.arange(w), np.concatenate([np.arange(p - 8, q + 9) for p, q in busy])))]
    n, a, b = max(known, default=(0, 0, 0))
    if n < 12:
        raise StepFailed(f"layer {vol.names[k]} has no stretch of known columns to trace")
    lo = a + max(2, (n - w // 4) // 2) if n > w // 4 else a + 2
    hi = min(b - 3, lo + w // 4)
    s.pick["livewire"] = k
    s.spans["livewire"] = (max(1, lo), hi)
    s.pick["context"] = by_room[0]


def _zoom_ratio(s):
    """How far the view is zoomed in, as the hover measures it."""
    bounds = s.plot.vb.childrenBounds()[0]
    return (bounds[1] - bounds[0]) / s.plot.vb.viewRect().width()


def quiet_gap_column(s, k):
    """A column between two control points of curve k where adding a point barely reshapes the
    curve, out of the hover's reach of every control point."""
    from scipy.interpolate import PchipInterpolator
    xs = np.asarray(s.plot.ctrl_points[k][0])
    curve = s.curve(k)
    points = np.array([(float(x), float(y)) for i, props in enumerate(s.w.props) if props["is_visible"]
                       for x, y in zip(*s.plot.ctrl_points[i])])
    best = None
    view = s.plot.vb.viewRect()
    for g in range(len(xs) - 1):
        a, b = int(xs[g]), int(xs[g + 1])
        if b - a < 24:
            continue
        for x in sorted({(a + b) // 2, (3 * a + b) // 4, (a + 3 * b) // 4}):
            reach = np.abs(points - (x, round(float(curve[x])))).sum(axis=1).min()
            if reach <= s.plot.distance_t / _zoom_ratio(s) + 2 or not view.left() + 8 < x < view.right() - 8:
                continue
            px = np.r_[xs[max(0, g - 1):g + 1], x, xs[g + 1:g + 3]].astype(float)
            fit = PchipInterpolator(px, curve[px.astype(int)])(np.arange(a, b))
            cost = np.abs(fit - curve[a:b]).max()
            if best is None or cost < best[0]:
                best = (cost, x)
    if best is None:
        raise StepFailed("no room between control points")
    return best[1]
