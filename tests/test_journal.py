"""The edit journal on its own: records read back as written, torn and damaged files, the lock, replay,
and the recovery command on a real scan file."""
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
    ilm = np.stack([10 + np.sin(x / 5 + f) for f in range(F)])
    rpe = np.stack([20 + np.cos(x / 7 + f) for f in range(F)])
    ilm[:, 5:9] = np.nan
    rpe[2] = np.nan
    return {"ILM": ilm, "RPE": rpe}


def volume(path="/data/scan.npy"):
    return ScanVolume(np.zeros((F, 30, W), np.uint8), layers_read(), None, path, "NumPy volume")


def corrections():
    rng = np.random.default_rng(3)
    return [
        jn.Correction(1.0, "edit", [jn.Edit(0, 1, slice(3, 12), rng.uniform(5, 15, 9), rng.random(9) > 0.3)]),
        jn.Correction(2.0, "undo", [jn.Edit(1, 2, slice(0, W), rng.uniform(15, 25, W), np.zeros(W, bool)),
                                    jn.Edit(0, 2, slice(0, 1), np.array([7.5]), np.array([True]))]),
        jn.Correction(3.0, "carry", [jn.Edit(1, 3, np.array([30, 2, 17]), np.array([1.0, 2.0, 3.0]))]),
    ]


def encoded(cs, header=True):
    head = jn.encode_header({"version": jn.VERSION, "layers": NAMES}, when=0.5) if header else b""
    return head, [jn.encode_correction(c.edits, c.cause, c.time) for c in cs]


def same(a, b):
    assert (a.time, a.cause, len(a.edits)) == (b.time, b.cause, len(b.edits))
    for x, y in zip(a.edits, b.edits):
        assert (x.layer, x.frame) == (y.layer, y.frame)
        np.testing.assert_array_equal(x.column_indices(), y.column_indices())
        np.testing.assert_array_equal(x.values, y.values)
        assert (x.edited is None) == (y.edited is None)
        if x.edited is not None:
            np.testing.assert_array_equal(x.edited, y.edited)


def test_records_read_back_as_written():
    head, recs = encoded(corrections())
    got = jn.parse(head + b"".join(recs))
    assert got.header["layers"] == NAMES and got.header["created"] == 0.5
    assert (got.skipped, got.torn, got.valid_end) == (0, False, len(head) + sum(map(len, recs)))
    for a, b in zip(got.corrections, corrections()):
        same(a, b)
    assert got.last_time == 3.0


@pytest.mark.parametrize("cut", [1, 3, 7, 12, 20, -9, -1], ids=lambda c: f"last record cut at {c}")
def test_torn_last_record_keeps_everything_before_it(cut):
    head, recs = encoded(corrections())
    data = head + b"".join(recs[:-1]) + recs[-1][:cut]
    got = jn.parse(data)
    assert got.torn and got.skipped == 0
    assert [c.time for c in got.corrections] == [1.0, 2.0]
    assert got.valid_end == len(head) + len(recs[0]) + len(recs[1])


def _flip(record, at):
    b = bytearray(record)
    b[at] ^= 0xFF
    return bytes(b)


@pytest.mark.parametrize("damage, kept, skipped", [
    pytest.param(lambda h, r: h + r[0] + _flip(r[1], 40) + r[2], [1.0, 3.0], 1, id="payload bit rot"),
    pytest.param(lambda h, r: h + r[0] + _flip(r[1], 0) + r[2], [1.0, 3.0], 1, id="sync word hit"),
    pytest.param(lambda h, r: h + r[0] + _flip(r[1], 5) + r[2], [1.0, 3.0], 1, id="length hit"),
    pytest.param(lambda h, r: h + r[0] + r[1][:30] + r[2], [1.0, 3.0], 1, id="record cut in the middle"),
    pytest.param(lambda h, r: h + r[0] + os.urandom(300).replace(jn.SYNC, b"") + r[1] + r[2], [1.0, 2.0, 3.0], 1,
                 id="garbage between records"),
    pytest.param(lambda h, r: _flip(h, 20) + b"".join(r), [1.0, 2.0, 3.0], 1, id="header lost"),
    pytest.param(lambda h, r: h + r[0] + r[1][:25] + r[1][:25] + r[2], [1.0, 3.0], 2, id="two torn writes"),
    pytest.param(lambda h, r: h + b"".join(r) + b"\x00" * 64, [1.0, 2.0, 3.0], 1, id="zeros at the end"),
])
def test_damage_costs_only_the_records_it_hits(damage, kept, skipped):
    head, recs = encoded(corrections())
    got = jn.parse(damage(head, recs))
    assert [c.time for c in got.corrections] == kept
    assert got.skipped == skipped and not got.torn


def test_parse_never_raises_on_random_bytes():
    rng = np.random.default_rng(0)
    head, recs = encoded(corrections())
    whole = head + b"".join(recs)
    for _ in range(300):
        data = bytearray(whole)
        for at in rng.integers(0, len(data), rng.integers(1, 6)):
            data[at] = rng.integers(0, 256)
        got = jn.parse(bytes(data[:rng.integers(0, len(data) + 1)]))
        assert len(got.corrections) <= 3


def test_replay_gives_values_and_edited_marks_exactly():
    v = volume()
    applied, rejected = jn.replay(v, corrections())
    assert (applied, rejected) == (3, 0) and v.modified
    c = corrections()
    np.testing.assert_array_equal(v.work[0][1, 3:12], c[0].edits[0].values)
    np.testing.assert_array_equal(v.edited[0][1, 3:12], c[0].edits[0].edited)
    assert not v.edited[1][2].any()                         # marks come from the record, not from a diff
    # without marks, a column counts as edited where it differs from the value read
    np.testing.assert_array_equal(v.edited[1][3, [30, 2, 17]], v.work[1][3, [30, 2, 17]] != v.initial[1][3, [30, 2, 17]])
    out = v.corrected("ILM")
    read = layers_read()["ILM"]
    untouched = ~v.edited[0]
    np.testing.assert_array_equal(out[untouched], read[untouched])   # NaN included
    assert np.isnan(out[0, 5:9]).all()


@pytest.mark.parametrize("edit", [
    pytest.param(jn.Edit(2, 0, slice(0, 2), np.ones(2)), id="no such layer"),
    pytest.param(jn.Edit(0, F, slice(0, 2), np.ones(2)), id="no such frame"),
    pytest.param(jn.Edit(0, 0, slice(W - 1, W + 1), np.ones(2)), id="past the last column"),
    pytest.param(jn.Edit(0, 0, np.array([-1]), np.ones(1)), id="negative column"),
    pytest.param(jn.Edit(0, 0, slice(0, 2), np.array([1.0, np.nan])), id="NaN value"),
])
def test_edits_that_do_not_fit_change_nothing(edit):
    v = volume()
    assert jn.replay(v, [jn.Correction(0, "edit", [edit])]) == (0, 1)
    for k in range(2):
        np.testing.assert_array_equal(v.work[k], v.initial[k])
    assert not v.modified


@pytest.mark.parametrize("change, problem", [
    pytest.param({"layers": ["ILM"]}, "layers", id="other layers"),
    pytest.param({"frames": F + 1}, "frames", id="other frame count"),
    pytest.param({"version": 99}, "version", id="other version"),
])
def test_a_journal_of_another_file_does_not_fit(change, problem):
    v = volume()
    header = jn.header_for(v)
    assert jn.misfit(header, v) is None
    assert problem in jn.misfit({**header, **change}, v)


def test_journal_names_follow_the_absolute_path(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert jn.journal_path("scan.eye", tmp_path) == jn.journal_path(tmp_path / "scan.eye", tmp_path)
    assert jn.journal_path(tmp_path / "a" / "scan.eye", tmp_path) != jn.journal_path(tmp_path / "b" / "scan.eye",
                                                                                     tmp_path)
    monkeypatch.setenv(jn.ENV_DIR, str(tmp_path / "elsewhere"))
    assert jn.journal_path("scan.eye").parent == tmp_path / "elsewhere"
    assert jn.journal_path("scan.eye").name.startswith("scan.eye-")


def test_journal_lifecycle(tmp_path):
    v = volume(tmp_path / "scan.npy")
    j = jn.Journal.for_volume(v, tmp_path)
    with pytest.raises(jn.JournalBusy):
        jn.Journal.for_volume(v, tmp_path)                  # a second window of this process
    with pytest.raises(jn.JournalError):
        j.append([jn.edit_of(v, 0, 0, 0, 4)])               # nothing before the found records are decided
    j.discard()
    j.append([jn.edit_of(v, 0, 0, 0, 4)])
    j.record(1, 2, (3, 5), [1.0, 2.0])
    j.record(1, 2, np.array([9]), [4.0], cause="restore")
    with pytest.raises(ValueError):
        j.record(1, 2, slice(0, 4, 2), [1.0, 2.0])
    j.close()
    j.close()
    # a crash in the middle of the next write: the torn tail goes before anything is appended
    path = jn.journal_path(v.path, tmp_path)
    with open(path, "ab") as fh:
        fh.write(jn.encode_correction([jn.edit_of(v, 0, 1, 0, W)])[:100])
    j = jn.Journal.for_volume(v, tmp_path)
    assert len(j.found.corrections) == 3 and j.found.torn
    j.resume()
    j.record(0, 0, (0, 1), [3.0])
    j.close()
    got = jn.read_journal(path)
    assert [c.cause for c in got.corrections] == ["edit", "carry", "restore", "carry"]
    assert (got.skipped, got.torn) == (0, False)
    # cleared and closed: no journal left behind
    j = jn.Journal.for_volume(v, tmp_path)
    j.discard()
    j.close()
    assert not path.exists()


def test_a_journal_nobody_decided_about_stays(tmp_path):
    v = volume(tmp_path / "scan.npy")
    j = jn.Journal.for_volume(v, tmp_path)
    j.discard()
    j.record(0, 0, (0, 2), [1.0, 2.0])
    j.close()
    before = jn.journal_path(v.path, tmp_path).read_bytes()
    jn.Journal.for_volume(v, tmp_path).close()              # opened, "keep for later", closed
    assert jn.journal_path(v.path, tmp_path).read_bytes() == before


def _recover(*args, env):
    return subprocess.run([sys.executable, "-m", "vantel_curve_demo", *map(str, args)], capture_output=True,
                          text=True, env=env, timeout=300)


def test_recover_command(tmp_path):
    scan, layers = tmp_path / "scan.npy", tmp_path / "layers.npz"
    np.save(scan, np.zeros((F, 30, W), np.uint8))
    np.savez(layers, **layers_read())
    env = dict(os.environ, VANTEL_RECOVERY_DIR=str(tmp_path / "journals"), QT_QPA_PLATFORM="offscreen",
               PYTHONPATH=os.pathsep.join(map(os.path.abspath, sys.path)))
    r = _recover(scan, "--layers", layers, "--recover", tmp_path / "out.npz", env=env)
    assert r.returncode == 2 and r.stdout.strip() == f"no unsaved corrections for {scan}"
    assert not (tmp_path / "out.npz").exists()

    v = volume(scan)
    j = jn.Journal.for_volume(v, tmp_path / "journals")
    j.discard()
    for c in corrections():
        j.append(c.edits, c.cause)
    j.close()
    path = jn.journal_path(scan, tmp_path / "journals")
    with open(path, "ab") as fh:                            # and a torn last record
        fh.write(jn.encode_correction([jn.edit_of(v, 0, 0, 0, W)])[:50])
    r = _recover(scan, "--layers", layers, "--recover", tmp_path / "out.npz", env=env)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[0] == f"recovered 3 corrections from {path}"
    expected = volume(scan)
    jn.replay(expected, corrections())
    with np.load(tmp_path / "out.npz") as got:
        for name in NAMES:
            np.testing.assert_array_equal(got[name], expected.corrected(name))   # NaN where read and untouched
    assert path.exists()                                    # the journal stays until a window decides

    r = _recover(tmp_path / "other.npy", "--recover", tmp_path / "x.npz", env=env)
    assert r.returncode == 2 and "no unsaved corrections" in r.stdout
    r = _recover(scan, "--layers", layers, "--recover", tmp_path / "out.tif", env=env)
    assert r.returncode == 2 and ".eye or .npz" in r.stderr
