"""Carry to next/previous frames: the last corrected stretch of a layer follows its edge into
the neighbouring frames (vantel.utils.curveCarry), undone and redone as one step."""
from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
from PySide6 import QtCore, QtGui, QtWidgets
from PySide6.QtTest import QTest

from vantel.utils.curveCarry import carry

from .session import StepFailed
from .volume import STRONG_EDGES


@dataclass(frozen=True)
class PlotStep:
    """A step of the plot's own history: one gesture or point command in `frame`."""
    frame: int


@dataclass
class CarryStep:
    layer: int
    source: int
    spans: list = field(default_factory=list)      # (frame, start, stop)
    before: list = field(default_factory=list)     # the columns' values before the carry, per frame
    after: list = field(default_factory=list)


class CarryActions(QtCore.QObject):
    """Carry to next frames (Ctrl+]) and Carry to previous frames (Ctrl+[) on a DemoWindow.

    Listens to the window's ``layersEdited`` for the last corrected stretch of each layer and
    carries the one of the layer chosen in the window's curve chooser into ``count`` frames.
    With an EditMenu it takes over Undo/Redo so that a carry is undone and redone in one step,
    in order with the plot's own steps.

    Signal ``carried(layer, [(frame, start, stop), ...])``: after a carry, an undo of one
    (``undone``) or a redo, the columns it wrote. ``unseenChanged()``: the set ``unseen`` of
    carried frames not shown since changed.
    """

    carried = QtCore.Signal(int, object)
    undone = QtCore.Signal(int, object)
    unseenChanged = QtCore.Signal()

    def __init__(self, window, edit_menu=None, count=5, band=8):
        super().__init__(window)
        self.window, self.edit_menu, self.band = window, edit_menu, band
        self.stretches = {}        # layer -> (frame, start, stop) of its last correction
        self.unseen = set()
        self._undo, self._redo = [], []   # CarryStep or PlotStep, in the order they were made
        self._quiet = False               # our own writes and delegated undos are no new edits
        self._gesture_open = False        # the plot reports a drag's edit at every move

        menu = window.menuBar().addMenu("&Carry")
        self.nextAction = menu.addAction("Carry to next frames")
        self.nextAction.setShortcut(QtGui.QKeySequence("Ctrl+]"))
        self.previousAction = menu.addAction("Carry to previous frames")
        self.previousAction.setShortcut(QtGui.QKeySequence("Ctrl+["))
        for action in (self.nextAction, self.previousAction):
            action.setShortcutContext(QtCore.Qt.ShortcutContext.ApplicationShortcut)
        self.nextAction.triggered.connect(lambda: self.carry(+1))
        self.previousAction.triggered.connect(lambda: self.carry(-1))
        self.countBox = QtWidgets.QSpinBox()
        self.countBox.setRange(1, max(1, window.volume.n_frames - 1))
        self.countBox.setValue(min(count, self.countBox.maximum()))
        self.countBox.setPrefix("into ")
        self.countBox.setSuffix(" frames")
        holder = QtWidgets.QWidgetAction(menu)
        holder.setDefaultWidget(self.countBox)
        menu.addAction(holder)

        window.layersEdited.connect(self._on_edited)
        window.frameChanged.connect(self._on_frame)
        window.plotReplaced.connect(self._watch_plot)
        if getattr(window, "plot", None) is not None:
            self._watch_plot(window.plot)
        if edit_menu is not None:
            # Undo/Redo come here first: a carry is not in the plot's history
            for action, ours, theirs in ((edit_menu.undoAction, self.undo, edit_menu.undo),
                                         (edit_menu.redoAction, self.redo, edit_menu.redo)):
                action.triggered.disconnect(theirs)
                action.triggered.connect(ours)
            # after the menu's own refresh, which knows only the plot's history
            window.frameChanged.connect(self._enable)
            window.plotReplaced.connect(self._follow_history)
            self._follow_history()

    # -- the stretch -----------------------------------------------------------------------------
    def _on_edited(self, layer, frame, start, stop):
        if self._quiet:
            return
        last = self.stretches.get(layer)
        if last is not None and last[0] == frame and start <= last[2] and last[1] <= stop:
            start, stop = min(start, last[1]), max(stop, last[2])   # one correction, several gestures
        self.stretches[layer] = (frame, start, stop)
        if not (self._gesture_open and self._undo and self._undo[-1] == PlotStep(frame)):
            self._undo.append(PlotStep(frame))
        self._gesture_open = True
        # a new step drops what could have been redone on its frame, as the plot's history does
        self._redo = [x for x in self._redo if frame not in self._frames(x)]
        self._refresh()

    def _watch_plot(self, plot):
        # the plot's history closes a step where the plot says a change is finished
        plot.sigCurveChangeFinished.connect(self._close_gesture)

    def _close_gesture(self, *_):
        self._gesture_open = False

    def _on_frame(self, frame):
        if frame in self.unseen:
            self.unseen.discard(frame)
            self.unseenChanged.emit()

    def layer(self):
        return self.window.ui.comboBox_enfaceA_Slab.currentIndex()

    # -- carrying --------------------------------------------------------------------------------
    def carry(self, direction, count=None):
        """Carries the chosen layer's last corrected stretch; returns the CarryStep, or None."""
        k, vol = self.layer(), self.window.volume
        if k not in self.stretches:
            self._say(f"nothing to carry: no correction of {self._name(k)} yet")
            return None
        source, start, stop = self.stretches[k]
        count = self.countBox.value() if count is None else int(count)
        targets = [source + direction * i for i in range(1, count + 1)]
        targets = [t for t in targets if 0 <= t < vol.n_frames]
        if not targets:
            self._say("no frame to carry into in that direction")
            return None
        for f in [source, *targets]:
            vol.frame(f)                      # frames are made on demand
        try:
            results = carry(vol.data, vol.work[k], source, targets, start, stop, band=self.band)
        except (ValueError, IndexError, TypeError) as e:
            self._say(f"cannot carry: {e}")
            return None
        step = CarryStep(k, source)
        for t, curve in zip(targets, results):
            step.spans.append((t, start, stop))
            step.before.append(vol.work[k][t, start:stop].copy())
            step.after.append(curve[start:stop].copy())
        self._apply(step, step.after)
        self._undo.append(step)
        self._redo = [x for x in self._redo if not (self._frames(x) & self._frames(step))]
        self._mark_unseen(step)
        self.carried.emit(k, list(step.spans))
        self._say(f"carried {self._name(k)} columns {start}-{stop - 1} from frame {source + 1} "
                  f"into frames {', '.join(str(t + 1) for t in targets)}")
        self._refresh()
        return step

    def _mark_unseen(self, step):
        self.unseen.update(t for t, _, _ in step.spans if t != self.window.frame_index)
        self.unseenChanged.emit()

    def _apply(self, step, values):
        vol, shown = self.window.volume, self.window.frame_index
        history = self.edit_menu.history if self.edit_menu is not None else None
        self._quiet = True
        try:
            for (t, start, stop), v in zip(step.spans, values):
                vol.curves[step.layer][t][start:stop] = v      # in place: the plot's own arrays
                vol.mark_edited(step.layer, t, start, stop)
                if history is not None:
                    history.rebase(vol.curves[step.layer][t])
            if any(t == shown for t, _, _ in step.spans):
                self.window.set_frame(shown)                    # redraw the frame shown
        finally:
            self._quiet = False
        update = getattr(self.window, "_update_title", None)
        if update is not None:
            update()

    # -- undo and redo, per frame, in one order with the plot's steps -----------------------------
    # Like the plot's history, Undo and Redo act on the frame shown: the latest step that touched
    # it. A carry touches several frames, so it is taken back (or put back) only while no later
    # step (earlier, for redo) of any of its frames stands in the way; it would overwrite that one.
    def undo(self):
        return self._step(self._undo, self._redo, self.edit_menu.undo if self.edit_menu else None, undo=True)

    def redo(self):
        return self._step(self._redo, self._undo, self.edit_menu.redo if self.edit_menu else None, undo=False)

    @staticmethod
    def _frames(step):
        # a carry belongs to the frame it was carried from too: that is where it is undone at once
        return {step.frame} if isinstance(step, PlotStep) else {step.source} | {t for t, _, _ in step.spans}

    def _next(self, stack):
        """(index in `stack` of the step Undo/Redo takes on the frame shown or None, blocked)."""
        shown = self.window.frame_index
        for i in range(len(stack) - 1, -1, -1):
            frames = self._frames(stack[i])
            if shown not in frames:
                continue
            later = set().union(*(self._frames(x) for x in stack[i + 1:]))
            return (None, True) if frames & later else (i, False)
        return None, False

    def _step(self, stack, other, delegate, undo):
        self._gesture_open = False
        i, blocked = self._next(stack)
        if blocked:
            return False
        step = stack[i] if i is not None else None
        if isinstance(step, CarryStep):
            del stack[i]
            self._apply(step, step.before if undo else step.after)
            other.append(step)
            if undo:
                self.unseen.difference_update(t for t, _, _ in step.spans)
                self.unseenChanged.emit()
                self.undone.emit(step.layer, list(step.spans))
            else:
                self._mark_unseen(step)
                self.carried.emit(step.layer, list(step.spans))
            self._refresh()
            return True
        # the plot's history knows its own steps, also any we did not see made
        if delegate is None or not self._delegate(delegate):
            return False
        if i is not None:
            del stack[i]
        other.append(step if step is not None else PlotStep(self.window.frame_index))
        self._refresh()
        return True

    def _delegate(self, fn):
        self._quiet = True
        try:
            return bool(fn())
        finally:
            self._quiet = False
            self._refresh()

    def _follow_history(self, *_):
        history = self.edit_menu.history
        if history is not None:
            history.sigHistoryChanged.connect(self._enable)
        self._enable()

    def _enable(self, *_):
        # after the menu's own refresh, which knows only the plot's history
        for action, stack in ((self.edit_menu.undoAction, self._undo), (self.edit_menu.redoAction, self._redo)):
            i, blocked = self._next(stack)
            if blocked:
                action.setEnabled(False)
            elif i is not None and isinstance(stack[i], CarryStep):
                action.setEnabled(True)

    def _refresh(self):
        if self.edit_menu is not None:
            self.edit_menu.refresh()
            self._enable()

    # -- messages ---------------------------------------------------------------------------------
    def _name(self, k):
        names = self.window.volume.names
        return names[k] if 0 <= k < len(names) else f"layer {k}"

    def _say(self, text):
        self.window.statusBar().showMessage(text, 8000)
        log = getattr(self.window, "log", None)
        if log is not None:
            log(text)


def distance_to(curves, truth, spans):
    """Mean |curve - truth| over each (frame, start, stop); the tour reports it before and after."""
    return [float(np.nanmean(np.abs(curves[t][a:b] - truth[t][a:b]))) for t, a, b in spans]


# -- the scripted session's step ------------------------------------------------------------------
SLIP_ROWS = 8       # how far the seeded slip takes the layer off its edge
SLIPPED_FRAMES = 6  # the corrected frame and the five a carry reaches by default


def _drag_point(s, k, x_near, dy):
    """Drags layer k's control point nearest column x_near by dy rows with the pointer; its column."""
    xs, ys = (np.asarray(a, float) for a in s.plot.ctrl_points[k])
    j = int(np.argmin(np.abs(xs - x_near)))
    x, y = float(xs[j]), float(ys[j])
    s.pointer.glide([(x - 20, y - 12), (x - 6, y - 3), (x, y)])
    focused = s.plot.modified_ctrl_point
    if focused is None or (focused[0], focused[1]) != (k, j):
        raise StepFailed(f"hovering control point {j} of {s.name(k)} focused {focused}")
    s.pointer.drag([(x, y)] + [(x, y + dy * n / 4) for n in range(1, 5)])
    return x


def tour_step(s):
    """A slip seeded with the pointer over several frames, corrected in the first and carried into
    the rest with Ctrl+]; fails unless every carried frame ends closer to where the layer belongs
    (the true edge, or on a scan the curve as the file had it)."""
    w, vol = s.w, s.volume
    carry_ = getattr(w, "carryActions", None)
    if carry_ is None:
        raise NotImplementedError("the window has no Carry menu")
    if vol.n_frames < 2:
        raise StepFailed("one frame: nothing to carry into")
    first = min(s.frame, max(0, vol.n_frames - SLIPPED_FRAMES))
    frames = list(range(first, min(vol.n_frames, first + SLIPPED_FRAMES)))
    synthetic = s.synthetic
    k = s.pick["anchors"] if s.pick and "anchors" in s.pick else 0
    if synthetic:
        # a layer with a clear edge, right in the frame to be corrected (the correction puts back
        # only the part of the curve the slip moved), right in as many of the others as can be, and
        # moving less than the carry's band between the frames (a volume of few frames has them far apart)
        moves = np.abs(np.diff(vol.truth[frames], axis=0)).max(axis=(0, 2)) if len(frames) > 1 else None
        clean = [j for j in range(len(vol.names)) if j not in vol.slipped[frames[0]]]
        if clean:
            k = min(clean, key=lambda j: (moves is not None and moves[j] > carry_.band, j not in STRONG_EDGES,
                                          sum(j in vol.slipped[f] for f in frames)))
    w.ui.comboBox_enfaceA_Slab.setCurrentIndex(k)
    s.set_editor("anchors")
    s.plot.vb.autoRange(padding=0.001)      # View > Reset zoom: an earlier step may have zoomed in elsewhere

    def reference(f):
        # on a scan: the layer as the file had it (gaps filled), not after the earlier steps' edits
        return np.asarray(vol.truth[f, k], float) if synthetic else np.asarray(vol.initial[k][f], float).copy()

    ref = {f: reference(f) for f in frames}
    x = None
    for f in frames:                                   # the slip, in every frame
        w.set_frame(f)
        x_here = _drag_point(s, k, vol.width / 2 if x is None else x, SLIP_ROWS)
        x = x_here if x is None else x
    w.set_frame(frames[0])                             # the correction, in the first
    for _ in range(6):
        # as a user does: the control point that strays furthest goes back where the layer is
        xs, ys = (np.asarray(a, float) for a in s.plot.ctrl_points[k])
        off = ref[frames[0]][xs.astype(int)] - ys
        j = int(np.argmax(np.abs(off)))
        if abs(off[j]) < 1.0:
            break
        _drag_point(s, k, xs[j], float(off[j]))
    source, start, stop = carry_.stretches.get(k, (None, 0, 0))
    if source != frames[0]:
        raise StepFailed(f"the correction in frame {frames[0] + 1} was not taken as the stretch to carry")

    def distances():
        return [float(np.nanmean(np.abs(np.asarray(vol.curves[k][f][start:stop], float) - ref[f][start:stop])))
                for f in frames[1:]]

    source_off = float(np.nanmean(np.abs(np.asarray(vol.curves[k][frames[0]][start:stop], float)
                                         - ref[frames[0]][start:stop])))
    before = distances()
    carry_.countBox.setValue(len(frames) - 1)
    QTest.keyClick(w, QtCore.Qt.Key.Key_BracketRight, QtCore.Qt.KeyboardModifier.ControlModifier)
    QtWidgets.QApplication.processEvents()
    after = distances()
    where = "the true edge" if synthetic else "the curve as read"
    detail = (f"{s.name(k)} columns {start}..{stop - 1}, corrected in frame {frames[0] + 1} (to {source_off:.1f} "
              f"rows), carried into frames "
              f"{frames[1] + 1}..{frames[-1] + 1}; mean distance to {where} per frame "
              f"before {' '.join(f'{d:.1f}' for d in before)}, after {' '.join(f'{d:.1f}' for d in after)} rows")
    s.say("    " + detail)
    if not all(a < b for a, b in zip(after, before)):
        raise StepFailed("the carried frames did not get closer: " + detail)
    return detail
