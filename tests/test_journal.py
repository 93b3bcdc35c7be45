"""The edit journal as a file: torn and damaged journals, the lock, and the recovery command on a scan."""
import os
import subprocess
import sys

import numpy as np
import pytest

from vantel_curve_demo import journal as jn
from vantel_curve_demo.scans import ScanVolume

F, W = 4, 32
NAMES = ["ILM", "RPE"]


def layers_read():
    x = np.arange(W, dtype=np.float64)
    ilm, rpe = np.stack([10 + np.sin(x / 5 + f) for f in range(F)]), np.stack([20 + np.cos(x / 7 + f) for f in range(F)])
    ilm[:, 5:9], rpe[2] = np.nan, np.nan
    return {"ILM": ilm, "RPE": rpe}


def volume(path="/data/scan.npy"):
    return ScanVolume(np.zeros((F, 30, W), np.uint8), layers_read(), None, path, "NumPy volume")


MASK = np.array([1, 1, 0, 1, 1, 1, 1, 0, 1], bool)
CORRECTIONS = [   # every form a record takes: a run of columns, listed columns, marks given or not
    jn.Correction(1.0, "edit", [jn.Edit(0, 1, slice(3, 12), np.linspace(5, 15, 9), MASK)]),
    jn.Correction(2.0, "undo", [jn.Edit(1, 2, slice(0, W), np.full(W, 18.0), np.zeros(W, bool)),
                                jn.Edit(0, 2, slice(0, 1), np.array([7.5]), np.array([True]))]),
    jn.Correction(3.0, "carry", [jn.Edit(1, 3, np.array([30, 2, 17]), np.array([1.0, 2.0, 3.0]))]),
]


def records():
    return (jn.encode_header({"version": jn.VERSION, "layers": NAMES}, when=0.5),
            [jn.encode_correction(c.edits, c.cause, c.time) for c in CORRECTIONS])


def _flip(record, at):
    return record[:at] + bytes([record[at] ^ 0xFF]) + record[at + 1:]


@pytest.mark.parametrize("damage, kept, skipped, torn", [
    pytest.param(lambda h, r: h + r[0] + r[1] + r[2][:1], [1, 2], 0, True, id="torn in the sync word"),
    pytest.param(lambda h, r: h + r[0] + r[1] + r[2][:12], [1, 2], 0, True, id="torn after the frame"),
    pytest.param(lambda h, r: h + r[0] + r[1] + r[2][:-1], [1, 2], 0, True, id="torn one byte short"),
    pytest.param(lambda h, r: h + r[0] + _flip(r[1], 40) + r[2], [1, 3], 1, False, id="payload bit rot"),
    pytest.param(lambda h, r: h + r[0] + _flip(r[1], 5) + r[2], [1, 3], 1, False, id="length hit"),
    pytest.param(lambda h, r: h + r[0] + r[1][:25] + r[1][:25] + r[2], [1, 3], 2, False, id="two torn writes"),
    pytest.param(lambda h, r: h + r[0] + os.urandom(300).replace(jn.SYNC, b"") + r[1] + r[2], [1, 2, 3], 1, False,
                 id="garbage between records"),
    pytest.param(lambda h, r: _flip(h, 20) + b"".join(r), [1, 2, 3], 1, False, id="header lost"),
])
def test_a_damaged_journal_gives_every_record_that_can_be_read(damage, kept, skipped, torn):
    got = jn.parse(damage(*records()))
    assert [c.time for c in got.corrections] == kept
    assert (got.skipped, got.torn) == (skipped, torn)


def test_parse_never_raises_on_random_damage():
    rng = np.random.default_rng(0)
    head, recs = records()
    whole = bytearray(head + b"".join(recs))
    for _ in range(300):
        data = whole.copy()
        for at in rng.integers(0, len(data), rng.integers(1, 6)):
            data[at] = rng.integers(0, 256)
        assert len(jn.parse(bytes(data[:rng.integers(0, len(data) + 1)])).corrections) <= 3


@pytest.mark.parametrize("edit", [
    pytest.param(jn.Edit(2, 0, slice(0, 2), np.ones(2)), id="no such layer"),
    pytest.param(jn.Edit(0, F, slice(0, 2), np.ones(2)), id="no such frame"),
    pytest.param(jn.Edit(0, 0, slice(W - 1, W + 1), np.ones(2)), id="past the last column"),
    pytest.param(jn.Edit(0, 0, np.array([-1]), np.ones(1)), id="negative column"),
    pytest.param(jn.Edit(0, 0, slice(0, 2), np.array([1.0, np.nan])), id="NaN value"),
])
def test_an_edit_that_does_not_fit_changes_nothing(edit):
    v = volume()
    assert jn.replay(v, [jn.Correction(0, "edit", [edit])]) == (0, 1)
    assert all(np.array_equal(w, i) for w, i in zip(v.work, v.initial)) and not v.modified


def test_one_window_holds_a_journal_and_appends_after_what_it_kept(tmp_path):
    v = volume(tmp_path / "scan.npy")
    j = jn.Journal.for_volume(v, tmp_path)
    with pytest.raises(jn.JournalBusy):
        jn.Journal.for_volume(v, tmp_path)                  # a second window, even of this process
    with pytest.raises(jn.JournalError):
        j.append(CORRECTIONS[0].edits)                      # not before the found records are decided
    j.discard()
    j.append(CORRECTIONS[0].edits)
    j.record(1, 2, (3, 5), [1.0, 2.0])
    with pytest.raises(ValueError):
        j.record(1, 2, slice(0, 4, 2), [1.0, 2.0])
    j.close()
    path = jn.journal_path(v.path, tmp_path)
    with open(path, "ab") as fh:                            # the writer died inside the next record
        fh.write(jn.encode_correction(CORRECTIONS[1].edits)[:100])
    j = jn.Journal.for_volume(v, tmp_path)
    assert len(j.found.corrections) == 2 and j.found.torn
    j.resume()                                              # cuts the torn tail before appending
    j.record(0, 0, np.array([4, 1]), [3.0, 4.0], cause="restore")
    j.close()
    got = jn.read_journal(path)
    assert [c.cause for c in got.corrections] == ["edit", "carry", "restore"] and not (got.skipped or got.torn)
    j = jn.Journal.for_volume(v, tmp_path)
    j.discard()
    j.close()
    assert not path.exists()                                # nothing to recover, no journal left


def test_recover_command(tmp_path):
    scan, layers, out = tmp_path / "scan.npy", tmp_path / "layers.npz", tmp_path / "out.npz"
    np.save(scan, np.zeros((F, 30, W), np.uint8))
    np.savez(layers, **layers_read())
    folder = tmp_path / "journals"
    env = dict(os.environ, VANTEL_RECOVERY_DIR=str(folder), PYTHONPATH=os.pathsep.join(map(os.path.abspath, sys.path)))

    def recover(*args):
        return subprocess.run([sys.executable, "-m", "vantel_curve_demo", *map(str, args)], capture_output=True,
                              text=True, env=env, timeout=300)

    r = recover(scan, "--layers", layers, "--recover", out)
    assert (r.returncode, r.stdout.strip()) == (2, f"no unsaved corrections for {scan}") and not out.exists()
    j = jn.Journal.for_volume(volume(scan), folder)
    j.discard()
    for c in CORRECTIONS:
        j.append(c.edits, c.cause)
    j.close()
    path = jn.journal_path(scan, folder)
    with open(path, "ab") as fh:
        fh.write(jn.encode_correction(CORRECTIONS[0].edits)[:50])
    r = recover(scan, "--layers", layers, "--recover", out)
    assert r.returncode == 0 and r.stdout.splitlines()[0] == f"recovered 3 corrections from {path}", r.stderr
    assert path.exists()                                    # left for the window to decide about
    expected = layers_read()
    expected["ILM"][1, 3:12][MASK] = np.linspace(5, 15, 9)[MASK]
    expected["ILM"][2, 0] = 7.5
    expected["RPE"][3, [30, 2, 17]] = [1.0, 2.0, 3.0]       # no marks given: changed columns count
    with np.load(out) as got:
        for name in NAMES:                                  # every other column as read, NaN included
            assert got[name].tobytes() == expected[name].tobytes(), name

    np.savez(tmp_path / "other.npz", A=layers_read()["ILM"], B=layers_read()["RPE"])
    r = recover(scan, "--layers", tmp_path / "other.npz", "--recover", out)
    assert r.returncode == 2 and "does not belong" in r.stderr   # layers of another segmentation
    r = recover(scan, "--layers", layers, "--recover", tmp_path / "out.tif")
    assert r.returncode == 2 and ".eye or .npz" in r.stderr
