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
BARE = dict(gCurves=[], curve_props=[])
CURVED = dict(gCurves=[np.linspace(2, 15, 30), np.full(30, 40.0), np.linspace(10, 5, 30)], curve_props=[
    {"color": (255, 0, 0)}, {"color": (0, 255, 0)}, {"color": (0, 0, 255), "is_visible": False}])
# Curve 0's entry on frame 2 is shorter than the width.
PER_FRAME = dict(CURVED, gCurves_volume=[[c[:12] if (k, i) == (0, 2) else c + i for i in range(4)]
                                         for k, c in enumerate(CURVED["gCurves"])])


def volume(frames, h=20, w=30):
    return np.random.default_rng(0).integers(0, 200, (frames, h, w), dtype=np.uint8)


# Grayscale stacks report half-way; three frames would pass for colour planes were they not marked minisblack. A wide
# volume wraps into the uint8 stack.
@pytest.mark.parametrize("save_type, frames, dtype, curves, progress, axes", [
    pytest.param("stack_with_curve", 10, np.uint8, BARE, [0, 9, 18, 27, 36, 45, 54, 62, 72, 81, 95, 100], "ZYXC",
                 id="ten frames, no curves"),
    pytest.param("stack_with_curve", 1, np.uint8, BARE, [0, 95, 100], "ZYXC", id="one frame"),
    *[pytest.param("stack_with_curve", 4, dtype, curves, [0, 22, 45, 67, 95, 100], "ZYXC", id=what)
      for dtype, curves, what in [(np.uint8, CURVED, "curves"), (np.uint8, PER_FRAME, "curves per frame"),
                                  (np.uint16, CURVED, "wide volume wraps into uint8")]],
    pytest.param("stack", 3, np.uint8, BARE, [50, 100], "ZYX", id="grayscale: three frames, not colour planes"),
    pytest.param("other", 2, np.uint8, BARE, [], None, id="unknown save type: nothing")])
def test_progress_and_file(qapp, tmp_path, save_type, frames, dtype, curves, progress, axes):
    path, v = tmp_path / "s.tiff", volume(frames).astype(dtype) + (300 if dtype == np.uint16 else 0)
    w, seen, shown = cep.CurveStackSaveWorker(path, save_type, volume_data=v, **curves), [], []
    w.progress.connect(lambda p: (seen.append(p), shown.append(sorted(f.name for f in tmp_path.iterdir()))))
    w.finished.connect(lambda m: seen.append(("finished", m)))
    w.error.connect(lambda m: seen.append(("error", m)))
    w.run()
    # 100 means the file is in place; until then the file being written is beside it, under another name.
    assert all(n.startswith(".s.tiff.") and n.endswith(".part") for names in shown[:-1] for n in names)
    assert shown[-1:] == ([["s.tiff"]] if axes else [])
    assert seen == progress + [("finished", f"Successfully saved to {path}")] and path.exists() == bool(axes)
    if axes:
        expected = v if axes == "ZYX" else render_stack(v, *curves.values())  # curves, props, per-frame curves
        with tifffile.TiffFile(path) as tif:
            assert len(tif.pages) == frames and tif.series[0].axes == axes
            assert tif.pages[0].compression == tifffile.COMPRESSION.ADOBE_DEFLATE
            np.testing.assert_array_equal(tif.asarray(), expected)
        # The fast codec writes standard deflate: tifffile's own decoder (imagecodecs hidden) reads the same pixels.
        subprocess.run([sys.executable, "-c", 'import sys; sys.modules["imagecodecs"] = None\nimport numpy, tifffile\n'
                        'numpy.save("s", tifffile.imread("s.tiff"))'], cwd=tmp_path, check=True, timeout=120)
        np.testing.assert_array_equal(np.load(tmp_path / "s.npy"), expected)


def failing_write(file, pages, **kwargs):  # a disk that fills up after the first page
    file.write(next(iter(pages)).tobytes())
    raise OSError(errno.ENOSPC, "No space left on device")


# Replacing a file keeps what writing over it kept: its permission bits, and a link to it. A save that fails part-way
# reports it and leaves the older file untouched, and nothing beside it.
@pytest.mark.parametrize("save_type, failure, message, link", [
    ("stack", None, None, False), ("stack", None, None, True), ("stack", "no volume", "'volume_data'", True),
    ("stack_with_curve", "nan on frame 3", "cannot convert float NaN to integer", False),
    ("stack_with_curve", "disk full", "[Errno 28] No space left on device", False)])
def test_saves_report_through_the_host(qapp, make_plot, host, tmp_path, monkeypatch, save_type, failure, message, link):
    plot, real = make_plot(), tmp_path / "vol.tiff"
    real.write_bytes(b"older file")
    real.chmod(0o640)
    path = tmp_path / "link.tiff" if link else real
    if link:
        path.symlink_to(real)
    monkeypatch.setattr(cep, "QMessageBox", box := MagicMock())
    if failure == "disk full":
        monkeypatch.setattr(cep, "tifffile", SimpleNamespace(imwrite=failing_write))
    kwargs = {} if failure == "no volume" else {"volume_data": (v := volume(6 if failure else 2))}
    if save_type == "stack_with_curve":
        kwargs.update(gCurves=[], curve_props=[{"color": (1, 2, 3)}],
                      gCurves_volume=[[np.full(30, np.nan if i == 3 else 5.0) for i in range(6)]])
    plot._start_save_worker(save_type, str(path), **kwargs)
    # Nothing reported yet: the work runs on the worker's own thread.
    assert host.cursors == [Cursor.WaitCursor] and host.status.messages == [(f"Saving {save_type}...", 0)]
    plot.save_worker.wait(20000)
    qapp.processEvents()
    assert host.cursors == [Cursor.WaitCursor, Cursor.ArrowCursor] and path.is_symlink() == link
    assert (real.stat().st_mode & 0o777) == 0o640 and sorted(tmp_path.iterdir()) == sorted({real, path})
    if failure is None:
        assert host.status.messages[1:] == [("Saving... 50%", 0), ("Saving... 100%", 0),
                                            (f"Successfully saved to {path}", 3000)]
        assert not box.called and np.array_equal(tifffile.imread(real), v)
    else:
        assert host.status.messages[-1] == ("Save failed", 0) and real.read_bytes() == b"older file"
        assert box.call_args_list == [call(host)] and box.return_value.method_calls == [
            call.setWindowTitle("Save Error"), call.setText("Failed to save file"),
            call.setDetailedText("Error saving: " + message), call.setIcon(box.Icon.Warning), call.exec_()]


class SlowVolume(np.ndarray):  # frames come slowly, so that a save is surely under way when the next one starts
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
    first, first_seen = plot.save_worker, []  # a stopped save reports neither success nor failure
    first.finished.connect(first_seen.append)
    first.error.connect(first_seen.append)
    deadline = time.monotonic() + 20
    while not list(tmp_path.glob(".first.tiff.*.part")) and time.monotonic() < deadline:
        time.sleep(0.001)
    plot._start_save_worker("stack", str(tmp_path / "second.tiff"), volume_data=volume(2))
    assert not first.isRunning() and plot.save_worker is not first
    plot.save_worker.wait(20000)
    qapp.processEvents()
    assert first_path.read_bytes() == b"older file" and first_seen == []
    assert sorted(p.name for p in tmp_path.iterdir()) == ["first.tiff", "second.tiff"]
    assert host.status.messages[-1] == (f"Successfully saved to {tmp_path / 'second.tiff'}", 3000)
    assert host.cursors[-1] == Cursor.ArrowCursor and plot.save_worker.isFinished()
