"""curveCarry: how close a carried correction lies to the truth, what it leaves alone, bad input."""
import importlib
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

from _carry_volumes import layered_volume, seed_slip
from vantel.utils.curveCarry import carry

SPAN = (380, 700)
CARRIED = 10


def corrected(vol, layer, source, span):
    """The layer's curves with a grader's correction in `source`: the truth over the span."""
    curves = vol.curves[:, layer].copy()
    a, b = span
    curves[source, a:b] = vol.truth[source, layer, a:b]
    return curves


def errors(results, vol, layer, targets, span):
    a, b = span
    return np.array([np.mean(np.abs(r[a:b] - vol.truth[t, layer, a:b])) for r, t in zip(results, targets)])


@pytest.mark.parametrize("layer, onto, span, volume, backwards", [
    pytest.param(2, 3, SPAN, {}, False, id="slip onto the close neighbour below"),
    # two edges of one polarity eight rows apart, the band reaching from one to the other
    pytest.param(3, 2, SPAN, {}, True, id="slip onto the close neighbour above, carried backwards"),
    pytest.param(1, 0, SPAN, {"motion": 3.0}, False, id="layer moving up to 4 rows a frame"),
    pytest.param(2, 3, SPAN, {"contrast": 0.35}, False, id="faint edges"),
    pytest.param(4, 5, SPAN, {"shadow": (480, 560)}, False, id="shadow over a quarter of the span"),
    pytest.param(4, 3, (0, 300), {}, False, id="span at the left border"),
    pytest.param(1, 2, (800, 1024), {}, True, id="span at the right border"),
    # a weak edge ten rows above a strong one of the other polarity, which a wide profile follows
    pytest.param(5, 6, SPAN, {}, False, id="weak edge beside a strong one"),
])
def test_a_correction_carried_through_a_slip_stays_on_the_layer(layer, onto, span, volume, backwards):
    n = CARRIED + 1
    frames = list(range(n))
    source, targets = (frames[-1], frames[-2::-1]) if backwards else (0, frames[1:])
    vol = seed_slip(layered_volume(frames=n, seed=layer, **volume), layer, frames, *span, onto)
    curves = corrected(vol, layer, source, span)
    before = errors([curves[t] for t in targets], vol, layer, targets, span)
    after = errors(carry(vol.frames, curves, source, targets, *span), vol, layer, targets, span)
    assert before.min() >= 5, f"the seeded slip is too small to show anything: {before}"
    assert after.mean() <= 1.0, f"carried frames are off by {np.round(after, 2)} rows"
    assert after.max() <= 1.6, f"one carried frame went astray: {np.round(after, 2)}"


def test_frames_that_were_right_stay_right_and_the_rest_is_untouched():
    layer, (a, b) = 2, SPAN
    vol = seed_slip(layered_volume(frames=CARRIED + 1, seed=3), layer, [0], a, b, 3)   # only the source slipped
    curves = corrected(vol, layer, 0, SPAN)
    curves[1:] = np.round(curves[1:])                                   # a segmentation's whole rows
    curves[2, a - 1] = curves[4, b] = np.nan                            # unknown just outside the span
    curves[2, :40] = np.nan
    kept = curves.copy(), vol.frames.copy()
    targets = list(range(1, CARRIED + 1))
    results = carry(vol.frames, curves, 0, targets, a, b)
    assert np.array_equal(curves, kept[0], equal_nan=True) and np.array_equal(vol.frames, kept[1])
    for t, r in zip(targets, results):
        assert r.dtype == np.float64 and r is not curves[t] and r.base is None
        outside = np.r_[0:a, b:r.size]
        assert np.array_equal(r[outside], curves[t, outside], equal_nan=True), "columns outside the span changed"
        err = np.abs(r[a:b] - vol.truth[t, layer, a:b]).mean()
        assert err <= 0.6, f"frame {t} was right and is now off by {err:.2f}"
        steps = np.abs(np.diff(r[a - 1:b + 1]))
        assert np.nanmax(steps) <= 2, "the carried stretch or its joins have a step"


def test_nan_at_the_ends_of_the_source_span_is_bridged():
    layer, (a, b) = 2, SPAN
    vol = seed_slip(layered_volume(frames=4, seed=5), layer, range(4), a, b, 3)
    curves = corrected(vol, layer, 0, SPAN)
    curves[0, a:a + 30] = curves[0, b - 25:b] = np.nan
    curves[1:, a - 1] = np.nan
    after = errors(carry(vol.frames, curves, 0, [1, 2, 3], a, b), vol, layer, [1, 2, 3], SPAN)
    assert after.mean() <= 1.0 and after.max() <= 1.6, after


def _same_pixels(frames):
    """The same volume in other element types and memory layouts, all read to the same values."""
    f64 = frames.astype(np.float64)
    fortran = np.asfortranarray(frames)
    read_only = frames.copy()
    read_only.flags.writeable = False
    return [
        pytest.param(frames.astype(np.float32), id="float32"),
        pytest.param(f64, id="float64"),
        pytest.param(frames.astype(np.int16), id="int16"),
        pytest.param(frames.astype(">u2"), id="big-endian uint16, read through a conversion"),
        pytest.param(frames.astype(np.float16), id="float16, read through a conversion"),
        pytest.param(fortran, id="column-major"),
        pytest.param(np.swapaxes(np.swapaxes(frames, 1, 2).copy(), 1, 2), id="rows and columns swapped in memory"),
        pytest.param(read_only, id="read-only"),
        pytest.param(np.repeat(frames, 2, axis=0)[::2], id="every other frame of a larger volume"),
    ]


_VOL = layered_volume(frames=4, height=160, width=300, seed=9)
seed_slip(_VOL, 2, range(4), 100, 220, 3)


@pytest.mark.parametrize("frames", _same_pixels(_VOL.frames))
def test_any_real_dtype_and_layout_gives_the_same_carry(frames):
    curves = corrected(_VOL, 2, 0, (100, 220)).astype(np.float32)
    expected = carry(_VOL.frames, curves.astype(np.float64), 0, [1, 2, 3], 100, 220)
    got = carry(frames, curves, 0, [1, 2, 3], 100, 220)
    for e, g in zip(expected, got):
        assert np.array_equal(e, g)


def _bad(**change):
    args = dict(frames=np.zeros((5, 40, 60), np.uint8), curves=np.full((5, 60), 20.0), source=0,
                targets=[1, 2], start=10, stop=30, band=8)
    args.update(change)
    return args


@pytest.mark.parametrize("args, error, words", [
    pytest.param(_bad(frames=np.zeros((40, 60))), ValueError, "frames", id="a single frame"),
    pytest.param(_bad(curves=np.zeros(60)), ValueError, "curves", id="one curve, not one per frame"),
    pytest.param(_bad(curves=np.zeros((4, 60))), ValueError, "curves has shape", id="fewer curves than frames"),
    pytest.param(_bad(curves=np.zeros((5, 61))), ValueError, "curves has shape", id="curves wider than frames"),
    pytest.param(_bad(frames=np.zeros((5, 40, 60), complex)), TypeError, "frames", id="complex frames"),
    pytest.param(_bad(curves=np.full((5, 60), "a")), TypeError, "curves", id="curves of text"),
    pytest.param(_bad(source=5), IndexError, "source", id="source past the last frame"),
    pytest.param(_bad(source=-1), IndexError, "source", id="negative source"),
    pytest.param(_bad(source=1.0), TypeError, "source", id="source not an integer"),
    pytest.param(_bad(targets=[1, 7]), IndexError, "targets[1]", id="a target past the last frame"),
    pytest.param(_bad(targets=3), TypeError, "targets", id="targets not a sequence"),
    pytest.param(_bad(targets=[1, None]), TypeError, "targets[1]", id="a target not an integer"),
    pytest.param(_bad(start=-1), IndexError, "start", id="start before the first column"),
    pytest.param(_bad(stop=61), IndexError, "stop", id="stop past the last column"),
    pytest.param(_bad(start=30, stop=30), ValueError, "start", id="empty span"),
    pytest.param(_bad(start=31, stop=30), ValueError, "start", id="reversed span"),
    pytest.param(_bad(band=0), ValueError, "band", id="band of zero"),
    pytest.param(_bad(band="8"), TypeError, "band", id="band not an integer"),
    pytest.param(_bad(curves=np.where(np.arange(60) < 30, np.nan, 1.0) * np.ones((5, 1))), ValueError,
                 "no value", id="source curve without a value in the span"),
])
def test_bad_input_is_refused_with_the_argument_named(args, error, words):
    with pytest.raises(error) as info:
        carry(**args)
    assert words in str(info.value)


@pytest.mark.parametrize("args, check", [
    pytest.param(_bad(targets=[]), lambda r: r == [], id="no targets"),
    pytest.param(_bad(band=10**9), lambda r: len(r) == 2, id="a band beyond the image"),
    pytest.param(_bad(curves=np.full((5, 60), 1e300)), lambda r: np.all(r[0][10:30] <= 39), id="curve far below"),
    pytest.param(_bad(frames=np.zeros((5, 1, 60)), curves=np.zeros((5, 60))), lambda r: np.all(r[1][10:30] == 0),
                 id="frames of one row"),
    pytest.param(_bad(frames=np.zeros((5, 40, 60), bool)), lambda r: len(r) == 2, id="boolean frames"),
])
def test_edge_values_are_carried_without_fault(args, check):
    assert check(carry(**args))


def test_stub_passes_stubtest(tmp_path):
    name = "vantel.utils.curveCarry"
    pkg = pathlib.Path(importlib.import_module(name).__file__).parent
    assert (pkg / "curveCarry.pyi").is_file()
    env = dict(os.environ, MYPY_CACHE_DIR=str(tmp_path / "cache"))
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", name], capture_output=True, text=True, env=env,
                            timeout=600, cwd=tmp_path if pkg.parents[1].name == "site-packages" else pkg.parents[1])
    assert result.returncode == 0, result.stdout + result.stderr


def test_agrees_with_the_plain_transcription_the_benchmark_times():
    sys.path.insert(0, str(pathlib.Path(__file__).parents[1] / "bench"))
    from bench_carry import carry_numpy
    vol = seed_slip(layered_volume(frames=5, height=200, width=400, seed=21), 3, range(5), 60, 330, 2)
    curves = corrected(vol, 3, 4, (60, 330))
    curves[1, 59] = np.nan
    for band in (3, 8):
        ours = carry(vol.frames, curves, 4, [3, 2, 1, 0], 60, 330, band=band)
        theirs = carry_numpy(vol.frames, curves, 4, [3, 2, 1, 0], 60, 330, band=band)
        for o, t in zip(ours, theirs):
            # the same steps, summed in another order
            np.testing.assert_allclose(o, t, rtol=0, atol=1e-9, equal_nan=True)
