"""The edit journal in a shown window, through real pointer events: what a window journals replays into
a fresh window as it was, the restore question each way, damaged journals, saves, two windows on one file."""
import hashlib
import os
import signal
import subprocess
import sys
import time
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest
from PySide6 import QtCore, QtWidgets

from vantel_curve_demo import journal as jn, scans, viewer
from vantel_curve_demo.journal_keeper import EditJournal
from vantel_curve_demo.pointer import Pointer, trigger

from conftest import flush_deletes

eyepy = pytest.importorskip("eyepy")

F, H, W = 6, 64, 128
NAMES = ("ILM", "RPE", "BM")


def write_scan(path, F=F, H=H, W=W):
    x, rows, vol = np.arange(W), np.arange(H)[None, :, None], np.full((F, H, W), 0.1)
    layers = {}
    for k, (name, row) in enumerate((("ILM", 16.0), ("RPE", 34.0), ("BM", 50.0))):
        layers[name] = a = np.stack([row + 3 * np.sin(x / 17 + f / 4 + k) for f in range(F)])
        a[:, 20 + 30 * k:34 + 30 * k] = np.nan
        vol += 0.25 * (rows >= np.nan_to_num(a, nan=H / 2)[:, None, :])
    ev = eyepy.EyeVolume(data=(np.clip(vol, 0, 1) * 255).astype(np.uint8))
    for name, a in layers.items():
        ev.add_layer_annotation(a, name=name)
    ev.save(path)
    return path


@pytest.fixture
def scan(tmp_path, monkeypatch):
    monkeypatch.setenv(jn.ENV_DIR, str(tmp_path / "journals"))
    return write_scan(tmp_path / "scan.eye")


@pytest.fixture
def answers(qapp):
    """Clicks, in turn, the buttons named in answers.queue ("OK" when it is empty) of each message box
    that opens; answers.seen keeps what the boxes said."""
    def poll():
        box = QtWidgets.QApplication.activeModalWidget()
        if isinstance(box, QtWidgets.QMessageBox):
            a.seen.append(box.text())
            text = a.queue.pop(0) if a.queue else "OK"
            next(b for b in box.buttons() if b.text().replace("&", "") == text).click()
    a = SimpleNamespace(queue=[], seen=[], timer=QtCore.QTimer(interval=20, timeout=poll))
    a.timer.start()
    yield a
    a.timer.stop()


@pytest.fixture
def open_window(qapp, answers):
    made = []

    def make(path, *replies):
        answers.queue[:] = list(replies)
        w = viewer.DemoWindow(scans.open_scan(path), fill_in_background=False)
        w.journal = EditJournal(w)
        w.show()
        qapp.processEvents()
        w.journal.offer_restore()
        made.append(w)
        return w

    yield make
    for w in made:
        crash(w)
        w.deleteLater()
    flush_deletes()


def crash(w):
    """Closes the window leaving its journal as a crash would: nothing saved, nothing discarded."""
    w.ask_before_close = False
    w.close()


def liner(w, k, lo, hi):
    ptr, c = Pointer.of_window(w), w.volume.curves[k][w.frame_index]
    w.ui.editorButtons["liner"].click()
    ptr.glide([(lo - 4, c[lo] - 2), (lo, c[lo])])
    ptr.click(lo, c[lo])
    ptr.move((lo + hi) / 2, c[lo] + 5)
    ptr.click((lo + hi) / 2, c[lo] + 5)
    ptr.move(hi, c[hi])
    ptr.double_click(hi, c[hi])


def drag(w, k, rows):
    ptr = Pointer.of_window(w)
    w.ui.editorButtons["anchors"].click()
    x, y = (float(a[len(a) // 2]) for a in w.plot.ctrl_points[k])
    ptr.glide([(x - 6, y - 3), (x, y)])
    ptr.press(x, y)
    ptr.glide([(x, y + rows * s / 4) for s in range(1, 5)])
    ptr.release(x, y + rows)


def layers(v):
    return [v.corrected(name).tobytes() for name in v.names]


def state(w):
    return layers(w.volume) + [e.tobytes() for e in w.volume.edited]


def journaled(w):
    return len(jn.read_journal(w.journal.journal.path).corrections)


# -- tests ------------------------------------------------------------------------------------------
def test_every_kind_of_edit_replays_into_a_fresh_window(scan, open_window):
    w = open_window(scan)
    assert w.journal.state == "on" and journaled(w) == 0
    liner(w, 1, 44, 74)
    assert journaled(w) == 1                   # written when the stroke ended
    drag(w, 0, 5)
    w.ui.editorButtons["anchors"].click()
    Pointer.of_window(w).context_menu(100, w.volume.curves[2][F // 2][100] + 4, trigger("addPoint"))
    QtWidgets.QApplication.processEvents()     # a point command is written on the next turn of the loop
    assert journaled(w) == 3
    w.editMenu.undoAction.trigger()
    w.editMenu.undoAction.trigger()
    w.editMenu.redoAction.trigger()
    assert journaled(w) == 6
    w.volume.curves[0][2][10:20] += 3          # a correction carried into another frame, as a host writes it
    w.volume.mark_edited(0, 2, 10, 20)
    assert w.journal.record(0, 2, (10, 20)) and journaled(w) == 7
    w.set_frame(1)
    before_last = state(w)
    liner(w, 2, 30, 60)
    expected = state(w)
    crash(w)

    again = open_window(scan, "Restore")
    assert state(again) == expected
    assert again.isWindowModified() and again.frame_index == F // 2
    assert again.journal.state == "on" and journaled(again) == 8
    # Undo takes back the last restored correction, which a window sees on its frame
    again.set_frame(1)
    again.editMenu.undoAction.trigger()
    assert state(again) == before_last and journaled(again) == 9
    crash(again)
    v = scans.open_scan(scan)
    jn.replay(v, jn.read_journal(jn.journal_path(scan)).corrections)
    assert layers(v) == layers(again.volume)


@pytest.mark.parametrize("answer", ["Restore", "Discard", "Keep for later"])
def test_the_restore_question(scan, open_window, answers, answer):
    w = open_window(scan)
    liner(w, 1, 44, 74)
    drag(w, 0, 5)
    edited = state(w)
    crash(w)
    path = jn.journal_path(scan)
    kept = path.read_bytes()

    again = open_window(scan, answer)
    assert answers.seen[-1].startswith("Restore 2 unsaved corrections from ")
    assert (state(again) == edited) == (answer == "Restore") == again.isWindowModified()
    liner(again, 2, 30, 60)
    crash(again)
    found = jn.read_journal(path).corrections
    assert len(found) == {"Restore": 3, "Discard": 1, "Keep for later": 2}[answer]
    if answer == "Keep for later":
        assert path.read_bytes() == kept       # left for a later session, not a byte changed


@pytest.mark.parametrize("damage, restored, note", [
    pytest.param(lambda d, ends: d[:-20], 2, None, id="torn last record"),
    pytest.param(lambda d, ends: d[:ends[1] + 30] + bytes([d[ends[1] + 30] ^ 1]) + d[ends[1] + 31:], 2,
                 "damaged", id="second record damaged"),
    pytest.param(lambda d, ends: b"\0" * len(d), 0, "damaged", id="nothing readable"),
])
def test_damaged_journals_restore_what_can_be_read(scan, open_window, answers, damage, restored, note):
    w = open_window(scan)
    ends = [0]
    for k, (lo, hi) in enumerate([(44, 74), (10, 40), (70, 100)]):
        liner(w, k, lo, hi)
        ends.append(w.journal.journal.path.stat().st_size)
    crash(w)
    path = jn.journal_path(scan)
    path.write_bytes(damage(path.read_bytes(), ends))
    expected = scans.open_scan(scan)
    readable = jn.read_journal(path)
    jn.replay(expected, readable.corrections)

    again = open_window(scan, *(["Restore"] if restored else []))
    assert len(readable.corrections) == restored and layers(again.volume) == layers(expected)
    assert (note is None) == all("damaged" not in s for s in answers.seen)
    liner(again, 0, 90, 120)                   # journaling goes on after what was kept, the torn tail cut off
    after = jn.read_journal(path)
    assert (len(after.corrections), after.skipped, after.torn) == (restored + 1, int(bool(note and restored)), False)


def test_saves_and_discards_clear_the_journal_and_failures_keep_it(scan, open_window, answers, monkeypatch):
    w = open_window(scan)
    liner(w, 1, 44, 74)

    def full_disk(volume, path):
        raise OSError(28, "No space left on device")
    with monkeypatch.context() as m:
        m.setattr(viewer.scans, "write_eye", full_disk)
        assert not w.save()
    assert journaled(w) == 1 and w.isWindowModified()
    assert w.save()
    assert journaled(w) == 0 and not w.isWindowModified()
    assert eyepy.EyeVolume.load(scan).layers["RPE"].data[F // 2, 50] == w.volume.curves[1][F // 2][50]

    # saved elsewhere: that file is what a crash is now recovered onto, so its journal takes over
    other = scan.with_name("other.eye")
    liner(w, 2, 30, 60)
    monkeypatch.setattr(viewer.QFileDialog, "getSaveFileName", staticmethod(lambda *a: (str(other), "")))
    assert w.save(ask=True)
    assert not jn.journal_path(scan).exists() and w.journal.journal.path == jn.journal_path(other)
    liner(w, 0, 90, 120)
    assert journaled(w) == 1
    answers.queue[:] = ["Discard"]
    w.close()                                  # "Discard" when asked about unsaved corrections
    assert not jn.journal_path(other).exists()


def test_a_second_window_on_the_file_keeps_no_journal_and_cannot_save(scan, open_window, answers):
    first = open_window(scan)
    second = open_window(scan)
    assert second.journal.state == "elsewhere" and "open in another window" in answers.seen[-1]
    liner(second, 1, 44, 74)
    assert not second.save() and "open in another window" in answers.seen[-1]
    assert eyepy.EyeVolume.load(scan).layers["RPE"].data[F // 2, 50] != second.volume.curves[1][F // 2][50]
    liner(first, 0, 10, 40)
    assert journaled(first) == 1
    crash(second)
    assert journaled(first) == 1


@pytest.mark.parametrize("seed, writes, pause", [
    pytest.param(1, (1, 8), 0.02, id="early in the corrections"),
    pytest.param(2, (8, 15), 0.02, id="late in the corrections"),
    pytest.param(3, (15, 16), 3.0, id="in the saves or after them"),
])
def test_a_killed_session_recovers_to_its_last_written_correction(tmp_path, seed, writes, pause):
    scan = write_scan(tmp_path / "scan.eye", F=8, H=128, W=384)
    log, out, recovered = tmp_path / "log.txt", tmp_path / "out", tmp_path / "recovered.npz"
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", VANTEL_RECOVERY_DIR=str(tmp_path / "journals"),
               PYTHONPATH=os.pathsep.join(map(os.path.abspath, sys.path)))
    child = subprocess.Popen([sys.executable, str(Path(__file__).with_name("journal_kill_child.py")), log, scan, out],
                             env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    rng = np.random.default_rng(seed)
    # a seeded moment after a seeded number of corrections began to be written (a session makes 15, then saves)
    writes, deadline = int(rng.integers(*writes)), time.monotonic() + 120
    while child.poll() is None and time.monotonic() < deadline:
        if log.exists() and log.read_text().count("write ") >= writes:
            break
        time.sleep(0.002)
    time.sleep(rng.uniform(0, pause))
    child.send_signal(signal.SIGKILL)
    child.wait()

    lines = log.read_text().splitlines()
    digests = [line.split()[1] for line in lines if line.startswith(("read ", "write "))]
    # the last correction counts once its write began; it may or may not have reached the journal
    acceptable = digests[-1:] if lines[-1] == "done" else digests[-2:]
    r = subprocess.run([sys.executable, "-m", "vantel_curve_demo", str(scan), "--recover", str(recovered)],
                       env=env, capture_output=True, text=True, timeout=300)
    saved = out / "corrected.eye"
    if r.returncode == 0:
        with np.load(recovered) as z:
            assert hashlib.sha256(b"".join(z[n].tobytes() for n in NAMES)).hexdigest() in acceptable
    else:
        # nothing journaled yet, or the session's save had already taken the corrections
        assert r.returncode == 2 and "no unsaved corrections" in r.stdout
        if len(digests) > 1:
            back = eyepy.EyeVolume.load(saved).layers
            assert hashlib.sha256(b"".join(back[n].data.tobytes() for n in NAMES)).hexdigest() in acceptable
    if saved.exists():
        eyepy.EyeVolume.load(saved)            # whatever the moment, never a half-written file


def test_a_journal_that_cannot_be_written_loses_no_correction(scan, open_window, answers, monkeypatch, tmp_path):
    w = open_window(scan)

    def full_disk(*args, **kwargs):
        raise jn.JournalError("cannot write the journal: No space left on device")
    with monkeypatch.context() as m:
        m.setattr(w.journal.journal, "append", full_disk)
        liner(w, 1, 44, 74)
    assert "No space left" in answers.seen[-1] and journaled(w) == 0
    liner(w, 2, 30, 60)                        # the next write carries the columns the failed one had
    crash(w)
    v = scans.open_scan(scan)
    assert jn.replay(v, jn.read_journal(jn.journal_path(scan)).corrections) == (1, 0)
    assert layers(v) == layers(w.volume)

    monkeypatch.setenv(jn.ENV_DIR, str(scan))  # a file where the folder should be
    broken = open_window(scan)
    assert broken.journal.state == "failed" and answers.seen[-1].endswith("lost if it crashes.")
    liner(broken, 1, 44, 74)
    assert broken.save()                       # the window works on without a journal


def test_a_carry_and_its_undo_are_journaled_and_the_carried_frames_marked_for_review(open_window, scan):
    from PySide6.QtTest import QTest

    from vantel_curve_demo import app, review_panel
    w = open_window(scan)
    review_panel.attach(w)
    app.connect_carry(w, w.journal)
    w.set_frame(1)
    w.ui.comboBox_enfaceA_Slab.setCurrentIndex(0)
    liner(w, 0, 40, 90)
    w.carryActions.countBox.setValue(2)
    QTest.keyClick(w, QtCore.Qt.Key.Key_BracketRight, QtCore.Qt.KeyboardModifier.ControlModifier)
    QtCore.QCoreApplication.processEvents()
    carried = {f: w.volume.work[0][f].copy() for f in (2, 3)}
    w.journal.flush()
    last = jn.read_journal(w.journal.journal.path).corrections[-1]
    assert last.cause == "carry" and sorted(e.frame for e in last.edits) == [2, 3]
    for e in last.edits:
        assert np.array_equal(e.values, carried[e.frame][e.columns]), "the journal holds the carried values"
    assert {(m.frame, m.kind) for m in w.review.review.marks} == {(2, "carried"), (3, "carried")}

    assert w.carryActions.undo()
    w.journal.flush()
    undone = jn.read_journal(w.journal.journal.path).corrections[-1]
    assert undone.cause == "undo" and sorted(e.frame for e in undone.edits) == [2, 3]
    for e in undone.edits:
        assert np.array_equal(e.values, w.volume.work[0][e.frame][e.columns])
