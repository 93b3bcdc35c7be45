"""The current frame as 8-bit data and frames rendered with the curves burnt in."""
from types import SimpleNamespace

import numpy as np
import pytest

import vantel.utils.curveEditorPlot as cep
from _burn_reference import render as reference_render

RED = {"color": (255, 0, 0)}


@pytest.fixture
def plot(make_plot):
    return make_plot()


def frame(h=12, w=16, value=0):
    return np.full((h, w), value, dtype=np.uint8)


def drawn_columns(rgb, channel=0):
    """Columns holding any pixel changed in `channel` from the gray background 0."""
    return np.flatnonzero((rgb[..., channel] > 0).any(axis=0))


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64, np.int16, np.uint8, np.uint64, np.float16,
                                   "list", ">f8"])
def test_pixels_match_the_plain_transcription(plot, dtype):
    rng = np.random.default_rng(7)
    f = rng.integers(0, 256, (40, 50), dtype=np.uint8)
    curves = []
    for n in (50, 30, 70, 2):
        y = rng.uniform(-10, 50, n).round(1)
        y[::7] = np.floor(y[::7]) + 0.5  # ties to even
        curves.append(y.tolist() if dtype == "list" else np.abs(y).astype(dtype) if "u" in np.dtype(
            dtype).kind else y.astype(dtype))
    props = [{"color": (255, 0, 0)}, {"color": (0, 200, 40, 9), "is_visible": 1}, {"color": [3.7, 250, 9]},
             {"color": (9, 9, 255)}]
    plot.gCurves, plot.curve_props = curves, props
    np.testing.assert_array_equal(plot._render_image_with_curves(f), reference_render(f, curves, props))


def test_curve_lengths_and_edges(plot):
    f = frame()
    plot.curve_props = [RED]
    plot.gCurves = [np.full(5, 3.0)]  # shorter than the width: columns 0..4 (anti-aliasing spills one more)
    rgb = plot._render_image_with_curves(f)
    assert (rgb[3, :5, 0] > 100).all() and not rgb[:, 6:].any()
    plot.gCurves = [np.full(40, 3.0)]  # longer: cut at the last column
    assert drawn_columns(plot._render_image_with_curves(f)).tolist() == list(range(16))
    for value, row in ((500.0, 11), (-80.0, 0)):
        plot.gCurves = [np.full(16, value)]
        assert (plot._render_image_with_curves(f)[..., 0].argmax(axis=0) == row).all()
    plot.gCurves = [np.array([2.5, 2.5, 3.5, 3.5])]  # round half to even: rows 2, 2, 4, 4
    peaks = plot._render_image_with_curves(f)[..., 0].argmax(axis=0)
    assert peaks[0] == 2 and peaks[3] == 4


@pytest.mark.parametrize("curve, props", [(np.array([4.0]), RED), (np.array([]), RED),
                                          (np.full(16, 4.0), {"color": (255, 0, 0), "is_visible": False}),
                                          (np.full(16, 4.0), {"color": (255, 0, 0), "is_visible": ""})])
def test_nothing_drawn(plot, curve, props):
    f = frame(value=9)
    plot.gCurves, plot.curve_props = [curve], [props]
    rgb = plot._render_image_with_curves(f)
    assert rgb.shape == (12, 16, 3) and (rgb == 9).all()


def test_alpha_ignored_and_missing_props_skip_curves(plot):
    f = frame()
    plot.gCurves = [np.full(16, 2.0), np.full(16, 6.0), np.full(16, 9.0)]
    plot.curve_props = [{"color": (255, 0, 0, 128)}, {"color": (0, 0, 255)}]
    rgb = plot._render_image_with_curves(f)
    plot.curve_props = [{"color": (255, 0, 0)}, {"color": (0, 0, 255)}]
    np.testing.assert_array_equal(rgb, plot._render_image_with_curves(f))
    assert rgb[2, 5, 0] > 200 and rgb[6, 5, 2] > 200 and not rgb[2, :, 1:].any()
    assert not rgb[9].any()


def test_colour_frames_are_copied_and_uncurved_frames_returned(plot):
    f = np.zeros((6, 8, 3), np.uint8)
    rgb = plot._render_image_with_curves(f)  # no curves yet
    assert rgb is not f and rgb.shape == (6, 8, 3)
    plot.gCurves, plot.curve_props = [np.full(8, 1.0)], [RED]
    assert plot._render_image_with_curves(f)[1, 3, 0] > 200 and not f.any()


def test_polylines_called_through_the_module(plot, monkeypatch):
    calls = []
    fake = SimpleNamespace(LINE_AA=99, polylines=lambda *a: calls.append(a))
    monkeypatch.setattr(cep, "cv2", fake)
    plot.gCurves, plot.curve_props = [np.array([1.0, 2.0, 3.0])], [{"color": (np.uint8(5), 6.9, 7)}]
    plot._render_image_with_curves(frame())
    (img, pts, closed, color, thickness, line), = calls
    assert pts[0].dtype == np.int32 and pts[0].shape == (3, 1, 2) and pts[0][:, 0].tolist() == [[0, 1], [1, 2], [2, 3]]
    assert (closed, color, thickness, line) == (False, (5, 6, 7), 1, 99) and type(color[0]) is int


@pytest.mark.parametrize("bad, error, text", [(np.nan, ValueError, "cannot convert float NaN to integer"),
                                              (np.inf, OverflowError, "cannot convert float infinity to integer"),
                                              (-np.inf, OverflowError, "cannot convert float infinity to integer")])
@pytest.mark.parametrize("kind", [np.float64, np.float32, np.float16, list])
def test_unroundable_values_raise(plot, bad, error, text, kind):
    curve = [1.0, bad, 2.0]
    plot.gCurves = [np.full(16, 3.0), curve if kind is list else np.array(curve, dtype=kind)]
    plot.curve_props = [RED, RED]
    with pytest.raises(error, match=text):
        plot._render_image_with_curves(frame())


def test_bad_colours_raise(plot):
    plot.gCurves = [np.full(16, 3.0)]
    plot.curve_props = [{}]
    with pytest.raises(KeyError):
        plot._render_image_with_curves(frame())
    plot.curve_props = [{"color": ("x", 0, 0)}]
    with pytest.raises(ValueError):
        plot._render_image_with_curves(frame())


@pytest.mark.parametrize("image, expected", [(np.full((2, 3), 0.5), 127), (np.full((2, 3), 1.7), 255),
                                             (np.full((2, 3), -0.2), 0)])
def test_current_frame_scales_and_saturates_floats(plot, image, expected):
    plot.added_items = [SimpleNamespace(image=image)]
    out = plot._get_current_frame_as_uint8()
    assert out.dtype == np.uint8 and (out == expected).all()


def test_current_frame_uint8_is_the_items_own_array(plot):
    image = frame()
    plot.added_items = [SimpleNamespace(image=image), SimpleNamespace(image=None)]
    assert plot._get_current_frame_as_uint8() is image
    for items in (None, [], [SimpleNamespace(image=None)]):
        plot.added_items = items
        assert plot._get_current_frame_as_uint8() is None
