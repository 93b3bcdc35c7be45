"""The window's side of the edit journal: every correction written as it ends, the restore question when
a file is opened, the journal cleared by a save or a discard.

Attached to a DemoWindow from outside, through its signals: ``layersEdited`` names the columns each
edit reached, the plot's ``sigCurveChangeFinished`` ends a gesture (a drag, a stroke, an undo or redo),
and ``layersSaved``, ``layersDiscarded`` and ``closed`` say what became of the corrections.
"""
from __future__ import annotations

import datetime
import os

import numpy as np
from PySide6 import QtCore, QtWidgets

from . import journal as jn

# Looked up when used, so that a test or a scripted run can answer the question.
QMessageBox = QtWidgets.QMessageBox

RESTORE, DISCARD, KEEP = "restore", "discard", "keep"


def _when(t):
    if t is None:
        return "an earlier session"
    return datetime.datetime.fromtimestamp(t).strftime("%Y-%m-%d %H:%M")


class EditJournal(QtCore.QObject):
    """Journals a window's corrections to the journal of the file it shows.

    ``state`` is "on" (journaling), "kept" (the file's earlier corrections were kept for later: this
    window leaves them alone and journals nothing), "elsewhere" (another window holds the file: no
    journal and no saving here), "failed" (the journal cannot be opened) or "none" (no file).
    Nothing is journaled before ``offer_restore`` has settled what an earlier session left.
    """

    def __init__(self, window, directory=None, interactive=True):
        super().__init__(window)
        self.w = window
        self.directory = directory
        self.interactive = interactive
        self.journal = None
        self.state = "none"
        self.pending = {}            # (layer, frame) -> [start, stop) edited since the last record
        self.problem = None          # the last write failure, until a write succeeds again
        self.kept = None             # the journal whose earlier corrections were kept for later
        self._replaying = False
        self._flush_soon = QtCore.QTimer(self, singleShot=True, interval=0)
        self._flush_soon.timeout.connect(self.flush)
        self._plot = None

        window.layersEdited.connect(self._on_edited)
        window.plotReplaced.connect(self._watch)
        window.frameChanged.connect(self.flush)
        window.layersSaved.connect(self._on_saved)
        window.layersDiscarded.connect(self._on_discarded)
        window.closed.connect(self.close)
        self._watch(window.plot)
        if getattr(window.volume, "path", None) is not None:
            self._open(jn.journal_path(window.volume.path, directory), jn.header_for(window.volume))

    # -- opening ---------------------------------------------------------------------------------
    def _open(self, path, header):
        try:
            self.journal = jn.Journal(path, header)
            self.state = "kept"          # until offer_restore decides about what was found
        except jn.JournalBusy:
            self.state = "elsewhere"
            self.w.save_blocked = (f"{self.w.volume.title} is open in another window; this window cannot "
                                   "save it (export the layers instead)")
            self._tell("Open elsewhere", f"{self.w.volume.title} is already open in another window. This window "
                       "shows it without a journal of its own and cannot save it.")
        except jn.JournalError as e:
            self.state = "failed"
            self._tell("Corrections not journaled", f"{e}. Corrections in this window are lost if it crashes.")

    def offer_restore(self):
        """Asks about corrections an earlier session left unsaved; returns the answer (None: nothing found)."""
        j = self.journal
        if j is None or j.writable:
            return None
        found = j.found
        if not found.corrections:
            if found.skipped:
                self._tell("Journal damaged", f"The journal of {self.w.volume.title} was damaged: none of its "
                           f"{found.skipped} records could be read. A new journal is started.")
            self._start(j.discard)
            return None
        n = len(found.corrections)
        problem = jn.misfit(found.header, self.w.volume)
        if problem:
            answer = self._ask(f"The journal of {self.w.volume.title} holds {n} unsaved corrections from "
                               f"{_when(found.last_time)}, but they cannot be restored: {problem}.",
                               (DISCARD, KEEP), KEEP)
        else:
            damaged = (f" ({found.skipped} damaged records will be skipped)" if found.skipped else "")
            answer = self._ask(f"Restore {n} unsaved corrections from {_when(found.last_time)}?{damaged}",
                               (RESTORE, DISCARD, KEEP), RESTORE if self.interactive else KEEP)
        if answer == RESTORE:
            self.restore(found)
        elif answer == DISCARD:
            self._start(j.discard)
            self.w.log(f"discarded {n} unsaved corrections of an earlier session")
        else:
            self.kept = j.path
            self.w.log(f"kept {n} unsaved corrections of an earlier session for later; "
                       "this window journals nothing")
            self.w.statusBar().showMessage("Earlier unsaved corrections kept for later: this window's "
                                           "corrections are not journaled", 10000)
        return answer

    def restore(self, found):
        """Replays what was found onto the file as read, through the plot's signals, so that Undo
        takes back each restored correction as it would the original one."""
        w, volume = self.w, self.w.volume
        shown = w.frame_index
        # Edits of different frames touch different arrays, so the order only matters within a frame:
        # one frame at a time, each correction of it in its turn, spares a frame load per correction.
        by_frame = {}
        for n, c in enumerate(found.corrections):
            for e in c.edits:
                by_frame.setdefault(e.frame, {}).setdefault(n, []).append(e)
        took, rejected = set(), 0
        self._replaying = True
        try:
            for frame in sorted(by_frame):
                steps = by_frame[frame]
                if not 0 <= frame < volume.n_frames:
                    rejected += sum(map(len, steps.values()))
                    continue
                w.set_frame(frame)
                for n, edits in steps.items():
                    done = [e for e in edits if jn.apply_edit(volume, e)]
                    rejected += len(edits) - len(done)
                    if done:
                        self._announce(done)
                        took.add(n)
            w.set_frame(shown)         # also rebuilds the control points from the restored curves
        finally:
            self._replaying = False
        self._start(self.journal.resume)
        applied, skipped = len(took), found.skipped + rejected
        text = f"restored {applied} unsaved corrections" + (f"; {skipped} damaged records skipped" if skipped else "")
        w.log(text)
        w.statusBar().showMessage(text[0].upper() + text[1:], 10000)
        if skipped:
            self._tell("Some corrections could not be restored",
                       f"{skipped} records of the journal were damaged and have been skipped; "
                       f"{applied} corrections were restored.")
        return applied, skipped

    def _announce(self, edits):
        # what the plot emits after an edit: the window marks the columns, the history makes a step
        plot = self.w.plot
        for e in edits:
            cols = e.column_indices()
            if cols.size == 0:
                continue
            curve = self.w.volume.curves[e.layer][e.frame]
            plot.sigCurveChanged.emit(e.layer, curve)
            plot.sigControlPointChanged.emit(e.layer, [int(cols.min()), int(cols.max()) + 1])
        plot.sigCurveChangeFinished.emit(None, None)
        for e in edits:              # the marks as they were, not as the window's rule reads them now
            if e.edited is not None:
                self.w.volume.edited[e.layer][e.frame, e.column_indices()] = e.edited

    # -- writing ---------------------------------------------------------------------------------
    def _watch(self, plot):
        if plot is None or plot is self._plot:
            return
        self._plot = plot
        plot.sigCurveChangeFinished.connect(self.flush)

    def _on_edited(self, k, f, start, stop):
        if self._replaying or self.state != "on" or stop <= start:
            return
        span = self.pending.get((k, f))
        self.pending[(k, f)] = [start, stop] if span is None else [min(span[0], start), max(span[1], stop)]
        plot = self.w.plot
        if not (plot.mouse_pressed or len(plot.mouse_path)):
            # a point command or an undo: a gesture's end (or the next turn of the event loop) writes it
            self._flush_soon.start()

    def flush(self, *_):
        """Writes what was edited since the last record as one correction."""
        if not self.pending or self.state != "on":
            return
        volume = self.w.volume
        edits = [jn.edit_of(volume, k, f, a, b) for (k, f), (a, b) in sorted(self.pending.items())]
        try:
            self.journal.append(edits)
        except jn.JournalError as e:
            # kept pending: the next write carries these columns too, so nothing goes missing
            if self.problem is None:
                self._tell("Corrections not journaled", f"{e}. Save your corrections.")
            self.problem = str(e)
            return
        self.pending.clear()
        if self.problem is not None:
            self.problem = None
            self.w.log("journal written again")

    def record(self, layer, frame, columns, values=None, cause="carry"):
        """Journals an edit made outside the plot (a carried frame, say) as a correction of its own.

        ``columns``: (start, stop), stop exclusive, or an array of column indices; ``values`` default
        to what the volume's working curve now holds there. The columns' edited marks are journaled
        as the volume has them, so mark them before calling this. Returns whether it was written.
        """
        return self.record_spans(layer, [(frame, columns, values)], cause)

    def record_spans(self, layer, spans, cause="carry"):
        """Journals edits of one layer on several frames (a whole carry) as one correction: ``spans``
        holds (frame, columns, values) as ``record`` takes them. Returns whether it was written."""
        if self.state != "on":
            return False
        self.flush()
        volume, edits = self.w.volume, []
        for frame, columns, values in spans:
            layer, frame = int(layer), int(frame)
            cols = slice(int(columns[0]), int(columns[1])) if isinstance(columns, tuple) else np.asarray(columns)
            if values is None:
                values = volume.work[layer][frame, cols]
            edits.append(jn.Edit(layer, frame, cols, np.asarray(values, dtype=np.float64),
                                 volume.edited[layer][frame, cols].copy()))
        try:
            self.journal.append(edits, cause)
        except jn.JournalError as e:
            self._tell("Corrections not journaled", f"{e}. Save your corrections.")
            return False
        return True

    # -- what became of the corrections -----------------------------------------------------------
    def _on_saved(self, path):
        if self.journal is None or self.state not in ("on", "kept"):
            return
        self.pending.clear()
        if os.path.abspath(os.fspath(path)) == self.journal.header.get("scan"):
            if self.state == "on":
                self._try(self.journal.discard)
            return                       # kept corrections stay kept, whatever this window saves
        # From now on the saved file is what a crash would be recovered onto: its journal takes over.
        # (A window that kept an earlier session's corrections leaves that journal as it was.)
        if self.state == "on":
            self._try(self.journal.discard)
        self.journal.close()
        header = dict(self.journal.header, scan=os.path.abspath(os.fspath(path)))
        self.journal, self.state = None, "none"
        self._open(jn.journal_path(path, self.directory), header)
        if self.journal is not None:
            # the file was just written from this window: what an earlier session left for it is stale
            self._start(self.journal.discard)

    def _on_discarded(self):
        self.pending.clear()
        if self.state == "on":
            self._try(self.journal.discard)

    def close(self):
        """Writes what is pending and lets go of the journal (removed when it holds nothing)."""
        self._flush_soon.stop()
        self.flush()
        if self.journal is not None:
            self.journal.close()

    def _start(self, decide):
        """Journals from now on, once the journal's earlier records are decided about."""
        try:
            decide()
        except jn.JournalError as e:
            self.state = "failed"
            self._tell("Corrections not journaled", f"{e}. Corrections in this window are lost if it crashes.")
            return
        self.state = "on"

    def _try(self, action):
        try:
            action()
        except jn.JournalError as e:
            self._tell("Journal", str(e))

    # -- talking to the user ---------------------------------------------------------------------
    def _tell(self, title, text):
        self.w.log(text)
        self.w.statusBar().showMessage(text, 10000)
        if self.interactive:
            QMessageBox.warning(self.w, title, text)

    def _ask(self, text, answers, default):
        if not self.interactive:
            self.w.log(text + f" [{default}]")
            return default
        box = QMessageBox(QMessageBox.Icon.Question, "Unsaved corrections", text, parent=self.w)
        roles = {RESTORE: ("Restore", QMessageBox.ButtonRole.AcceptRole),
                 DISCARD: ("Discard", QMessageBox.ButtonRole.DestructiveRole),
                 KEEP: ("Keep for later", QMessageBox.ButtonRole.RejectRole)}
        buttons = {box.addButton(*roles[a]): a for a in answers}
        box.setDefaultButton(next(b for b, a in buttons.items() if a == default))
        box.exec()
        return buttons.get(box.clickedButton(), KEEP)


# -- the scripted session's steps ------------------------------------------------------------------
def _keeper(s):
    return s.w.findChild(EditJournal)


def tour_replays(s):
    """The journal, replayed onto the layers as read, gives the window's layers."""
    from .session import StepFailed
    keeper = _keeper(s)
    if keeper is None or keeper.state == "none":
        return "no file behind this volume, so no journal"
    if keeper.state in ("kept", "elsewhere"):
        return ("the file's journal holds an earlier session's corrections, kept for later (--recover "
                "gives them): this run journals nothing" if keeper.state == "kept" else
                "the file is open in another window, which keeps its journal")
    if keeper.state != "on":
        raise StepFailed("the window could not open the file's journal")
    keeper.flush()
    found = jn.read_journal(keeper.journal.path)
    v = s.volume
    replica = _AsRead(v)
    applied, rejected = jn.replay(replica, found.corrections)
    if found.skipped or found.torn or rejected:
        raise StepFailed(f"{found.skipped} records unreadable, {rejected} edits did not fit")
    for k, name in enumerate(v.names):
        if not np.array_equal(replica.edited[k], v.edited[k]):
            raise StepFailed(f"{name}: the journal marks other columns as edited than the window")
        if replica.work[k][v.edited[k]].tobytes() != v.work[k][v.edited[k]].tobytes():
            raise StepFailed(f"{name}: the journal's values differ from the window's")
    columns = sum(int(np.count_nonzero(e)) for e in v.edited)
    return (f"{applied} corrections in {keeper.journal.path.name}, replayed onto the layers as read: "
            f"the window's {columns} edited columns, bit for bit")


def tour_cleared(s):
    """After the save, nothing is left to recover."""
    from .session import StepFailed
    keeper = _keeper(s)
    if keeper is None or keeper.state != "on":
        return "this run keeps no journal"
    paths = {jn.journal_path(s.volume.path, keeper.directory), keeper.journal.path} - {keeper.kept}
    left = [p for p in paths if jn.read_journal(p).corrections]
    if left:
        raise StepFailed(f"corrections left in {', '.join(p.name for p in left)} after the save")
    kept = f" ({keeper.kept.name}, kept for later, is left as it was)" if keeper.kept else ""
    return f"nothing to recover after the save; the window now journals into {keeper.journal.path.name}{kept}"


class _AsRead:
    """The layers of a volume as they were read, to replay a journal onto."""

    def __init__(self, v):
        self.names, self.n_frames, self.width = v.names, v.n_frames, v.width
        self.initial = v.initial
        self.work = [a.copy() for a in v.initial]
        self.edited = [np.zeros_like(e) for e in v.edited]
        self.modified = False
