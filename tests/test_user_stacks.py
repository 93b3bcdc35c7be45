"""Stack files as the user opens them afterwards: the pixels shown, and a file of a sensible size."""
import numpy as np
import pytest
import tifffile

import vantel.utils.curveEditorPlot as cep
from _burn_reference import render_stack

PROPS = [{"color": (255, 0, 0)}, {"color": (0, 200, 255)}]


def retina(frames=8, h=64, w=96):
    # Bands that change slowly from frame to frame, with a little speckle: compresses as scans do.
    rows = np.arange(h)[None, :, None] + np.arange(frames)[:, None, None] // 3
    bands = 40 + 60 * ((rows // 12) % 3) + np.zeros((1, 1, w), int)
    speckle = 9 * (np.random.default_rng(2).random((frames, h, w)) < 0.03)
    return (bands + speckle).astype(np.uint8)


# Hosts hand the worker views as often as whole arrays: every other frame, a crop, a column-major copy.
@pytest.mark.parametrize("save_type", ["stack", "stack_with_curve"])
@pytest.mark.parametrize("view", [
    pytest.param(lambda v: v, id="whole volume"),
    pytest.param(lambda v: v[::2], id="every other frame"),
    pytest.param(lambda v: v[:, 8:56, 10:90], id="a crop"),
    pytest.param(np.asfortranarray, id="column-major")])
def test_a_saved_stack_shows_each_frame_and_is_compressed(qapp, tmp_path, save_type, view):
    v = view(retina())
    f, h, w = v.shape
    curves = [np.linspace(5, h - 10, w), np.full(w, h / 2) + 3 * np.sin(np.arange(w) / 5)]
    path, heard = tmp_path / "scan.tiff", []
    worker = cep.CurveStackSaveWorker(path, save_type, volume_data=v, gCurves=curves, curve_props=PROPS)
    worker.error.connect(heard.append)
    worker.run()
    assert heard == []
    expected = v if save_type == "stack" else render_stack(v, curves, PROPS)
    np.testing.assert_array_equal(tifffile.imread(path), expected)
    # the bands compress to a small part of the pixels; a stored file is larger than they are
    assert path.stat().st_size < expected.nbytes / 3
