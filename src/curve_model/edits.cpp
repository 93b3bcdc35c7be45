// The one path of every curve edit: the pending span and the redraw.
#include "curve_model/edits.hpp"

namespace cep::edits {

nb::object pending(nb::handle self) { return nb::getattr(self, INTERNED("params_for_ctrl_point_changed_signal")); }

void record(nb::handle self, nb::handle curve_index, nb::handle start, nb::handle stop) {
    nb::setattr(self, INTERNED("params_for_ctrl_point_changed_signal"), list_of(curve_index, start, stop));
}

void clear(nb::handle self) { nb::setattr(self, INTERNED("params_for_ctrl_point_changed_signal"), nb::none()); }

void rebuild_and_redraw(nb::handle self, nb::handle curve_index) {
    nb::getattr(self, INTERNED("build_curve"))(curve_index);
    redraw(self);
}

void redraw(nb::handle self) { nb::getattr(self, INTERNED("plot"))(); }

}  // namespace cep::edits
