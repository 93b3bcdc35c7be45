"""Carry to next/previous frames: the last corrected stretch of a layer follows its edge into
the neighbouring frames (vantel.utils.curveCarry), undone and redone as one step."""
from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
from PySide6 import QtCore, QtGui, QtWidgets

from vantel.utils.curveCarry import carry


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
        self._redo.clear()
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
        self._redo.clear()
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

    # -- undo and redo in one order with the plot's steps -----------------------------------------
    # The plot's history keeps each frame's steps apart and acts on the frame shown, so a step
    # of the plot is undone or redone with its frame shown, as the user then sees it happen.
    def undo(self):
        return self._step(self._undo, self._redo, self.edit_menu.undo if self.edit_menu else None, undo=True)

    def redo(self):
        return self._step(self._redo, self._undo, self.edit_menu.redo if self.edit_menu else None, undo=False)

    def _step(self, stack, other, delegate, undo):
        self._gesture_open = False
        if not stack:
            return False
        step = stack.pop()
        if isinstance(step, CarryStep):
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
        if delegate is None:
            return False
        if step.frame != self.window.frame_index:
            self.window.set_frame(step.frame)
        done = self._delegate(delegate)
        if done:
            other.append(step)
        # a step the history no longer holds (beyond its depth) is dropped, not retried forever
        return done

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
        # the menu's own refresh sees only the shown frame's history; ours spans every frame
        if self._undo:
            self.edit_menu.undoAction.setEnabled(True)
        if self._redo:
            self.edit_menu.redoAction.setEnabled(True)

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

