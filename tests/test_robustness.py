"""The widget never takes the host down: hostile input, long sessions, threads."""
import os
import pathlib
import subprocess
import sys
import time
import tracemalloc

import numpy as np
import pytest
import tifffile
from PySide6 import QtCore, QtWidgets
import pyqtgraph as pg

import vantel.utils.curveEditorPlot as cep
from conftest import flush_deletes

HERE = pathlib.Path(__file__).parent


def run_child(args, timeout=600):
    root = str(pathlib.Path(cep.__file__).parents[2])
    path = os.pathsep.join([root] + ([os.environ["PYTHONPATH"]] if os.environ.get("PYTHONPATH") else []))
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", PYTHONPATH=path)
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, env=env, timeout=timeout,
                          cwd=HERE)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_hostile_sweep_ends_in_exceptions_never_a_crash(seed):
    result = run_child([str(HERE / "hostile_sweep.py"), "700", str(seed)])
    tail = "\n".join((result.stdout + result.stderr).splitlines()[-25:])
    assert result.returncode == 0, f"child ended with {result.returncode}:\n{tail}"
    assert "0 unexpected" in result.stdout


# Under the address sanitizer freed memory is held in quarantine, so RSS says nothing.
SANITIZED = bool(os.environ.get("CEP_SANITIZED"))


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def hover(plot, x, y):
    event = QtWidgets.QGraphicsSceneHoverEvent(QtCore.QEvent.Type.GraphicsSceneHoverMove)
    scene = plot.vb.mapViewToScene(QtCore.QPointF(x, y))
    event.setScenePos(scene)
    event.setPos(plot.mapFromScene(scene))
    return event


def press(plot, x, y):
    event = QtWidgets.QGraphicsSceneMouseEvent(QtCore.QEvent.Type.GraphicsSceneMousePress)
    scene = plot.vb.mapViewToScene(QtCore.QPointF(x, y))
    event.setScenePos(scene)
    event.setPos(plot.mapFromScene(scene))
    event.setButton(QtCore.Qt.MouseButton.LeftButton)
    return event


def session(plot, rng, steps):
    """Hover, anchors drag, liner and live-wire strokes, rebuilds, in turn."""
    n = plot.curveLen
    for k in range(steps):
        mode = ("anchors", "liner", "livewire")[k // 50 % 3]
        if plot.editorType != mode:
            plot.setEditorType(mode)
        x, y = rng.uniform(1, n - 2), rng.uniform(5, 60)
        if mode == "anchors":
            plot.hoverMoveEvent(hover(plot, x, y))
            xs, ys = plot.ctrl_points[0]
            j = int(rng.integers(1, len(xs) - 1)) if len(xs) > 2 else 0
            plot.modified_ctrl_point = (0, j, xs[j], ys[j])
            plot.mouse_pressed = True
            plot.target.show()
            plot.target.setPos(plot.mapFromScene(plot.vb.mapViewToScene(QtCore.QPointF(x, y))))
            plot.mouse_release()
        else:
            if not plot.mouse_path:
                plot.hoverMoveEvent(hover(plot, x, float(plot.gCurves[0][int(x)])))
                plot.mousePressEvent(press(plot, x, float(plot.gCurves[0][int(x)])))
            plot.hoverMoveEvent(hover(plot, x, y))
            if k % 10 == 9:
                plot.mouse_release()
        if k % 25 == 0:
            plot.params_for_ctrl_point_changed_signal = [0, 0, n]
            plot.build_curve(0)


def curve_plot(make_plot, n=128):
    plot = make_plot()
    rng = np.random.default_rng(3)
    image = rng.random((64, n))
    image[32:] += 2.0  # an edge for the live wire
    plot.set_added_items(pg.ImageItem(image / image.max()))
    curves = [np.full(n, 32.0) + rng.normal(0, 1, n), np.full(n, 10.0)]
    plot.set_curve(curves, [{"color": (255, 0, 0), "style": QtCore.Qt.PenStyle.SolidLine, "width": 1,
                             "connect": "all", "is_visible": True} for _ in curves])
    plot.plot()
    plot.vb.autoRange()
    return plot


def test_soak_of_ten_thousand_steps_keeps_memory_flat(make_plot):
    plot = curve_plot(make_plot)
    rng = np.random.default_rng(7)
    session(plot, rng, 600)  # warm caches
    flush_deletes()
    tracemalloc.start()
    before_traced = tracemalloc.get_traced_memory()[0]
    before_rss = rss_mb()
    for _ in range(10):
        session(plot, rng, 1000)
        flush_deletes()
    grown_traced = (tracemalloc.get_traced_memory()[0] - before_traced) / 2**20
    tracemalloc.stop()
    grown_rss = rss_mb() - before_rss
    assert grown_traced < 2.0, f"Python allocations grew by {grown_traced:.2f} MiB"
    assert SANITIZED or grown_rss < 40.0, f"RSS grew by {grown_rss:.1f} MiB"


def frames_of(path):
    with tifffile.TiffFile(path) as tif:
        return tif.asarray()


def test_editing_during_a_curve_stack_save_gives_consistent_frames(make_plot, qapp, tmp_path):
    plot = make_plot()
    frames, h, w = 40, 64, 96
    volume = np.random.default_rng(1).integers(0, 255, (frames, h, w), dtype=np.uint8)
    low, high = np.full(w, 15.0), np.full(w, 45.0)
    curves = [low.copy(), np.linspace(5, 60, w)]
    props = [{"color": (255, 0, 0), "is_visible": True}, {"color": (0, 255, 0), "is_visible": True}]
    plot.gCurves, plot.curve_props = curves, props
    path = str(tmp_path / "edit.tiff")
    plot._start_save_worker("stack_with_curve", path, volume_data=volume, gCurves=curves, curve_props=props)
    flips = 0
    while plot.save_worker.isRunning():
        curves[0][:] = high if flips % 2 == 0 else low  # one edit writes the whole curve
        flips += 1
        qapp.processEvents()
        time.sleep(0.001)
    plot.save_worker.wait()
    qapp.processEvents()
    written = frames_of(path)
    assert written.shape == (frames, h, w, 3)
    for i in range(frames):
        renders = []
        for state in (low, high):
            plot.gCurves = [state, curves[1]]
            plot.added_items = None
            renders.append(plot._render_image_with_curves(volume[i]))
        assert any(np.array_equal(written[i], r) for r in renders), f"frame {i} mixes states"
