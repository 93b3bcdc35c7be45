"""The stack save worker and the plot's handling of what it reports."""
import threading
from types import SimpleNamespace

import numpy as np
import pytest
import tifffile
from PySide6 import QtCore

import vantel.utils.curveEditorPlot as cep
from _burn_reference import render_stack

Cursor = QtCore.Qt.CursorShape


def record(worker):
    seen = []
    worker.progress.connect(lambda v: seen.append(v))
    worker.finished.connect(lambda m: seen.append(("finished", m)))
    worker.error.connect(lambda m: seen.append(("error", m)))
    return seen


def volume(frames, h=20, w=30, seed=0):
    return np.random.default_rng(seed).integers(0, 200, (frames, h, w), dtype=np.uint8)


@pytest.mark.parametrize("frames, expected", [(1, [0]), (10, [0, 9, 18, 27, 36, 45, 54, 62, 72, 81])])
def test_progress_and_success(qapp, tmp_path, frames, expected):
    path = tmp_path / "s.tiff"
    w = cep.CurveStackSaveWorker(path, "stack_with_curve", volume_data=volume(frames), gCurves=[],
                                 curve_props=[])
    assert (w.filename, w.save_type, type(w.kwargs)) == (path, "stack_with_curve", dict)
    seen = record(w)
    w.run()
    assert seen == expected + [95, 100, ("finished", f"Successfully saved to {path}")]


def test_grayscale_stack_is_one_deflated_page_per_frame(qapp, tmp_path):
    v = volume(3)  # 3 frames would pass for colour planes without minisblack
    w = cep.CurveStackSaveWorker(str(tmp_path / "g.tiff"), "stack", volume_data=v)
    seen = record(w)
    w.run()
    assert seen[:2] == [50, 100]
    with tifffile.TiffFile(tmp_path / "g.tiff") as tif:
        assert len(tif.pages) == 3 and tif.series[0].axes == "ZYX"
        assert tif.pages[0].compression == tifffile.COMPRESSION.ADOBE_DEFLATE
        np.testing.assert_array_equal(tif.asarray(), v)


@pytest.mark.parametrize("per_frame", [False, True])
def test_curve_stack_matches_the_plain_loop(qapp, tmp_path, per_frame):
    v = volume(4)
    curves = [np.linspace(2, 15, 30), np.full(30, 40.0), np.linspace(10, 5, 30)]
    props = [{"color": (255, 0, 0)}, {"color": (0, 255, 0)}, {"color": (0, 0, 255), "is_visible": False}]
    kwargs = dict(volume_data=v, gCurves=curves, curve_props=props)
    if per_frame:
        # curve 0's entry on frame 2 is shorter than the width
        kwargs["gCurves_volume"] = [[c + i if not (k == 0 and i == 2) else c[:12] for i in range(4)]
                                    for k, c in enumerate(curves)]
    w = cep.CurveStackSaveWorker(str(tmp_path / "c.tiff"), "stack_with_curve", **kwargs)
    seen = record(w)
    w.run()
    assert seen[-1][0] == "finished"
    with tifffile.TiffFile(tmp_path / "c.tiff") as tif:
        assert len(tif.pages) == 4 and tif.series[0].axes == "ZYXC"
        assert tif.pages[0].compression == tifffile.COMPRESSION.ADOBE_DEFLATE
        got = tif.asarray()
    expected = render_stack(v, curves, props, kwargs.get("gCurves_volume"))
    np.testing.assert_array_equal(got, expected)
    visible_only = kwargs.get("gCurves_volume")
    visible_only = visible_only[:2] if visible_only else None
    np.testing.assert_array_equal(got, render_stack(v, curves[:2], props[:2], visible_only))
    if per_frame:
        changed = (got[2, :16] != np.stack([v[2, :16]] * 3, axis=2)).any(axis=(0, 2))
        assert changed[:12].all() and not changed[14:].any()


def test_non_native_volumes_take_numpy_semantics(qapp, tmp_path):
    v = volume(2).astype(np.uint16) + 300  # wraps on the cast into the uint8 stack
    props = [{"color": (255, 0, 0)}]
    curves = [np.full(30, 4.0)]
    w = cep.CurveStackSaveWorker(str(tmp_path / "n.tiff"), "stack_with_curve", volume_data=v, gCurves=curves,
                                 curve_props=props)
    w.run()
    stack = np.zeros((2, 20, 30, 3), np.uint8)
    from _burn_reference import burn
    for i in range(2):
        rgb = np.stack([v[i]] * 3, axis=2).copy()
        burn(rgb, 20, 30, curves[0], props[0])
        stack[i] = rgb
    np.testing.assert_array_equal(tifffile.imread(tmp_path / "n.tiff"), stack)


@pytest.mark.parametrize("save_type, kwargs, message", [
    ("stack", {}, "Error saving: 'volume_data'"),
    ("stack_with_curve", {"volume_data": np.zeros((4, 4), np.uint8), "gCurves": [], "curve_props": []},
     "Error saving: tuple index out of range"),
    ("stack_with_curve", {"volume_data": np.zeros((2, 4, 4), np.uint8), "gCurves": [np.array([1.0, np.nan])],
                          "curve_props": [{"color": (1, 2, 3)}]}, "Error saving: cannot convert float NaN to integer"),
])
def test_failures_become_the_error_signal(qapp, tmp_path, save_type, kwargs, message):
    w = cep.CurveStackSaveWorker(str(tmp_path / "e.tiff"), save_type, **kwargs)
    seen = record(w)
    w.run()
    assert seen[-1] == ("error", message) and not any(isinstance(s, tuple) and s[0] == "finished" for s in seen)


def test_unknown_save_type_writes_nothing_and_succeeds(qapp, tmp_path):
    w = cep.CurveStackSaveWorker(str(tmp_path / "u.tiff"), "other")
    seen = record(w)
    w.run()
    assert seen == [("finished", f"Successfully saved to {tmp_path / 'u.tiff'}")] and not list(tmp_path.iterdir())


class FakeBox:
    made = []

    class Icon:
        Warning = "warning-icon"

    def __init__(self, parent):
        self.parent, self.calls = parent, []
        FakeBox.made.append(self)

    def __getattr__(self, name):
        return lambda *args: self.calls.append((name,) + args)


def run_on_thread(qapp, worker):
    worker.wait(20000)
    qapp.processEvents()


def test_real_thread_reports_through_the_host(qapp, make_plot, host, tmp_path, monkeypatch):
    plot = make_plot()
    written_on = []
    real = tifffile.imwrite
    monkeypatch.setattr(cep, "tifffile", SimpleNamespace(
        imwrite=lambda *a, **k: (written_on.append(threading.get_ident()), real(*a, **k))))
    path = str(tmp_path / "ok.tiff")
    plot._start_save_worker("stack", path, volume_data=volume(2))
    assert host.cursors == [Cursor.WaitCursor] and host.status.messages == [("Saving stack...", 0)]
    run_on_thread(qapp, plot.save_worker)
    assert written_on and written_on[0] != threading.get_ident()  # Qt ran our run on its own thread
    assert host.status.messages[1:] == [("Saving... 50%", 0), ("Saving... 100%", 0),
                                        (f"Successfully saved to {path}", 3000)]
    assert host.cursors[-1] == Cursor.ArrowCursor
    assert len(tifffile.TiffFile(path).pages) == 2


def test_unwritable_path_shows_the_warning(qapp, make_plot, host, tmp_path, monkeypatch):
    FakeBox.made = []
    monkeypatch.setattr(cep, "QMessageBox", FakeBox)
    plot = make_plot()
    plot.gCurves, plot.curve_props = [np.full(30, 3.0)], [{"color": (1, 2, 3)}]
    plot._start_save_worker("stack_with_curve", str(tmp_path / "no" / "dir.tiff"), volume_data=volume(1),
                            gCurves=plot.gCurves, curve_props=plot.curve_props)
    run_on_thread(qapp, plot.save_worker)
    texts = [m for m, _ in host.status.messages]
    assert texts[0] == "Saving stack_with_curve..." and texts[-1] == "Save failed"
    assert host.cursors == [Cursor.WaitCursor, Cursor.ArrowCursor]
    (box,) = FakeBox.made
    assert box.parent is host
    names = [c[0] for c in box.calls]
    assert names == ["setWindowTitle", "setText", "setDetailedText", "setIcon", "exec_"]
    assert box.calls[0][1] == "Save Error" and box.calls[1][1] == "Failed to save file"
    assert box.calls[2][1].startswith("Error saving: ") and "dir.tiff" in box.calls[2][1]
    assert box.calls[3][1] == "warning-icon"


def test_second_save_stops_the_first(qapp, make_plot, host, tmp_path):
    plot = make_plot()
    curves = [np.linspace(0, 200, 512) for _ in range(8)]
    props = [{"color": (255, 0, 0)}] * 8
    big = np.zeros((600, 256, 512), np.uint8)
    first_path = tmp_path / "first.tiff"
    plot._start_save_worker("stack_with_curve", str(first_path), volume_data=big, gCurves=curves,
                            curve_props=props)
    first = plot.save_worker
    first_seen = record(first)
    plot._start_save_worker("stack", str(tmp_path / "second.tiff"), volume_data=volume(2))
    assert not first.isRunning() and plot.save_worker is not first
    run_on_thread(qapp, plot.save_worker)
    assert not first_path.exists()
    assert not any(isinstance(s, tuple) for s in first_seen)
    assert host.status.messages[-1] == (f"Successfully saved to {tmp_path / 'second.tiff'}", 3000)
    assert host.cursors[-1] == Cursor.ArrowCursor


def test_curves_edited_during_a_save_stay_consistent(qapp, tmp_path):
    """The GUI thread rewrites a curve in place while the worker renders: nothing breaks."""
    curves = [np.linspace(0, 100, 256)]
    w = cep.CurveStackSaveWorker(str(tmp_path / "live.tiff"), "stack_with_curve",
                                 volume_data=np.zeros((300, 128, 256), np.uint8), gCurves=curves,
                                 curve_props=[{"color": (255, 0, 0)}])
    seen = []
    w.finished.connect(lambda m: seen.append(m))
    w.start()
    k = 0
    while w.isRunning():
        curves[0][:] = (k % 100)
        k += 1
    w.wait()
    qapp.processEvents()
    assert seen and len(tifffile.TiffFile(tmp_path / "live.tiff").pages) == 300
