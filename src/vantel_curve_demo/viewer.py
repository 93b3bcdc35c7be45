"""The demo host window: a frame viewer that embeds CurveEditorPlot the way an application does."""
from __future__ import annotations

import threading
from types import SimpleNamespace

import numpy as np
import pyqtgraph as pg
from PySide6 import QtCore, QtGui, QtWidgets

import vantel.utils.curveEditorPlot as cep

from .history_menu import EditMenu

EDITOR_TYPES = [  # (editor type, button text, shortcut, how to use it)
    ("none", "View", "V", "Pan with the left button, zoom with the wheel. Nothing is edited."),
    ("anchors", "Anchors", "A",
     "Point at a square control point and drag it. The wheel over the point widens the group that "
     "moves with it. Right-click: add a point at the pointer, or remove the focused point."),
    ("liner", "Liner", "L",
     "Point near a curve to pick it (Ctrl: the curve chosen in the list), click to start, move, "
     "click again for a corner, double-click to finish. Right-click abandons the stroke."),
    ("livewire", "Live-wire", "W",
     "Like Liner, but the path follows the image edges from the last click to the pointer."),
]

THEMES = {
    "dark": dict(window="#202124", base="#17181a", panel="#2a2b2e", text="#e8eaed", mid="#9aa0a6",
                 accent="#0078d4", plot_bg="#0f1011", axis="#9aa0a6"),
    "light": dict(window="#f3f3f3", base="#ffffff", panel="#fafafa", text="#202124", mid="#5f6368",
                  accent="#0078d4", plot_bg="#ffffff", axis="#5f6368"),
}


def curve_props_for(colors):
    """One property dictionary per curve, as the plot reads them."""
    return [{"color": tuple(c), "style": QtCore.Qt.PenStyle.SolidLine, "width": 2,
             "connect": "all", "is_visible": True} for c in colors]


def _swatch(color, size=12):
    pix = QtGui.QPixmap(size, size)
    pix.fill(QtGui.QColor(*color))
    return QtGui.QIcon(pix)


def _changed_columns(before, after):
    cols = np.flatnonzero(before != after)
    if cols.size == 0:
        return "unchanged"
    return f"{cols.size} cols {cols[0]}-{cols[-1]}"


class DemoWindow(QtWidgets.QMainWindow):
    """Host window: frame slider, curve list, editor type, visibility, ROI, theme and signal log.

    The plot edits the volume's own per-frame curve arrays, so an edit survives a change of frame
    and ends up in the stack export.
    """

    frameChanged = QtCore.Signal(int)

    def __init__(self, volume, theme="dark", update_mode="local", echo=None, fill_in_background=True):
        super().__init__()
        self.volume = volume
        self.theme = theme
        self.update_mode = update_mode
        self.echo = echo                 # optional callable that mirrors the log (console runs)
        self.events = []                 # (signal name, payload summary), for scripted runs
        self.frame_index = 0
        self.editor_type = "none"
        self.plot = None
        self.props = curve_props_for(volume.colors)
        self._loaded = {}                # curve index -> copy of the curve as last loaded or saved
        self.setWindowTitle("Curve editor demo")
        self.resize(1440, 860)

        self.image_item = pg.ImageItem(axisOrder="row-major")
        self.view = pg.GraphicsLayoutWidget()
        self._build_ui()
        self._apply_theme()
        self._make_plot()
        self.set_frame(volume.n_frames // 2)

        if fill_in_background and not volume.complete:
            # the stack export needs every frame; make them while the user looks at the first one
            threading.Thread(target=volume.ensure_all, daemon=True).start()

    # -- layout ----------------------------------------------------------------------------------
    def _build_ui(self):
        ui = self.ui = SimpleNamespace()
        side = QtWidgets.QWidget()
        side.setObjectName("sidePanel")
        side.setFixedWidth(330)
        col = QtWidgets.QVBoxLayout(side)
        col.setContentsMargins(12, 12, 12, 12)
        col.setSpacing(10)

        def section(title):
            label = QtWidgets.QLabel(title.upper())
            label.setObjectName("sectionTitle")
            col.addWidget(label)

        section("Frame")
        row = QtWidgets.QHBoxLayout()
        ui.frameSlider = QtWidgets.QSlider(QtCore.Qt.Orientation.Horizontal)
        ui.frameSlider.setRange(0, self.volume.n_frames - 1)
        ui.frameSlider.setPageStep(max(1, self.volume.n_frames // 8))
        ui.frameLabel = QtWidgets.QLabel()
        ui.frameLabel.setMinimumWidth(64)
        ui.frameLabel.setAlignment(QtCore.Qt.AlignmentFlag.AlignRight | QtCore.Qt.AlignmentFlag.AlignVCenter)
        row.addWidget(ui.frameSlider, 1)
        row.addWidget(ui.frameLabel)
        col.addLayout(row)
        ui.frameSlider.valueChanged.connect(self.set_frame)

        section("Editor")
        grid = QtWidgets.QGridLayout()
        grid.setSpacing(4)
        ui.editorButtons = {}
        ui.editorGroup = QtWidgets.QButtonGroup(self)
        ui.editorGroup.setExclusive(True)
        for n, (kind, text, key, tip) in enumerate(EDITOR_TYPES):
            button = QtWidgets.QPushButton(text)
            button.setCheckable(True)
            button.setToolTip(f"{tip}  [{key}]")
            button.setShortcut(QtGui.QKeySequence(key))
            button.clicked.connect(lambda _=False, k=kind: self.set_editor_type(k))
            ui.editorGroup.addButton(button)
            ui.editorButtons[kind] = button
            grid.addWidget(button, n // 2, n % 2)
        col.addLayout(grid)
        ui.editorHelp = QtWidgets.QLabel()
        ui.editorHelp.setObjectName("hint")
        ui.editorHelp.setWordWrap(True)
        col.addWidget(ui.editorHelp)

        section("Curves")
        # the host's curve chooser: Ctrl while picking in Liner/Live-wire edits this curve
        ui.comboBox_enfaceA_Slab = QtWidgets.QComboBox()
        ui.comboBox_enfaceA_Slab.setToolTip("Curve that Ctrl + pointer picks in Liner and Live-wire")
        for name, color in zip(self.volume.names, self.volume.colors):
            ui.comboBox_enfaceA_Slab.addItem(_swatch(color), name)
        col.addWidget(ui.comboBox_enfaceA_Slab)
        ui.visibility = []
        vis = QtWidgets.QGridLayout()
        vis.setSpacing(2)
        for k, (name, color) in enumerate(zip(self.volume.names, self.volume.colors)):
            box = QtWidgets.QCheckBox(name)
            box.setIcon(_swatch(color))
            box.setChecked(True)
            box.toggled.connect(lambda on, k=k: self.set_curve_visible(k, on))
            ui.visibility.append(box)
            vis.addWidget(box, k // 2, k % 2)
        col.addLayout(vis)

        section("Region of interest")
        roi = QtWidgets.QHBoxLayout()
        ui.roiCheck = QtWidgets.QCheckBox("Show")
        ui.roiTop = QtWidgets.QSpinBox()
        ui.roiBottom = QtWidgets.QSpinBox()
        for spin in (ui.roiTop, ui.roiBottom):
            spin.setRange(0, self.volume.height - 1)
            spin.valueChanged.connect(self._roi_changed)
        ui.roiTop.setValue(int(self.volume.truth[:, 0].min()) - 12)
        ui.roiBottom.setValue(min(self.volume.height - 1, int(self.volume.truth[:, -1].max()) + 12))
        ui.roiCheck.setChecked(True)
        ui.roiCheck.toggled.connect(self._roi_changed)
        roi.addWidget(ui.roiCheck)
        roi.addWidget(QtWidgets.QLabel("top"))
        roi.addWidget(ui.roiTop)
        roi.addWidget(QtWidgets.QLabel("bottom"))
        roi.addWidget(ui.roiBottom)
        col.addLayout(roi)

        section("Signals")
        ui.log = QtWidgets.QPlainTextEdit()
        ui.log.setReadOnly(True)
        ui.log.setMaximumBlockCount(400)
        ui.log.setLineWrapMode(QtWidgets.QPlainTextEdit.LineWrapMode.NoWrap)
        ui.log.setPlaceholderText("Edit a curve: the plot's signals appear here.")
        ui.log.setFont(QtGui.QFontDatabase.systemFont(QtGui.QFontDatabase.SystemFont.FixedFont))
        col.addWidget(ui.log, 1)

        row = QtWidgets.QHBoxLayout()
        ui.themeButton = QtWidgets.QPushButton()
        ui.themeButton.clicked.connect(lambda: self.set_theme("light" if self.theme == "dark" else "dark"))
        ui.clearLog = QtWidgets.QPushButton("Clear log")
        ui.clearLog.clicked.connect(ui.log.clear)
        row.addWidget(ui.themeButton)
        row.addWidget(ui.clearLog)
        col.addLayout(row)

        central = QtWidgets.QWidget()
        lay = QtWidgets.QHBoxLayout(central)
        lay.setContentsMargins(0, 0, 0, 0)
        lay.setSpacing(0)
        lay.addWidget(self.view, 1)
        lay.addWidget(side)
        self.setCentralWidget(central)

        ui.pointerLabel = QtWidgets.QLabel("–")
        ui.pointerLabel.setObjectName("pointer")
        ui.pointerLabel.setMinimumWidth(260)
        self.statusBar().addPermanentWidget(ui.pointerLabel)
        self._build_menus()

        for key, step in ((QtCore.Qt.Key.Key_PageDown, 1), (QtCore.Qt.Key.Key_PageUp, -1)):
            QtGui.QShortcut(QtGui.QKeySequence(key), self,
                            activated=lambda s=step: ui.frameSlider.setValue(ui.frameSlider.value() + s))

    def _build_menus(self):
        bar = self.menuBar()
        file = bar.addMenu("&File")
        # the plot's own save commands, also offered in its context menu
        self.saveActions = {}
        for text, name in (("Save frame with curves…", "onSaveImageWithCurveAs"),
                           ("Save stack with curves…", "onSaveStackImageWithCurveAs"),
                           ("Save stack (grayscale)…", "onSaveStackImageAs"),
                           ("Save image layers…", "onSaveImageAs")):
            self.saveActions[name] = file.addAction(text, lambda n=name: getattr(self.plot, n)())
        file.addSeparator()
        file.addAction("Quit", QtGui.QKeySequence.StandardKey.Quit, self.close)
        self.editMenu = EditMenu(self, refresh_on=self.frameChanged)
        view = bar.addMenu("&View")
        view.addAction("Reset zoom", QtGui.QKeySequence("R"), lambda: self.plot.vb.autoRange(padding=0.001))
        view.addAction("Toggle light/dark theme", QtGui.QKeySequence("T"),
                       lambda: self.set_theme("light" if self.theme == "dark" else "dark"))

    # -- the plot --------------------------------------------------------------------------------
    def _make_plot(self):
        """(Re)creates the plot: it reads the theme of its host window once, at construction."""
        old = self.plot
        if old is not None:
            worker = getattr(old, "save_worker", None)
            if worker is not None and worker.isRunning():
                worker.wait()
            self.view.ci.removeItem(old)
            old.deleteLater()
        colors = THEMES[self.theme]
        plot = cep.CurveEditorPlot(parentWindow=self, eidtorType=self.editor_type,
                                   update_mode=self.update_mode)
        plot.vb.invertY(True)   # image rows grow downwards
        for side, label in (("left", "row"), ("bottom", "column")):
            axis = plot.getAxis(side)
            axis.setLabel(label)
            axis.setPen(pg.mkPen(colors["axis"]))
            axis.setTextPen(pg.mkPen(colors["axis"]))
        plot.sigCurveChanged.connect(self._on_curve_changed)
        plot.sigControlPointChanged.connect(self._on_control_point_changed)
        plot.sigCurveChangeFinished.connect(self._on_change_finished)
        plot.sigCurveEditorTypeChanged.connect(self._on_editor_type_changed)
        plot.sigMousePosChanged.connect(self._on_mouse_pos)
        plot.setVolumeData(self.volume.data)
        plot.setVolumeGCurves(self.volume.curves)
        self.view.addItem(plot)
        self.plot = plot
        self.editMenu.attach(plot)
        if old is not None:
            self._load_frame(self.frame_index)

    def _load_frame(self, i):
        frame = self.volume.frame_float(i)
        self.image_item.setImage(frame, autoLevels=False, levels=(0.0, 1.0))
        self.plot.set_added_items(self.image_item)
        curves = self.volume.frame_curves(i)
        self.plot.set_curve(curves, self.props)
        self._loaded = {k: c.copy() for k, c in enumerate(curves)}
        self._roi_changed()

    def set_frame(self, i):
        i = int(i)
        self.frame_index = i
        if self.ui.frameSlider.value() != i:
            self.ui.frameSlider.setValue(i)   # comes back here through valueChanged
            return
        self.ui.frameLabel.setText(f"{i + 1} / {self.volume.n_frames}")
        if self.plot.mouse_path or self.plot.mouse_pressed:
            self.plot.mouse_release()   # finish an open stroke on the frame it was drawn on
        self._load_frame(i)
        self.frameChanged.emit(i)

    def set_editor_type(self, kind):
        self.plot.setEditorType(kind.capitalize())

    def set_curve_visible(self, k, on):
        # the hover pick and the editor switch restore the plot's properties from its backup,
        # so the backup has to change too
        self.props[k]["is_visible"] = bool(on)
        for props in (self.plot.curve_props, self.plot.curve_props_bk):
            if props is not None and props is not self.props:
                props[k]["is_visible"] = bool(on)
        self.plot.plot()

    def _roi_changed(self, *_):
        if self.plot is None:
            return
        if self.ui.roiCheck.isChecked():
            self.plot.set_roi([self.ui.roiTop.value(), self.ui.roiBottom.value()])
        else:
            self.plot.set_roi([0, 0])
        self.plot.plot()

    # -- theme -----------------------------------------------------------------------------------
    def _apply_theme(self):
        c = THEMES[self.theme]
        app = QtWidgets.QApplication.instance()
        app.setStyle("Fusion")
        pal = QtGui.QPalette()
        for role, key in ((QtGui.QPalette.ColorRole.Window, "window"), (QtGui.QPalette.ColorRole.Base, "base"),
                          (QtGui.QPalette.ColorRole.AlternateBase, "panel"),
                          (QtGui.QPalette.ColorRole.Button, "panel"),
                          (QtGui.QPalette.ColorRole.WindowText, "text"), (QtGui.QPalette.ColorRole.Text, "text"),
                          (QtGui.QPalette.ColorRole.ButtonText, "text"),
                          (QtGui.QPalette.ColorRole.Highlight, "accent"),
                          (QtGui.QPalette.ColorRole.PlaceholderText, "mid")):
            pal.setColor(role, QtGui.QColor(c[key]))
        pal.setColor(QtGui.QPalette.ColorRole.HighlightedText, QtGui.QColor("#ffffff"))
        app.setPalette(pal)
        self.setStyleSheet(f"""
            #sidePanel {{ background: {c['panel']}; border-left: 1px solid {c['mid']}40; }}
            #sectionTitle {{ color: {c['mid']}; font-size: 10px; font-weight: bold; letter-spacing: 1px;
                             padding-top: 4px; }}
            #hint {{ color: {c['mid']}; font-size: 11px; }}
            #pointer {{ font-family: monospace; padding-right: 8px; }}
            QPushButton {{ padding: 5px 10px; border-radius: 4px; border: 1px solid {c['mid']}60;
                           background: {c['base']}; }}
            QPushButton:checked {{ background: {c['accent']}; color: white; border-color: {c['accent']}; }}
            QPlainTextEdit {{ border: 1px solid {c['mid']}40; border-radius: 4px; font-size: 11px; }}
        """)
        self.view.setBackground(c["plot_bg"])
        self.ui.themeButton.setText("Light theme" if self.theme == "dark" else "Dark theme")

    def set_theme(self, theme):
        if theme not in THEMES:
            raise ValueError(f"unknown theme {theme!r}")
        self.theme = theme
        self._apply_theme()
        self._make_plot()
        self.log(f"theme: {theme} (plot rebuilt, its menu follows the theme)")

    # -- signals from the plot -------------------------------------------------------------------
    def log(self, text):
        self.ui.log.appendPlainText(text)
        if self.echo is not None:
            self.echo(text)

    def _name(self, k):
        return self.volume.names[k] if 0 <= k < len(self.volume.names) else str(k)

    def _on_curve_changed(self, k, curve):
        before = self._loaded.get(k)
        what = _changed_columns(before, curve) if before is not None else ""
        same = curve is self.volume.curves[k][self.frame_index]
        self.events.append(("sigCurveChanged", k))
        self.log(f"CurveChanged      {self._name(k)} {what}"
                 + ("" if same else "  (not the volume's array!)"))

    def _on_control_point_changed(self, k, span):
        self.events.append(("sigControlPointChanged", (k, list(span))))
        self.log(f"ControlPointChgd  {self._name(k)} span {span[0]:.6g}-{span[1]:.6g}")

    def _on_change_finished(self, *_):
        self.events.append(("sigCurveChangeFinished", None))
        self._loaded = {k: c.copy() for k, c in enumerate(self.volume.frame_curves(self.frame_index))}
        self.log("CurveChangeFinished")

    def _on_editor_type_changed(self, kind, _):
        self.editor_type = kind
        self.events.append(("sigCurveEditorTypeChanged", kind))
        button = self.ui.editorButtons.get(kind)
        if button is not None:
            button.setChecked(True)
        tips = {k: tip for k, _, _, tip in EDITOR_TYPES}
        self.ui.editorHelp.setText(tips.get(kind, ""))
        self.log(f"EditorTypeChanged {kind}")

    def _on_mouse_pos(self, pos):
        x, y = int(pos[0]), int(pos[1])
        text = f"x {x:4d}   y {y:4d}"
        if 0 <= x < self.volume.width and 0 <= y < self.volume.height:
            text += f"   I {int(self.volume.data[self.frame_index, y, x]):3d}"
        self.ui.pointerLabel.setText(text + f"   frame {self.frame_index + 1}")

    def showEvent(self, event):
        super().showEvent(event)
        # before any switch the plot has sent no type change; show the starting state
        if self.ui.editorGroup.checkedButton() is None:
            self.ui.editorButtons[self.editor_type].setChecked(True)
            self.ui.editorHelp.setText({k: t for k, _, _, t in EDITOR_TYPES}[self.editor_type])
