"""Control points derived from the curves, against a plain NumPy transcription."""
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from hypothesis.extra import numpy as hnp

def reference(curves, t_p=0.2):
    ctrl_points = []
    t = t_p * len(curves[0])
    for curve in curves:
        dy = np.diff(curve)
        inflection_points = np.insert(np.where(np.sign(dy))[0], 0, 0)
        control_points = np.append([inflection_points[0]], inflection_points[1:-1])
        for _ in range(10):
            kept = [control_points[0]]
            for i in range(1, len(control_points) - 1):
                if t < control_points[i] - kept[-1]:
                    kept.append(control_points[i])
                    continue
                d = curve[control_points[i + 1]] - curve[kept[-1]]
                d1 = curve[control_points[i]] - curve[kept[-1]]
                d2 = curve[control_points[i + 1]] - curve[control_points[i]]
                if np.abs(d1) < 2.5 and np.abs(d2) < 2.5 and np.abs(d) < 4.5:
                    continue
                g = d / (control_points[i + 1] - kept[-1] + 0.0001)
                g1 = d1 / (control_points[i] - kept[-1] + 0.0001)
                g2 = d2 / (control_points[i + 1] - control_points[i] + 0.0001)
                if np.abs(g - g1) < 0.15 and np.abs(g - g2) < 0.15:
                    continue
                kept.append(control_points[i])
            kept.append(control_points[-1])
            if len(kept) == len(control_points):
                break
            control_points = kept.copy()
        control_points = np.append(control_points, len(curve) - 1)
        ctrl_points.append([control_points, curve[control_points]])
    return ctrl_points


@pytest.fixture
def plot(make_plot):
    return make_plot()


def generate(plot, curves, t_p=None):
    plot.gCurves = curves
    return plot._generate_control_points() if t_p is None else plot._generate_control_points(t_p)


def assert_same_as_reference(plot, curves, t_p=0.2):
    with np.errstate(all="ignore"):
        try:
            expected = reference(curves, t_p)
        except Exception as exc:  # the module must fail the same way
            with pytest.raises(type(exc)):
                generate(plot, curves, t_p)
            return
    got = generate(plot, curves, t_p)
    assert isinstance(got, list) and len(got) == len(expected)
    for entry, (xs, ys) in zip(got, expected):
        assert isinstance(entry, list) and len(entry) == 2
        assert entry[0].dtype == np.int64 and entry[1].dtype == ys.dtype
        np.testing.assert_array_equal(entry[0], xs)
        np.testing.assert_array_equal(entry[1], ys)


def random_curve(rng, kind, n, dtype):
    x = np.arange(n)
    if kind == "layer":
        y = 200 + 30 * np.sin(x / rng.uniform(5, 60)) + rng.normal(0, rng.uniform(0, 2), n)
    elif kind == "steps":
        y = np.repeat(rng.integers(0, 400, size=n // 7 + 1), 7)[:n].astype(float)
    elif kind == "plateaus":
        y = np.round(100 + 20 * np.sin(x / 25) + 5 * np.sin(x / 3))
    elif kind == "ramps":
        y = np.cumsum(rng.choice([0, 0, 0.1, 1, 3], size=n))
    else:
        y = rng.uniform(-1e3, 1e3, n)
    if np.issubdtype(dtype, np.integer):
        info = np.iinfo(dtype)
        y = np.clip(np.round(y), info.min, info.max)
    return y.astype(dtype)


KINDS = ["layer", "steps", "plateaus", "ramps", "noise"]


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64, np.int32, np.int16, np.int8, np.uint8, np.uint16, np.uint64])
def test_random_curves_match_numpy(plot, dtype):
    rng = np.random.default_rng(abs(hash(np.dtype(dtype).str)) % 2**32)
    for round_ in range(40):
        n = int(rng.integers(1, 260))
        curves = [random_curve(rng, KINDS[(round_ + k) % len(KINDS)], n, dtype) for k in range(3)]
        assert_same_as_reference(plot, curves, t_p=[0.2, 0.05, 0.0, 1.0][round_ % 4])


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.sampled_from([np.float64, np.float32, np.int64, np.int8]).flatmap(
    lambda dt: hnp.arrays(dt, st.integers(1, 60), elements=hnp.from_dtype(np.dtype(dt), allow_nan=True)
                          if np.dtype(dt).kind == "f" else hnp.from_dtype(np.dtype(dt)))),
       st.sampled_from([0.2, 0.1, 0.0]))
def test_arbitrary_values_match_numpy(plot, curve, t_p):
    # Wrapping integer differences, NaN and infinities all follow NumPy scalar rules.
    assert_same_as_reference(plot, [curve], t_p)


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(hnp.arrays(np.float64, st.integers(2, 80), elements=st.integers(0, 6).map(float)))
def test_small_steps_near_the_thresholds_match_numpy(plot, curve):
    assert_same_as_reference(plot, [curve, curve[::-1].copy(), curve.astype(np.float32)])


def test_worked_example(plot):
    curve = np.array([0, 0, 3, 6, 9, 12, 15, 15, 15, 15, 15, 20, 25, 30, 30, 30, 30, 30, 30, 30], float)
    [[xs, ys]] = generate(plot, [curve])
    assert xs.tolist() == [0, 1, 5, 10, 11, 19] and ys.tolist() == [0, 0, 12, 15, 20, 30]


@pytest.mark.parametrize("curve, xs", [
    (np.full(9, 4.0), [0, 0, 8]),
    (np.r_[np.full(10, 10), np.full(10, 20)], [0, 0, 19]),        # a single step is no control point
    (np.array([5.0]), [0, 0, 0]),
    (np.array([0.0, 10, 10, 10, 30, 30]), [0, 0, 5]),              # change right at column 0 kept twice
])
def test_repeated_first_column(plot, curve, xs):
    [[got_xs, got_ys]] = generate(plot, [curve])
    assert got_xs.tolist() == xs
    np.testing.assert_array_equal(got_ys, curve[xs])


def test_threshold_from_first_curve_only(plot):
    # Small steps 15 columns apart: all kept when t is 4 (from 20 columns), thinned when t is 40.
    stairs = (np.arange(200) // 15).astype(float)
    alone = generate(plot, [stairs])[0][0]
    behind_short = generate(plot, [np.zeros(20), stairs])[1][0]
    assert len(behind_short) > len(alone)
    assert behind_short.tolist() == reference([np.zeros(20), stairs])[1][0].tolist()


@pytest.mark.parametrize("make_curves", [
    lambda: [np.arange(40.0)[::3], np.arange(90.0)[::-2] ** 1.2],        # strided, reversed
    lambda: [np.frombuffer((np.arange(40.0) ** 1.4).tobytes())],         # read-only
    lambda: [np.arange(40.0).astype(">f8")],                             # big-endian
    lambda: [np.arange(40.0).astype(np.float16)],
    lambda: [np.arange(40).astype(np.uint64) * 2],
    lambda: [(np.arange(40) % 3).astype(bool)],
    lambda: [np.arange(40).astype(object)],
    lambda: [np.ma.masked_array(np.arange(40.0) * 3, mask=np.arange(40) % 5 == 0)],
    lambda: [np.arange(40.0) * 3, [1.0, 5.0, 9.0]],                      # a list curve
    lambda: np.stack([np.arange(40.0), np.arange(40.0) ** 1.5]),        # rows of a 2-D array
    lambda: [np.zeros((4, 5))],
    lambda: [np.float64(3.0)],
    lambda: [None],
])
def test_other_containers_behave_like_numpy(plot, make_curves):
    assert_same_as_reference(plot, make_curves())


@pytest.mark.parametrize("t_p", [np.float32(0.3), Fraction(1, 5), 1, True, float("nan"), float("inf"), -0.5])
def test_threshold_types_behave_like_python(plot, t_p):
    rng = np.random.default_rng(7)
    assert_same_as_reference(plot, [random_curve(rng, "layer", 120, np.float64)], t_p)


@pytest.mark.parametrize("curves, error", [([], IndexError), ([np.array([])], IndexError), (None, TypeError)])
def test_failures(plot, curves, error):
    with pytest.raises(error):
        generate(plot, curves)
