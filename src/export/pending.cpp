// Not landed yet: each body raises NotImplementedError naming its method.
#include "binding/stub.hpp"
#include "methods.hpp"

namespace cep::export_ {

nb::object onSaveImageAs(Call &) { not_implemented("CurveEditorPlot.onSaveImageAs"); }
nb::object setVolumeData(Call &) { not_implemented("CurveEditorPlot.setVolumeData"); }
nb::object setVolumeGCurves(Call &) { not_implemented("CurveEditorPlot.setVolumeGCurves"); }
nb::object onSaveStackImageAs(Call &) { not_implemented("CurveEditorPlot.onSaveStackImageAs"); }
nb::object onSaveImageWithCurveAs(Call &) { not_implemented("CurveEditorPlot.onSaveImageWithCurveAs"); }
nb::object onSaveStackImageWithCurveAs(Call &) { not_implemented("CurveEditorPlot.onSaveStackImageWithCurveAs"); }
nb::object start_save_worker(Call &) { not_implemented("CurveEditorPlot._start_save_worker"); }
nb::object on_save_progress(Call &) { not_implemented("CurveEditorPlot._on_save_progress"); }
nb::object on_save_finished(Call &) { not_implemented("CurveEditorPlot._on_save_finished"); }
nb::object on_save_error(Call &) { not_implemented("CurveEditorPlot._on_save_error"); }


}  // namespace cep::export_
