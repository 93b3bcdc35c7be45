"""The scripted session's report: a summary on the console and session.json in the output folder."""
from __future__ import annotations

import json
import os
from types import SimpleNamespace


def write(s, source):
    """Prints the summary, writes session.json and returns the report (ok: every step succeeded)."""
    ok = sum(1 for _, good, _ in s.results if good)
    s.say(f"\n{ok} of {len(s.results)} steps succeeded")
    for name, good, detail in s.results:
        s.say(f"  {'ok  ' if good else 'FAIL'}  {name}{'' if good else ' - ' + detail}")
    vol = s.volume
    signals = [name for name, _ in s.w.events]
    report = {"ok": ok == len(s.results),
              "source": source,
              "volume": {"frames": vol.n_frames, "height": vol.height, "width": vol.width, "layers": vol.names},
              "frame": int(s.frame),
              "steps": [{"name": n, "ok": g, "detail": d} for n, g, d in s.results],
              "edits": s.edits, "saved": s.saved, "files": s.files,
              "signals": {n: signals.count(n) for n in dict.fromkeys(signals)}}
    with open(os.path.join(s.out, "session.json"), "w") as fh:
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
