// The save commands of the plot's menu, the volume setters, and the plot's side of
// the stack save worker: starting it and showing what it reports.
#include "export/export.hpp"
#include "methods.hpp"

namespace cep::export_ {

namespace {

// The chosen path of QFileDialog.getSaveFileName (empty when cancelled).
nb::object ask_save_path(nb::handle self, const char *caption, const char *filter) {
    nb::object answer = G("QFileDialog").attr("getSaveFileName")(getattr(self, "parentWindow"), caption, "", filter);
    return item(answer, 0);
}

bool ends_with_tiff(nb::handle filename) {
    nb::object lower = filename.attr("lower")();
    return truthy(lower.attr("endswith")(nb::make_tuple(".tiff", ".tif")));
}

nb::object stack_path(nb::handle filename) {
    if (ends_with_tiff(filename)) return nb::borrow(filename);
    PyObject *r = PyNumber_Add(filename.ptr(), nb::str(".tiff").ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::object text_of(nb::handle value) {
    PyObject *r = PyObject_Str(value.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::object joined(std::initializer_list<nb::handle> parts) {
    nb::list pieces;
    for (nb::handle p : parts) pieces.append(p);
    return nb::str("").attr("join")(pieces);
}

void show_status(nb::handle window, nb::handle text, int timeout = -1) {
    if (!has_attr(window, "statusBar")) return;
    nb::object bar = window.attr("statusBar")();
    if (timeout < 0)
        bar.attr("showMessage")(text);
    else
        bar.attr("showMessage")(text, timeout);
}

nb::object cursor(const char *shape) { return G("QtCore").attr("Qt").attr("CursorShape").attr(shape); }

}  // namespace

nb::object setVolumeData(Call &c) {
    nb::object np = G("np");
    setattr(c.self(), "volumeData", np.attr("ascontiguousarray")(c.arg("data"), "dtype"_a = np.attr("uint8")));
    return nb::none();
}

nb::object setVolumeGCurves(Call &c) {
    setattr(c.self(), "volumeGCurves", c.arg("gCurves_volume"));
    return nb::none();
}

nb::object onSaveImageAs(Call &c) {
    nb::handle self = c.self();
    nb::object filename = ask_save_path(self, "Save Image", "Image (*.png)");
    if (!truthy(filename)) return nb::none();
    nb::object items = getattr(self, "added_items");
    if (items.is_none()) return nb::none();
    Py_ssize_t idx = 0;
    for (nb::handle image_item : items) {
        // Each name derives from the previous one: scan.png, scan_1.png, scan_1_2.png.
        if (idx > 0) {
            nb::object suffix = joined({nb::str("_"), text_of(nb::int_(idx)), nb::str(".png")});
            filename = filename.attr("replace")(".png", suffix);
        }
        image_item.attr("save")(filename);
        ++idx;
    }
    return nb::none();
}

nb::object onSaveImageWithCurveAs(Call &c) {
    nb::handle self = c.self();
    nb::object frame = self.attr("_get_current_frame_as_uint8")();
    if (frame.is_none()) return nb::none();
    nb::object filename = ask_save_path(self, "Save Image with Curve", "TIFF (*.tiff);;PNG (*.png)");
    if (!truthy(filename)) return nb::none();
    nb::object rgb = self.attr("_render_image_with_curves")(frame);
    if (ends_with_tiff(filename)) {
        G("tifffile").attr("imwrite")(filename, rgb);
    } else {
        nb::object cv2 = G("cv2");
        cv2.attr("imwrite")(filename, cv2.attr("cvtColor")(rgb, cv2.attr("COLOR_RGB2BGR")));
    }
    return nb::none();
}

nb::object onSaveStackImageAs(Call &c) {
    nb::handle self = c.self();
    nb::object volume = getattr(self, "volumeData");
    if (volume.is_none()) return nb::none();
    nb::object filename = ask_save_path(self, "Save Stack Image", "Image (*.tiff)");
    if (!truthy(filename)) return nb::none();
    filename = stack_path(filename);
    self.attr("_start_save_worker")("stack", filename, "volume_data"_a = getattr(self, "volumeData"));
    return nb::none();
}

nb::object onSaveStackImageWithCurveAs(Call &c) {
    nb::handle self = c.self();
    if (getattr(self, "volumeData").is_none()) return nb::none();
    nb::object filename = ask_save_path(self, "Save Stack Image with Curve", "Image (*.tiff)");
    if (!truthy(filename)) return nb::none();
    filename = stack_path(filename);
    nb::dict keywords;
    keywords["volume_data"] = getattr(self, "volumeData");
    keywords["gCurves"] = getattr(self, "gCurves");
    keywords["curve_props"] = getattr(self, "curve_props");
    nb::object per_frame = getattr(self, "volumeGCurves");
    if (!per_frame.is_none()) {
        nb::list entries;
        for (nb::handle key : per_frame) entries.append(item(per_frame, key));
        keywords["gCurves_volume"] = entries;
    }
    nb::object start = self.attr("_start_save_worker");
    PyObject *r = PyObject_Call(start.ptr(), nb::make_tuple("stack_with_curve", filename).ptr(), keywords.ptr());
    if (!r) throw nb::python_error();
    Py_DECREF(r);
    return nb::none();
}

nb::object start_save_worker(Call &c) {
    nb::handle self = c.self(), save_type = c.arg("save_type"), filename = c.arg("filename");
    nb::object running = getattr(self, "save_worker");
    if (!running.is_none() && truthy(running.attr("isRunning")())) {
        request_stop(running);
        running.attr("terminate")();
        running.attr("wait")();
    }
    PyObject *made = PyObject_Call(G("CurveStackSaveWorker").ptr(), nb::make_tuple(filename, save_type).ptr(),
                                   c.varkw.ptr());
    if (!made) throw nb::python_error();
    setattr(self, "save_worker", nb::steal(made));
    nb::object worker = getattr(self, "save_worker");
    getattr(worker, "finished").attr("connect")(getattr(self, "_on_save_finished"));
    getattr(worker, "error").attr("connect")(getattr(self, "_on_save_error"));
    getattr(worker, "progress").attr("connect")(getattr(self, "_on_save_progress"));

    nb::object window = getattr(self, "parentWindow");
    window.attr("setCursor")(cursor("WaitCursor"));
    show_status(window, joined({nb::str("Saving "), text_of(save_type), nb::str("...")}));
    worker.attr("start")();
    keep_until_finished(worker);
    return nb::none();
}

nb::object on_save_progress(Call &c) {
    show_status(getattr(c.self(), "parentWindow"), joined({nb::str("Saving... "), text_of(c.arg("progress")), nb::str("%")}));
    return nb::none();
}

nb::object on_save_finished(Call &c) {
    nb::object window = getattr(c.self(), "parentWindow");
    window.attr("setCursor")(cursor("ArrowCursor"));
    show_status(window, c.arg("message"), 3000);
    return nb::none();
}

nb::object on_save_error(Call &c) {
    nb::object window = getattr(c.self(), "parentWindow");
    window.attr("setCursor")(cursor("ArrowCursor"));
    show_status(window, nb::str("Save failed"));
    nb::object QMessageBox = G("QMessageBox");
    nb::object box = QMessageBox(window);
    box.attr("setWindowTitle")("Save Error");
    box.attr("setText")("Failed to save file");
    box.attr("setDetailedText")(c.arg("error_message"));
    box.attr("setIcon")(QMessageBox.attr("Icon").attr("Warning"));
    box.attr("exec_")();
    return nb::none();
}

}  // namespace cep::export_
