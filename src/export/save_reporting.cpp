// The plot's side of the stack save worker: starting it, and showing the host what it
// reports (cursor, status bar, warning box).
#include "export/export.hpp"
#include "methods.hpp"

namespace cep::export_ {

namespace {

void show_status(nb::handle window, nb::handle text, int timeout = -1) {
    if (!has_attr(window, "statusBar")) return;
    nb::object bar = window.attr("statusBar")();
    if (timeout < 0)
        bar.attr("showMessage")(text);
    else
        bar.attr("showMessage")(text, timeout);
}

nb::object cursor(const char *shape) { return module_global("QtCore").attr("Qt").attr("CursorShape").attr(shape); }

}  // namespace

nb::object start_save_worker(Call &c) {
    nb::handle self = c.self(), save_type = c.arg("save_type"), filename = c.arg("filename");
    nb::object running = getattr(self, "save_worker");
    if (!running.is_none() && truthy(running.attr("isRunning")())) {
        request_stop(running);
        running.attr("terminate")();
        running.attr("wait")();
    }
    PyObject *made = PyObject_Call(module_global("CurveStackSaveWorker").ptr(), nb::make_tuple(filename, save_type).ptr(),
                                   c.varkw.ptr());
    if (!made) throw nb::python_error();
    setattr(self, "save_worker", nb::steal(made));
    nb::object worker = getattr(self, "save_worker");
    getattr(worker, "finished").attr("connect")(getattr(self, "_on_save_finished"));
    getattr(worker, "error").attr("connect")(getattr(self, "_on_save_error"));
    getattr(worker, "progress").attr("connect")(getattr(self, "_on_save_progress"));

    nb::object window = getattr(self, "parentWindow");
    window.attr("setCursor")(cursor("WaitCursor"));
    show_status(window, concat({nb::str("Saving "), py_str(save_type), nb::str("...")}));
    worker.attr("start")();
    keep_until_finished(worker);
    return nb::none();
}

nb::object on_save_progress(Call &c) {
    show_status(getattr(c.self(), "parentWindow"), concat({nb::str("Saving... "), py_str(c.arg("progress")), nb::str("%")}));
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
    nb::object QMessageBox = module_global("QMessageBox");
    nb::object box = QMessageBox(window);
    box.attr("setWindowTitle")("Save Error");
    box.attr("setText")("Failed to save file");
    box.attr("setDetailedText")(c.arg("error_message"));
    box.attr("setIcon")(QMessageBox.attr("Icon").attr("Warning"));
    box.attr("exec_")();
    return nb::none();
}

}  // namespace cep::export_
