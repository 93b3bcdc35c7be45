"""Suspects: what a grader would fix is found, right layers stay quiet, the report command."""
import csv
import sys
from pathlib import Path

import numpy as np
import pytest

try:
    import vantel_curve_demo  # noqa: F401
except ImportError:          # development build: the package is still in the source tree
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))

from vantel_curve_demo import app, review  # noqa: E402

from review_volumes import clean_layers, figures, seeded_layers  # noqa: E402


@pytest.mark.parametrize("realism", [
    pytest.param({}, id="smooth layers"),
    pytest.param(dict(jitter=0.7, motion=1.5), id="jittery layers, an eye that moves between frames"),
])
def test_finds_what_a_grader_fixes_and_leaves_right_frames_alone(realism):
    found, quiet = {}, []
    for seed in (0, 1, 2):        # 128 frames x 1024 columns x 10 layers, 30 errors each
        layers, seeded = seeded_layers(seed=seed, **realism)
        suspects = review.find_suspects(layers)
        assert [s.score for s in suspects] == sorted((s.score for s in suspects), reverse=True)
        per_kind, flagged = figures(suspects, seeded, 128)
        for kind, share in per_kind.items():
            found.setdefault(kind, []).append(share)
        quiet.append(flagged)
    found = {kind: float(np.mean(v)) for kind, v in found.items()}
    print(f"\nfound per kind {found}; error-free frames flagged {np.mean(quiet):.3f}")
    assert set(found) == {"displaced", "slip", "crossing", "spike", "gap"}
    assert min(found.values()) >= 0.9, found
    assert np.mean(quiet) <= 0.15


def _suspects_on(y, names=None):
    names = names or [f"L{k}" for k in range(len(y))]
    return review.find_suspects({n: a for n, a in zip(names, y)})


@pytest.mark.parametrize("where", [
    pytest.param(np.s_[0:70], id="from the left border"),
    pytest.param(np.s_[450:512], id="to the right border"),
])
def test_a_slip_at_the_border_is_the_short_side(where):
    y = clean_layers(24, 512, 5, seed=4)
    y[3, 12, where] -= 6
    cols = np.arange(512)[where]
    marked = np.zeros(512, bool)
    for s in _suspects_on(y):
        if (s.frame, s.layer) == (12, 3):
            marked[s.first:s.last + 1] = True
    assert marked[cols].mean() > 0.8
    outside = np.ones(512, bool)
    outside[max(0, cols[0] - 3):cols[-1] + 4] = False
    assert not marked[outside].any()


def test_quiet_where_the_layers_are_right():
    y = clean_layers(64, 512, 8, seed=5)
    y[:, 30] += 9                                # the eye moved: a whole frame shifts
    y[:, :, :40] = np.nan                        # the segmentation covers only part of the width
    y[:, 50:] = np.nan                           # and only some frames
    assert _suspects_on(y) == []


def test_crossing_reported_on_the_layer_that_crossed_whatever_the_names():
    y = clean_layers(32, 512, 6, seed=6)
    y[2, 16, 300:330] = y[3, 16, 300:330] + 3
    names = ["zeta", "alpha", "mid", "beta", "omega", "gamma"]
    shuffled = {n: y[k] for k, n in sorted(enumerate(names), key=lambda kn: kn[1])}
    found = review.find_suspects(shuffled)
    top = found[0]
    assert (list(shuffled)[top.layer], top.frame, top.kind) == ("mid", 16, "order")
    assert top.first <= 300 and top.last >= 329


@pytest.mark.parametrize("change, kind, columns", [
    pytest.param(lambda y: y.__setitem__((1, 5, slice(100, 103)), y[1, 5, 100:103] + 8), "spike", (100, 102),
                 id="spike of three columns"),
    pytest.param(lambda y: y.__setitem__((1, 5, slice(100, 140)), np.nan), "gap", (100, 139), id="gap"),
    pytest.param(lambda y: y.__setitem__((1, 5, slice(100, 140)), y[1, 5, 100:140] - 5), "jump", (100, 139),
                 id="stretch of one frame"),
])
def test_stretch_and_kind(change, kind, columns):
    y = clean_layers(16, 256, 3, seed=7)
    change(y)
    found = _suspects_on(y)
    assert [(s.frame, s.layer, s.kind) for s in found] == [(5, 1, kind)]
    assert abs(found[0].first - columns[0]) <= 2 and abs(found[0].last - columns[1]) <= 2


@pytest.mark.parametrize("layers, error", [
    pytest.param({"a": np.zeros((4, 8)), "b": np.zeros((4, 9))}, ValueError, id="shapes differ"),
    pytest.param({"a": np.zeros(8)}, ValueError, id="not frames x columns"),
    pytest.param({"a": np.full((4, 8), "x")}, TypeError, id="not numbers"),
])
def test_bad_layers(layers, error):
    with pytest.raises(error, match="layer 'a'|layer 'b'"):
        review.find_suspects(layers)


@pytest.mark.parametrize("shape", [(1, 1024), (2, 30), (5, 3), (0, 0)], ids=str)
def test_small_volumes(shape):
    y = np.full((3,) + shape, 50.0) + np.arange(3)[:, None, None] * 10
    assert review.find_suspects(list(y)) == []


# -- the report command --------------------------------------------------------------------------
@pytest.fixture(scope="module")
def scan(tmp_path_factory):
    root = tmp_path_factory.mktemp("review")
    layers, seeded = seeded_layers(frames=24, width=256, n_layers=4, height=128, seed=9, each=2)
    np.save(root / "scan.npy", np.zeros((24, 128, 256), np.uint8))
    np.savez(root / "layers.npz", **layers)
    return root, layers


def test_report_command(scan, capsys):
    root, layers = scan
    out = root / "report.csv"
    status = app.main([str(root / "scan.npy"), "--layers", str(root / "layers.npz"), "--review-report", str(out)])
    assert status == 0
    with open(out, newline="") as fh:
        rows = list(csv.reader(fh))
    assert tuple(rows[0]) == review.CSV_HEADER
    body = rows[1:]
    expected = review.find_suspects(layers)
    assert [(int(r[0]), int(r[1]), r[2], int(r[3]), int(r[4]), r[5]) for r in body] == [
        (i, s.frame, list(layers)[s.layer], s.first, s.last, s.kind) for i, s in enumerate(expected, 1)]
    counts = review.counts_by_kind(expected)
    last = capsys.readouterr().out.strip().splitlines()[-1]
    assert last == review.counts_line(expected) and all(f"{k} {n}" in last for k, n in counts.items())


@pytest.mark.parametrize("args, message", [
    pytest.param(["missing.npy"], "cannot open", id="no such scan"),
    pytest.param(["scan.npy", "--layers", "missing.npz"], "cannot open", id="no such layers file"),
    pytest.param(["scan.npy", "--layers", "layers.npz", "--review-report", "no/such/dir/r.csv"], "cannot write",
                 id="report cannot be written"),
])
def test_report_command_failures(scan, capsys, monkeypatch, args, message):
    root, _ = scan
    monkeypatch.chdir(root)
    if "--review-report" not in args:
        args = args + ["--review-report", "r.csv"]
    assert app.main(args) == 2
    err = capsys.readouterr().err
    assert err.startswith(message) and len(err.strip().splitlines()) == 1
