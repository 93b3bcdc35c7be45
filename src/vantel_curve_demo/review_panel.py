"""The Review dock: the suspect list (N / Shift+N), the volume overview and the localizer.

It reaches the window only through what any extension uses: its signals ``frameChanged``,
``layersEdited`` and ``plotReplaced``, ``set_frame``, the curve chooser and the plot's view box.
"""
from __future__ import annotations

import numpy as np
import pyqtgraph as pg
from PySide6 import QtCore, QtGui, QtWidgets

from .review import ReviewList, counts_line, localizer, overview_marks, overview_values

HEIGHT = "height"
# overlay colours (RGBA) for the overview's codes: nothing, edited, suspect, marked by another tool
OVERLAY = np.array([(0, 0, 0, 0), (80, 220, 120, 150), (255, 50, 50, 210), (255, 170, 0, 220)], np.uint8)
REFRESH_MS = 150       # edits come in bursts (every step of a drag); the list follows when they pause
PICK_PIXELS = 12       # how near a B-scan line a click on the localizer must be, on screen


class _ClickablePlot(pg.PlotItem):
    """A plot that reports left clicks in data coordinates and otherwise only zooms."""

    clicked = QtCore.Signal(float, float)

    def __init__(self, **kw):
        super().__init__(**kw)
        self.vb.setMouseEnabled(x=False, y=False)
        self.vb.setMenuEnabled(False)
        self.hideButtons()

    def mouseClickEvent(self, event):
        if event.button() == QtCore.Qt.MouseButton.LeftButton:
            p = self.vb.mapSceneToView(event.scenePos())
            self.clicked.emit(p.x(), p.y())
            event.accept()


class ReviewPanel(QtWidgets.QWidget):
    """The suspects of the window's volume, kept current after every edit, and the ways to reach them."""

    wentTo = QtCore.Signal(object)        # the entry (a Suspect) the view was moved to

    def __init__(self, window):
        super().__init__()
        self.window = window
        self.volume = window.volume
        self.review = ReviewList(self.volume)
        self._timer = QtCore.QTimer(self, singleShot=True, interval=REFRESH_MS)
        self._timer.timeout.connect(self.refresh)
        self._build()
        self._localizer = localizer(self.volume)
        self._build_localizer()
        window.frameChanged.connect(self._on_frame)
        window.layersEdited.connect(self._on_edit)
        for key, step in (("N", 1), ("Shift+N", -1)):
            QtGui.QShortcut(QtGui.QKeySequence(key), window, activated=lambda s=step: self.step(s))
        self.refresh()
        self._on_frame(window.frame_index)

    # -- layout ----------------------------------------------------------------------------------
    def _build(self):
        lay = QtWidgets.QHBoxLayout(self)
        lay.setContentsMargins(6, 4, 6, 4)
        left = QtWidgets.QVBoxLayout()
        self.summary = QtWidgets.QLabel()
        self.summary.setObjectName("hint")
        left.addWidget(self.summary)
        self.table = QtWidgets.QTreeWidget()
        self.table.setRootIsDecorated(False)
        self.table.setUniformRowHeights(True)
        self.table.setHeaderLabels(["#", "frame", "layer", "columns", "kind", "score"])
        self.table.header().setSectionResizeMode(QtWidgets.QHeaderView.ResizeMode.ResizeToContents)
        self.table.itemActivated.connect(lambda item, _: self.go(item.data(0, QtCore.Qt.ItemDataRole.UserRole)))
        left.addWidget(self.table, 1)
        buttons = QtWidgets.QHBoxLayout()
        self.prevButton = QtWidgets.QPushButton("Previous  [Shift+N]")
        self.nextButton = QtWidgets.QPushButton("Next  [N]")
        self.prevButton.clicked.connect(lambda: self.step(-1))
        self.nextButton.clicked.connect(lambda: self.step(1))
        buttons.addWidget(self.prevButton)
        buttons.addWidget(self.nextButton)
        left.addLayout(buttons)
        lay.addLayout(left, 3)

        middle = QtWidgets.QVBoxLayout()
        row = QtWidgets.QHBoxLayout()
        row.addWidget(QtWidgets.QLabel("Overview of"))
        self.layerBox = QtWidgets.QComboBox()
        self.minusBox = QtWidgets.QComboBox()
        self.minusBox.addItem(HEIGHT)
        for name in self.volume.names:
            self.layerBox.addItem(name)
            self.minusBox.addItem(f"thickness to {name}")
        row.addWidget(self.layerBox, 1)
        row.addWidget(self.minusBox, 1)
        middle.addLayout(row)
        self.overviewView = pg.GraphicsLayoutWidget()
        self.overview = _ClickablePlot()
        self.overview.vb.invertY(True)
        self.overview.setLabel("left", "frame")
        self.overview.setLabel("bottom", "column")
        self.overviewView.addItem(self.overview)
        self.overviewImage = pg.ImageItem(axisOrder="row-major")
        self.overviewImage.setColorMap(pg.colormap.get("viridis"))
        self.overviewMarks = pg.ImageItem(axisOrder="row-major")
        self.frameLine = pg.InfiniteLine(angle=0, movable=False, pen=pg.mkPen((255, 255, 255), width=2))
        for item in (self.overviewImage, self.overviewMarks, self.frameLine):
            self.overview.addItem(item)
        self.overview.clicked.connect(self._overview_clicked)
        middle.addWidget(self.overviewView, 1)
        lay.addLayout(middle, 4)
        self.layerBox.currentIndexChanged.connect(lambda *_: self.draw_overview())
        self.minusBox.currentIndexChanged.connect(lambda *_: self.draw_overview())

        self.localizerView = pg.GraphicsLayoutWidget()
        self.localizerView.setMinimumWidth(200)
        lay.addWidget(self.localizerView, 2)

    def _build_localizer(self):
        if self._localizer is None:
            self.localizerView.hide()
            self.localizerPlot = None
            return
        image, lines = self._localizer
        plot = self.localizerPlot = _ClickablePlot()
        plot.vb.invertY(True)
        plot.vb.setAspectLocked(True)
        plot.hideAxis("left")
        plot.hideAxis("bottom")
        self.localizerView.addItem(plot)
        plot.addItem(pg.ImageItem(np.asarray(image, np.float32), axisOrder="row-major"))
        xy = lines.reshape(-1, 2)
        plot.addItem(pg.PlotDataItem(xy[:, 0], xy[:, 1], connect="pairs", pen=pg.mkPen((120, 200, 255, 140))))
        self.currentLine = pg.PlotDataItem(pen=pg.mkPen((255, 220, 0), width=3))
        plot.addItem(self.currentLine)
        plot.clicked.connect(self._localizer_clicked)

    # -- the list --------------------------------------------------------------------------------
    def _on_edit(self, *_):
        self.review.invalidate()
        self._timer.start()

    def entries(self):
        """The list as it stands after every edit so far (recomputed here when an edit is pending)."""
        return self.review.entries()

    def refresh(self):
        """Recomputes what an edit made stale and redraws the list and the overview."""
        self._timer.stop()
        entries = self.entries()
        self.summary.setText(counts_line(self.review.suspects)
                             + (f"; {len(self.review.marks)} marked" if self.review.marks else ""))
        self.table.clear()
        names = self.volume.names
        items = []
        for rank, e in enumerate(entries, 1):
            # frames counted from 1, as the frame slider shows them (the CSV keeps the 0-based index)
            item = QtWidgets.QTreeWidgetItem([str(rank), str(e.frame + 1), names[e.layer], f"{e.first}-{e.last}",
                                              e.kind, f"{e.score:.3f}"])
            item.setData(0, QtCore.Qt.ItemDataRole.UserRole, e)
            items.append(item)
        self.table.addTopLevelItems(items)
        self._select(self.review.current)
        self.draw_overview()

    def _select(self, entry):
        if entry is None:
            self.table.clearSelection()
            return
        entries = self.entries()
        if entry in entries:
            item = self.table.topLevelItem(entries.index(entry))
            self.table.setCurrentItem(item)
            self.table.scrollToItem(item)

    def step(self, direction):
        """N (1) and Shift+N (-1): the next or previous entry in the list."""
        if self.review.stale:
            self.refresh()
        entry = self.review.step(direction)
        if entry is not None:
            self._show(entry)
        return entry

    def go(self, entry):
        if entry is None:
            return None
        self.review.go(entry)
        self._show(entry)
        return entry

    def mark(self, frame, layer, start, stop, kind):
        """Lists and marks columns start..stop-1 of layer (index) on frame as `kind` until the frame is shown."""
        self.review.mark(frame, layer, start, stop, kind)
        self.refresh()

    def _show(self, entry):
        w = self.window
        w.set_frame(entry.frame)
        w.ui.comboBox_enfaceA_Slab.setCurrentIndex(entry.layer)
        if self.layerBox.currentIndex() != entry.layer:
            self.layerBox.setCurrentIndex(entry.layer)
        self.centre(entry.layer, (entry.first + entry.last) / 2, entry.last - entry.first + 1)
        self._select(entry)
        self.wentTo.emit(entry)

    def centre(self, layer, column, span=1):
        """Centres the window's view on `column` of `layer` in the frame shown, wide enough for `span`."""
        vol, vb = self.volume, self.window.plot.vb
        width = float(min(vol.width, max(160, 3 * span)))
        height = min(float(vol.height), width * vol.height / vol.width * 1.6)
        c = int(np.clip(round(column), 0, vol.width - 1))
        y = float(vol.curves[layer][self.window.frame_index][c])
        x0 = float(np.clip(column - width / 2, 0, vol.width - width))
        y0 = float(np.clip(y - height / 2, 0, vol.height - height))
        vb.setRange(xRange=(x0, x0 + width), yRange=(y0, y0 + height), padding=0)

    # -- the overview ----------------------------------------------------------------------------
    def draw_overview(self):
        k = self.layerBox.currentIndex()
        minus = self.minusBox.currentIndex() - 1
        values = overview_values(self.volume, k, None if minus < 0 else minus)
        finite = values[np.isfinite(values)]
        levels = (float(finite.min()), float(finite.max()) + 1e-6) if finite.size else (0.0, 1.0)
        self.overviewImage.setImage(np.nan_to_num(values, nan=levels[0]), levels=levels)
        mine = [e for e in self.entries() if e.layer == k]
        codes = overview_marks(values.shape, mine, self.volume.edited[k])
        self.overviewMarks.setImage(OVERLAY[codes], levels=(0, 255))

    def _overview_clicked(self, x, y):
        frame, column = int(np.floor(y)), int(np.floor(x))
        if 0 <= frame < self.volume.n_frames and 0 <= column < self.volume.width:
            k = self.layerBox.currentIndex()
            self.window.set_frame(frame)
            self.window.ui.comboBox_enfaceA_Slab.setCurrentIndex(k)
            self.centre(k, column)

    # -- the localizer ---------------------------------------------------------------------------
    def _localizer_clicked(self, x, y):
        _, lines = self._localizer
        a, b = lines[:, 0], lines[:, 1]
        ab = b - a
        t = np.clip(((np.array([x, y]) - a) * ab).sum(axis=1) / np.maximum((ab * ab).sum(axis=1), 1e-12), 0, 1)
        dist = np.hypot(*(a + t[:, None] * ab - np.array([x, y])).T)
        nearest = int(np.argmin(dist))
        # how far a screen pixel reaches in the image, so that "near" means the same at any size
        px = self.localizerPlot.vb.viewPixelSize()
        if dist[nearest] <= PICK_PIXELS * max(px):
            self.window.set_frame(nearest)

    def _on_frame(self, frame):
        self.frameLine.setPos(frame + 0.5)
        if self.localizerPlot is not None:
            line = self._localizer[1][frame]
            self.currentLine.setData(line[:, 0], line[:, 1])
        if self.review.shown(frame):
            self.refresh()


def attach(window):
    """Adds the Review dock to `window` (below the frame) and returns its panel."""
    panel = ReviewPanel(window)
    dock = QtWidgets.QDockWidget("Review", window)
    dock.setObjectName("reviewDock")
    dock.setFeatures(QtWidgets.QDockWidget.DockWidgetFeature.DockWidgetMovable
                     | QtWidgets.QDockWidget.DockWidgetFeature.DockWidgetFloatable)
    dock.setWidget(panel)
    window.addDockWidget(QtCore.Qt.DockWidgetArea.BottomDockWidgetArea, dock)
    window.review = panel
    return panel


# -- the scripted session's step ---------------------------------------------------------------------
def tour_step(s):
    """Goes to the top suspect with N, redraws it with the liner by pointer, and shows that it left the list."""
    from PySide6.QtTest import QTest

    from .session import StepFailed

    w = s.w
    panel = getattr(w, "review", None) or attach(w)
    entries = panel.entries()
    if not entries:
        return "no suspects in this volume: nothing to review"
    home = w.frame_index
    # the window's shortcuts answer only while it is the active window (a dialog may have been since)
    w.activateWindow()
    if not QTest.qWaitForWindowActive(w):
        raise StepFailed("the window could not be made active for the N key")
    QTest.keyClick(w, QtCore.Qt.Key.Key_N)
    top = panel.review.current
    if top != entries[0]:
        raise StepFailed(f"N went to {top}, not to the top of the list {entries[0]}")
    f, k = top.frame, top.layer
    (x0, x1), _ = w.plot.vb.viewRange()
    if (w.frame_index, w.ui.comboBox_enfaceA_Slab.currentIndex()) != (f, k) or not x0 <= top.first <= top.last <= x1:
        raise StepFailed(f"N showed frame {w.frame_index + 1}, layer {w.ui.comboBox_enfaceA_Slab.currentIndex()}, "
                         f"columns {x0:.0f}..{x1:.0f}, not the suspect")
    name = w.volume.names[k]
    s.say(f"    top suspect: frame {f + 1}, {name}, columns {top.first}..{top.last} ({top.kind}, score {top.score:.2f})")

    off_before, off_after = redraw(s, panel, top)
    here = sum((e.frame, e.layer) == (f, k) for e in entries)
    still = [e for e in panel.entries() if (e.frame, e.layer) == (f, k) and e.first <= top.last and e.last >= top.first]
    panel.refresh()
    s.set_editor("none")
    w.set_frame(home)
    if top in panel.entries() or still:
        raise StepFailed(f"after the correction ({off_before:.1f} -> {off_after:.1f} rows from the goal) "
                         f"the list still holds {still or [top]}")
    return (f"{name} on frame {f + 1}, columns {top.first}..{top.last} ({top.kind}): redrawn with the liner "
            f"({off_before:.1f} -> {off_after:.1f} rows from the goal), it left the list "
            f"({len(entries)} -> {len(panel.entries())} entries; on this frame and layer "
            f"{here} -> {sum((e.frame, e.layer) == (f, k) for e in panel.entries())})")


def redraw(s, panel, entry):
    """Redraws a suspect stretch toward its goal with the liner, by pointer; (rows off before, after)."""
    from . import gestures
    from .review import correction_goal

    k = entry.layer
    lo, hi, goal = correction_goal(s.volume, entry)
    curve = s.volume.curves[k][entry.frame]
    off_before = float(np.abs(curve[lo:hi + 1] - goal).mean())
    panel.centre(k, (lo + hi) / 2, hi - lo + 1)        # the whole stretch in view, as a grader would
    xs = sorted(set(np.linspace(lo, hi, max(3, (hi - lo) // 16 + 2))[1:].round().astype(int)))
    waypoints = [(float(x), float(goal[x - lo])) for x in xs]
    gestures._stroke(s, "liner", k, lo, waypoints, corners=range(len(waypoints) - 1))
    return off_before, float(np.abs(curve[lo:hi + 1] - goal).mean())
