"""A scripted editing session, played through real Qt events on the demo window's view.

Used when there is no screen (and on request with one): every gesture is a QMouseEvent or
QContextMenuEvent sent to the view's viewport, exactly as a pointer would deliver it. On the
synthetic volume the gestures bring slipped curves back to the true layer edges; on a scan the
session finds its own targets in the frame it shows (a gap to draw over, a control point with room
around it, a stretch of boundary to trace), then saves the corrected layers and reads them back.
"""
from __future__ import annotations

import json
import os
import sys
import time
import traceback
from types import SimpleNamespace

import numpy as np
import tifffile
from PySide6 import QtCore, QtGui, QtWidgets

import vantel.utils.curveEditorPlot as cep

from . import viewer
from .layers import runs

Qt = QtCore.Qt
MOVE_GAP_MS = 16   # the plotting library ignores pointer moves that come within 10 ms


class StepFailed(Exception):
    pass


class Pointer:
    """Sends pointer events to a GraphicsLayoutWidget's viewport, in data coordinates."""

    def __init__(self, window):
        self.window = window
        self.buttons = Qt.MouseButton.NoButton

    @property
    def viewport(self):
        return self.window.view.viewport()

    def at(self, x, y):
        scene = self.window.plot.vb.mapViewToScene(QtCore.QPointF(float(x), float(y)))
        return QtCore.QPointF(self.window.view.mapFromScene(scene))

    def _send(self, kind, pos, button=Qt.MouseButton.NoButton, modifiers=Qt.KeyboardModifier.NoModifier):
        glob = QtCore.QPointF(self.viewport.mapToGlobal(pos.toPoint()))
        event = QtGui.QMouseEvent(kind, pos, glob, button, self.buttons, modifiers)
        QtWidgets.QApplication.sendEvent(self.viewport, event)

    def move(self, x, y, modifiers=Qt.KeyboardModifier.NoModifier):
        QtCore.QThread.msleep(MOVE_GAP_MS)
        self._send(QtCore.QEvent.Type.MouseMove, self.at(x, y), modifiers=modifiers)
        QtWidgets.QApplication.processEvents()

    def glide(self, points, modifiers=Qt.KeyboardModifier.NoModifier):
        for x, y in points:
            self.move(x, y, modifiers)

    def press(self, x, y, button=Qt.MouseButton.LeftButton):
        self.buttons = self.buttons | button
        self._send(QtCore.QEvent.Type.MouseButtonPress, self.at(x, y), button)
        QtWidgets.QApplication.processEvents()

    def release(self, x, y, button=Qt.MouseButton.LeftButton):
        self.buttons = self.buttons & ~button
        self._send(QtCore.QEvent.Type.MouseButtonRelease, self.at(x, y), button)
        QtWidgets.QApplication.processEvents()

    def click(self, x, y):
        self.press(x, y)
        self.release(x, y)

    def double_click(self, x, y):
        button = Qt.MouseButton.LeftButton
        self.click(x, y)
        self.buttons = button
        self._send(QtCore.QEvent.Type.MouseButtonDblClick, self.at(x, y), button)
        self.release(x, y)

    def context_menu(self, x, y, choose):
        """Right-click at (x, y); `choose(menu)` runs while the menu is open, then it closes."""
        pos = self.at(x, y).toPoint()
        seen = {}

        def pick():
            menu = QtWidgets.QApplication.activePopupWidget()
            seen["menu"] = menu
            if menu is not None:
                seen["entries"] = [a.text() for a in menu.actions() if not a.isSeparator()]
                try:
                    choose(menu)
                finally:
                    menu.close()

        QtCore.QTimer.singleShot(150, pick)
        event = QtGui.QContextMenuEvent(QtGui.QContextMenuEvent.Reason.Mouse, pos,
                                        self.viewport.mapToGlobal(pos))
        QtWidgets.QApplication.sendEvent(self.viewport, event)
        QtWidgets.QApplication.processEvents()
        return seen


def _trigger(text):
    def choose(menu):
        for action in menu.actions():
            if action.text() == text:
                action.trigger()
                return
        raise StepFailed(f"the menu has no {text!r} entry")
    return choose


class Session:
    def __init__(self, window, out_dir, say=print, progress_stream=None):
        self.w = window
        self.plot = window.plot
        self.out = os.fspath(out_dir)
        self.say = say
        self.stream = progress_stream or sys.stdout
        self.ptr = Pointer(window)
        self.results = []     # (step name, ok, detail)
        self.files = {}
        self.edits = {}       # editor type -> what the edit changed
        self.saved = {}       # what the saved layers hold, as read back
        self.synthetic = hasattr(window.volume, "truth")
        self.goal_name = "layer edge" if self.synthetic else "planned correction"
        self.goals = {}       # curve index -> where the gestures should bring it (scans)
        self.spans = {}       # editor type -> columns it works on
        self.loaded = [c.tobytes() for c in window.volume.frame_curves(window.frame_index)]  # before any gesture

    # -- helpers ---------------------------------------------------------------------------------
    @property
    def frame(self):
        return self.w.frame_index

    def curve(self, k):
        return self.w.volume.curves[k][self.frame]

    def truth(self, k):
        """Where curve k should end up: the true layer edge, or on a scan the planned correction."""
        if self.synthetic:
            return self.w.volume.truth[self.frame, k]
        return self.goals[k]

    def slip_span(self, k, margin=12):
        err = np.abs(self.curve(k) - self.truth(k))
        cols = np.flatnonzero(err > 1.5)
        if cols.size == 0:
            return None
        return max(1, cols[0] - margin), min(len(err) - 2, cols[-1] + margin)

    def events_since(self, mark):
        return self.w.events[mark:]

    def signals_text(self, events):
        names = [name for name, _ in events]
        return ", ".join(f"{n} x{names.count(n)}" for n in dict.fromkeys(names)) or "none"

    def set_editor(self, kind):
        button = self.w.ui.editorButtons[kind]
        button.click()        # the host's own control, which calls setEditorType
        QtWidgets.QApplication.processEvents()
        if self.plot.editorType != kind:
            raise StepFailed(f"editor type is {self.plot.editorType!r} after choosing {kind!r}")

    def report_edit(self, k, before, mark, lo=None, hi=None, kind=None, edited_before=None):
        after = self.curve(k)
        cols = np.flatnonzero(before != after)
        events = self.events_since(mark)
        self.say(f"    signals: {self.signals_text(events)}")
        edited = np.flatnonzero(self.w.volume.edited[k][self.frame] & ~edited_before) \
            if edited_before is not None else np.array([], dtype=int)
        if edited.size:
            self.say(f"    columns edited (from the signals): {edited.size} ({edited[0]}..{edited[-1]}), "
                     f"{int(np.count_nonzero(~np.isfinite(self.w.volume.layers_read[self.w.volume.names[k]][self.frame][edited])))} "
                     f"of them without a value in the file")
        if cols.size == 0:
            # a trace along an edge the curve already follows writes the same values: still an edit
            if self.synthetic or edited.size == 0:
                raise StepFailed(f"curve {self.w.volume.names[k]} did not change")
            cols = edited
        truth = self.truth(k)
        a, b = (cols[0], cols[-1] + 1) if lo is None else (lo, hi)
        err0 = np.abs(before[a:b] - truth[a:b]).mean()
        err1 = np.abs(after[a:b] - truth[a:b]).mean()
        self.say(f"    columns changed: {cols.size} ({cols[0]}..{cols[-1]}); mean distance to the "
                 f"{self.goal_name} over {a}..{b - 1}: {err0:.1f} -> {err1:.1f} rows")
        if after is not self.plot.gCurves[k]:
            raise StepFailed("the plot no longer holds the volume's curve array")
        names = [n for n, _ in events]
        if kind is not None:
            self.edits[kind] = {"curve": int(k), "name": self.w.volume.names[k], "frame": int(self.frame),
                                "columns": [int(cols[0]), int(cols[-1])], "changed": int(cols.size),
                                "edited": int(edited.size),
                                "distance_before": float(err0), "distance_after": float(err1),
                                "signals": {n: names.count(n) for n in dict.fromkeys(names)}}
        for needed in ("sigCurveChanged", "sigControlPointChanged"):
            if needed not in names:
                raise StepFailed(f"{needed} did not arrive")
        return cols, err0, err1

    def run_step(self, name, fn):
        self.say(f"\n[{len(self.results) + 1}] {name}")
        try:
            detail = fn()
        except NotImplementedError as e:
            self.results.append((name, False, f"not available yet: {e}"))
            self.say(f"    NOT AVAILABLE YET: {e}")
        except Exception as e:  # a scripted run reports and carries on with the next step
            self.results.append((name, False, f"{type(e).__name__}: {e}"))
            self.say(f"    FAILED: {type(e).__name__}: {e}")
            if os.environ.get("DEMO_TRACEBACK"):
                traceback.print_exc()
        else:
            self.results.append((name, True, detail or ""))
            self.say(f"    ok{': ' + detail if detail else ''}")

    # -- steps -----------------------------------------------------------------------------------
    def _control_point_errors(self, k, lo, hi):
        xs, ys = (np.asarray(a) for a in self.plot.ctrl_points[k])
        truth = self.truth(k)
        return np.array([abs(float(ys[j]) - truth[int(xs[j])]) if lo <= xs[j] <= hi else 0.0
                         for j in range(len(xs))])

    def _add_point_at_peak(self, k, lo, hi):
        x = lo + int(np.argmax(np.abs(self.curve(k) - self.truth(k))[lo:hi]))
        y = int(round(float(self.curve(k)[x])))
        self.ptr.glide([(x - 5, y - 5), (x, y)])
        if self.plot.modified_ctrl_point is None:
            seen = self.ptr.context_menu(x, y, _trigger("addPoint"))
            self.say(f"    no control point on the slip: addPoint at ({x}, {y}) from {seen.get('entries', [])[:1]}")
        xs = np.asarray(self.plot.ctrl_points[k][0])
        return int(np.argmin(np.abs(xs - x)))

    def _drag_point(self, k, j):
        xs, ys = (np.asarray(a) for a in self.plot.ctrl_points[k])
        x, y = float(xs[j]), float(ys[j])
        goal = float(self.truth(k)[int(x)])
        self.ptr.glide([(x - 20, y - 12), (x - 6, y - 3), (x, y)])
        focused = self.plot.modified_ctrl_point
        if focused is None or (focused[0], focused[1]) != (k, j):
            raise StepFailed(f"hovering control point {j} focused {focused}")
        self.ptr.press(x, y)
        path = [(x, y + (goal - y) * s / 5) for s in range(1, 6)]
        for px, py in path:
            self.ptr.move(px, py)
        self.ptr.release(*path[-1])
        self.say(f"    dragged control point {j} from ({x:.0f}, {y:.0f}) to row {goal:.0f}")

    def step_anchors(self):
        self.set_editor("anchors")
        k = self.pick["anchors"]
        lo, hi = self.spans["anchors"]
        self.say(f"    curve {self.w.volume.names[k]}: {'slip' if self.synthetic else 'correction'} over columns {lo}..{hi}")
        before = self.curve(k).copy()
        edited_before = self.w.volume.edited[k][self.frame].copy()
        mark = len(self.w.events)
        for n in range(3):
            # the point that strays furthest from the edge, as a user would pick it
            dev = self._control_point_errors(k, lo, hi)
            j = int(np.argmax(dev))
            if dev[j] < 1.5:
                if n == 0:
                    # the slip lies between control points: add one on it first, then drag that
                    self._drag_point(k, self._add_point_at_peak(k, lo, hi))
                break
            self._drag_point(k, j)
        if self.plot.mouse_pressed:
            raise StepFailed("the drag did not end")
        cols, e0, e1 = self.report_edit(k, before, mark, lo, hi, kind="anchors", edited_before=edited_before)
        if "sigCurveChangeFinished" not in [n for n, _ in self.events_since(mark)]:
            raise StepFailed("sigCurveChangeFinished did not arrive")
        return f"{self.w.volume.names[k]}: {e0:.1f} -> {e1:.1f} rows from the {self.goal_name}"

    def _stroke(self, kind, k, lo, waypoints, corners=()):
        """Pick curve k near column lo, press, follow waypoints (pressing at corners), double-click."""
        self.set_editor(kind)
        c = self.curve(k)
        y0 = float(c[lo])
        self.ptr.glide([(lo - 8, y0 - 4), (lo - 3, y0 - 1), (lo, y0)])
        if self.plot.current_curve_idx != k:
            raise StepFailed(f"hover picked curve {self.plot.current_curve_idx}, not {k}")
        before = c.copy()
        self._edited_before = self.w.volume.edited[k][self.frame].copy()
        mark = len(self.w.events)
        self.ptr.click(lo, y0)
        if not self.plot.mouse_path:
            raise StepFailed("the press opened no stroke")
        for n, (px, py) in enumerate(waypoints):
            self.ptr.move(px, py)
            if n in corners:
                self.ptr.click(px, py)
        self.ptr.double_click(*waypoints[-1])
        if self.plot.mouse_path:
            raise StepFailed("the double-click did not end the stroke")
        return before, mark

    def step_liner(self):
        k = self.pick["liner"]
        lo, hi = self.spans["liner"]
        truth = self.truth(k)
        self.say(f"    curve {self.w.volume.names[k]}: {'slip' if self.synthetic else 'redraw'} over columns {lo}..{hi}")
        # a polyline along the layer edge, with a corner every ~40 columns
        xs = np.linspace(lo, hi, max(3, (hi - lo) // 40 + 2))[1:]
        waypoints = [(float(x), float(truth[int(round(x))])) for x in xs]
        before, mark = self._stroke("liner", k, lo, waypoints, corners=range(len(waypoints) - 1))
        cols, e0, e1 = self.report_edit(k, before, mark, lo, hi, kind="liner", edited_before=self._edited_before)
        return f"{self.w.volume.names[k]}: {e0:.1f} -> {e1:.1f} rows from the {self.goal_name}"

    def step_livewire(self):
        k = self.pick["livewire"]
        lo, hi = self.spans["livewire"]
        truth = self.truth(k)
        self.say(f"    curve {self.w.volume.names[k]}: following the {'layer' if self.synthetic else 'image'} edge "
                 f"over columns {lo}..{hi}")
        xs = np.linspace(lo, hi, 8)[1:]
        waypoints = [(float(x), float(truth[int(round(x))])) for x in xs]
        t0 = time.perf_counter()
        before, mark = self._stroke("livewire", k, lo, waypoints)
        cols, e0, e1 = self.report_edit(k, before, mark, lo, hi, kind="livewire", edited_before=self._edited_before)
        moved = (f"{e0:.1f} -> {e1:.1f} rows from the layer edge" if self.synthetic
                 else f"{cols.size} columns traced, {e1:.1f} rows from the curve as it was on average")
        return f"{self.w.volume.names[k]}: {moved} ({time.perf_counter() - t0:.2f} s for the stroke)"

    def _ratio(self):
        """How far the view is zoomed in, as the hover measures it."""
        bounds = self.plot.vb.childrenBounds()[0]
        return (bounds[1] - bounds[0]) / self.plot.vb.viewRect().width()

    def _quiet_gap_column(self, k):
        """A column between two control points where adding a point barely reshapes the curve,
        out of the hover's reach of every control point."""
        from scipy.interpolate import PchipInterpolator
        xs = np.asarray(self.plot.ctrl_points[k][0])
        curve = self.curve(k)
        points = np.array([(float(x), float(y)) for i, props in enumerate(self.w.props) if props["is_visible"]
                           for x, y in zip(*self.plot.ctrl_points[i])])
        best = None
        view = self.plot.vb.viewRect()
        for g in range(len(xs) - 1):
            a, b = int(xs[g]), int(xs[g + 1])
            if b - a < 24:
                continue
            for x in sorted({(a + b) // 2, (3 * a + b) // 4, (a + 3 * b) // 4}):
                reach = np.abs(points - (x, round(float(curve[x])))).sum(axis=1).min()
                if reach <= self.plot.distance_t / self._ratio() + 2 or not view.left() + 8 < x < view.right() - 8:
                    continue
                px = np.r_[xs[max(0, g - 1):g + 1], x, xs[g + 1:g + 3]].astype(float)
                fit = PchipInterpolator(px, curve[px.astype(int)])(np.arange(a, b))
                cost = np.abs(fit - curve[a:b]).max()
                if best is None or cost < best[0]:
                    best = (cost, x)
        if best is None:
            raise StepFailed("no room between control points")
        return best[1]

    def step_context_menu(self):
        self.set_editor("anchors")
        k = self.pick["context"]
        before_pts = len(self.plot.ctrl_points[k][0])
        try:
            x = self._quiet_gap_column(k)
        except StepFailed:
            # control points too close for the pointer at this zoom: zoom in, as a user would
            w = self.w.volume.width
            self.plot.vb.setXRange(w * 0.25, w * 0.75, padding=0)
            QtWidgets.QApplication.processEvents()
            self.say(f"    zoomed in to columns {w // 4}..{3 * w // 4} to reach between the control points")
            x = self._quiet_gap_column(k)
        y = int(round(float(self.curve(k)[x])))
        self.ptr.glide([(x - 4, y - 4), (x, y)])
        if self.plot.modified_ctrl_point is not None:
            raise StepFailed("a control point is focused where a point should be added")
        mark = len(self.w.events)
        seen = self.ptr.context_menu(x, y, _trigger("addPoint"))
        self.say(f"    menu: {seen.get('entries')}")
        xs_after = np.asarray(self.plot.ctrl_points[k][0])
        if x not in xs_after:
            raise StepFailed(f"no control point at column {x} after addPoint")
        self.say(f"    control points of {self.w.volume.names[k]}: {before_pts} -> {len(xs_after)}, "
                 f"new one at ({x}, {y})")
        self.say(f"    signals: {self.signals_text(self.events_since(mark))}")
        # and take it away again: focus the new point, then "removePoint"
        self.ptr.glide([(x + 3, y + 3), (x, y)])
        if self.plot.modified_ctrl_point is None:
            raise StepFailed("the new point cannot be focused")
        seen = self.ptr.context_menu(x, y, _trigger("removePoint"))
        self.say(f"    menu: {seen.get('entries')}")
        if x in np.asarray(self.plot.ctrl_points[k][0]):
            raise StepFailed("removePoint left the point in place")
        self.plot.vb.autoRange(padding=0.001)
        return f"addPoint then removePoint at column {x} of {self.w.volume.names[k]}"

    def step_undo_redo(self):
        """Edit > Undo back to the frame as loaded, then Edit > Redo forward again, bit for bit."""
        menu, history = self.w.editMenu, self.w.editMenu.history
        n = len(self.w.volume.names)

        def frame_state():  # the frame's curves and control points, as bytes
            return ([c.tobytes() for c in self.w.volume.frame_curves(self.frame)]
                    + [(a.dtype.str, a.tobytes()) for entry in self.plot.ctrl_points for a in entry])
        f, states, marks = self.frame, [frame_state()], []
        if self.w.volume.n_frames > 1:
            self.w.ui.frameSlider.setValue((f + 1) % self.w.volume.n_frames)
            if history.canUndo() or menu.undoAction.isEnabled():
                raise StepFailed("another frame offers this frame's steps")
            self.w.ui.frameSlider.setValue(f)
        while menu.undoAction.isEnabled():
            mark = len(self.w.events)
            menu.undoAction.trigger()
            states.append(frame_state())
            names = [name for name, _ in self.events_since(mark)]
            if names[-1:] != ["sigCurveChangeFinished"] or "sigCurveChanged" not in names or \
                    states[-1][:n] == states[-2][:n]:
                raise StepFailed(f"undo {len(states) - 1} changed nothing or said nothing ({names})")
            marks.append(names.count("sigCurveChanged"))
        if states[-1][:n] != self.loaded:
            raise StepFailed("undoing every step did not give back the curves as loaded")
        regenerated = self.plot._generate_control_points()
        if any(not np.array_equal(a, b) or a.dtype != b.dtype
               for now, made in zip(self.plot.ctrl_points, regenerated) for a, b in zip(now, made)):
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
        self.say(f"    {steps} steps undone and redone; curves changed per step: {marks[::-1]}")
        return f"{steps} gestures undone to the loaded curves and redone, bit for bit"

    def step_frame_round_trip(self):
        f = self.frame
        edited = {k: self.curve(k).copy() for k in set(self.pick.values())}
        other = (f + 1) % self.w.volume.n_frames
        self.w.ui.frameSlider.setValue(other)
        self.w.ui.frameSlider.setValue(f)
        for k, saved in edited.items():
            if not np.array_equal(self.curve(k), saved) or self.plot.gCurves[k] is not self.curve(k):
                raise StepFailed(f"the edit of {self.w.volume.names[k]} was lost")
        return f"frame {f + 1} -> {other + 1} -> {f + 1}: {len(edited)} edited curve(s) kept"

    def _with_dialog(self, path, fn):
        real = cep.QFileDialog
        asked = []

        class Dialog:
            @staticmethod
            def getSaveFileName(*args):
                asked.append(args[1] if len(args) > 1 else "")
                return path, ""

        cep.QFileDialog = Dialog
        try:
            fn()
        finally:
            cep.QFileDialog = real
        return asked

    def step_save_frame(self):
        path = os.path.join(self.out, f"frame_{self.frame + 1:03d}_with_curves.png")
        if os.path.exists(path):
            os.remove(path)
        asked = self._with_dialog(path, self.w.saveActions["onSaveImageWithCurveAs"].trigger)
        if not os.path.exists(path):
            raise StepFailed(f"nothing written (dialog asked: {asked})")
        self.files["frame"] = path
        return f"{path} ({os.path.getsize(path) // 1024} KB)"

    def step_save_stack(self):
        path = os.path.join(self.out, "stack_with_curves.tiff")
        if os.path.exists(path):
            os.remove(path)
        vol = self.w.volume
        if not vol.complete:
            self.say("    finishing the volume's frames first")
            vol.ensure_all()
        done = {}
        bar = ProgressBar(self.stream, "saving stack")

        def start():
            self.w.saveActions["onSaveStackImageWithCurveAs"].trigger()
            worker = self.plot.save_worker
            if worker is None:
                raise StepFailed("no save worker was started")
            worker.progress.connect(bar.update)
            worker.finished.connect(lambda msg: done.setdefault("finished", msg))
            worker.error.connect(lambda msg: done.setdefault("error", msg))
            done["worker"] = worker

        t0 = time.perf_counter()
        self._with_dialog(path, start)
        worker = done["worker"]
        deadline = time.monotonic() + 300
        while ("finished" not in done and "error" not in done) and time.monotonic() < deadline:
            QtWidgets.QApplication.processEvents(QtCore.QEventLoop.ProcessEventsFlag.AllEvents, 50)
            if worker.isFinished():
                QtWidgets.QApplication.processEvents()
                break
        bar.finish()
        if "error" in done:
            raise StepFailed(done["error"])
        if not os.path.exists(path):
            raise StepFailed("the worker wrote no file")
        with tifffile.TiffFile(path) as tif:
            pages = len(tif.pages)
            shape = tif.pages[0].shape
        if pages != vol.n_frames:
            raise StepFailed(f"{pages} pages for {vol.n_frames} frames")
        self.say(f"    status bar: {self.w.statusBar().currentMessage()!r}")
        self.files["stack"] = path
        return (f"{path}: {pages} pages of {shape}, {os.path.getsize(path) // 1024} KB, "
                f"{time.perf_counter() - t0:.1f} s")

    def step_screenshot(self):
        # end on the anchors view of the edited frame, pointer on a control point
        self.set_editor("anchors")
        k = self.pick["anchors"] if self.pick else 0
        xs, ys = self.plot.ctrl_points[k]
        j = len(xs) // 2
        self.ptr.glide([(float(xs[j]) - 3, float(ys[j]) - 3), (float(xs[j]), float(ys[j]))])
        QtWidgets.QApplication.processEvents()
        path = os.path.join(self.out, "screenshot.png")
        if not self.w.grab().save(path):
            raise StepFailed("could not write the screenshot")
        self.files["screenshot"] = path
        return path

    def step_theme(self):
        old = self.plot
        kind = old.editorType
        self.w.set_theme("light" if self.w.theme == "dark" else "dark")
        self.plot = self.w.plot
        QtWidgets.QApplication.processEvents()
        if self.plot is old:
            raise StepFailed("the plot was not rebuilt")
        if self.plot.editorType != kind or self.plot.gCurves[0] is not self.curve(0):
            raise StepFailed("the rebuilt plot lost the editor type or the curves")
        path = os.path.join(self.out, f"screenshot_{self.w.theme}.png")
        self.w.grab().save(path)
        self.files["screenshot_" + self.w.theme] = path
        return f"{self.w.theme} theme, {path}"

    # -- planning --------------------------------------------------------------------------------
    def _plan_synthetic(self):
        vol = self.w.volume
        slipped = vol.slipped[self.frame]
        # the high-contrast slip for the edge follower, the others for the hand tools
        # anchors takes the slip whose control points stray furthest; the liner the other one
        spans = {k: self.slip_span(k) for k in slipped}
        worst = max(slipped[1:], key=lambda k: self._control_point_errors(k, *spans[k]).max())
        self.pick = {"livewire": slipped[0], "anchors": worst,
                     "liner": next(k for k in slipped[1:] if k != worst), "context": slipped[0]}
        self.spans = {kind: spans[k] for kind, k in self.pick.items() if kind != "context"}

    def _clearance(self, k, visible):
        """Per column, the distance from curve k to the nearest other visible curve."""
        others = [self.curve(j) for j in visible if j != k]
        if not others:
            return np.full(self.w.volume.width, np.inf)
        return np.min(np.abs(np.stack(others) - self.curve(k)), axis=0)

    def _bump(self, k, lo, hi, rows, visible):
        """Adds to curve k's goal a smooth shift over lo..hi, away from its nearest neighbour."""
        vol = self.w.volume
        c = self.curve(k)
        mid = (lo + hi) // 2
        others = [self.curve(j)[mid] for j in visible if j != k]
        below = min((o - c[mid] for o in others if o > c[mid]), default=np.inf)
        above = min((c[mid] - o for o in others if o < c[mid]), default=np.inf)
        sign = 1 if (below > above and c[mid] + rows < vol.height - 2) or c[mid] - rows < 1 else -1
        xs = np.arange(lo, hi + 1)
        self.goals[k][lo:hi + 1] += sign * rows * np.sin(np.pi * (xs - lo) / max(1, hi - lo))

    def _plan_scan(self):
        vol, f = self.w.volume, self.frame
        w = vol.width
        visible = [k for k in range(len(vol.names)) if self.w.props[k]["is_visible"]]
        if not visible:
            self.w.ui.visibility[0].setChecked(True)
            visible = [0]
        self.goals = {k: self.curve(k).copy() for k in range(len(vol.names))}
        room = {k: self._clearance(k, visible) for k in visible}
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
        self.pick = {"liner": k}
        self.spans["liner"] = (lo, hi)
        self._bump(k, lo, hi, 4, visible)

        # anchors: the control point with the most room around it, away from the liner's columns
        k = next_layer()
        xs, ys = (np.asarray(a) for a in self.plot.ctrl_points[k])
        points = [(i, float(xo), float(yo)) for i in visible for xo, yo in zip(*self.plot.ctrl_points[i])]
        best = None
        for j in range(1, len(xs) - 1):
            x, y = int(xs[j]), float(ys[j])
            if xs[j] - xs[j - 1] < 6 or xs[j + 1] - xs[j] < 6 or (k == self.pick["liner"] and lo - 8 <= x <= hi + 8):
                continue
            # the hover focuses the nearest point (L1): keep clear of every other one
            near = min((abs(xo - x) + abs(yo - y) for i, xo, yo in points if not (i == k and int(xo) == x)),
                       default=np.inf)
            score = min(near, room[k][x]) - abs(x - w / 2) / w
            if best is None or score > best[0]:
                best = (score, j)
        if best is None:
            raise StepFailed(f"layer {vol.names[k]} has no control point to drag")
        j = best[1]
        a, b = int(xs[j - 1]), int(xs[j + 1])
        self.pick["anchors"] = k
        self.spans["anchors"] = (a, b)
        self._bump(k, a, b, 8, visible)

        # live-wire: trace the middle of the longest stretch the file knows on a third layer
        k = next_layer()
        known = [(b - a, a, b) for a, b in runs(~vol.unknown(k, f))]
        if k in (self.pick["liner"], self.pick["anchors"]):
            busy = [self.spans[kind] for kind in ("liner", "anchors") if self.pick[kind] == k]
            known = [(b - a, a, b) for a, b in runs(~vol.unknown(k, f) & ~np.isin(
                np.arange(w), np.concatenate([np.arange(p - 8, q + 9) for p, q in busy])))]
        n, a, b = max(known, default=(0, 0, 0))
        if n < 12:
            raise StepFailed(f"layer {vol.names[k]} has no stretch of known columns to trace")
        lo = a + max(2, (n - w // 4) // 2) if n > w // 4 else a + 2
        hi = min(b - 3, lo + w // 4)
        self.pick["livewire"] = k
        self.spans["livewire"] = (max(1, lo), hi)
        self.pick["context"] = by_room[0]

    # -- saving the corrected layers ---------------------------------------------------------------
    def _answer_dialog(self, path, fn):
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

    def step_save_layers(self):
        vol = self.w.volume
        eye, npz = os.path.join(self.out, "corrected.eye"), os.path.join(self.out, "corrected.npz")
        for path in (eye, npz):
            if os.path.exists(path):
                os.remove(path)
        if not vol.modified or not self.w.isWindowModified():
            raise StepFailed("the window does not show unsaved changes after the edits")
        self._answer_dialog(eye, self.w.fileActions["saveAs"].trigger)
        self._answer_dialog(npz, self.w.fileActions["export"].trigger)
        for path in (eye, npz):
            if not os.path.exists(path):
                raise StepFailed(f"nothing written to {path}")
        if vol.modified or self.w.isWindowModified():
            raise StepFailed("the window still shows unsaved changes after saving")
        self.files["eye"], self.files["npz"] = eye, npz

        import eyepy
        back_eye = {name: layer.data for name, layer in eyepy.EyeVolume.load(eye).layers.items()}
        with np.load(npz) as z:
            back_npz = {name: z[name] for name in z.files}
        summary = vol.edit_summary()
        for name, k in ((n, vol.names.index(n)) for n in vol.names):
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
            self.say(f"    {name}: {text} ({int(vol.edited[k].sum())} columns, {filled} of them without a value before)")
            self.saved[name] = {"frames": {str(f): [list(s) for s in spans] for f, spans in frames.items()},
                                "columns": int(vol.edited[k].sum()), "filled_gaps": filled}
        untouched = [n for n in vol.names if n not in summary]
        if untouched:
            self.say(f"    unchanged: {', '.join(untouched)}")
        self.say("    read back with eyepy and NumPy: edited columns hold the edited values, "
                 "every other column is bit for bit as read")
        return (f"{eye} and {npz}: {len(summary)} layer(s) changed, "
                f"{sum(v['columns'] for v in self.saved.values())} columns")

    def run(self):
        os.makedirs(self.out, exist_ok=True)
        vol = self.w.volume
        source = os.fspath(getattr(vol, "path", "")) or "synthetic volume"
        self.say(f"scripted session on frame {self.frame + 1} of {self.w.volume.n_frames} "
                 f"({self.w.volume.height} x {self.w.volume.width}) of {source}, output in {self.out}")
        try:
            self._plan_synthetic() if self.synthetic else self._plan_scan()
        except StepFailed as e:
            self.say(f"no targets for the gestures in this frame: {e}")
            self.pick = None
        for kind in ("anchors", "liner", "livewire"):
            if self.pick and kind in self.pick:
                self.say(f"  {kind}: {vol.names[self.pick[kind]]}, columns {self.spans[kind][0]}..{self.spans[kind][1]}")
        edit_steps = [
            ("anchors: drag control points onto the layer edge" if self.synthetic
             else "anchors: drag a control point", self.step_anchors),
            ("liner: redraw a slipped curve as a polyline" if self.synthetic
             else "liner: redraw a stretch as a polyline", self.step_liner),
            ("live-wire: trace a layer edge", self.step_livewire),
            ("context menu: addPoint, then removePoint", self.step_context_menu),
            ("undo and redo every gesture", self.step_undo_redo),
            ("frame change keeps the edits", self.step_frame_round_trip),
        ]
        steps = (edit_steps if self.pick else []) + [
            ("save the frame with curves", self.step_save_frame),
            ("save the stack with curves", self.step_save_stack),
            ("save the corrected layers (.eye, .npz) and read them back", self.step_save_layers),
            ("screenshot", self.step_screenshot),
            ("theme switch rebuilds the plot", self.step_theme),
        ]
        if not self.pick:
            self.results.append(("find targets for the gestures", False, "none found"))
        for name, fn in steps:
            self.run_step(name, fn)
        ok = sum(1 for _, good, _ in self.results if good)
        self.say(f"\n{ok} of {len(self.results)} steps succeeded")
        for name, good, detail in self.results:
            self.say(f"  {'ok  ' if good else 'FAIL'}  {name}{'' if good else ' - ' + detail}")
        report = {"ok": ok == len(self.results),
                  "source": source,
                  "volume": {"frames": vol.n_frames, "height": vol.height, "width": vol.width,
                             "layers": vol.names},
                  "frame": int(self.frame),
                  "steps": [{"name": n, "ok": g, "detail": d} for n, g, d in self.results],
                  "edits": self.edits, "saved": self.saved, "files": self.files,
                  "signals": {n: [e for e, _ in self.w.events].count(n)
                              for n in dict.fromkeys(e for e, _ in self.w.events)}}
        with open(os.path.join(self.out, "session.json"), "w") as fh:
            json.dump(report, fh, indent=2)
        return SimpleNamespace(**report)


class ProgressBar:
    """A one-line console progress bar fed with 0..100."""

    def __init__(self, stream, label, width=40):
        self.stream, self.label, self.width = stream, label, width
        self.last = -1

    def update(self, percent):
        percent = int(percent)
        if percent == self.last:
            return
        self.last = percent
        filled = self.width * percent // 100
        self.stream.write(f"\r    {self.label} [{'#' * filled}{'.' * (self.width - filled)}] {percent:3d}%")
        self.stream.flush()

    def finish(self):
        if self.last < 100:
            self.update(100)
        self.stream.write("\n")
        self.stream.flush()
