"""Control points derived from the curves, against a plain NumPy transcription."""
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from hypothesis.extra import numpy as hnp


def reference(curves, t_p=0.2):
    t = t_p * len(curves[0])
    for curve in curves:
        points = np.append(0, np.where(np.sign(np.diff(curve)))[0][:-1])
        for _ in range(10):
            kept = [points[0]]
            for b, c in zip(points[1:-1], points[2:]):
                a = kept[-1]
                if not t < b - a:  # near points are dropped when the steps are small or the slope even
                    d, d1, d2 = curve[c] - curve[a], curve[b] - curve[a], curve[c] - curve[b]
                    if np.abs(d1) < 2.5 and np.abs(d2) < 2.5 and np.abs(d) < 4.5:
                        continue
                    g, g1, g2 = d / (c - a + 0.0001), d1 / (b - a + 0.0001), d2 / (c - b + 0.0001)
                    if np.abs(g - g1) < 0.15 and np.abs(g - g2) < 0.15:
                        continue
                kept.append(b)
            kept.append(points[-1])
            if len(kept) == len(points):
                break
            points = kept
        points = np.append(points, len(curve) - 1)
        yield [points, curve[points]]


@pytest.fixture
def plot(make_plot):
    return make_plot()


def check(plot, curves, t_p=0.2):
    plot.gCurves = curves
    with np.errstate(all="ignore"):
        try:
            expected = list(reference(curves, t_p))
        except Exception as exc:  # the module must fail the same way
            return pytest.raises(type(exc), plot._generate_control_points, t_p)
        got = plot._generate_control_points(t_p)
    assert type(got) is list and [(type(e), e[0].dtype) for e in got] == [(list, np.dtype(np.int64))] * len(expected)
    assert [e[1].dtype for e in got] == [w[1].dtype for w in expected]
    np.testing.assert_equal(got, expected)
    return got


# Reversed views, big-endian, read-only buffers and plain lists take the same path as native arrays.
LAYOUTS = [lambda a: a, lambda a: a[::-1], lambda a: a.astype(a.dtype.newbyteorder(">")),
           lambda a: np.frombuffer(a.tobytes(), a.dtype), np.ndarray.tolist]


def curves_of(dtype):
    small = hnp.arrays(dtype, st.integers(2, 80), elements=st.integers(0, 6))  # steps near the thresholds
    arrays = small | small.map(lambda a: np.cumsum(a).astype(dtype)) | hnp.arrays(dtype, st.integers(1, 60))
    return st.lists(st.builds(lambda a, layout: layout(a), arrays, st.sampled_from(LAYOUTS)), min_size=1, max_size=3)


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.sampled_from("f8 f4 f2 i8 i4 i2 i1 u1 u8".split()).flatmap(curves_of),
       st.sampled_from([0.2, 0.05, 0.0, 1.0, np.float32(0.3), Fraction(1, 5), True, float("nan"), -0.5]))
def test_arbitrary_curves_match_numpy(plot, curves, t_p):
    # Wrapping integer differences, NaN and infinities all follow NumPy scalar rules.
    check(plot, curves, t_p)


WORKED = [([0, 0, 3, 6, 9, 12, 15, 15, 15, 15, 15, 20, 25, 30, 30, 30, 30, 30, 30, 30], [0, 1, 5, 10, 11, 19]),
          ([4] * 9, [0, 0, 8]), ([5], [0, 0, 0]), ([10] * 10 + [20] * 10, [0, 0, 19]),  # a single step is no point
          ([0, 10, 10, 10, 30, 30], [0, 0, 5]),  # a change right at column 0 is kept twice
          ([0, 0, 0, -1, 0, 2, 4, 5, 6, 7, 7], [0, 3, 7, 10]),  # the second pass drops more
          # y changes of exactly 2.5 and 4.5 are real changes: each curve meets one limit exactly
          ([10, 10, 7.5, 5, 5, 2.5, 0, 2.5, 2.5, 0], [0, 1, 2, 4, 6, 9]),
          ([10, 7.5, 8.5, 11, 8.5, 11, 10, 10, 7.5, 8.5], [0, 0, 1, 2, 3, 4, 5, 7, 9]),
          ([10, 12.25, 12.25, 14.5, 16.75, 16.75, 19, 21.25, 21.25, 23.5], [0, 2, 3, 5, 6, 9])]
OTHER = [[np.zeros(20), (np.arange(200) // 15).astype(float)],  # the threshold comes from the first curve only
         np.stack([np.arange(40.0), np.arange(40.0) ** 1.5]), [np.arange(40).astype(object), (np.arange(40) % 3) > 0],
         [np.ma.masked_array(np.arange(40.0) * 3, mask=np.arange(40) % 5 == 0)], [], [np.array([])], None,
         [np.zeros((4, 5))], [np.float64(3.0)], [None]]


@pytest.mark.parametrize("curves, xs", [([np.array(c, float)], xs) for c, xs in WORKED] + [(c, None) for c in OTHER])
def test_worked_examples_and_other_inputs(plot, curves, xs):
    got = check(plot, curves)
    assert xs is None or got[0][0].tolist() == xs
