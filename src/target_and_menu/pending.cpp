// Not landed yet: each body raises NotImplementedError naming its method.
#include "binding/stub.hpp"
#include "methods.hpp"

namespace cep::target_and_menu {

nb::object setEditorType(Call &) { not_implemented("CurveEditorPlot.setEditorType"); }

}  // namespace cep::target_and_menu
