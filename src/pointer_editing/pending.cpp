// Not landed yet: each body raises NotImplementedError naming its method.
#include "binding/stub.hpp"
#include "methods.hpp"

namespace cep::pointer_editing {

nb::object mousePressEvent(Call &) { not_implemented("CurveEditorPlot.mousePressEvent"); }
nb::object mouseDoubleClickEvent(Call &) { not_implemented("CurveEditorPlot.mouseDoubleClickEvent"); }
nb::object mouse_release(Call &) { not_implemented("CurveEditorPlot.mouse_release"); }
nb::object hoverMoveEvent(Call &) { not_implemented("CurveEditorPlot.hoverMoveEvent"); }

}  // namespace cep::pointer_editing
