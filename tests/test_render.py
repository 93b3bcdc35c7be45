"""The current frame as 8-bit data and frames rendered with the curves burnt in."""
from types import SimpleNamespace

import numpy as np
import pytest

from _burn_reference import render as reference_render

RED = {"color": (255, 0, 0)}
FRAME = np.zeros((12, 16), np.uint8)


@pytest.fixture
def plot(make_plot):
    return make_plot()


# Curves shorter and longer than the width, values clipped at both edges, ties rounded to even, alpha and float
# colours, hidden curves (falsy flags), single-point and empty curves, and a curve with no properties.
@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64, np.int16, np.uint8, np.uint64, np.float16,
                                   "list", ">f8"])
def test_pixels_match_the_plain_transcription(plot, dtype):
    rng = np.random.default_rng(7)
    f = rng.integers(0, 256, (40, 50, 3) if dtype == "list" else (40, 50), dtype=np.uint8)
    before, curves = f.copy(), []
    for n in (50, 30, 70, 2, 1, 0, 50, 40):
        y = rng.uniform(-10, 50, n).round(1)
        y[::7] = np.floor(y[::7]) + 0.5
        curves.append(y.tolist() if dtype == "list" else (abs(y) if np.dtype(dtype).kind == "u" else y).astype(dtype))
    props = [RED, {"color": (0, 200, 40, 9), "is_visible": 1}, {"color": [3.7, 250, 9]}, {"color": (9, 9, 255)},
             RED, RED, {"color": (0, 0, 255), "is_visible": False}, {"color": (0, 255, 0), "is_visible": ""}]
    plot.gCurves, plot.curve_props = curves + [np.full(50, 20.0)], props
    np.testing.assert_array_equal(plot._render_image_with_curves(f), reference_render(f, curves, props))
    np.testing.assert_array_equal(f, before)


# Written out by hand, not transcribed: where short and long curves end, clipping at the edge rows, ties to even.
def test_curve_lengths_and_edges(plot):
    plot.gCurves, plot.curve_props = [np.full(5, 3.0), np.full(40, 8.0)], [RED, {"color": (0, 0, 255)}]
    rgb = plot._render_image_with_curves(FRAME)
    assert (rgb[3, :5, 0] > 100).all() and not rgb[:, 6:, 0].any()  # short: columns 0..4, anti-aliasing spills one
    assert (rgb[..., 2] > 0).any(axis=0).all()  # long: cut at the last column
    for curve, rows in (([500.0] * 16, [11] * 16), ([-80.0] * 16, [0] * 16), ([2.5, 2.5, 3.5, 3.5], [2, 2, 4, 4])):
        plot.gCurves = [np.array(curve)]
        assert plot._render_image_with_curves(FRAME)[..., 0].argmax(axis=0)[:len(rows)].tolist() == rows


@pytest.mark.parametrize("kind", [np.float64, np.float32, np.float16, list])
@pytest.mark.parametrize("curve, props, error, text", [
    ([1.0, np.nan, 2.0], RED, ValueError, "cannot convert float NaN to integer"),
    *[([1.0, v, 2.0], RED, OverflowError, "cannot convert float infinity to integer") for v in (np.inf, -np.inf)],
    ([1.0, 2.0], {}, KeyError, None), ([1.0, 2.0], {"color": ("x", 0, 0)}, ValueError, None)])
def test_failures(plot, kind, curve, props, error, text):
    plot.gCurves = [np.full(16, 3.0), curve if kind is list else np.array(curve, dtype=kind)]
    plot.curve_props = [RED, props]
    with pytest.raises(error, match=text):
        plot._render_image_with_curves(FRAME)


@pytest.mark.parametrize("image, expected", [(np.full((2, 3), 0.5), 127), (np.full((2, 3), 1.7), 255),
                                             (np.full((2, 3), -0.2), 0), (FRAME, FRAME), (None, None)])
def test_current_frame_as_uint8(plot, image, expected):
    plot.added_items = [SimpleNamespace(image=image), SimpleNamespace(image=None)]
    out = plot._get_current_frame_as_uint8()
    assert out is expected if not isinstance(expected, int) else out.dtype == np.uint8 and (out == expected).all()
