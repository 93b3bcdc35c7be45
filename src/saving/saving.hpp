// Shared pieces of the export subsystem.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "binding/py.hpp"

namespace cep::saving {

// Burns one curve into `rgb` (an h x w x 3 image, drawn in place) with its props.
void burn_in_curve(nb::handle rgb, int64_t h, int64_t w, nb::handle curve, nb::handle props);

// The two halves of burn_in_curve: the point list and colour read from the curve (None
// when nothing is to be drawn), and the drawing. Reading every curve of a frame before
// drawing any gives a frame one consistent state of the curves: drawing releases the
// interpreter lock, and the GUI thread may edit curves meanwhile.
nb::object prepare_curve(int64_t h, int64_t w, nb::handle curve, nb::handle props);
void draw_prepared(nb::handle rgb, nb::handle prepared);

// Asks a running worker to stop at its next frame (see WorkerControl), and waits until
// its run() can act on it.
void request_stop(nb::handle worker);

// Keeps a started worker alive until its thread has ended (and waits for it at exit).
void keep_until_finished(nb::handle worker);

// QThread::terminate cancels the thread wherever it stands. A thread running Python
// is then usually waiting for the interpreter lock and dies holding its mutex (every
// other thread hangs), or the forced unwind crosses a catch-all and aborts. So run()
// turns Qt termination off for its thread, the cancel Qt then leaves pending never
// fires, and the worker ends itself at the next frame once the plot has asked it to.
struct WorkerControl {
    std::atomic<bool> entered{false};  // run() is under way with termination off
    std::atomic<bool> stop{false};
    PyObject *weakref = nullptr;       // its callback drops the entry with the worker
};

// Gives a new worker its control; the entry goes with the worker.
void register_worker(nb::handle self);
// The control of a worker, or none for one made without __init__.
std::shared_ptr<WorkerControl> control_of(nb::handle self);
// Raises "save stopped" once the plot has asked the worker to stop.
void check_stop(const std::shared_ptr<WorkerControl> &control);

// tifffile.imwrite(filename, pages(), compression="zlib", **options) on every core at
// deflate `level`, beside the target and renamed into place once complete: a failed or
// stopped save leaves no truncated file at the path, and an older file there is only
// ever replaced by a whole one.
void write_stack(nb::handle self, const std::shared_ptr<WorkerControl> &control,
                 const std::function<nb::object()> &pages, int level, nb::dict options);

}  // namespace cep::saving
