"""The demo viewer on scan files: each format made here, opened, edited by real events, saved, read back."""
import shutil
from pathlib import Path

import cv2
import numpy as np
import pytest
import scipy.io
import tifffile

eyepy = pytest.importorskip("eyepy")
# itk, which reads RETOUCH volumes, warns about its SWIG types as it loads
pytestmark = pytest.mark.filterwarnings("ignore:builtin type .* has no __module__ attribute")

from conftest import flush_deletes
from vantel_curve_demo import app, scans, viewer
from vantel_curve_demo.pointer import Pointer

F, H, W = 20, 64, 128
MID = F // 2          # the frame the window opens on
RPE_GAP = (50, 64)    # the columns make_scan leaves without RPE, on every frame


def make_scan():
    x, layers = np.arange(W), {}
    rows, vol = np.arange(H)[None, :, None], np.full((F, H, W), 0.1)
    for k, (name, row) in enumerate((("ILM", 14.0), ("RPE", 32.0), ("BM", 50.0))):
        a = np.stack([row + 3 * np.sin(x / 17 + f / 4 + k) for f in range(F)])
        a[:, 20 + 30 * k:34 + 30 * k] = np.nan       # a gap in every frame, somewhere else per layer
        a[3] = np.nan if k == 2 else a[3]             # and one frame without this boundary at all
        layers[name] = a
        vol += 0.25 * (rows >= np.nan_to_num(a, nan=H / 2)[:, None, :])
    noise = np.random.default_rng(5).normal(0, 0.03, vol.shape)
    return (np.clip(vol + noise, 0, 1) * 255).astype(np.uint8), layers


VOL, LAYERS = make_scan()
FORMATS = {  # name: (file, layers file or None, names as the reader gives them)
    "eye": ("scan.eye", None, list(LAYERS)), "duke-mat": ("scan.mat", None, ["ILM", "IBRPE", "BM"]),
    "tiff": ("scan.tif", "layers.npz", list(LAYERS)), "npy": ("scan.npy", "layers.npz", list(LAYERS)),
    "folder": ("bscans", None, ["new layer"]), "retouch": ("retouch", None, ["new layer"]),
}


@pytest.fixture(scope="module")
def root(tmp_path_factory):
    root = tmp_path_factory.mktemp("scans")
    np.savez(root / "layers.npz", **LAYERS)
    ev = eyepy.EyeVolume(data=VOL)
    for name, a in LAYERS.items():
        ev.add_layer_annotation(a, name=name)
    ev.save(root / "scan.eye")
    # the Duke layout: images rows x columns x frames, layerMaps frames x columns x layers
    scipy.io.savemat(root / "scan.mat", {"images": np.moveaxis(VOL, 0, -1),
                                          "layerMaps": np.stack(list(LAYERS.values()), -1), "Age": np.array([[71]])})
    tifffile.imwrite(root / "scan.tif", VOL, photometric="minisblack")
    np.save(root / "scan.npy", VOL)
    (root / "bscans").mkdir()
    for f in range(F):
        cv2.imwrite(str(root / "bscans" / f"{f:03d}.png"), VOL[f])
    (root / "retouch").mkdir()
    VOL.tofile(root / "retouch" / "oct.raw")
    (root / "retouch" / "oct.mhd").write_text(f"ObjectType = Image\nNDims = 3\nDimSize = {W} {H} {F}\n"
                                              "ElementSpacing = 0.0116 0.0039 0.1\nElementType = MET_UCHAR\n"
                                              "ElementDataFile = oct.raw\n")
    # and files that cannot be read
    np.save(root / "wide.npy", np.zeros((F, H, W + 8), np.uint8))
    scipy.io.savemat(root / "other.mat", {"volume": VOL})
    bad = {"garbage.eye": b"this is no zip archive", "garbage.tif": b"II*\x00garbage", "garbage.e2e": b"junk",
           "cut.npy": (root / "scan.npy").read_bytes()[:80000], "cut.mat": (root / "scan.mat").read_bytes()[:5000],
           "cut.tif": (root / "scan.tif").read_bytes()[:60000]}
    for name, data in bad.items():
        (root / name).write_bytes(data)
    return root


@pytest.fixture
def open_window(qapp, root):
    made = []

    def make(fmt="npy", path=None, update_mode="local"):
        name, layers, _ = FORMATS[fmt]
        w = viewer.DemoWindow(scans.open_scan(path or root / name, layers and root / layers),
                              update_mode=update_mode, fill_in_background=False)
        w.show()
        qapp.processEvents()
        made.append(w)
        return w

    yield make
    for w in made:
        w.ask_before_close = False
        w.close()
        w.deleteLater()
    flush_deletes()


def answer_dialogs(monkeypatch, path):
    asked = []

    def dialog(*args):
        asked.append(args[1])
        return str(path), ""
    monkeypatch.setattr(viewer.QFileDialog, "getSaveFileName", staticmethod(dialog))
    return asked


def liner_stroke(w, k, lo, hi, finish=True):
    """Picks curve k at column lo, draws through the middle to column hi and, if told, finishes there (real events)."""
    ptr = Pointer.of_window(w)
    w.ui.editorButtons["liner"].click()
    c = w.volume.curves[k][w.frame_index]
    y0 = float(c[lo])
    ptr.glide([(lo - 4, y0 - 2), (lo, y0)])
    assert w.plot.current_curve_idx == k
    ptr.click(lo, y0)
    ptr.move((lo + hi) / 2, y0 + 5)
    ptr.click((lo + hi) / 2, y0 + 5)
    ptr.move(hi, float(c[hi]))
    if finish:
        ptr.double_click(hi, float(c[hi]))
        assert not w.plot.mouse_path


def anchors_drag(w, k, j, rows):
    ptr = Pointer.of_window(w)
    w.ui.editorButtons["anchors"].click()
    xs, ys = (np.asarray(a) for a in w.plot.ctrl_points[k])
    x, y = float(xs[j]), float(ys[j])
    ptr.glide([(x - 6, y - 3), (x, y)])
    assert w.plot.modified_ctrl_point[:2] == (k, j)
    ptr.press(x, y)
    for s in range(1, 5):
        ptr.move(x, y + rows * s / 4)
    ptr.release(x, y + rows)
    return int(xs[j - 1]), int(xs[j + 1])


@pytest.mark.parametrize("fmt", ["eye", "duke-mat", "tiff", "npy"])
def test_edit_save_and_read_back(root, open_window, monkeypatch, tmp_path, fmt):
    path, _, names = FORMATS[fmt]
    path = root / path if fmt != "eye" else Path(shutil.copy(root / path, tmp_path))  # an .eye is saved in place
    w = open_window(fmt, path)
    v = w.volume
    assert v.names == names and v.n_frames == F and (v.height, v.width) == (H, W)
    if fmt in ("eye", "duke-mat"):    # named and coloured as the file has them
        ev = eyepy.EyeVolume.load(path) if fmt == "eye" else eyepy.import_duke_mat(path)
        assert v.colors == [tuple(int(l.meta["current_color"][i:i + 2], 16) for i in (0, 2, 4))
                            for l in ev.layers.values()]
    # the plot gets finite curves; the gaps are what the overlay draws
    assert all(np.isfinite(c).all() for c in w.plot.gCurves)
    assert np.flatnonzero(np.isfinite(w.gap_items[1].getData()[1])).tolist() == list(range(*RPE_GAP))

    a, b = RPE_GAP
    lo, hi = a - 5, b + 5
    liner_stroke(w, 1, lo, hi)
    left, right = anchors_drag(w, 0, len(w.plot.ctrl_points[0][0]) // 2, 6)
    assert w.isWindowModified() and "[*]" in w.windowTitle()

    eye, npz = tmp_path / "out.eye", tmp_path / "out.npz"
    asked = answer_dialogs(monkeypatch, eye)
    if fmt == "eye":                  # an .eye file is saved in place, without asking
        w.fileActions["save"].trigger()
        assert asked == [] and not eye.exists() and not w.isWindowModified()
    w.fileActions["save" if fmt != "eye" else "saveAs"].trigger()
    assert asked == ["Save corrected layers"] and eye.exists() and not w.isWindowModified()
    answer_dialogs(monkeypatch, npz)
    w.fileActions["export"].trigger()

    saved = [eyepy.EyeVolume.load(p) for p in ([eye, path] if fmt == "eye" else [eye])]
    assert all(np.array_equal(s._raw_data, VOL) and list(s.layers) == names for s in saved)
    assert fmt != "duke-mat" or saved[0].meta["age"] == 71  # the file's metadata, kept
    with np.load(npz) as z:
        back_npz = {n: z[n] for n in z.files}
    work = {n: np.stack(v.curves[k]) for k, n in enumerate(names)}
    spans = {names[0]: slice(left, right + 1), names[1]: slice(lo, hi + 1), names[2]: slice(0)}
    for back in [{n: l.data for n, l in s.layers.items()} for s in saved] + [back_npz]:
        for name, original in zip(names, LAYERS.values()):
            edited = np.zeros(original.shape, bool)
            edited[MID, spans[name]] = True
            # untouched columns bit for bit, NaN included; the drawn columns hold what the plot drew
            assert back[name][~edited].tobytes() == original[~edited].tobytes(), name
            assert np.array_equal(back[name][edited], work[name][edited]), name
    assert np.isfinite(back_npz[names[1]][MID, a:b]).all()


def test_global_update_mode_saves_only_the_stroke(open_window):
    # the plot reports the whole curve here; what is saved is the run of columns the stroke changed
    w = open_window(update_mode="global")
    before = w.volume.curves[2][MID].copy()
    liner_stroke(w, 2, 90, 110)
    changed = np.flatnonzero(before != w.volume.curves[2][MID])
    assert 90 <= changed[0] and changed[-1] <= 110 and changed.size > 15
    assert np.flatnonzero(w.volume.edited[2][MID]).tolist() == list(range(changed[0], changed[-1] + 1))
    assert not w.volume.edited[2][np.arange(F) != MID].any()


@pytest.mark.parametrize("fmt", ["folder", "retouch"])
def test_a_scan_without_layers_opens_with_one_to_draw(open_window, monkeypatch, tmp_path, fmt):
    w = open_window(fmt)
    assert w.volume.names == ["new layer"] and w.props[0]["is_visible"]
    assert np.array_equal(w.volume.frame(MID), VOL[MID])
    liner_stroke(w, 0, 30, 70)
    answer_dialogs(monkeypatch, tmp_path / "drawn.eye")
    assert w.save() and w.export_layers(tmp_path / "drawn.npz")
    with np.load(tmp_path / "drawn.npz") as z:
        drawn = z["new layer"]
    assert np.flatnonzero(np.isfinite(drawn).any(axis=1)).tolist() == [MID]
    assert np.flatnonzero(np.isfinite(drawn[MID])).tolist() == list(range(30, 70))  # segments stop before their end
    saved = eyepy.EyeVolume.load(tmp_path / "drawn.eye")
    assert saved.layers["new layer"].data.tobytes() == drawn.tobytes() and np.array_equal(saved._raw_data, VOL)


def test_a_failed_save_keeps_the_edits_and_closing_asks_first(open_window, monkeypatch, tmp_path):
    w = open_window()
    w.close()                         # nothing edited: no question
    assert not w.isVisible()
    w.show()
    liner_stroke(w, 1, 60, 80)
    warned, answers = [], []
    monkeypatch.setattr(viewer.QMessageBox, "warning", staticmethod(lambda *a: warned.append(a[2])))
    monkeypatch.setattr(viewer.QMessageBox, "question", staticmethod(lambda *a: answers.pop()))
    target, out = tmp_path / "no such folder" / "out.eye", tmp_path / "out.eye"
    answer_dialogs(monkeypatch, target)
    assert w.save() is False and not w.export_layers(target.with_suffix(".npz"))
    assert len(warned) == 2 and str(target) in warned[0]
    assert w.isWindowModified() and w.save_path is None and not target.parent.exists()
    answer_dialogs(monkeypatch, out)
    for answer, closed in (("Cancel", False), ("Discard", True), ("Save", True)):
        answers.append(getattr(viewer.QMessageBox.StandardButton, answer))
        w.show()
        w.close()
        assert w.isVisible() != closed and out.exists() == (answer == "Save") and not answers, answer
    assert not w.isWindowModified() and w.save_path == out and len(warned) == 2


@pytest.mark.parametrize("args, reason", [
    ("missing.vol", "no such file or folder"), ("garbage.eye", "BadZipFile"), ("garbage.e2e", "StreamError"),
    ("garbage.tif", "got shape (0,)"), ("cut.tif", "ValueError: failed to read"), ("cut.npy", "ValueError"),
    ("cut.mat", "no variable layerMaps, Age (found images)"),
    ("other.mat", "no variable images, layerMaps, Age"),
    ("wide.npy --layers layers.npz", "layer 'ILM' is 20 x 128 (frames x columns), but the volume has 20 frames of 136"),
    ("scan.eye --layers layers.npz", "--layers goes with a TIFF stack or a .npy volume"),
    ("layers.npz", "unknown kind of file '.npz'"),
])
def test_unreadable_files_get_a_message_and_status_2(root, capsys, args, reason):
    argv = [a if a.startswith("--") else str(root / a) for a in args.split()]
    assert app.main(argv) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"cannot open {argv[0]}: ") and reason in err and err.count("\n") == 1


def test_undo_over_a_gap_and_a_stroke_open_at_a_frame_change(open_window, monkeypatch, tmp_path):
    w = open_window()
    a, b = RPE_GAP
    liner_stroke(w, 1, a - 5, b + 5)
    assert w.volume.edited[1][MID, a:b].all()
    w.editMenu.undoAction.trigger()
    assert not w.volume.edited[1].any()
    answer_dialogs(monkeypatch, tmp_path / "out.npz")
    w.fileActions["export"].trigger()
    with np.load(tmp_path / "out.npz") as z:      # saved as read again
        assert z["RPE"].tobytes() == LAYERS["RPE"].tobytes()

    liner_stroke(w, 1, 60, 80, finish=False)
    w.ui.frameSlider.setValue(MID + 1)        # PageDown, while the stroke is still open: it is kept on its own frame
    assert w.frame_index == MID + 1 and not w.plot.mouse_path
    assert np.flatnonzero(w.volume.edited[1].any(axis=1)).tolist() == [MID]
    assert np.flatnonzero(w.volume.edited[1][MID]).tolist() == list(range(60, 80))  # the segment stops before 80
