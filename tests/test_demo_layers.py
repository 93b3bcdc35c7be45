"""Which columns of an edited layer are saved: the rule the window applies to the plot's reports."""
import numpy as np
import pytest

from vantel_curve_demo.layers import LayeredVolume


def volume():
    layer = np.full((2, 60), 20.0)
    layer[1, 40:50] = np.nan      # a stretch the file has no value for
    return LayeredVolume((2, 50, 60), {"A": layer})


@pytest.mark.parametrize("changed, report, stroke, whole_curve, saved", [
    pytest.param((10, 20), (10, 20), False, False, (10, 20), id="a drag's span is saved as reported"),
    pytest.param((10, 21), (10, 20), True, False, (10, 21), id="a stroke's report names its last column too"),
    pytest.param((30, 41), (0, 59), True, True, (30, 41), id="a whole-curve report narrowed to what changed"),
    pytest.param((12, 16), (10, 20), False, False, (12, 16), id="reported columns that kept their value stay as read"),
    pytest.param((38, 52), (38, 52), False, False, (38, 52), id="a gap drawn over"),
    pytest.param((55, 60), (55, 70), False, False, (55, 60), id="a report past the last column is cut there"),
])
def test_the_saved_columns_are_the_reported_ones_that_changed(changed, report, stroke, whole_curve, saved):
    vol = volume()
    before = vol.curves[0][1].copy()
    vol.curves[0][1][slice(*changed)] += 3.0
    span = vol.record_edit(0, 1, *report, stroke=stroke, whole_curve=whole_curve, before=before)
    assert np.flatnonzero(vol.edited[0][1]).tolist() == list(range(*saved))
    assert span[0] <= saved[0] and saved[1] <= span[1] <= vol.width
    assert not vol.edited[0][0].any() and vol.modified
    corrected = vol.corrected("A")[1]
    outside = np.ones(vol.width, bool)
    outside[slice(*saved)] = False
    assert corrected[outside].tobytes() == vol.layers_read["A"][1][outside].tobytes()  # NaN included


def test_a_whole_curve_report_of_an_unchanged_curve_marks_nothing():
    vol = volume()
    assert vol.record_edit(0, 1, 0, 59, stroke=True, whole_curve=True, before=vol.curves[0][1].copy()) is None
    assert not vol.edited[0].any() and not vol.modified
