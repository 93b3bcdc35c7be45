"""The stack save worker and the plot's handling of what it reports."""
import errno
import subprocess
import sys
import time
from types import SimpleNamespace
from unittest.mock import MagicMock, call

import numpy as np
import pytest
import tifffile
from PySide6 import QtCore

import vantel.utils.curveEditorPlot as cep
from _burn_reference import render_stack

Cursor = QtCore.Qt.CursorShape


def record(worker):
    seen = []
    worker.progress.connect(seen.append)
    worker.finished.connect(lambda m: seen.append(("finished", m)))
    worker.error.connect(lambda m: seen.append(("error", m)))
    return seen


def volume(frames, h=20, w=30):
    return np.random.default_rng(0).integers(0, 200, (frames, h, w), dtype=np.uint8)


def finish(qapp, plot):
    plot.save_worker.wait(20000)
    qapp.processEvents()


# Grayscale stacks report half-way; three frames would pass for colour planes were they not marked minisblack.
@pytest.mark.parametrize("save_type, frames, progress, axes", [
    ("stack_with_curve", 10, [0, 9, 18, 27, 36, 45, 54, 62, 72, 81, 95, 100], "ZYXC"),
    ("stack_with_curve", 1, [0, 95, 100], "ZYXC"), ("stack", 3, [50, 100], "ZYX"), ("other", 2, [], None)])
def test_progress_and_file(qapp, tmp_path, save_type, frames, progress, axes):
    path, v = tmp_path / "s.tiff", volume(frames)
    seen = record(w := cep.CurveStackSaveWorker(path, save_type, volume_data=v, gCurves=[], curve_props=[]))
    w.progress.connect(lambda _: seen.append(sorted(p.name for p in tmp_path.iterdir())))
    w.run()
    # 100 means the file is in place; until then the file being written is beside it, under another name.
    shown = [step for step in seen if isinstance(step, list)]
    assert all(n.startswith(".s.tiff.") and n.endswith(".part") for names in shown[:-1] for n in names)
    assert shown[-1:] == ([["s.tiff"]] if axes else [])
    seen = [step for step in seen if not isinstance(step, list)]
    assert seen == progress + [("finished", f"Successfully saved to {path}")] and path.exists() == bool(axes)
    if axes:
        with tifffile.TiffFile(path) as tif:
            assert len(tif.pages) == frames and tif.series[0].axes == axes
            assert tif.pages[0].compression == tifffile.COMPRESSION.ADOBE_DEFLATE
            np.testing.assert_array_equal(tif.asarray(), v if axes == "ZYX" else render_stack(v, [], []))


@pytest.mark.parametrize("per_frame, dtype", [(False, np.uint8), (True, np.uint8), (False, np.uint16)])
def test_curve_stack_matches_the_plain_loop(qapp, tmp_path, per_frame, dtype):
    v = volume(4).astype(dtype) + (300 if dtype == np.uint16 else 0)  # a wide volume wraps into the uint8 stack
    curves = [np.linspace(2, 15, 30), np.full(30, 40.0), np.linspace(10, 5, 30)]
    props = [{"color": (255, 0, 0)}, {"color": (0, 255, 0)}, {"color": (0, 0, 255), "is_visible": False}]
    # Curve 0's entry on frame 2 is shorter than the width.
    entries = [[c[:12] if (k, i) == (0, 2) else c + i for i in range(4)] for k, c in enumerate(curves)]
    cep.CurveStackSaveWorker(tmp_path / "c.tiff", "stack_with_curve", volume_data=v, gCurves=curves, curve_props=props,
                             **({"gCurves_volume": entries} if per_frame else {})).run()
    expected = render_stack(v, curves, props, entries if per_frame else None)
    np.testing.assert_array_equal(tifffile.imread(tmp_path / "c.tiff"), expected)


@pytest.mark.parametrize("save_type, kwargs, message", [
    ("stack", {}, "'volume_data'"),
    ("stack_with_curve", dict(volume_data=np.zeros((2, 4, 4), np.uint8), gCurves=[np.array([1.0, np.nan])],
                              curve_props=[{"color": (1, 2, 3)}]), "cannot convert float NaN to integer")])
def test_failures_become_the_error_signal(qapp, tmp_path, save_type, kwargs, message):
    seen = record(w := cep.CurveStackSaveWorker(str(tmp_path / "e.tiff"), save_type, **kwargs))
    w.run()
    assert seen[-1] == ("error", "Error saving: " + message) and [s for s in seen if isinstance(s, tuple)] == seen[-1:]


def test_real_thread_reports_through_the_host(qapp, make_plot, host, tmp_path, monkeypatch):
    plot, path = make_plot(), str(tmp_path / "ok.tiff")
    monkeypatch.setattr(cep, "QMessageBox", box := MagicMock())
    plot._start_save_worker("stack", path, volume_data=volume(2))
    # Nothing reported yet: the work runs on the worker's own thread.
    assert host.cursors == [Cursor.WaitCursor] and host.status.messages == [("Saving stack...", 0)]
    finish(qapp, plot)
    assert host.status.messages[1:] == [("Saving... 50%", 0), ("Saving... 100%", 0),
                                        (f"Successfully saved to {path}", 3000)]
    assert host.cursors == [Cursor.WaitCursor, Cursor.ArrowCursor] and len(tifffile.TiffFile(path).pages) == 2
    assert not box.called


class SlowVolume(np.ndarray):
    """A volume whose frames come slowly, so that a save is surely under way when the next one starts."""

    def __getitem__(self, key):
        time.sleep(0.005)
        return super().__getitem__(key)


# The first save is stopped while its pages are being written: the older file at its path stays as it was.
@pytest.mark.parametrize("save_type", ["stack", "stack_with_curve"])
def test_second_save_stops_the_first(qapp, make_plot, host, tmp_path, save_type):
    plot, first_path = make_plot(), tmp_path / "first.tiff"
    first_path.write_bytes(b"older file")
    slow = np.zeros((600, 256, 512), np.uint8).view(SlowVolume)
    plot._start_save_worker(save_type, str(first_path), volume_data=slow, gCurves=[np.linspace(0, 200, 512)] * 8,
                            curve_props=[{"color": (255, 0, 0)}] * 8)
    first_seen = record(first := plot.save_worker)
    deadline = time.monotonic() + 20
    while not list(tmp_path.glob(".first.tiff.*.part")) and time.monotonic() < deadline:
        time.sleep(0.001)
    plot._start_save_worker("stack", str(tmp_path / "second.tiff"), volume_data=volume(2))
    assert not first.isRunning() and plot.save_worker is not first
    finish(qapp, plot)
    assert first_path.read_bytes() == b"older file" and not any(isinstance(s, tuple) for s in first_seen)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["first.tiff", "second.tiff"]
    assert host.status.messages[-1] == (f"Successfully saved to {tmp_path / 'second.tiff'}", 3000)
    assert host.cursors[-1] == Cursor.ArrowCursor and plot.save_worker.isFinished()


def failing_write(file, pages, **kwargs):
    """A disk that fills up after the first page."""
    file.write(next(iter(pages)).tobytes())
    raise OSError(errno.ENOSPC, "No space left on device")


# A save that fails part-way reports it and leaves the older file at its path untouched, and nothing beside it.
@pytest.mark.parametrize("failure, message", [
    ("nan on frame 3", "Error saving: cannot convert float NaN to integer"),
    ("disk full", "Error saving: [Errno 28] No space left on device")])
def test_failed_save_keeps_the_older_file(qapp, make_plot, host, tmp_path, monkeypatch, failure, message):
    plot, path = make_plot(), tmp_path / "vol.tiff"
    path.write_bytes(b"older file")
    monkeypatch.setattr(cep, "QMessageBox", box := MagicMock())
    if failure == "disk full":
        monkeypatch.setattr(cep, "tifffile", SimpleNamespace(imwrite=failing_write))
    entry = [np.full(30, np.nan if i == 3 else 5.0) for i in range(6)]
    plot._start_save_worker("stack_with_curve", str(path), volume_data=volume(6), gCurves=[], curve_props=[{
        "color": (1, 2, 3)}], gCurves_volume=[entry])
    finish(qapp, plot)
    assert box.call_args_list == [call(host)] and box.return_value.method_calls == [
        call.setWindowTitle("Save Error"), call.setText("Failed to save file"), call.setDetailedText(message),
        call.setIcon(box.Icon.Warning), call.exec_()]
    assert host.status.messages[0] == ("Saving stack_with_curve...", 0) and host.status.messages[-1] == ("Save failed", 0)
    assert host.cursors == [Cursor.WaitCursor, Cursor.ArrowCursor]
    assert path.read_bytes() == b"older file" and list(tmp_path.iterdir()) == [path]


# Replacing a file keeps what writing over it kept: its permission bits, and a link to it.
@pytest.mark.parametrize("through_link", [False, True])
def test_replaced_file_keeps_its_mode_and_links(qapp, tmp_path, through_link):
    real = tmp_path / "real.tiff"
    real.write_bytes(b"older file")
    real.chmod(0o640)
    path = tmp_path / "link.tiff" if through_link else real
    if through_link:
        path.symlink_to(real)
    cep.CurveStackSaveWorker(str(path), "stack", volume_data=(v := volume(2))).run()
    assert path.is_symlink() == through_link and (real.stat().st_mode & 0o777) == 0o640
    np.testing.assert_array_equal(tifffile.imread(real), v)


def test_files_read_back_alike_without_imagecodecs(qapp, tmp_path):
    """The fast codec writes standard deflate TIFF: tifffile's own decoder reads the same pixels."""
    v = volume(3)
    cep.CurveStackSaveWorker(tmp_path / "rgb.tiff", "stack_with_curve", volume_data=v,
                             gCurves=[np.linspace(2, 15, 30)], curve_props=[{"color": (255, 0, 0)}]).run()
    cep.CurveStackSaveWorker(tmp_path / "gray.tiff", "stack", volume_data=v).run()
    script = ('import sys; sys.modules["imagecodecs"] = None\n'  # tifffile falls back on zlib
              'import numpy, tifffile\n'
              'for name in ("rgb", "gray"): numpy.save(name, tifffile.imread(name + ".tiff"))')
    subprocess.run([sys.executable, "-c", script], cwd=tmp_path, check=True, timeout=120)
    for name in ("rgb", "gray"):
        assert np.array_equal(np.load(tmp_path / f"{name}.npy"), tifffile.imread(tmp_path / f"{name}.tiff"))
