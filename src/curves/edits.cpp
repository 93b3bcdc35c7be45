// The one path of every curve edit: the pending span and the redraw.
#include "curves/edits.hpp"

namespace cep::edits {

nb::object pending(nb::handle self) { return nb::getattr(self, "params_for_ctrl_point_changed_signal"); }

void record(nb::handle self, nb::handle curve_index, nb::handle start, nb::handle stop) {
    nb::setattr(self, "params_for_ctrl_point_changed_signal", nb::list(nb::make_tuple(curve_index, start, stop)));
}

void clear(nb::handle self) { nb::setattr(self, "params_for_ctrl_point_changed_signal", nb::none()); }

void rebuild_and_redraw(nb::handle self, nb::handle curve_index) {
    nb::getattr(self, "build_curve")(curve_index);
    redraw(self);
}

void redraw(nb::handle self) { nb::getattr(self, "plot")(); }

}  // namespace cep::edits
