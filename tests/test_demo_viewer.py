"""The demo's host window, in process: the state it shares with the plot."""
import numpy as np
import pytest

from conftest import flush_deletes
from vantel_curve_demo.viewer import DemoWindow
from vantel_curve_demo.volume import SyntheticVolume


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
        assert len(set(v.slipped[f])) == 3
        for k in range(len(v.names)):           # the rest is only rounded
            assert (np.abs(v.curves[k][f] - v.truth[f, k]).max() > 1) == (k in v.slipped[f]), (f, k)
    assert v.frame(2).dtype == np.uint8 and v.data[2].any() and not v.data[3].any()


def test_the_plot_shares_the_volume_and_the_view_state(window, menu_colours):
    vol, plot = window.volume, window.plot
    for f in (0, 2, 1):                     # frames hand the volume's arrays to the plot
        window.ui.frameSlider.setValue(f)
        assert all(plot.gCurves[k] is vol.curves[k][f] for k in range(len(vol.names)))
        assert np.array_equal(plot.added_items[0].image, vol.frame(f) / np.float32(255))
    assert plot.volumeData is vol.data and plot.volumeGCurves is vol.curves

    window.ui.visibility[2].setChecked(False)
    assert not plot.curve_props[2]["is_visible"] and not plot.curve_props_bk[2]["is_visible"]
    plot.setEditorType("Liner")             # replaces curve_props with a copy of the backup
    assert not plot.curve_props[2]["is_visible"] and window.ui.editorButtons["liner"].isChecked()

    plot.setEditorType("Anchors")
    window.set_theme("light")               # a new plot on the same data, in the same editor
    new = window.plot
    assert new is not plot and window.theme == "light"
    assert new.editorType == "anchors" and new.gCurves[0] is vol.curves[0][window.frame_index]
    background, text, _ = menu_colours(new.menu)
    assert sum(background) > sum(text)          # its menu is light too
    with pytest.raises(ValueError):
        window.set_theme("sepia")
