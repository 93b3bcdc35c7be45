"""What the scripted session checks after its gestures: that each edit reached its goal and was
reported, that the history undoes and redoes it, that it survives a change of frame and of theme,
and that the saved layers hold exactly the edited columns."""
from __future__ import annotations

import os

import numpy as np
from PySide6 import QtWidgets

from . import viewer
from .session import StepFailed

# An edit has reached its goal when it is on average this close to it, in rows: the pointer lands on
# whole pixels of the view, and the live wire follows the image's edge, which lies between two rows.
REACHED_ROWS = 1.5


def signals_text(events):
    names = [name for name, _ in events]
    return ", ".join(f"{n} x{names.count(n)}" for n in dict.fromkeys(names)) or "none"


class EditWatch:
    """Watches one gesture on curve k: made before it, checked after it."""

    def __init__(self, s, k):
        self.s, self.k = s, k
        self.before = s.curve(k).copy()
        self.edited_before = s.volume.edited[k][s.frame].copy()
        self.mark = s.mark()

    def check(self, lo, hi, kind):
        """Reports what the gesture changed over columns lo..hi-1 and fails unless the curve reached its goal
        there and the plot said so. Returns (changed columns, distance before, distance after)."""
        s, k, vol = self.s, self.k, self.s.volume
        after = s.curve(k)
        cols = np.flatnonzero(self.before != after)
        events = s.events_since(self.mark)
        s.say(f"    signals: {signals_text(events)}")
        edited = np.flatnonzero(vol.edited[k][s.frame] & ~self.edited_before)
        if edited.size:
            unknown = ~np.isfinite(vol.layers_read[vol.names[k]][s.frame][edited])
            s.say(f"    columns edited (from the signals): {edited.size} ({edited[0]}..{edited[-1]}), "
                  f"{int(np.count_nonzero(unknown))} of them without a value in the file")
        if cols.size == 0:
            # a trace along an edge the curve already follows writes the same values: still an edit
            if s.synthetic or edited.size == 0:
                raise StepFailed(f"curve {vol.names[k]} did not change")
            cols = edited
        goal = s.goal(k)
        e0 = float(np.abs(self.before[lo:hi] - goal[lo:hi]).mean())
        e1 = float(np.abs(after[lo:hi] - goal[lo:hi]).mean())
        s.say(f"    columns changed: {cols.size} ({cols[0]}..{cols[-1]}); mean distance to the "
              f"{s.goal_name} over {lo}..{hi - 1}: {e0:.1f} -> {e1:.1f} rows")
        if after is not s.plot.gCurves[k]:
            raise StepFailed("the plot no longer holds the volume's curve array")
        names = [n for n, _ in events]
        s.edits[kind] = {"curve": int(k), "name": vol.names[k], "frame": int(s.frame),
                         "columns": [int(cols[0]), int(cols[-1])], "changed": int(cols.size),
                         "edited": int(edited.size), "distance_before": e0, "distance_after": e1,
                         "signals": {n: names.count(n) for n in dict.fromkeys(names)}}
        for needed in ("sigCurveChanged", "sigControlPointChanged"):
            if needed not in names:
                raise StepFailed(f"{needed} did not arrive")
        if e1 > REACHED_ROWS:
            raise StepFailed(f"{vol.names[k]} is {e0:.1f} -> {e1:.1f} rows from the {s.goal_name}: "
                             f"the gesture did not bring it there")
        return cols, e0, e1


def undo_redo(s):
    """Edit > Undo back to the frame as loaded, then Edit > Redo forward again, bit for bit."""
    menu, history = s.w.editMenu, s.w.editMenu.history
    n = len(s.volume.names)

    def frame_state():  # the frame's curves and control points, as bytes
        return ([c.tobytes() for c in s.volume.frame_curves(s.frame)]
                + [(a.dtype.str, a.tobytes()) for entry in s.plot.ctrl_points for a in entry])
    f, states, marks = s.frame, [frame_state()], []
    if s.volume.n_frames > 1:
        s.w.ui.frameSlider.setValue((f + 1) % s.volume.n_frames)
        if history.canUndo() or menu.undoAction.isEnabled():
            raise StepFailed("another frame offers this frame's steps")
        s.w.ui.frameSlider.setValue(f)
    while menu.undoAction.isEnabled():
        mark = s.mark()
        menu.undoAction.trigger()
        states.append(frame_state())
        names = [name for name, _ in s.events_since(mark)]
        if names[-1:] != ["sigCurveChangeFinished"] or "sigCurveChanged" not in names or \
                states[-1][:n] == states[-2][:n]:
            raise StepFailed(f"undo {len(states) - 1} changed nothing or said nothing ({names})")
        marks.append(names.count("sigCurveChanged"))
    if states[-1][:n] != s.loaded:
        raise StepFailed("undoing every step did not give back the curves as loaded")
    regenerated = s.plot._generate_control_points()
    if any(not np.array_equal(a, b) or a.dtype != b.dtype
           for now, made in zip(s.plot.ctrl_points, regenerated) for a, b in zip(now, made)):
        raise StepFailed("undoing every step did not give back the control points as loaded")
    for step in range(len(states) - 2, -1, -1):
        menu.redoAction.trigger()
        if frame_state() != states[step]:
            raise StepFailed(f"redo {len(states) - 1 - step} did not restore curves and control points")
    if menu.redoAction.isEnabled() or not menu.undoAction.isEnabled():
        raise StepFailed("the Edit menu does not follow the history")
    steps = len(states) - 1
    if steps < 5:
        raise StepFailed(f"only {steps} steps for the session's gestures")
    s.say(f"    {steps} steps undone and redone; curves changed per step: {marks[::-1]}")
    return f"{steps} gestures undone to the loaded curves and redone, bit for bit"


def frame_round_trip(s):
    f = s.frame
    edited = {k: s.curve(k).copy() for k in set(s.pick.values())}
    other = (f + 1) % s.volume.n_frames
    s.w.ui.frameSlider.setValue(other)
    s.w.ui.frameSlider.setValue(f)
    for k, saved in edited.items():
        if not np.array_equal(s.curve(k), saved) or s.plot.gCurves[k] is not s.curve(k):
            raise StepFailed(f"the edit of {s.name(k)} was lost")
    return f"frame {f + 1} -> {other + 1} -> {f + 1}: {len(edited)} edited curve(s) kept"


def theme_switch(s):
    old = s.plot
    kind = old.editorType
    s.w.set_theme("light" if s.w.theme == "dark" else "dark")
    QtWidgets.QApplication.processEvents()
    if s.plot is old:
        raise StepFailed("the plot was not rebuilt")
    if s.plot.editorType != kind or s.plot.gCurves[0] is not s.curve(0):
        raise StepFailed("the rebuilt plot lost the editor type or the curves")
    path = os.path.join(s.out, f"screenshot_{s.w.theme}.png")
    s.w.grab().save(path)
    s.files["screenshot_" + s.w.theme] = path
    return f"{s.w.theme} theme, {path}"


def answer_dialog(path, fn):
    """Runs fn with the viewer's file dialog answering path; a warning box fails the step
    (offscreen, a modal box would wait for a click that never comes)."""
    real = viewer.QFileDialog, viewer.QMessageBox
    asked, warned = [], []

    class Dialog:
        @staticmethod
        def getSaveFileName(*args):
            asked.append(args[1] if len(args) > 1 else "")
            return os.fspath(path), ""

    class Box(QtWidgets.QMessageBox):
        @staticmethod
        def warning(parent, title, text, *args):
            warned.append(text)

    viewer.QFileDialog, viewer.QMessageBox = Dialog, Box
    try:
        fn()
    finally:
        viewer.QFileDialog, viewer.QMessageBox = real
    if warned:
        raise StepFailed(warned[0])
    return asked


def save_layers(s):
    vol = s.volume
    eye, npz = os.path.join(s.out, "corrected.eye"), os.path.join(s.out, "corrected.npz")
    for path in (eye, npz):
        if os.path.exists(path):
            os.remove(path)
    if not vol.modified or not s.w.isWindowModified():
        raise StepFailed("the window does not show unsaved changes after the edits")
    answer_dialog(eye, s.w.fileActions["saveAs"].trigger)
    answer_dialog(npz, s.w.fileActions["export"].trigger)
    for path in (eye, npz):
        if not os.path.exists(path):
            raise StepFailed(f"nothing written to {path}")
    if vol.modified or s.w.isWindowModified():
        raise StepFailed("the window still shows unsaved changes after saving")
    s.files["eye"], s.files["npz"] = eye, npz

    import eyepy
    back_eye = {name: layer.data for name, layer in eyepy.EyeVolume.load(eye).layers.items()}
    with np.load(npz) as z:
        back_npz = {name: z[name] for name in z.files}
    summary = vol.edit_summary()
    for k, name in enumerate(vol.names):
        read, mask = vol.layers_read[name], vol.edited[k]
        drawn = vol.work[k][mask].astype(read.dtype)
        for label, back in (("eye", back_eye), ("npz", back_npz)):
            got = back.get(name)
            if got is None or got.shape != read.shape:
                raise StepFailed(f"{label}: layer {name} missing or of another shape")
            if got[~mask].tobytes() != read[~mask].astype(got.dtype).tobytes():
                raise StepFailed(f"{label}: untouched columns of {name} differ from the file as read")
            if not np.array_equal(got[mask], drawn.astype(got.dtype)):
                raise StepFailed(f"{label}: edited columns of {name} are not the edited values")
    for name, frames in summary.items():
        read = vol.layers_read[name]
        k = vol.names.index(name)
        filled = int(np.count_nonzero(vol.edited[k] & ~np.isfinite(read)))
        text = "; ".join(f"frame {f + 1}: columns " + ", ".join(f"{a}..{b}" for a, b in spans)
                         for f, spans in frames.items())
        s.say(f"    {name}: {text} ({int(vol.edited[k].sum())} columns, {filled} of them without a value before)")
        s.saved[name] = {"frames": {str(f): [list(x) for x in spans] for f, spans in frames.items()},
                         "columns": int(vol.edited[k].sum()), "filled_gaps": filled}
    untouched = [n for n in vol.names if n not in summary]
    if untouched:
        s.say(f"    unchanged: {', '.join(untouched)}")
    s.say("    read back with eyepy and NumPy: edited columns hold the edited values, "
          "every other column is bit for bit as read")
    return (f"{eye} and {npz}: {len(summary)} layer(s) changed, "
            f"{sum(v['columns'] for v in s.saved.values())} columns")
