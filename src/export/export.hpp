// Shared pieces of the export subsystem.
#pragma once

#include "binding/py.hpp"

namespace cep::export_ {

inline nb::object G(const char *name) { return module_global(name); }

// Burns one curve into `rgb` (an h x w x 3 image, drawn in place) with its props.
void burn_in_curve(nb::handle rgb, int64_t h, int64_t w, nb::handle curve, nb::handle props);

// The two halves of burn_in_curve: the point list and colour read from the curve (None
// when nothing is to be drawn), and the drawing. Reading every curve of a frame before
// drawing any gives a frame one consistent state of the curves: drawing releases the
// interpreter lock, and the GUI thread may edit curves meanwhile.
nb::object prepare_curve(int64_t h, int64_t w, nb::handle curve, nb::handle props);
void draw_prepared(nb::handle rgb, nb::handle prepared);

// Cooperative stop of a save worker. Killing a thread that runs Python code leaves
// the interpreter's lock with a dead owner (or aborts on the forced unwind), so the
// worker turns Qt termination off while it runs and stops itself at frame
// boundaries when asked; see worker.cpp.
void request_stop(nb::handle worker);

// Keeps a started worker alive until its thread has ended (and waits for it at exit).
void keep_until_finished(nb::handle worker);
}  // namespace cep::export_
