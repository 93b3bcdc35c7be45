"""The Review dock through real events: N / Shift+N, fixing and undoing, the overview and the localizer."""
import sys
from pathlib import Path

import numpy as np
import pytest
from PySide6 import QtCore
from PySide6.QtTest import QTest

try:
    import vantel_curve_demo  # noqa: F401
except ImportError:          # development build: the package is still in the source tree
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))

from vantel_curve_demo import review, review_panel, scans, viewer  # noqa: E402
from vantel_curve_demo.pointer import Pointer  # noqa: E402
from vantel_curve_demo.volume import SyntheticVolume  # noqa: E402

from conftest import flush_deletes  # noqa: E402

Qt = QtCore.Qt


def _window(volume):
    w = viewer.DemoWindow(volume, fill_in_background=False)
    panel = review_panel.attach(w)
    w.show()
    QTest.qWaitForWindowExposed(w)
    return w, panel


@pytest.fixture
def shown(qapp):
    made = []

    def make(volume):
        made.append(_window(volume))
        return made[-1]
    yield make
    for w, _ in made:
        w.ask_before_close = False
        w.close()
        w.deleteLater()
    flush_deletes()


def _in_view(w, entry):
    (x0, x1), (y0, y1) = w.plot.vb.viewRange()
    y = w.volume.curves[entry.layer][entry.frame][(entry.first + entry.last) // 2]
    return x0 <= entry.first and entry.last <= x1 and y0 <= y <= y1


def _click(view, plot, x, y):
    pos = view.mapFromScene(plot.vb.mapViewToScene(QtCore.QPointF(x, y)))
    QTest.mouseClick(view.viewport(), Qt.MouseButton.LeftButton, pos=pos)


def test_n_and_shift_n_walk_the_list(shown):
    w, panel = shown(SyntheticVolume(frames=16, height=200, width=320, seed=2))
    entries = panel.entries()
    assert len(entries) >= 3
    for key, modifier, expected in [(Qt.Key.Key_N, Qt.KeyboardModifier.NoModifier, 0),
                                    (Qt.Key.Key_N, Qt.KeyboardModifier.NoModifier, 1),
                                    (Qt.Key.Key_N, Qt.KeyboardModifier.ShiftModifier, 0),
                                    (Qt.Key.Key_N, Qt.KeyboardModifier.ShiftModifier, len(entries) - 1)]:
        QTest.keyClick(w, key, modifier)
        e = entries[expected]
        assert (w.frame_index, w.ui.comboBox_enfaceA_Slab.currentIndex()) == (e.frame, e.layer)
        assert _in_view(w, e)
        assert panel.table.currentItem().text(0) == str(expected + 1)


def test_fixing_a_suspect_removes_it_and_undo_brings_it_back(shown, qapp):
    vol = SyntheticVolume(frames=16, height=200, width=320, seed=2)
    w, panel = shown(vol)
    QTest.keyClick(w, Qt.Key.Key_N)
    top = panel.review.current
    f, k = top.frame, top.layer

    def listed():
        return any((e.frame, e.layer) == (f, k) and e.first <= top.last and e.last >= top.first
                   for e in panel.entries())
    # redraw the stretch along the true layer edge with the liner, by pointer
    truth = vol.truth[f, k]
    lo, hi = max(1, top.first - 6), min(vol.width - 2, top.last + 6)
    w.set_editor_type("liner")
    ptr = Pointer.of_window(w)
    ptr.glide([(lo - 6, truth[lo] - 3), (lo - 2, truth[lo] - 1), (lo, truth[lo])])
    assert w.plot.current_curve_idx == k
    ptr.click(lo, truth[lo])
    xs = np.linspace(lo, hi, max(3, (hi - lo) // 20 + 2))[1:]
    for x in xs[:-1]:
        ptr.move(x, truth[int(round(x))])
        ptr.click(x, truth[int(round(x))])
    ptr.double_click(hi, truth[hi])
    assert w.volume.edited[k][f, top.first:top.last + 1].all()
    assert not listed()
    assert top not in panel.entries()
    QTest.keyClick(w, Qt.Key.Key_Z, Qt.KeyboardModifier.ControlModifier)
    assert listed()
    QTest.keyClick(w, Qt.Key.Key_Z, Qt.KeyboardModifier.ControlModifier | Qt.KeyboardModifier.ShiftModifier)
    assert not listed()
    QTest.keyClick(w, Qt.Key.Key_N)         # the fixed one is gone: N goes to the one now in its place
    assert panel.review.current == panel.entries()[0] != top
    # the refresh after the burst of edits shows the list as it is
    QTest.qWait(review_panel.REFRESH_MS + 100)
    assert panel.table.topLevelItemCount() == len(panel.entries())


def test_overview_click_shows_the_frame_at_the_column(shown):
    w, panel = shown(SyntheticVolume(frames=16, height=200, width=320, seed=2))
    panel.layerBox.setCurrentIndex(3)
    _click(panel.overviewView, panel.overview, 250.5, 11.5)
    assert (w.frame_index, w.ui.comboBox_enfaceA_Slab.currentIndex()) == (11, 3)
    (x0, x1), _ = w.plot.vb.viewRange()
    assert abs((x0 + x1) / 2 - 250.5) < 1 or x1 == w.volume.width
    assert panel.frameLine.value() == pytest.approx(11.5)


def test_marks_stay_until_their_frame_is_shown(shown):
    vol = SyntheticVolume(frames=16, height=200, width=320, seed=2)
    w, panel = shown(vol)
    w.set_frame(3)
    panel.mark(9, 2, 40, 80, "carried")
    assert panel.entries()[0] == review.Suspect(9, 2, 40, 79, "carried", 1.0)
    panel.layerBox.setCurrentIndex(2)
    codes = review.overview_marks((vol.n_frames, vol.width), panel.entries(), vol.edited[2])
    assert (codes[9, 40:80] == 3).all()
    assert (panel.overviewMarks.image[9, 40:80] == review_panel.OVERLAY[3]).all()
    w.set_frame(9)
    assert all(e.kind != "carried" for e in panel.entries())


# -- the localizer -------------------------------------------------------------------------------
@pytest.fixture(scope="module")
def eye_with_localizer(tmp_path_factory):
    eyepy = pytest.importorskip("eyepy")
    from eyepy.core.eyemeta import EyeBscanMeta, EyeEnfaceMeta, EyeVolumeMeta
    F, H, W = 10, 64, 96
    data = np.random.default_rng(1).integers(0, 255, (F, H, W)).astype(np.uint8)
    # B-scans as slanted lines over a 200 x 200 localizer of 0.01 mm pixels, bottom to top
    bscans = [EyeBscanMeta(start_pos=(0.2, 1.8 - 0.15 * i), end_pos=(1.8, 1.6 - 0.15 * i), pos_unit="mm")
              for i in range(F)]
    meta = EyeVolumeMeta(scale_z=0.15, scale_x=0.0167, scale_y=0.0039, scale_unit="mm", bscan_meta=bscans)
    image = np.tile(np.linspace(0, 1, 200), (200, 1))
    loc = eyepy.EyeEnface(image, EyeEnfaceMeta(scale_x=0.01, scale_y=0.01, scale_unit="mm"))
    ev = eyepy.EyeVolume(data, meta=meta, localizer=loc)
    ev.add_layer_annotation(np.full((F, W), 30.0), name="ILM")
    path = tmp_path_factory.mktemp("localizer") / "scan.eye"
    ev.save(path)
    plain = path.with_name("plain.eye")
    plain_ev = eyepy.EyeVolume(data)
    plain_ev.add_layer_annotation(np.full((F, W), 30.0), name="ILM")
    plain_ev.save(plain)
    return path, plain


def test_localizer_click_near_a_line_shows_its_frame(shown, eye_with_localizer):
    path, plain = eye_with_localizer
    assert review.localizer(scans.open_scan(plain)) is None     # eyepy's stand-in, not the file's
    w, panel = shown(scans.open_scan(path))
    image, lines = panel._localizer
    assert image.shape == (200, 200)
    np.testing.assert_allclose(lines[3], [[20, 135], [180, 115]])
    near = lines[7].mean(axis=0) + [0, 2]          # two image pixels off the line
    _click(panel.localizerView, panel.localizerPlot, *near)
    assert w.frame_index == 7
    np.testing.assert_allclose(np.c_[panel.currentLine.getData()], lines[7])
    _click(panel.localizerView, panel.localizerPlot, 195, 5)   # far from every line
    assert w.frame_index == 7
