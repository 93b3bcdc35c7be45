"""The demo's host window, in process: the state it shares with the plot."""
import sys
from pathlib import Path

import numpy as np
import pytest

try:
    import vantel_curve_demo  # noqa: F401
except ImportError:          # development build: the package is still in the source tree
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))

from vantel_curve_demo.viewer import DemoWindow  # noqa: E402
from vantel_curve_demo.volume import SyntheticVolume  # noqa: E402

from conftest import flush_deletes  # noqa: E402


@pytest.fixture
def window(qapp):
    volume = SyntheticVolume(frames=3, height=160, width=300, seed=3)
    w = DemoWindow(volume, theme="dark", fill_in_background=False)
    yield w
    w.close()
    w.deleteLater()
    flush_deletes()


def test_volume_is_ordered_and_has_three_slips_per_frame():
    v = SyntheticVolume(frames=5, height=200, width=256, seed=1)
    assert np.all(np.diff(v.truth, axis=1) > 0)          # layers never cross
    for f in range(5):
        slipped = v.slipped[f]
        assert len(set(slipped)) == 3
        for k in range(len(v.names)):
            off = np.abs(v.curves[k][f] - v.truth[f, k]).max()
            assert (off > 1) == (k in slipped)      # the rest is only rounded
    assert v.frame(2).dtype == np.uint8 and v.data[2].any() and not v.data[3].any()


def test_frames_hand_the_volume_arrays_to_the_plot(window):
    vol, plot = window.volume, window.plot
    for f in (0, 2, 1):
        window.ui.frameSlider.setValue(f)
        assert all(plot.gCurves[k] is vol.curves[k][f] for k in range(len(vol.names)))
        assert np.array_equal(plot.added_items[0].image, vol.frame(f) / np.float32(255))
    assert plot.volumeData is vol.data and plot.volumeGCurves is vol.curves


def test_visibility_survives_the_plot_restoring_its_backup(window):
    plot = window.plot
    window.ui.visibility[2].setChecked(False)
    assert not plot.curve_props[2]["is_visible"] and not plot.curve_props_bk[2]["is_visible"]
    plot.setEditorType("Liner")             # replaces curve_props with a copy of the backup
    assert not plot.curve_props[2]["is_visible"]
    assert window.ui.editorButtons["liner"].isChecked()


def test_theme_switch_rebuilds_the_plot_on_the_same_data(window):
    old = window.plot
    old.setEditorType("Anchors")
    window.set_theme("light")
    plot = window.plot
    assert plot is not old and window.theme == "light"
    assert plot.editorType == "anchors" and plot.gCurves[0] is window.volume.curves[0][window.frame_index]
    assert plot.menu.styleSheet().startswith("QMenu {background-color: rgb(240, 240, 240)")
    with pytest.raises(ValueError):
        window.set_theme("sepia")
