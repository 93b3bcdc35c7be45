"""The scripted session's image outputs: the plot's own save commands and a screenshot."""
from __future__ import annotations

import os
import time

import tifffile
from PySide6 import QtCore, QtWidgets

import vantel.utils.curveEditorPlot as cep

from .report import ProgressBar
from .session import StepFailed


def _with_dialog(path, fn):
    """Runs fn with the plot's file dialog answering path."""
    real = cep.QFileDialog
    asked = []

    class Dialog:
        @staticmethod
        def getSaveFileName(*args):
            asked.append(args[1] if len(args) > 1 else "")
            return path, ""

    cep.QFileDialog = Dialog
    try:
        fn()
    finally:
        cep.QFileDialog = real
    return asked


def save_frame(s):
    path = os.path.join(s.out, f"frame_{s.frame + 1:03d}_with_curves.png")
    if os.path.exists(path):
        os.remove(path)
    asked = _with_dialog(path, s.w.saveActions["onSaveImageWithCurveAs"].trigger)
    if not os.path.exists(path):
        raise StepFailed(f"nothing written (dialog asked: {asked})")
    s.files["frame"] = path
    return f"{path} ({os.path.getsize(path) // 1024} KB)"


def save_stack(s):
    path = os.path.join(s.out, "stack_with_curves.tiff")
    if os.path.exists(path):
        os.remove(path)
    vol = s.volume
    if not vol.complete:
        s.say("    finishing the volume's frames first")
        vol.ensure_all()
    done = {}
    bar = ProgressBar(s.stream, "saving stack")

    def start():
        s.w.saveActions["onSaveStackImageWithCurveAs"].trigger()
        worker = s.plot.save_worker
        if worker is None:
            raise StepFailed("no save worker was started")
        worker.progress.connect(bar.update)
        worker.finished.connect(lambda msg: done.setdefault("finished", msg))
        worker.error.connect(lambda msg: done.setdefault("error", msg))
        done["worker"] = worker

    t0 = time.perf_counter()
    _with_dialog(path, start)
    worker = done["worker"]
    deadline = time.monotonic() + 300
    while ("finished" not in done and "error" not in done) and time.monotonic() < deadline:
        QtWidgets.QApplication.processEvents(QtCore.QEventLoop.ProcessEventsFlag.AllEvents, 50)
        if worker.isFinished():
            QtWidgets.QApplication.processEvents()
            break
    bar.finish()
    if "error" in done:
        raise StepFailed(done["error"])
    if not os.path.exists(path):
        raise StepFailed("the worker wrote no file")
    with tifffile.TiffFile(path) as tif:
        pages = len(tif.pages)
        shape = tif.pages[0].shape
    if pages != vol.n_frames:
        raise StepFailed(f"{pages} pages for {vol.n_frames} frames")
    s.say(f"    status bar: {s.w.statusBar().currentMessage()!r}")
    s.files["stack"] = path
    return (f"{path}: {pages} pages of {shape}, {os.path.getsize(path) // 1024} KB, "
            f"{time.perf_counter() - t0:.1f} s")


def screenshot(s):
    # end on the anchors view of the edited frame, pointer on a control point
    s.set_editor("anchors")
    k = s.pick["anchors"] if s.pick else 0
    xs, ys = s.plot.ctrl_points[k]
    j = len(xs) // 2
    s.pointer.glide([(float(xs[j]) - 3, float(ys[j]) - 3), (float(xs[j]), float(ys[j]))])
    QtWidgets.QApplication.processEvents()
    path = os.path.join(s.out, "screenshot.png")
    if not s.w.grab().save(path):
        raise StepFailed("could not write the screenshot")
    s.files["screenshot"] = path
    return path
