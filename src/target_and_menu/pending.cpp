// Not landed yet: each body raises NotImplementedError naming its method.
#include "binding/stub.hpp"
#include "methods.hpp"

namespace cep::target_and_menu {

nb::object contextMenuEvent(Call &) { not_implemented("CurveEditorPlot.contextMenuEvent"); }
nb::object on_add_cv_point(Call &) { not_implemented("CurveEditorPlot.on_add_cv_point"); }
nb::object on_remove_cv_point(Call &) { not_implemented("CurveEditorPlot.on_remove_cv_point"); }
nb::object targetWhellEvent(Call &) { not_implemented("CurveEditorPlot.targetWhellEvent"); }
nb::object targetMoved(Call &) { not_implemented("CurveEditorPlot.targetMoved"); }

}  // namespace cep::target_and_menu
