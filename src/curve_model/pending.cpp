// Not landed yet: each body raises NotImplementedError naming its method.
#include "binding/stub.hpp"
#include "methods.hpp"

namespace cep::curve_model {

nb::object add_cv_point(Call &) { not_implemented("CurveEditorPlot.add_cv_point"); }
nb::object remove_cv_points(Call &) { not_implemented("CurveEditorPlot.remove_cv_points"); }
nb::object generate_control_points(Call &) { not_implemented("CurveEditorPlot._generate_control_points"); }
nb::object build_curve(Call &) { not_implemented("CurveEditorPlot.build_curve"); }

}  // namespace cep::curve_model
