"""What the user sees: live-wire strokes on real images, and the plot without an image or without curves."""
import cv2
import numpy as np
import pytest
import pyqtgraph as pg

from pointer_helpers import Qt, assert_drawn, cep, hover, press


def patchwork(seed, h=60, w=120):
    # Blocks whose steps straddle the edge thresholds, under a strong wavy edge that the gradient limit clips.
    rng = np.random.default_rng(seed)
    blocks = rng.integers(0, 40, (h // 6 + 1, w // 6 + 1)).astype(float)
    img = np.kron(blocks, np.ones((6, 6)))[:h, :w] + 60
    y, x = np.arange(h)[:, None], np.arange(w)[None, :]
    img += 100 * (y > 30 + 8 * np.sin(x / 10)) + rng.normal(0, 2, (h, w))
    return np.clip(img, 0, 255).astype(np.uint8)


def finder(image, seed, canny=(32, 100), limit=200):
    found = cv2.segmentation.IntelligentScissorsMB().setEdgeFeatureCannyParameters(*canny)  # copies share the state
    found.setGradientMagnitudeMaxLimit(limit).applyImage(image).buildMap(seed)
    return found


def written(curve, contour, kind=None):
    # The step's write: one point per column, the first met after an argsort of the columns.
    points = np.asarray(contour).reshape(-1, 2)
    points = points[points[:, 0].argsort(kind=kind)]
    points = points[np.unique(points[:, 0], return_index=True)[1]]
    curve[points[:, 0]] = points[:, 1]


IMAGES, SEED = (0, 1, 4), (5, 25)
TARGETS = [(115, y) for y in range(5, 60, 6)] + [(60, y) for y in range(5, 60, 10)]


def test_the_thresholds_matter_on_these_images():
    # Each of the finder's parameters, moved a little, changes some path: the test below pins them all.
    def paths(**kwargs):
        return [[finder(patchwork(s), SEED, **kwargs).getContour(t).tolist() for t in TARGETS] for s in IMAGES]

    base = paths()
    for kwargs in [dict(canny=(28, 100)), dict(canny=(36, 100)), dict(canny=(32, 90)), dict(canny=(32, 110)),
                   dict(limit=180), dict(limit=220)]:
        assert paths(**kwargs) != base, kwargs


@pytest.mark.parametrize("image", IMAGES)
def test_live_wire_stroke_is_the_finder_path_exactly(editor, image):
    frame = patchwork(image)
    plot = editor([np.full(120, 25.0)], eidtorType="livewire")
    plot.set_added_items(pg.ImageItem((frame + 0.5) / 255))  # scaled back to these very bytes
    quick, stable, reference = plot.gCurves[0].copy(), plot.gCurves[0].copy(), finder(frame, SEED)
    hover(plot, 5.3, 25.0)  # picks the curve
    press(plot, 5.6, 25.4)  # the seed truncates
    for target in TARGETS:
        hover(plot, *map(float, target))
        written(quick, reference.getContour(target))
        written(stable, reference.getContour(target), "stable")
        # Where the path runs down a column, NumPy's unstable sort and the path's own order may pick different
        # rows of that column; everywhere else the two agree to the pixel.
        got = plot.gCurves[0]
        assert ((got == quick) | (got == stable)).all(), np.flatnonzero((got != quick) & (got != stable))
        assert_drawn(plot)


def draw_a_curve(plot):
    red = dict(color=(255, 0, 0), style=Qt.PenStyle.SolidLine, width=1, connect="all", is_visible=True)
    plot.set_curve([np.linspace(5, 25, 40)], [red])
    plot.plot()


# Without an image (never set, None, an empty list, an item without one) the markers and the frame commands do
# nothing; without curves the redraw draws and clears nothing.
@pytest.mark.parametrize("items", ["unset", None, [], pg.ImageItem])
def test_no_image(make_plot, monkeypatch, items):
    plot, asked = make_plot(), []
    monkeypatch.setattr(cep, "QFileDialog", type("Dialog", (), {"getSaveFileName": lambda *a: asked.append(a)}))
    if items != "unset":
        plot.set_added_items(items() if items is pg.ImageItem else items)
    for direction in ("vertical", "horizontal"):
        assert plot.plot_indicator((3, 4), direction) is None and plot.indicator_plot is None
    assert plot.onSaveImageWithCurveAs() is None and plot._get_current_frame_as_uint8() is None and asked == []
    draw_a_curve(plot)
    assert_drawn(plot)
    assert len(plot.listDataItems()) == 1 and len(plot.items) == 1 + (items is pg.ImageItem)


def test_no_curves(make_plot):
    plot = make_plot(eidtorType="anchors")
    plot.set_added_items(pg.ImageItem(np.full((30, 40), 0.5)))
    plot.plot_indicator((3, 4))
    before = list(plot.items)
    for _ in range(2):
        plot.plot()
        plot.setEditorType("liner")
    assert plot.items == before  # nothing cleared, nothing drawn
    draw_a_curve(plot)
    assert plot.items[0] is plot.added_items[0] and len(plot.listDataItems()) == 1
