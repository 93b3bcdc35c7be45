"""The demo's scripted session: as a user runs it (a separate offscreen process), and its steps' verdicts."""
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

import vantel_curve_demo
from vantel_curve_demo.checks import EditWatch
from vantel_curve_demo.planning import control_point_errors
from vantel_curve_demo import tour
from vantel_curve_demo.session import Session, Step
from vantel_curve_demo.volume import SyntheticVolume


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


def test_every_step_succeeds(session):
    proc, report, _ = session
    steps = len(tour.STEPS)
    assert proc.returncode == 0 and all(s["ok"] for s in report["steps"]), proc.stdout[-4000:]
    assert f"{steps} of {steps} steps succeeded" in proc.stdout
    assert "saving stack [" in proc.stdout and "100%" in proc.stdout


def test_the_images_are_written_to_the_output_folder(session):
    _, report, out = session
    files = report["files"]
    assert all(Path(files[key]).parent == out for key in ("screenshot", "screenshot_light", "frame", "stack"))
    shot = cv2.imread(files["screenshot"])
    assert shot is not None and shot.shape[0] > 400 and shot.shape[1] > 800
    assert cv2.imread(files["frame"]).shape == (496, 1024, 3)
    assert tifffile.imread(files["stack"]).shape == (4, 496, 1024, 3)


def test_the_exported_stack_shows_the_liner_edit(session):
    # Rebuild the untouched volume: where the liner moved its curve, the exported page shows the
    # curve's colour on the layer edge and plain gray where the slipped curve used to be.
    report = session[1]
    volume, edit = SyntheticVolume(frames=4), report["edits"]["liner"]
    (f, k), (lo, hi) = (edit["frame"], edit["curve"]), edit["columns"]
    page = tifffile.imread(report["files"]["stack"])[f].astype(int)

    def coloured(r, c):  # gray pixels have r == g == b
        return np.ptp(page[r, c]) > 30
    old, truth = volume.curves[k][f], volume.truth[f, k]
    others = np.array([volume.curves[j][f] for j in range(len(volume.names)) if j != k])
    candidates = [c for c in range(lo + 5, hi - 5)
                  if abs(old[c] - truth[c]) > 4 and np.abs(others[:, c] - old[c]).min() > 4]
    assert candidates
    c = max(candidates, key=lambda c: abs(old[c] - truth[c]))
    edge = int(round(truth[c]))
    assert any(coloured(r, c) for r in range(edge - 1, edge + 2))
    assert not coloured(int(old[c]), c)


@pytest.fixture
def window(demo_window):
    return demo_window(SyntheticVolume(frames=2, height=200, width=400, seed=3))


def drag_worst_point(fraction):
    # A step: the anchors curve's furthest-off control point dragged `fraction` of the way to its goal.
    def step(s):
        k, (lo, hi) = s.pick["anchors"], s.spans["anchors"]
        s.set_editor("anchors")
        watch = EditWatch(s, k)
        j = int(np.argmax(control_point_errors(s, k, lo, hi)))
        x, y = (float(a[j]) for a in s.plot.ctrl_points[k])
        target = y + (s.goal(k)[int(x)] - y) * fraction
        s.pointer.glide([(x - 6, y - 3), (x, y)])
        s.pointer.drag([(x, y), (x, (y + target) / 2), (x, target)])
        watch.check(lo, hi, "anchors")
    return step


@pytest.mark.parametrize("fraction, ok", [
    pytest.param(1.0, True, id="to the goal"),
    pytest.param(0.3, False, id="a third of the way"),
    pytest.param(-1.0, False, id="away from the goal"),
])
def test_a_step_is_ok_only_when_its_gesture_reached_the_goal(window, tmp_path, fraction, ok):
    report = Session(window, tmp_path, say=lambda text: None).run([Step("drag", drag_worst_point(fraction))])
    assert report.steps[0]["ok"] == ok, report.steps[0]["detail"]
    assert ok or "did not bring it there" in report.steps[0]["detail"]
