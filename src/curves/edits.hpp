// The one path of every curve edit. The pending span lives in one attribute that only
// these functions write, and an edit that rebuilds a curve redraws in the same step,
// so a handler cannot change the data and leave the screen behind.
#pragma once

#include "binding/py.hpp"

namespace cep::edits {

// params_for_ctrl_point_changed_signal: None, or [curve index, start, stop].
nb::object pending(nb::handle self);

// Makes [curve index, start, stop] the pending span.
void record(nb::handle self, nb::handle curve_index, nb::handle start, nb::handle stop);

// Nothing pending any more.
void clear(nb::handle self);

// self.build_curve(curve_index) over the pending span, then self.plot().
void rebuild_and_redraw(nb::handle self, nb::handle curve_index);

// self.plot(): every redraw after an edit goes through here.
void redraw(nb::handle self);

}  // namespace cep::edits
