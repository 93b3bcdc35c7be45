"""The four save commands and the volume setters."""
import cv2
import numpy as np
import pyqtgraph as pg
import pytest
import tifffile

import vantel.utils.curveEditorPlot as cep
from _burn_reference import render as reference_render, render_stack


class Dialog:
    """Stands in for QFileDialog: records the calls and answers with a fixed path."""

    def __init__(self, path):
        self.path, self.calls = path, []

    def getSaveFileName(self, *args):
        self.calls.append(args)
        return self.path, "filter"


@pytest.fixture
def dialog(monkeypatch):
    def install(path):
        d = Dialog(str(path))
        monkeypatch.setattr(cep, "QFileDialog", d)
        return d
    return install


def image_item(seed):
    item = pg.ImageItem(np.random.default_rng(seed).random((24, 32)))
    item.render()  # an item never rendered saves nothing
    return item


@pytest.fixture
def plot(make_plot):
    p = make_plot()
    p.added_items = [image_item(0)]
    p.gCurves = [np.linspace(3, 20, 32), np.full(32, 9.0)]
    p.curve_props = [{"color": (255, 0, 0)}, {"color": (0, 80, 255)}]
    return p


def test_image_items_get_accumulating_names(plot, dialog, host, tmp_path):
    plot.added_items = [image_item(k) for k in range(3)]
    d = dialog(tmp_path / "scan.png")
    plot.onSaveImageAs()
    assert d.calls == [(host, "Save Image", "", "Image (*.png)")]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["scan.png", "scan_1.png", "scan_1_2.png"]
    assert cv2.imread(str(tmp_path / "scan_1_2.png")) is not None


@pytest.mark.parametrize("name", ["frame.TIFF", "frame.tif", "frame.png"])
def test_frame_with_curves_in_rgb_order(plot, dialog, host, tmp_path, name):
    d = dialog(tmp_path / name)
    plot.onSaveImageWithCurveAs()
    assert d.calls == [(host, "Save Image with Curve", "", "TIFF (*.tiff);;PNG (*.png)")]
    path = str(tmp_path / name)
    if name.endswith("png"):
        got = cv2.cvtColor(cv2.imread(path), cv2.COLOR_BGR2RGB)
    else:
        got = tifffile.imread(path)
        assert tifffile.TiffFile(path).pages[0].photometric == tifffile.PHOTOMETRIC.RGB
    frame = plot._get_current_frame_as_uint8()
    np.testing.assert_array_equal(got, reference_render(frame, plot.gCurves, plot.curve_props))
    assert got[9, 20, 2] > 200 and got[9, 20, 0] < 60  # the blue curve stays blue in both formats


@pytest.mark.parametrize("chosen, written", [("vol.TIF", "vol.TIF"), ("vol", "vol.tiff"),
                                             ("vol.png", "vol.png.tiff")])
def test_stack_extension_rule(plot, dialog, tmp_path, chosen, written):
    dialog(tmp_path / chosen)
    started = []
    plot._start_save_worker = lambda *a, **k: started.append((a, k))
    plot.setVolumeData(np.zeros((2, 4, 4)))
    plot.onSaveStackImageAs()
    plot.onSaveStackImageWithCurveAs()
    assert [a for a, _ in started] == [("stack", str(tmp_path / written)),
                                       ("stack_with_curve", str(tmp_path / written))]
    assert started[0][1] == {"volume_data": plot.volumeData}
    assert started[1][1]["gCurves"] is plot.gCurves and started[1][1]["curve_props"] is plot.curve_props
    assert "gCurves_volume" not in started[1][1]


def test_grayscale_stack_written_by_the_worker(qapp, plot, dialog, host, tmp_path):
    d = dialog(tmp_path / "g")
    v = np.random.default_rng(1).integers(0, 255, (3, 24, 32)).astype(np.uint8)
    plot.setVolumeData(v)
    plot.onSaveStackImageAs()
    assert d.calls == [(host, "Save Stack Image", "", "Image (*.tiff)")]
    plot.save_worker.wait(20000)
    qapp.processEvents()
    with tifffile.TiffFile(tmp_path / "g.tiff") as tif:
        assert len(tif.pages) == 3 and tif.series[0].axes == "ZYX"
        np.testing.assert_array_equal(tif.asarray(), v)


def test_curve_stack_with_per_frame_curves(qapp, plot, dialog, host, tmp_path):
    d = dialog(tmp_path / "c.tiff")
    v = np.random.default_rng(2).integers(0, 255, (3, 24, 32)).astype(np.uint8)
    plot.setVolumeData(v)
    per_frame = {1: [np.full(32, 5.0 + i) for i in range(3)], 0: [np.full(20, 15.0 - i) for i in range(3)]}
    plot.setVolumeGCurves(per_frame)
    assert plot.volumeGCurves is per_frame
    plot.onSaveStackImageWithCurveAs()
    assert d.calls == [(host, "Save Stack Image with Curve", "", "Image (*.tiff)")]
    plot.save_worker.wait(20000)
    qapp.processEvents()
    assert plot.save_worker.kwargs["gCurves_volume"] == [per_frame[1], per_frame[0]]
    with tifffile.TiffFile(tmp_path / "c.tiff") as tif:
        assert tif.series[0].axes == "ZYXC" and len(tif.pages) == 3
        got = tif.asarray()
    np.testing.assert_array_equal(got, render_stack(v, None, plot.curve_props, [per_frame[1], per_frame[0]]))
    assert host.status.messages[-1][1] == 3000


def test_cancelled_dialogs_do_nothing(plot, dialog, tmp_path):
    d = dialog("")
    plot.setVolumeData(np.zeros((2, 4, 4), np.uint8))
    for command in (plot.onSaveImageAs, plot.onSaveImageWithCurveAs, plot.onSaveStackImageAs,
                    plot.onSaveStackImageWithCurveAs):
        command()
    assert len(d.calls) == 4 and plot.save_worker is None and not list(tmp_path.iterdir())


def test_missing_data_opens_no_dialog(plot, dialog, tmp_path):
    d = dialog(tmp_path / "x.png")
    plot.onSaveStackImageAs()
    plot.onSaveStackImageWithCurveAs()
    for items in ([pg.ImageItem()], [], None):
        plot.added_items = items
        plot.onSaveImageWithCurveAs()
    assert d.calls == []
    plot.added_items = []
    plot.onSaveImageAs()  # the dialog opens, nothing is written
    assert len(d.calls) == 1 and not list(tmp_path.iterdir())


def test_volume_setters(plot, dialog, tmp_path):
    data = np.arange(24, dtype=np.float64).reshape(2, 3, 4)[:, :, ::2] / 10
    plot.setVolumeData(data)
    v = plot.volumeData
    assert v.dtype == np.uint8 and v.flags.c_contiguous and v.tolist() == data.astype(np.uint8).tolist()
    with pytest.raises(TypeError):
        plot.setVolumeData(None)
    assert plot.volumeData is v
    dialog(tmp_path / "x.tiff")
    plot.setVolumeGCurves([[np.zeros(4)]])  # a plain list cannot be indexed by its own elements
    with pytest.raises(TypeError):
        plot.onSaveStackImageWithCurveAs()
    assert plot.save_worker is None
