"""The demo host window: a frame viewer that embeds CurveEditorPlot the way an application does."""
from __future__ import annotations

import os
import threading
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pyqtgraph as pg
from PySide6 import QtCore, QtGui, QtWidgets

import vantel.utils.curveEditorPlot as cep

from . import scans
from .carry_actions import CarryActions
from .history_menu import EditMenu

# Looked up when used, so that a test or a scripted run can answer the dialogs.
QFileDialog = QtWidgets.QFileDialog
QMessageBox = QtWidgets.QMessageBox

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


def curve_props_for(colors, visible=None):
    """One property dictionary per curve, as the plot reads them."""
    visible = [True] * len(colors) if visible is None else visible
    return [{"color": tuple(c), "style": QtCore.Qt.PenStyle.SolidLine, "width": 2,
             "connect": "all", "is_visible": bool(v)} for c, v in zip(colors, visible)]


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

    The plot edits the volume's own per-frame working curves, so an edit survives a change of frame
    and ends up in the exports; the columns the plot reports as edited go into the saved layers.
    Signals for code that extends the window: ``plotReplaced(plot)`` after a plot is made and
    wired (the theme switch makes a new one), ``frameChanged(index)`` after a frame is shown,
    ``layersEdited(layer index, frame, start, stop)`` after the columns start..stop-1 were edited.
    """

    frameChanged = QtCore.Signal(int)
    plotReplaced = QtCore.Signal(object)
    layersEdited = QtCore.Signal(int, int, int, int)
    # what became of the corrections (the edit journal follows them): saved to a path, thrown away
    # when closing, and the window closed
    layersSaved = QtCore.Signal(object)
    layersDiscarded = QtCore.Signal()
    closed = QtCore.Signal()
    _framesPrepared = QtCore.Signal(int, int)

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
        self.gap_items = []              # per curve: the columns without a value, drawn dashed
        # a layer with no value anywhere in the file starts hidden, unless no layer has one
        known = [volume.has_values(k) for k in range(len(volume.names))]
        self.props = curve_props_for(volume.colors, [v or not any(known) for v in known])
        self._loaded = {}                # curve index -> copy of the curve as last loaded or saved
        self.save_path = getattr(volume, "path", None)
        if self.save_path is not None and self.save_path.suffix.lower() != ".eye":
            self.save_path = None        # never overwrite a scanner's file: the first save asks
        self.ask_before_close = True
        self.save_blocked = None         # why this window may not save its file (another window has it)
        self._closing = False
        self.resize(1440, 860)

        self.image_item = pg.ImageItem(axisOrder="row-major")
        self.view = pg.GraphicsLayoutWidget()
        self._build_ui()
        self._apply_theme()
        self._make_plot()
        self.set_frame(volume.n_frames // 2)
        self._update_title()

        self._framesPrepared.connect(self._on_frames_prepared)
        if fill_in_background and not volume.complete:
            # the stack export needs every frame; make them while the user looks at the first one
            threading.Thread(target=self._prepare_frames, daemon=True).start()

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
            box.setChecked(self.props[k]["is_visible"])
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
        top, bottom = self.volume.row_range()
        ui.roiTop.setValue(max(0, top - 12))
        ui.roiBottom.setValue(min(self.volume.height - 1, bottom + 12))
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
        self.fileActions = {
            "save": file.addAction("Save corrected layers", QtGui.QKeySequence.StandardKey.Save, lambda: self.save()),
            "saveAs": file.addAction("Save corrected layers as…", QtGui.QKeySequence("Ctrl+Shift+S"),
                                     lambda: self.save(ask=True)),
            "export": file.addAction("Export layers (.npz)…", QtGui.QKeySequence("Ctrl+E"),
                                     lambda: self.export_layers()),
        }
        file.addSeparator()
        # the plot's own save commands, also offered in its context menu
        self.saveActions = {}
        for text, name in (("Save frame with curves…", "onSaveImageWithCurveAs"),
                           ("Save stack with curves…", "onSaveStackImageWithCurveAs"),
                           ("Save stack (grayscale)…", "onSaveStackImageAs"),
                           ("Save image layers…", "onSaveImageAs")):
            self.saveActions[name] = file.addAction(text, lambda n=name: getattr(self.plot, n)())
        file.addSeparator()
        file.addAction("Quit", QtGui.QKeySequence.StandardKey.Quit, self.close)
        self.editMenu = EditMenu(self, plot_replaced=self.plotReplaced, refresh_on=self.frameChanged)
        self.carryActions = CarryActions(self, edit_menu=self.editMenu)   # carry: Ctrl+] / Ctrl+[
        view = bar.addMenu("&View")
        view.addAction("Reset zoom", QtGui.QKeySequence("R"), lambda: self.plot.vb.autoRange(padding=0.001))
        view.addAction("Toggle light/dark theme", QtGui.QKeySequence("T"),
                       lambda: self.set_theme("light" if self.theme == "dark" else "dark"))

    # -- the plot --------------------------------------------------------------------------------
    # Everything that ties a plot to the window and the volume is here: _make_plot wires a new plot
    # (and announces it with plotReplaced), _load_frame hands it one frame.
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
        self._make_gap_items(colors["plot_bg"])
        if old is not None:
            self._load_frame(self.frame_index)
        self.plotReplaced.emit(plot)

    def _make_gap_items(self, background):
        # On the view box, not through the plot: the plot's redraw clears what it added itself.
        # A dash in the background colour over the curve shows it dashed where the file has no value.
        pen = pg.mkPen(background, width=2, style=QtCore.Qt.PenStyle.DashLine)
        self.gap_items = []
        for _ in self.volume.names:
            item = pg.PlotDataItem(pen=pen, connect="finite")
            item.setZValue(50)
            item.setAcceptedMouseButtons(QtCore.Qt.MouseButton.NoButton)
            self.plot.vb.addItem(item, ignoreBounds=True)
            self.gap_items.append(item)

    def _update_gaps(self, k=None):
        f = self.frame_index
        for i in (range(len(self.gap_items)) if k is None else [k]):
            unknown = self.volume.unknown(i, f)
            item = self.gap_items[i]
            if not unknown.any() or not self.props[i]["is_visible"]:
                item.setData([], [])
                continue
            y = np.where(unknown, self.volume.curves[i][f], np.nan)
            item.setData(np.arange(self.volume.width), y, connect="finite")

    def _load_frame(self, i):
        frame = self.volume.frame_float(i)
        self.image_item.setImage(frame, autoLevels=False, levels=(0.0, 1.0))
        self.plot.set_added_items(self.image_item)
        curves = self.volume.frame_curves(i)
        self.plot.set_curve(curves, self.props)
        self._loaded = {k: c.copy() for k, c in enumerate(curves)}
        self._roi_changed()
        self._update_gaps()

    def set_frame(self, i):
        i = int(i)
        if self.ui.frameSlider.value() != i:
            self.ui.frameSlider.setValue(i)   # comes back here through valueChanged
            return
        if self.plot.mouse_path or self.plot.mouse_pressed:
            self.plot.mouse_release()   # finish an open stroke on the frame it was drawn on
        self.frame_index = i
        self.ui.frameLabel.setText(f"{i + 1} / {self.volume.n_frames}")
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
        self._update_gaps(k)

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
        self._record_edit(int(k), int(span[0]), int(span[1]))

    def _record_edit(self, k, start, stop):
        if not 0 <= k < len(self.volume.names):
            return
        f = self.frame_index
        span = self.volume.record_edit(k, f, start, stop, stroke=self.plot.editorType in ("liner", "livewire"),
                                       whole_curve=self.update_mode != "local", before=self._loaded[k])
        if span is None:
            return
        self._update_gaps(k)
        self._update_title()
        self.layersEdited.emit(k, f, *span)

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

    # -- files -----------------------------------------------------------------------------------
    def _update_title(self):
        self.setWindowTitle(f"{self.volume.title}[*] — Curve editor")
        self.setWindowModified(bool(self.volume.modified))

    def _ask_path(self, caption, suggestion, pattern):
        path, _ = QFileDialog.getSaveFileName(self, caption, os.fspath(suggestion), pattern)
        return path or None

    def _suggested(self, suffix):
        src = getattr(self.volume, "path", None)
        if src is None:
            return Path.cwd() / f"synthetic{suffix}"
        base = src if src.is_dir() else src.with_suffix("")
        return base.parent / f"{base.name}_corrected{suffix}"

    def _write(self, what, path, write):
        try:
            write(self.volume, path)
        except Exception as e:  # a failed save is reported, the window and the edits stay
            message = f"Could not save {what} to {path}: {e}"
            self.statusBar().showMessage(message, 8000)
            self.log(message)
            QMessageBox.warning(self, "Save failed", message)
            return False
        self.statusBar().showMessage(f"Saved {what} to {path}", 5000)
        self.log(f"saved {what} to {path}")
        return True

    def save(self, ask=False):
        """Writes the corrected layers to .eye (asking where the first time); True when written."""
        if self.save_blocked:
            self.statusBar().showMessage(self.save_blocked, 8000)
            QMessageBox.warning(self, "Cannot save", self.save_blocked)
            return False
        path = self.save_path
        if ask or path is None:
            path = self._ask_path("Save corrected layers", self.save_path or self._suggested(".eye"),
                                  "eyepy volume (*.eye)")
            if path is None:
                return False
        path = Path(path)
        if not self._write("the corrected layers", path, scans.write_eye):
            return False
        self.save_path = path
        self.volume.modified = False
        self._update_title()
        self.layersSaved.emit(path)
        return True

    def export_layers(self, path=None):
        """Writes the corrected layers as .npz, one frames x columns array per layer name."""
        if path is None:
            path = self._ask_path("Export layers", self._suggested(".npz"), "NumPy layers (*.npz)")
            if path is None:
                return False
        return self._write("the layers", Path(path), scans.write_npz)

    def closeEvent(self, event):
        if self.volume.modified and self.ask_before_close:
            answer = QMessageBox.question(
                self, "Unsaved corrections", f"Save the corrected layers of {self.volume.title} before closing?",
                QMessageBox.StandardButton.Save | QMessageBox.StandardButton.Discard
                | QMessageBox.StandardButton.Cancel, QMessageBox.StandardButton.Save)
            if answer == QMessageBox.StandardButton.Cancel or (
                    answer == QMessageBox.StandardButton.Save and not self.save()):
                event.ignore()
                return
            if answer == QMessageBox.StandardButton.Discard:
                self.layersDiscarded.emit()
        self._closing = True
        super().closeEvent(event)
        self.closed.emit()

    # -- frames made in the background ------------------------------------------------------------
    def _prepare_frames(self):
        class Closed(Exception):
            pass

        def progress(done, total):
            if self._closing:
                raise Closed
            self._framesPrepared.emit(done, total)
        try:
            self.volume.ensure_all(progress)
        except (Closed, RuntimeError):   # the window went away first
            pass

    def _on_frames_prepared(self, done, total):
        if done < total:
            self.statusBar().showMessage(f"Preparing frames… {done} / {total}")
        else:
            self.statusBar().showMessage(f"All {total} frames ready", 3000)

    def showEvent(self, event):
        super().showEvent(event)
        # before any switch the plot has sent no type change; show the starting state
        if self.ui.editorGroup.checkedButton() is None:
            self.ui.editorButtons[self.editor_type].setChecked(True)
            self.ui.editorHelp.setText({k: t for k, _, _, t in EDITOR_TYPES}[self.editor_type])
