"""The viewer as a user works with it: a scan with gaps opened, edited with real events, saved, read back."""
import errno
import os
import sys
from pathlib import Path

import numpy as np
import pytest
from PySide6 import QtCore
from PySide6.QtTest import QTest

eyepy = pytest.importorskip("eyepy")

try:
    import vantel_curve_demo  # noqa: F401
except ImportError:          # development build: the package is still in the source tree
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))

from vantel_curve_demo import scans, viewer  # noqa: E402
from vantel_curve_demo.pointer import Pointer  # noqa: E402


F, H, W = 3, 64, 128
MID = F // 2        # the frame the window opens on
GAP = (40, 60)      # ILM has no value here on every frame
ENDS = (10, 118)    # RPE has values only between these


def layers():
    x = np.arange(W, dtype=float)
    ilm = np.stack([14 + 4 * np.sin(x / 9 + f) for f in range(F)])
    ilm[:, GAP[0]:GAP[1]] = np.nan
    rpe = np.stack([36 + 3 * np.cos(x / 13 + f) for f in range(F)])
    rpe[:, :ENDS[0]] = rpe[:, ENDS[1]:] = np.nan
    return {"ILM": ilm, "RPE": rpe, "BM": np.full((F, W), np.nan)}


@pytest.fixture
def scan(tmp_path):
    # 16-bit, as scanners store them: the window shows 8-bit, a save keeps what was read
    vol = (np.random.default_rng(1).random((F, H, W)) * 3000 + 400).astype(np.uint16)
    np.save(tmp_path / "scan.npy", vol)
    np.savez(tmp_path / "layers.npz", **layers())
    return tmp_path


@pytest.fixture
def window(demo_window, scan):
    return demo_window(scans.open_scan(scan / "scan.npy", scan / "layers.npz"))


def answer_save_dialogs(monkeypatch, path):
    monkeypatch.setattr(viewer.QFileDialog, "getSaveFileName", staticmethod(lambda *a: (str(path), "")))


def exported(w, monkeypatch, path):
    answer_save_dialogs(monkeypatch, path)
    w.fileActions["export"].trigger()
    with np.load(path) as z:
        return {n: z[n] for n in z.files}


def liner(w, k, lo, hi):
    """Picks layer k at column lo and draws a straight stroke to column hi, 6 rows lower."""
    ptr = Pointer.of_window(w)
    w.ui.editorButtons["liner"].click()
    c = w.volume.curves[k][w.frame_index]
    ptr.glide([(lo + 3, float(c[lo]) - 2), (lo, float(c[lo]))])
    assert w.plot.current_curve_idx == k
    ptr.click(lo, float(c[lo]))
    ptr.move(hi, float(c[hi]) + 6)
    ptr.double_click(hi, float(c[hi]) + 6)
    assert not w.plot.mouse_path


def anchors_drag(w, k, j, rows):
    ptr = Pointer.of_window(w)
    w.ui.editorButtons["anchors"].click()
    j %= len(w.plot.ctrl_points[k][0])
    x, y = (float(a[j]) for a in w.plot.ctrl_points[k])
    ptr.glide([(x + 3, y - 2), (x, y)])
    assert w.plot.modified_ctrl_point[:2] == (k, j)
    ptr.press(x, y)
    for s in range(1, 5):
        ptr.move(x, y + rows * s / 4)
    ptr.release(x, y + rows)


def test_gaps_run_between_their_neighbours_dashed_until_drawn_over(window):
    w, read = window, layers()
    ilm, rpe = w.plot.gCurves[0], w.plot.gCurves[1]
    a, b = GAP
    x = np.arange(a - 1, b + 1)
    np.testing.assert_allclose(ilm[x], np.interp(x, [a - 1, b], read["ILM"][MID, [a - 1, b]]))
    lo, hi = ENDS
    assert (rpe[:lo] == read["RPE"][MID, lo]).all() and (rpe[hi:] == read["RPE"][MID, hi - 1]).all()
    assert not w.props[2]["is_visible"]      # no value anywhere: hidden until asked for

    def dashed(k):
        return np.flatnonzero(np.isfinite(w.gap_items[k].getData()[1])).tolist()
    assert dashed(0) == list(range(a, b)) and dashed(1) == list(range(lo)) + list(range(hi, W))
    liner(w, 0, a - 5, a + 10)
    assert dashed(0) == list(range(a + 10, b))   # drawn over: solid; the stroke stops before its end


@pytest.mark.parametrize("edit, column", [
    pytest.param(lambda w: anchors_drag(w, 0, 0, 5), 0, id="first control point"),
    pytest.param(lambda w: anchors_drag(w, 0, -1, 5), W - 1, id="last control point")])
def test_edits_at_either_end_of_a_layer_are_saved(window, monkeypatch, tmp_path, edit, column):
    assert window.plot.ctrl_points[0][0][-1] == W - 1
    edit(window)
    work = window.volume.curves[0][MID]
    back = exported(window, monkeypatch, tmp_path / "out.npz")["ILM"]
    assert work[column] != layers()["ILM"][MID, column] and back[MID, column] == work[column]


def test_undo_then_a_new_edit_saves_only_what_is_shown(window, monkeypatch, tmp_path):
    w, read = window, layers()
    undo, redo = w.editMenu.undoAction, w.editMenu.redoAction
    assert not undo.isEnabled()
    liner(w, 0, 10, 30)             # A
    liner(w, 1, 70, 90)             # B
    assert undo.isEnabled() and not redo.isEnabled()
    QTest.keyClick(w, QtCore.Qt.Key.Key_Z, QtCore.Qt.KeyboardModifier.ControlModifier)
    assert redo.isEnabled()
    liner(w, 0, 80, 100)            # C
    assert not redo.isEnabled()
    shown = [w.volume.curves[k][MID].copy() for k in range(2)]
    back = exported(w, monkeypatch, tmp_path / "first.npz")
    for name, k, cols in (("ILM", 0, np.r_[10:30, 80:100]), ("RPE", 1, np.r_[:0])):
        edited = np.zeros((F, W), bool)
        edited[MID, cols] = True
        assert back[name][~edited].tobytes() == read[name][~edited].tobytes(), name
        np.testing.assert_array_equal(back[name][MID, cols], shown[k][cols])
    for _ in range(2):
        QTest.keyClick(w, QtCore.Qt.Key.Key_Z, QtCore.Qt.KeyboardModifier.ControlModifier)
    assert not undo.isEnabled()
    back = exported(w, monkeypatch, tmp_path / "second.npz")   # everything as read again, NaN included
    assert {n: a.tobytes() for n, a in back.items()} == {n: a.tobytes() for n, a in read.items()}


def fail_part_way(write_some):
    def fail(*args, **kwargs):
        write_some(*args)
        raise OSError(errno.ENOSPC, "No space left on device")
    return fail


def partial_npz(fh, **_):
    fh.write(b"PK\x03\x04 half a layer")


def partial_eye(_, path):
    Path(path).write_bytes(b"PK\x03\x04 half a volume")


SAVES = {"save": ("out.eye", lambda m: m.setattr(eyepy.EyeVolume, "save", fail_part_way(partial_eye))),
         "export": ("out.npz", lambda m: m.setattr(scans.np, "savez", fail_part_way(partial_npz)))}


# A save over an older file replaces it whole or not at all, and keeps who may read it; a new file gets the mode any
# program's new file gets. Nothing is left beside it either way.
@pytest.mark.parametrize("action", list(SAVES))
@pytest.mark.parametrize("older, fails", [
    pytest.param(None, False, id="new file"), pytest.param(0o640, False, id="over an older file"),
    pytest.param(0o604, True, id="failing over an older file")])
def test_a_save_replaces_the_older_file_whole(window, monkeypatch, tmp_path, action, older, fails):
    name, break_writer = SAVES[action]
    out = tmp_path / "saved" / name
    out.parent.mkdir()
    if older is not None:
        out.write_bytes(b"older file")
        out.chmod(older)
    liner(window, 1, 50, 70)
    warned = []
    monkeypatch.setattr(viewer.QMessageBox, "warning", staticmethod(lambda *a: warned.append(a[2])))
    if fails:
        break_writer(monkeypatch)
    answer_save_dialogs(monkeypatch, out)
    old_mask = os.umask(0o022)
    try:
        window.fileActions[action].trigger()
    finally:
        os.umask(old_mask)
    assert os.listdir(out.parent) == [name] and bool(warned) == fails
    assert out.stat().st_mode & 0o7777 == (0o644 if older is None else older)
    if fails:
        assert out.read_bytes() == b"older file" and window.isWindowModified()
    elif action == "export":
        with np.load(out) as z:
            np.testing.assert_array_equal(z["RPE"][MID, 50:70], window.volume.curves[1][MID][50:70])
    else:
        saved = eyepy.EyeVolume.load(out)
        np.testing.assert_array_equal(saved._raw_data, np.load(tmp_path / "scan.npy"))
        np.testing.assert_array_equal(saved.layers["RPE"].data[MID, 50:70], window.volume.curves[1][MID][50:70])
