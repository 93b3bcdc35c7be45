"""Carry to next/previous frames: the last corrected stretch of a layer follows its edge into
the neighbouring frames (vantel.utils.curveCarry), undone and redone as one step."""
from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
from PySide6 import QtCore, QtGui, QtWidgets

from vantel.utils.curveCarry import carry


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
        self._undo, self._redo = [], []   # CarryStep, or "plot" for a step of the plot's history
        self._quiet = False               # our own writes and delegated undos are no new edits

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
        self._undo.append("plot")
        self._redo.clear()
        self._refresh()

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
        self._quiet = True
        try:
            for (t, start, stop), v in zip(step.spans, values):
                vol.curves[step.layer][t][start:stop] = v      # in place: the plot's own arrays
                vol.mark_edited(step.layer, t, start, stop)
            if any(t == shown for t, _, _ in step.spans):
                self.window.set_frame(shown)                    # redraw the frame shown
        finally:
            self._quiet = False
        update = getattr(self.window, "_update_title", None)
        if update is not None:
            update()

    # -- undo and redo in one order with the plot's steps -----------------------------------------
    def undo(self):
        if self._undo and isinstance(self._undo[-1], CarryStep):
            step = self._undo.pop()
            self._apply(step, step.before)
            self._redo.append(step)
            self.unseen.difference_update(t for t, _, _ in step.spans)
            self.unseenChanged.emit()
            self.undone.emit(step.layer, list(step.spans))
            self._refresh()
            return True
        done = self._delegate(self.edit_menu.undo)
        if done:
            if "plot" in self._undo:
                del self._undo[len(self._undo) - 1 - self._undo[::-1].index("plot")]
            self._redo.append("plot")
        return done

    def redo(self):
        if self._redo and isinstance(self._redo[-1], CarryStep):
            step = self._redo.pop()
            self._apply(step, step.after)
            self._undo.append(step)
            self._mark_unseen(step)
            self.carried.emit(step.layer, list(step.spans))
            self._refresh()
            return True
        done = self._delegate(self.edit_menu.redo)
        if done:
            if "plot" in self._redo:
                del self._redo[len(self._redo) - 1 - self._redo[::-1].index("plot")]
            self._undo.append("plot")
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
        if isinstance(self._undo[-1:] and self._undo[-1], CarryStep):
            self.edit_menu.undoAction.setEnabled(True)
        if isinstance(self._redo[-1:] and self._redo[-1], CarryStep):
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
