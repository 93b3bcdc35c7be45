"""A scripted editing session, played through real Qt events on the demo window's view.

Used when there is no screen (and on request with one): every gesture is a QMouseEvent or
QContextMenuEvent sent to the view's viewport, exactly as a pointer would deliver it.
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

    # -- helpers ---------------------------------------------------------------------------------
    @property
    def frame(self):
        return self.w.frame_index

    def curve(self, k):
        return self.w.volume.curves[k][self.frame]

    def truth(self, k):
        return self.w.volume.truth[self.frame, k]

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

    def report_edit(self, k, before, mark, lo=None, hi=None, kind=None):
        after = self.curve(k)
        cols = np.flatnonzero(before != after)
        events = self.events_since(mark)
        self.say(f"    signals: {self.signals_text(events)}")
        if cols.size == 0:
            raise StepFailed(f"curve {self.w.volume.names[k]} did not change")
        truth = self.truth(k)
        a, b = (cols[0], cols[-1] + 1) if lo is None else (lo, hi)
        err0 = np.abs(before[a:b] - truth[a:b]).mean()
        err1 = np.abs(after[a:b] - truth[a:b]).mean()
        self.say(f"    columns changed: {cols.size} ({cols[0]}..{cols[-1]}); mean distance to the layer "
                 f"edge over {a}..{b - 1}: {err0:.1f} -> {err1:.1f} rows")
        if after is not self.plot.gCurves[k]:
            raise StepFailed("the plot no longer holds the volume's curve array")
        names = [n for n, _ in events]
        if kind is not None:
            self.edits[kind] = {"curve": int(k), "name": self.w.volume.names[k], "frame": int(self.frame),
                                "columns": [int(cols[0]), int(cols[-1])], "changed": int(cols.size),
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
        lo, hi = self.slip_span(k)
        self.say(f"    curve {self.w.volume.names[k]}: slip over columns {lo}..{hi}")
        before = self.curve(k).copy()
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
        cols, e0, e1 = self.report_edit(k, before, mark, lo, hi, kind="anchors")
        if "sigCurveChangeFinished" not in [n for n, _ in self.events_since(mark)]:
            raise StepFailed("sigCurveChangeFinished did not arrive")
        return f"{self.w.volume.names[k]}: {e0:.1f} -> {e1:.1f} rows from the edge"

    def _stroke(self, kind, k, lo, waypoints, corners=()):
        """Pick curve k near column lo, press, follow waypoints (pressing at corners), double-click."""
        self.set_editor(kind)
        c = self.curve(k)
        y0 = float(c[lo])
        self.ptr.glide([(lo - 8, y0 - 4), (lo - 3, y0 - 1), (lo, y0)])
        if self.plot.current_curve_idx != k:
            raise StepFailed(f"hover picked curve {self.plot.current_curve_idx}, not {k}")
        before = c.copy()
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
        lo, hi = self.slip_span(k)
        truth = self.truth(k)
        self.say(f"    curve {self.w.volume.names[k]}: slip over columns {lo}..{hi}")
        # a polyline along the layer edge, with a corner every ~40 columns
        xs = np.linspace(lo, hi, max(3, (hi - lo) // 40 + 2))[1:]
        waypoints = [(float(x), float(truth[int(round(x))])) for x in xs]
        before, mark = self._stroke("liner", k, lo, waypoints, corners=range(len(waypoints) - 1))
        cols, e0, e1 = self.report_edit(k, before, mark, lo, hi, kind="liner")
        return f"{self.w.volume.names[k]}: {e0:.1f} -> {e1:.1f} rows from the edge"

    def step_livewire(self):
        k = self.pick["livewire"]
        lo, hi = self.slip_span(k)
        truth = self.truth(k)
        self.say(f"    curve {self.w.volume.names[k]}: following the layer edge over columns {lo}..{hi}")
        xs = np.linspace(lo, hi, 8)[1:]
        waypoints = [(float(x), float(truth[int(round(x))])) for x in xs]
        t0 = time.perf_counter()
        before, mark = self._stroke("livewire", k, lo, waypoints)
        cols, e0, e1 = self.report_edit(k, before, mark, lo, hi, kind="livewire")
        return (f"{self.w.volume.names[k]}: {e0:.1f} -> {e1:.1f} rows from the edge "
                f"({time.perf_counter() - t0:.2f} s for the stroke)")

    def _quiet_gap_column(self, k):
        """A column between two control points where adding a point barely reshapes the curve."""
        from scipy.interpolate import PchipInterpolator
        xs = np.asarray(self.plot.ctrl_points[k][0])
        curve = self.curve(k)
        best = None
        for g in range(len(xs) - 1):
            a, b = int(xs[g]), int(xs[g + 1])
            if b - a < 24:
                continue
            x = (a + b) // 2
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
        return f"addPoint then removePoint at column {x} of {self.w.volume.names[k]}"

    def step_undo_redo(self):
        """Edit > Undo back to the frame as loaded, then Edit > Redo forward again, bit for bit."""
        menu, history = self.w.editMenu, self.w.editMenu.history
        n = len(self.w.volume.names)

        def frame_state():  # the frame's curves and control points, as bytes
            return ([c.tobytes() for c in self.w.volume.frame_curves(self.frame)]
                    + [(a.dtype.str, a.tobytes()) for entry in self.plot.ctrl_points for a in entry])
        f, states, marks = self.frame, [frame_state()], []
        self.w.ui.frameSlider.setValue((f + 1) % self.w.volume.n_frames)
        if history.canUndo() or menu.undoAction.isEnabled():
            raise StepFailed("another frame offers this frame's steps")
        self.w.ui.frameSlider.setValue(f)
        while menu.undoAction.isEnabled():
            mark = len(self.w.events)
            menu.undoAction.trigger()
            states.append(frame_state())
            names = [n for n, _ in self.events_since(mark)]
            if names[-1:] != ["sigCurveChangeFinished"] or "sigCurveChanged" not in names or \
                    states[-1][:n] == states[-2][:n]:
                raise StepFailed(f"undo {len(states) - 1} changed nothing or said nothing ({names})")
            marks.append(names.count("sigCurveChanged"))
        pristine = [self.w.volume._segmentation(f, k).tobytes() for k in range(n)]
        if states[-1][:n] != pristine:
            raise StepFailed("undoing every step did not give back the curves as loaded")
        regenerated = self.plot._generate_control_points()
        if any(not np.array_equal(a, b) or a.dtype != b.dtype
               for now, made in zip(self.plot.ctrl_points, regenerated) for a, b in zip(now, made)):
            raise StepFailed("undoing every step did not give back the control points as loaded")
        for step in range(len(states) - 2, -1, -1):
            menu.redoAction.trigger()
            if frame_state() != states[step]:
                raise StepFailed(f"redo {len(states) - 1 - step} did not restore curves and control points bit for bit")
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
        k = self.pick["anchors"]
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

    def run(self):
        os.makedirs(self.out, exist_ok=True)
        vol = self.w.volume
        slipped = vol.slipped[self.frame]
        # the high-contrast slip for the edge follower, the others for the hand tools
        # anchors takes the slip whose control points stray furthest; the liner the other one
        spans = {k: self.slip_span(k) for k in slipped[1:]}
        worst = max(slipped[1:], key=lambda k: self._control_point_errors(k, *spans[k]).max())
        self.pick = {"livewire": slipped[0], "anchors": worst,
                     "liner": next(k for k in slipped[1:] if k != worst), "context": slipped[0]}
        self.say(f"scripted session on frame {self.frame + 1} of {self.w.volume.n_frames} "
                 f"({self.w.volume.height} x {self.w.volume.width}), output in {self.out}")
        steps = [
            ("anchors: drag control points onto the layer edge", self.step_anchors),
            ("liner: redraw a slipped curve as a polyline", self.step_liner),
            ("live-wire: trace a layer edge", self.step_livewire),
            ("context menu: addPoint, then removePoint", self.step_context_menu),
            ("undo and redo every gesture", self.step_undo_redo),
            ("frame change keeps the edits", self.step_frame_round_trip),
            ("save the frame with curves", self.step_save_frame),
            ("save the stack with curves", self.step_save_stack),
            ("screenshot", self.step_screenshot),
            ("theme switch rebuilds the plot", self.step_theme),
        ]
        for name, fn in steps:
            self.run_step(name, fn)
        ok = sum(1 for _, good, _ in self.results if good)
        self.say(f"\n{ok} of {len(self.results)} steps succeeded")
        for name, good, detail in self.results:
            self.say(f"  {'ok  ' if good else 'FAIL'}  {name}{'' if good else ' - ' + detail}")
        report = {"ok": ok == len(self.results),
                  "volume": {"frames": vol.n_frames, "height": vol.height, "width": vol.width},
                  "frame": int(self.frame),
                  "steps": [{"name": n, "ok": g, "detail": d} for n, g, d in self.results],
                  "edits": self.edits, "files": self.files,
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
