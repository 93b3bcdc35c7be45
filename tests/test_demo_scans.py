"""The demo viewer on scan files: each format made here, opened, edited by real events, saved, read back."""
import os
import sys
from pathlib import Path

import cv2
import numpy as np
import pytest
import scipy.io
import tifffile

eyepy = pytest.importorskip("eyepy")
# itk, which reads RETOUCH volumes, warns about its SWIG types as it loads
pytestmark = pytest.mark.filterwarnings("ignore:builtin type .* has no __module__ attribute")

try:
    import vantel_curve_demo  # noqa: F401
except ImportError:          # development build: the package is still in the source tree
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))

from vantel_curve_demo import app, viewer  # noqa: E402
from vantel_curve_demo.scans import open_scan  # noqa: E402
from vantel_curve_demo.session import Pointer  # noqa: E402

from conftest import flush_deletes  # noqa: E402

F, H, W = 20, 64, 128
MID = F // 2          # the frame the window opens on


def make_layers():
    x = np.arange(W)
    layers = {}
    for k, (name, row) in enumerate((("ILM", 14.0), ("RPE", 32.0), ("BM", 50.0))):
        a = np.stack([row + 3 * np.sin(x / 17 + f / 4 + k) for f in range(F)])
        a[:, 20 + 30 * k:34 + 30 * k] = np.nan       # a gap in every frame, somewhere else per layer
        a[3] = np.nan if k == 2 else a[3]             # and one frame without this boundary at all
        layers[name] = a
    return layers


def make_volume(layers):
    rows = np.arange(H)[None, :, None]
    vol = np.full((F, H, W), 0.1)
    for a in layers.values():
        vol += 0.25 * (rows >= np.nan_to_num(a, nan=H / 2)[:, None, :])
    noise = np.random.default_rng(5).normal(0, 0.03, vol.shape)
    return (np.clip(vol + noise, 0, 1) * 255).astype(np.uint8)


def write_eye(path, vol, layers):
    ev = eyepy.EyeVolume(data=vol)
    for name, a in layers.items():
        ev.add_layer_annotation(a, name=name)
    ev.save(path)


def write_duke(path, vol, layers):
    # the Duke layout: images rows x columns x frames, layerMaps frames x columns x layers
    scipy.io.savemat(path, {"images": np.moveaxis(vol, 0, -1), "layerMaps": np.stack(list(layers.values()), -1),
                            "Age": np.array([[71]])})


FORMATS = {  # name: (file, writer of the volume, layers file or None, names as the reader gives them)
    "eye": ("scan.eye", write_eye, False, ["ILM", "RPE", "BM"]),
    "duke-mat": ("scan.mat", write_duke, False, ["ILM", "IBRPE", "BM"]),
    "tiff": ("scan.tif", lambda p, v, _: tifffile.imwrite(p, v, photometric="minisblack"), True, ["ILM", "RPE", "BM"]),
    "npy": ("scan.npy", lambda p, v, _: np.save(p, v), True, ["ILM", "RPE", "BM"]),
}


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("scans")
    layers = make_layers()
    vol = make_volume(layers)
    np.savez(root / "layers.npz", **layers)
    made = {}
    for fmt, (name, write, with_layers, names) in FORMATS.items():
        write(root / name, vol, layers)
        made[fmt] = (root / name, root / "layers.npz" if with_layers else None, names)
    folder = root / "bscans"
    folder.mkdir()
    for f in range(F):
        cv2.imwrite(str(folder / f"{f:03d}.png"), vol[f])
    made["folder"] = (folder, None, ["new layer"])
    retouch = root / "retouch"
    retouch.mkdir()
    vol.tofile(retouch / "oct.raw")
    (retouch / "oct.mhd").write_text("ObjectType = Image\nNDims = 3\nDimSize = 128 64 20\n"
                                     "ElementSpacing = 0.0116 0.0039 0.1\nElementType = MET_UCHAR\n"
                                     "ElementDataFile = oct.raw\n")
    made["retouch"] = (retouch, None, ["new layer"])
    return root, vol, layers, made


@pytest.fixture
def open_window(qapp):
    made = []

    def make(path, layers=None, update_mode="local"):
        w = viewer.DemoWindow(open_scan(path, layers), update_mode=update_mode, fill_in_background=False)
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
        return os.fspath(path), ""
    monkeypatch.setattr(viewer.QFileDialog, "getSaveFileName", staticmethod(dialog))
    return asked


def liner_stroke(w, k, lo, hi):
    """Picks curve k at column lo, draws through the middle and finishes at column hi (real events)."""
    ptr = Pointer(w)
    w.ui.editorButtons["liner"].click()
    c = w.volume.curves[k][w.frame_index]
    y0 = float(c[lo])
    ptr.glide([(lo - 4, y0 - 2), (lo, y0)])
    assert w.plot.current_curve_idx == k
    ptr.click(lo, y0)
    ptr.move((lo + hi) / 2, y0 + 5)
    ptr.click((lo + hi) / 2, y0 + 5)
    ptr.move(hi, float(c[hi]))
    ptr.double_click(hi, float(c[hi]))
    assert not w.plot.mouse_path


def anchors_drag(w, k, j, rows):
    ptr = Pointer(w)
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


@pytest.mark.parametrize("fmt", list(FORMATS))
def test_edit_save_and_read_back(files, open_window, monkeypatch, tmp_path, fmt):
    root, vol, layers, made = files
    path, layers_file, names = made[fmt]
    w = open_window(path, layers_file)
    v = w.volume
    assert v.names == names and v.n_frames == F and (v.height, v.width) == (H, W)
    if fmt in ("eye", "duke-mat"):    # named and coloured as the file has them
        ev = eyepy.EyeVolume.load(path) if fmt == "eye" else eyepy.import_duke_mat(path)
        assert v.colors == [tuple(int(l.meta["current_color"][i:i + 2], 16) for i in (0, 2, 4))
                            for l in ev.layers.values()]
    # the plot gets finite curves; the gaps are what the overlay draws
    assert all(np.isfinite(c).all() for c in w.plot.gCurves)
    gap = runs_of(np.isnan(layers["RPE"][MID]))
    assert gap and w.gap_items[1].getData()[1] is not None
    assert np.array_equal(np.isfinite(w.gap_items[1].getData()[1]), np.isnan(layers["RPE"][MID]))

    a, b = gap[0]
    lo, hi = a - 5, b + 5
    liner_stroke(w, 1, lo, hi)
    left, right = anchors_drag(w, 0, len(w.plot.ctrl_points[0][0]) // 2, 6)
    assert w.isWindowModified() and "[*]" in w.windowTitle()

    eye, npz = tmp_path / "out.eye", tmp_path / "out.npz"
    asked = answer_dialogs(monkeypatch, eye)
    w.fileActions["save" if fmt != "eye" else "saveAs"].trigger()   # an .eye file is saved in place
    assert asked == ["Save corrected layers"] and eye.exists() and not w.isWindowModified()
    answer_dialogs(monkeypatch, npz)
    w.fileActions["export"].trigger()

    saved = eyepy.EyeVolume.load(eye)
    assert np.array_equal(saved._raw_data, vol) and list(saved.layers) == names
    assert fmt != "duke-mat" or saved.meta["age"] == 71  # the file's metadata, kept
    with np.load(npz) as z:
        back_npz = {n: z[n] for n in z.files}
    work = {n: np.stack(v.curves[k]) for k, n in enumerate(names)}
    for back in ({n: l.data for n, l in saved.layers.items()}, back_npz):
        for name, original in zip(names, layers.values()):
            edited = np.zeros(original.shape, bool)
            if name == names[1]:
                edited[MID, lo:hi + 1] = True
            if name == names[0]:
                edited[MID, left:right + 1] = True
            got = back[name]
            # untouched columns bit for bit, NaN included; the drawn columns hold what the plot drew
            assert got[~edited].tobytes() == original[~edited].tobytes(), name
            assert np.array_equal(got[edited], work[name][edited]), name
    assert np.isfinite(back_npz[names[1]][MID, a:b]).all()


def runs_of(mask):
    edges = np.diff(np.r_[0, mask.astype(np.int8), 0])
    return list(zip(np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)))


def test_global_update_mode_saves_only_the_stroke(files, open_window, monkeypatch, tmp_path):
    root, vol, layers, made = files
    # the plot reports the whole curve here; what is saved is the run of columns the stroke changed
    w = open_window(*made["npy"][:2], update_mode="global")
    before = w.volume.curves[2][MID].copy()
    liner_stroke(w, 2, 90, 110)
    changed = np.flatnonzero(before != w.volume.curves[2][MID])
    assert 90 <= changed[0] and changed[-1] <= 110 and changed.size > 15
    assert np.flatnonzero(w.volume.edited[2][MID]).tolist() == list(range(changed[0], changed[-1] + 1))
    assert not w.volume.edited[2][np.arange(F) != MID].any()


def test_a_stroke_open_at_a_frame_change_is_kept_on_its_own_frame(files, open_window):
    root, vol, layers, made = files
    w = open_window(*made["npy"][:2])
    ptr = Pointer(w)
    w.ui.editorButtons["liner"].click()
    y = float(w.volume.curves[1][MID][60])
    ptr.glide([(56, y - 2), (60, y)])
    ptr.click(60, y)
    ptr.move(80, y + 4)
    w.ui.frameSlider.setValue(MID + 1)        # PageDown, while the stroke is still open
    assert w.frame_index == MID + 1 and not w.plot.mouse_path
    assert np.flatnonzero(w.volume.edited[1].any(axis=1)).tolist() == [MID]
    assert np.flatnonzero(w.volume.edited[1][MID]).tolist() == list(range(60, 80))  # the segment stops before 80


@pytest.mark.parametrize("fmt", ["folder", "retouch"])
def test_a_scan_without_layers_opens_with_one_to_draw(files, open_window, monkeypatch, tmp_path, fmt):
    root, vol, layers, made = files
    w = open_window(made[fmt][0])
    assert w.volume.names == ["new layer"] and w.props[0]["is_visible"]
    assert np.array_equal(w.volume.frame(MID), vol[MID])
    liner_stroke(w, 0, 30, 70)
    answer_dialogs(monkeypatch, tmp_path / "drawn.eye")
    w.save()
    w.export_layers(tmp_path / "drawn.npz")
    with np.load(tmp_path / "drawn.npz") as z:
        drawn = z["new layer"]
    assert np.flatnonzero(np.isfinite(drawn).any(axis=1)).tolist() == [MID]
    assert np.flatnonzero(np.isfinite(drawn[MID])).tolist() == list(range(30, 70))  # segments stop before their end
    saved = eyepy.EyeVolume.load(tmp_path / "drawn.eye")
    assert saved.layers["new layer"].data.tobytes() == drawn.tobytes() and np.array_equal(saved._raw_data, vol)


def test_saving_an_eye_file_writes_it_in_place(files, open_window, monkeypatch, tmp_path):
    root, vol, layers, made = files
    path = tmp_path / "own.eye"
    write_eye(path, vol, layers)
    w = open_window(path)
    liner_stroke(w, 1, 60, 80)
    asked = answer_dialogs(monkeypatch, tmp_path / "elsewhere.eye")
    w.fileActions["save"].trigger()
    assert asked == [] and not (tmp_path / "elsewhere.eye").exists()
    assert np.isfinite(eyepy.EyeVolume.load(path).layers["RPE"].data[MID, 60:81]).all()


def test_a_failed_save_keeps_the_edits_and_says_why(files, open_window, monkeypatch, tmp_path):
    root, vol, layers, made = files
    w = open_window(*made["npy"][:2])
    liner_stroke(w, 1, 60, 80)
    warned = []
    monkeypatch.setattr(viewer.QMessageBox, "warning", staticmethod(lambda *a: warned.append(a[2])))
    target = tmp_path / "no such folder" / "out.eye"
    answer_dialogs(monkeypatch, target)
    assert w.save() is False and not w.export_layers(target.with_suffix(".npz"))
    assert len(warned) == 2 and str(target) in warned[0]
    assert w.isWindowModified() and w.save_path is None and not target.parent.exists()
    answer_dialogs(monkeypatch, tmp_path / "out.eye")
    assert w.save() and not w.isWindowModified() and w.save_path == tmp_path / "out.eye"


@pytest.mark.parametrize("answer, closed, saved", [("Cancel", False, False), ("Discard", True, False),
                                                    ("Save", True, True)])
def test_closing_with_unsaved_changes_asks(files, open_window, monkeypatch, tmp_path, answer, closed, saved):
    root, vol, layers, made = files
    w = open_window(*made["npy"][:2])
    w.close()                         # nothing edited: no question
    assert not w.isVisible()
    w.show()
    liner_stroke(w, 1, 60, 80)
    button = getattr(viewer.QMessageBox.StandardButton, answer)
    monkeypatch.setattr(viewer.QMessageBox, "question", staticmethod(lambda *a: button))
    answer_dialogs(monkeypatch, tmp_path / "closing.eye")
    w.close()
    assert w.isVisible() != closed
    assert (tmp_path / "closing.eye").exists() == saved


def _bad_files(root, vol, layers):
    (root / "garbage.eye").write_bytes(b"this is no zip archive")
    (root / "garbage.tif").write_bytes(b"II*\x00garbage")
    (root / "garbage.e2e").write_bytes(b"junk")
    np.save(root / "cut.npy", vol)
    data = (root / "cut.npy").read_bytes()
    (root / "cut.npy").write_bytes(data[:len(data) // 2])
    scipy.io.savemat(root / "other.mat", {"volume": vol})
    np.save(root / "wide.npy", np.zeros((F, H, W + 8), np.uint8))
    (root / "cut.mat").write_bytes((root / "scan.mat").read_bytes()[:5000])
    (root / "cut.tif").write_bytes((root / "scan.tif").read_bytes()[:60000])


@pytest.mark.parametrize("args, reason", [
    (["missing.vol"], "no such file or folder"),
    (["garbage.eye"], "BadZipFile"),
    (["garbage.tif"], "got shape (0,)"),
    (["cut.tif"], "ValueError: failed to read"),
    (["cut.npy"], "ValueError"),
    (["cut.mat"], "no variable layerMaps, Age (found images)"),
    (["other.mat"], "no variable images, layerMaps, Age"),
    (["wide.npy", "--layers", "layers.npz"], "layer 'ILM' is 20 x 128 (frames x columns), but the volume has 20 frames of 136"),
    (["scan.eye", "--layers", "layers.npz"], "--layers goes with a TIFF stack or a .npy volume"),
    (["layers.npz"], "unknown kind of file '.npz'"),
    (["garbage.e2e"], "StreamError"),
])
def test_unreadable_files_get_a_message_and_status_2(files, capsys, args, reason):
    root, vol, layers, made = files
    if not (root / "garbage.eye").exists():
        _bad_files(root, vol, layers)
    argv = [str(root / args[0])] + [str(root / a) if a.endswith(".npz") else a for a in args[1:]]
    assert app.main(argv) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"cannot open {argv[0]}: ") and reason in err and err.count("\n") == 1


def test_undo_over_a_gap_saves_it_as_read_again(files, open_window, monkeypatch, tmp_path):
    root, vol, layers, made = files
    w = open_window(*made["npy"][:2])
    (a, b), = runs_of(np.isnan(layers["RPE"][MID]))
    liner_stroke(w, 1, a - 5, b + 5)
    assert w.volume.edited[1][MID, a:b].all()
    w.editMenu.undoAction.trigger()
    assert not w.volume.edited[1].any()
    answer_dialogs(monkeypatch, tmp_path / "out.npz")
    w.fileActions["export"].trigger()
    with np.load(tmp_path / "out.npz") as z:
        assert z["RPE"].tobytes() == layers["RPE"].tobytes()
