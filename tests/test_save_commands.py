"""The four save commands and the volume setters."""
from types import SimpleNamespace

import cv2
import numpy as np
import pyqtgraph as pg
import pytest
import tifffile

import vantel.utils.curveEditorPlot as cep
from _burn_reference import render as reference_render

TIFF = "Image (*.tiff)"


@pytest.fixture
def dialog(monkeypatch):
    monkeypatch.setattr(cep, "QFileDialog", d := SimpleNamespace(calls=[], path=""))  # "" is a cancelled dialog
    d.getSaveFileName = lambda *args: (d.calls.append(args), (str(d.path), "filter"))[1]
    return d


@pytest.fixture
def plot(make_plot):
    p = make_plot()
    p.added_items = [pg.ImageItem(np.random.default_rng(k).random((24, 32))) for k in range(3)]
    list(map(pg.ImageItem.render, p.added_items))  # an item never rendered saves nothing
    p.gCurves = [np.linspace(3, 20, 32), np.full(32, 9.0)]
    p.curve_props = [{"color": (255, 0, 0)}, {"color": (0, 80, 255)}]
    return p


# A cancelled dialog ("") saves nothing, and with no frame no dialog opens.
@pytest.mark.parametrize("name", ["frame.TIFF", "frame.tif", "frame.png"])
def test_image_commands_write_real_files(plot, dialog, host, tmp_path, name):
    for dialog.path in ("", path := tmp_path / name):
        plot.onSaveImageWithCurveAs()
    got = cv2.imread(str(path))[..., ::-1] if name.endswith("png") else tifffile.imread(path)
    assert name.endswith("png") or tifffile.TiffFile(path).pages[0].photometric == tifffile.PHOTOMETRIC.RGB
    assert np.array_equal(got, reference_render(plot._get_current_frame_as_uint8(), plot.gCurves, plot.curve_props))
    for dialog.path in ("", tmp_path / "scan.png"):
        plot.onSaveImageAs()  # one file per image item, the names accumulating
    plot.added_items = [pg.ImageItem()]
    plot.onSaveImageWithCurveAs()
    assert dialog.calls == [(host, "Save Image with Curve", "", "TIFF (*.tiff);;PNG (*.png)")] * 2 + [
        (host, "Save Image", "", "Image (*.png)")] * 2
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([name, "scan.png", "scan_1.png", "scan_1_2.png"])


@pytest.mark.parametrize("chosen, written", [("vol.TIF", "vol.TIF"), ("vol", "vol.tiff"), ("vol.png", "vol.png.tiff")])
def test_stack_commands_start_the_worker(plot, dialog, host, tmp_path, chosen, written):
    started, data = [], np.arange(24.0).reshape(2, 3, 4)[:, :, ::2] / 10
    plot._start_save_worker = lambda *a, **k: started.append((*a, k))
    plot.setVolumeData(data)
    plot.setVolumeGCurves(per_frame := {1: [np.full(32, 5.0)] * 2, 0: [np.full(20, 15.0)] * 2})
    for dialog.path in ("", tmp_path / chosen):  # cancelled first
        plot.onSaveStackImageAs()
        plot.onSaveStackImageWithCurveAs()
    assert dialog.calls == [(host, "Save Stack Image", "", TIFF), (host, "Save Stack Image with Curve", "", TIFF)] * 2
    v, path = plot.volumeData, str(tmp_path / written)
    assert v.dtype == np.uint8 and v.flags.c_contiguous and v.tolist() == data.astype(np.uint8).tolist()
    assert started == [("stack", path, {"volume_data": v}), ("stack_with_curve", path, dict(  # in dictionary order
        volume_data=v, gCurves=plot.gCurves, curve_props=plot.curve_props, gCurves_volume=[*per_frame.values()]))]
