// The plot's side of the stack save worker: starting it, and showing the host what it
// reports (cursor, status bar, warning box).
#include "saving/saving.hpp"
#include "methods.hpp"

namespace cep::saving {

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

void start_save_worker(nb::handle self, nb::handle save_type, nb::handle filename, nb::dict kwargs) {
    nb::object running = nb::getattr(self, "save_worker");
    if (!running.is_none() && truthy(running.attr("isRunning")())) {
        request_stop(running);
        running.attr("terminate")();
        running.attr("wait")();
    }
    nb::setattr(self, "save_worker", module_global("CurveStackSaveWorker")(filename, save_type, **kwargs));
    nb::object worker = nb::getattr(self, "save_worker");
    nb::getattr(worker, "finished").attr("connect")(nb::getattr(self, "_on_save_finished"));
    nb::getattr(worker, "error").attr("connect")(nb::getattr(self, "_on_save_error"));
    nb::getattr(worker, "progress").attr("connect")(nb::getattr(self, "_on_save_progress"));

    nb::object window = nb::getattr(self, "parentWindow");
    window.attr("setCursor")(cursor("WaitCursor"));
    show_status(window, nb::str("Saving ") + nb::str(save_type) + nb::str("..."));
    worker.attr("start")();
    keep_until_finished(worker);
}
constexpr MethodDef kStartSaveWorker = method<start_save_worker>(
    "_start_save_worker", "(self, save_type: str, filename: str, **kwargs) -> None",
    "Start a background worker thread for saving stack images.");

void on_save_progress(nb::handle self, nb::handle progress) {
    show_status(nb::getattr(self, "parentWindow"), nb::str("Saving... ") + nb::str(progress) + nb::str("%"));
}
constexpr MethodDef kOnSaveProgress = method<on_save_progress>("_on_save_progress", "(self, progress: int) -> None",
    "Handle save-progress updates from the worker thread.");

void on_save_finished(nb::handle self, nb::handle message) {
    nb::object window = nb::getattr(self, "parentWindow");
    window.attr("setCursor")(cursor("ArrowCursor"));
    show_status(window, message, 3000);
}
constexpr MethodDef kOnSaveFinished = method<on_save_finished>("_on_save_finished", "(self, message: str) -> None",
    "Handle successful completion of the save operation.");

void on_save_error(nb::handle self, nb::handle error_message) {
    nb::object window = nb::getattr(self, "parentWindow");
    window.attr("setCursor")(cursor("ArrowCursor"));
    show_status(window, nb::str("Save failed"));
    nb::object QMessageBox = module_global("QMessageBox");
    nb::object box = QMessageBox(window);
    box.attr("setWindowTitle")("Save Error");
    box.attr("setText")("Failed to save file");
    box.attr("setDetailedText")(error_message);
    box.attr("setIcon")(QMessageBox.attr("Icon").attr("Warning"));
    box.attr("exec_")();
}
constexpr MethodDef kOnSaveError = method<on_save_error>("_on_save_error", "(self, error_message: str) -> None",
    "Handle errors from the save worker thread.");

}  // namespace cep::saving
