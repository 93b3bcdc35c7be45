"""A scripted editing session (the tour), played through real Qt events on the demo window's view.

Used when there is no screen (and on request with one). On the synthetic volume the gestures bring
slipped curves back to the true layer edges; on a scan the session plans its own corrections in the
frame it shows (planning.py), makes them with the pointer (gestures.py), checks what the window
kept and saved (checks.py, exports.py) and writes the report (report.py).

A step is a function of the session that returns a one-line detail, or raises StepFailed; the
tour's steps, in order, are the list in tour.py.
"""
from __future__ import annotations

import os
import sys
import traceback
from dataclasses import dataclass
from typing import Callable

from PySide6 import QtWidgets

from .pointer import Pointer


class StepFailed(Exception):
    pass


@dataclass(frozen=True)
class Step:
    title: str | Callable[["Session"], str]   # a callable when the title depends on the volume
    run: Callable[["Session"], str | None]
    edits: bool = False                       # makes or needs the planned edits: skipped without targets

    def title_for(self, session):
        return self.title(session) if callable(self.title) else self.title


class Session:
    """What the steps share: the window, its pointer, the plan, and what the report will hold."""

    def __init__(self, window, out_dir, say=print, progress_stream=None):
        self.w = window
        self.out = os.fspath(out_dir)
        self.say = say
        self.stream = progress_stream or sys.stdout
        self.pointer = Pointer.of_window(window)
        self.results = []     # (step title, ok, detail)
        self.files = {}       # what the steps wrote: key -> path
        self.edits = {}       # editor type -> what the edit changed
        self.saved = {}       # what the saved layers hold, as read back
        self.synthetic = hasattr(window.volume, "truth")
        self.goal_name = "layer edge" if self.synthetic else "planned correction"
        self.pick = None      # editor type (and "context") -> curve index it works on
        self.goals = {}       # curve index -> where the gestures should bring it (scans)
        self.spans = {}       # editor type -> columns it works on
        self.loaded = [c.tobytes() for c in window.volume.frame_curves(window.frame_index)]  # before any gesture

    @property
    def plot(self):           # the theme switch replaces the window's plot
        return self.w.plot

    @property
    def volume(self):
        return self.w.volume

    @property
    def frame(self):
        return self.w.frame_index

    def curve(self, k):
        return self.volume.curves[k][self.frame]

    def goal(self, k):
        """Where curve k should end up: the true layer edge, or on a scan the planned correction."""
        if self.synthetic:
            return self.volume.truth[self.frame, k]
        return self.goals[k]

    def name(self, k):
        return self.volume.names[k]

    def mark(self):
        """A position in the window's signal log; events_since(mark) is what came after it."""
        return len(self.w.events)

    def events_since(self, mark):
        return self.w.events[mark:]

    def set_editor(self, kind):
        self.w.ui.editorButtons[kind].click()   # the host's own control, which calls setEditorType
        QtWidgets.QApplication.processEvents()
        if self.plot.editorType != kind:
            raise StepFailed(f"editor type is {self.plot.editorType!r} after choosing {kind!r}")

    def run_step(self, title, fn):
        self.say(f"\n[{len(self.results) + 1}] {title}")
        try:
            detail = fn(self)
        except NotImplementedError as e:
            self.results.append((title, False, f"not available yet: {e}"))
            self.say(f"    NOT AVAILABLE YET: {e}")
        except Exception as e:  # a scripted run reports and carries on with the next step
            self.results.append((title, False, f"{type(e).__name__}: {e}"))
            self.say(f"    FAILED: {type(e).__name__}: {e}")
            if os.environ.get("DEMO_TRACEBACK"):
                traceback.print_exc()
        else:
            self.results.append((title, True, detail or ""))
            self.say(f"    ok{': ' + detail if detail else ''}")

    def run(self, steps=None):
        from . import planning, report
        os.makedirs(self.out, exist_ok=True)
        vol = self.volume
        source = os.fspath(getattr(vol, "path", "")) or "synthetic volume"
        self.say(f"scripted session on frame {self.frame + 1} of {vol.n_frames} "
                 f"({vol.height} x {vol.width}) of {source}, output in {self.out}")
        try:
            planning.plan(self)
        except StepFailed as e:
            self.say(f"no targets for the gestures in this frame: {e}")
            self.pick = None
        for kind in ("anchors", "liner", "livewire"):
            if self.pick and kind in self.pick:
                self.say(f"  {kind}: {vol.names[self.pick[kind]]}, columns {self.spans[kind][0]}..{self.spans[kind][1]}")
        if not self.pick:
            self.results.append(("find targets for the gestures", False, "none found"))
        if steps is None:
            from .tour import STEPS as steps
        for step in steps:
            if step.edits and not self.pick:
                continue
            self.run_step(step.title_for(self), step.run)
        return report.write(self, source)
