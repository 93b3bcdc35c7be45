"""The demo's scripted session, run as a user runs it: a separate offscreen process."""
import json
import os
import subprocess
import sys
from pathlib import Path

import cv2
import numpy as np
import pytest
import tifffile

import vantel.utils.curveEditorPlot as cep

try:
    import vantel_curve_demo
except ImportError:          # development build: the package is still in the source tree
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))
    import vantel_curve_demo
from vantel_curve_demo.volume import SyntheticVolume  # noqa: E402


@pytest.fixture(scope="module")
def session(tmp_path_factory):
    out = tmp_path_factory.mktemp("demo")
    paths = [str(Path(cep.__file__).parents[2]), str(Path(vantel_curve_demo.__file__).parents[1])]
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen",
               PYTHONPATH=os.pathsep.join(paths + [os.environ.get("PYTHONPATH", "")]))
    proc = subprocess.run([sys.executable, "-m", "vantel_curve_demo", "--frames", "4", "--out", str(out)],
                          env=env, capture_output=True, text=True, timeout=600)
    report = out / "session.json"
    assert report.exists(), proc.stdout + proc.stderr
    return proc, json.loads(report.read_text()), out


@pytest.mark.parametrize("kind", ["anchors", "liner", "livewire"])
def test_each_editor_brought_its_curve_to_the_layer_edge(session, kind):
    edit = session[1]["edits"][kind]
    assert edit["changed"] > 0 and edit["distance_after"] < edit["distance_before"] / 2
    signals = edit["signals"]
    assert signals.get("sigCurveChanged", 0) >= 1 and signals.get("sigControlPointChanged", 0) >= 1
    assert signals.get("sigCurveChangeFinished") == 1


def test_every_step_succeeds_and_the_outputs_carry_the_edits(session):
    proc, report, out = session
    assert not [s for s in report["steps"] if not s["ok"]], proc.stdout[-4000:]
    assert proc.returncode == 0 and "11 of 11 steps succeeded" in proc.stdout
    assert "saving stack [" in proc.stdout and "100%" in proc.stdout
    files = report["files"]
    assert all(Path(files[key]).parent == out for key in ("screenshot", "screenshot_light", "frame", "stack"))
    shot = cv2.imread(files["screenshot"])
    assert shot is not None and shot.shape[0] > 400 and shot.shape[1] > 800
    assert cv2.imread(files["frame"]).shape == (496, 1024, 3)
    stack = tifffile.imread(files["stack"])
    assert stack.shape == (4, 496, 1024, 3)

    # Rebuild the untouched volume: where the liner moved its curve, the exported page shows the
    # curve's colour on the layer edge and plain gray where the slipped curve used to be.
    volume, edit = SyntheticVolume(frames=4), report["edits"]["liner"]
    (f, k), (lo, hi) = (edit["frame"], edit["curve"]), edit["columns"]
    page = stack[f].astype(int)
    colour = lambda r, c: np.ptp(page[r, c]) > 30   # noqa: E731  (gray pixels have r == g == b)
    old, truth = volume.curves[k][f], volume.truth[f, k]
    others = np.array([volume.curves[j][f] for j in range(len(volume.names)) if j != k])
    candidates = [c for c in range(lo + 5, hi - 5)
                  if abs(old[c] - truth[c]) > 4 and np.abs(others[:, c] - old[c]).min() > 4]
    assert candidates
    c = max(candidates, key=lambda c: abs(old[c] - truth[c]))
    edge = int(round(truth[c]))
    assert any(colour(r, c) for r in range(edge - 1, edge + 2))
    assert not colour(int(old[c]), c)
