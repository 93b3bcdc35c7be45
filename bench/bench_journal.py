"""Edit journal: what writing one correction to disk costs, and reading a long journal back."""
import json
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from _harness import median_time, report_row, speedup_row  # noqa: E402

try:
    from vantel_curve_demo import journal as jn
except ImportError:          # development build: the package is still in the source tree
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src"))
    from vantel_curve_demo import journal as jn

WIDTH, BUDGET_S, LONG = 1024, 5e-3, 2000
_sync = getattr(os, "fdatasync", os.fsync)


class _Volume:
    def __init__(self, path):
        self.path, self.names, self.n_frames, self.width = path, ["ILM", "RPE"], 64, WIDTH


def _edit(rng):
    return jn.Edit(1, 7, slice(0, WIDTH), 200 + rng.standard_normal(WIDTH), rng.random(WIDTH) > 0.2)


def _transcribed_append(fd, e):
    """The same record as a line of JSON, written and synced the plain way."""
    line = json.dumps({"time": time.time(), "cause": "edit", "edits": [
        {"layer": e.layer, "frame": e.frame, "start": e.columns.start, "stop": e.columns.stop,
         "values": e.values.tolist(), "edited": e.edited.tolist()}]}) + "\n"
    os.write(fd, line.encode())
    _sync(fd)


def run():
    rng = np.random.default_rng(0)
    folder = tempfile.mkdtemp(prefix="bench-journal-", dir=os.path.dirname(os.path.abspath(__file__)))
    rows = []
    try:
        j = jn.Journal.for_volume(_Volume(os.path.join(folder, "scan.eye")), folder)
        j.discard()
        edit = _edit(rng)
        ours = median_time(lambda: j.append([edit]), repeat=61, warmup=5)
        fd = os.open(os.path.join(folder, "plain.jsonl"), os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)
        try:
            plain = median_time(lambda: _transcribed_append(fd, edit), repeat=61, warmup=5)
        finally:
            os.close(fd)
        row = speedup_row(f"append one {WIDTH}-column edit (sync on its thread) vs JSON line + sync", ours, plain, 1)
        row["target"] = f"<= {BUDGET_S * 1e3:g} ms and >= 1x faster"
        row["passed"] = row["passed"] and ours <= BUDGET_S
        rows.append(row)
        durable = median_time(lambda: (j.append([edit]), j.sync()), repeat=61, warmup=5)
        rows.append(report_row("  the same, waiting until it is on disk", durable, plain,
                               "report: the disk's sync time"))

        enc = median_time(lambda: jn.encode_correction([edit]), repeat=31, number=20)
        enc_plain = median_time(lambda: json.dumps({"values": edit.values.tolist(),
                                                    "edited": edit.edited.tolist()}), repeat=31, number=20)
        rows.append(speedup_row("  of which encoding the record vs json.dumps", enc, enc_plain, 5))

        small = jn.Edit(0, 3, slice(100, 120), 150 + rng.standard_normal(20), np.ones(20, bool))
        rows.append(report_row("append one 20-column anchors drag",
                               median_time(lambda: j.append([small]), repeat=61, warmup=5)))
        j.close()

        # a long session: LONG whole-layer corrections, read back and parsed as a window opening does
        data = jn.encode_header({"version": jn.VERSION}) + b"".join(
            jn.encode_correction([_edit(rng)]) for _ in range(LONG))
        lines = [json.dumps({"values": _edit(rng).values.tolist()}) for _ in range(LONG)]
        read = median_time(lambda: jn.parse(data), repeat=5, warmup=1)
        read_plain = median_time(lambda: [np.asarray(json.loads(s)["values"]) for s in lines], repeat=5, warmup=1)
        rows.append(speedup_row(f"read a journal of {LONG} {WIDTH}-column corrections ({len(data) / 2**20:.0f} MiB) "
                                "vs json.loads per line", read, read_plain, 2))
        rows.extend(_window_rows(folder))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return rows


def _window_rows(folder):
    """What the window's side adds to an edit: the bookkeeping of one drag step, and the record at its end."""
    os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
    from PySide6 import QtWidgets
    from vantel_curve_demo.journal_keeper import EditJournal
    from vantel_curve_demo.viewer import DemoWindow
    from vantel_curve_demo.volume import SyntheticVolume

    app = QtWidgets.QApplication.instance() or QtWidgets.QApplication([])
    volume = SyntheticVolume(frames=4, height=496, width=WIDTH)
    volume.path = Path(folder) / "synthetic.eye"
    window = DemoWindow(volume, fill_in_background=False)
    keeper = EditJournal(window, directory=folder, interactive=False)
    keeper.offer_restore()
    window.plot.mouse_pressed = True           # inside a drag: steps are only noted
    step = median_time(lambda: keeper._on_edited(3, 1, 400, 420), repeat=31, number=200)
    keeper.pending.clear()

    def gesture_end():
        keeper.pending[(3, 1)] = [0, WIDTH]
        keeper.flush()
    end = median_time(gesture_end, repeat=61, warmup=5)
    window.plot.mouse_pressed = False
    for frame in range(4):                     # corrections on every frame, as a session leaves them
        keeper.pending[(frame % 8, frame)] = [100, 300]
        keeper.flush()
    keeper.close()
    window.ask_before_close = False
    window.close()

    # a crash later: a new window restores them through the plot's signals (undoable)
    again = DemoWindow(SyntheticVolume(frames=4, height=496, width=WIDTH), fill_in_background=False)
    again.volume.path = volume.path
    keeper = EditJournal(again, directory=folder, interactive=False)
    found = keeper.journal.found
    t0 = time.perf_counter()
    restored, _ = keeper.restore(found)
    restore = time.perf_counter() - t0
    keeper.close()
    again.ask_before_close = False
    again.close()
    app.processEvents()
    row = report_row("window: a drag step noted (layersEdited slot)", step)
    end_row = report_row(f"window: record written at a gesture's end, {WIDTH} columns", end,
                         note=f"<= {BUDGET_S * 1e3:g} ms")
    end_row["passed"] = end <= BUDGET_S
    return [row, end_row, report_row(f"window: restore {restored} corrections on 4 frames (once)", restore)]


if __name__ == "__main__":
    for r in run():
        print(r)
