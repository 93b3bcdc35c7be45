// The bodies of the two classes' methods, one group per subsystem folder.
#pragma once

#include "binding/funclike.hpp"

namespace cep {

namespace frame {
nb::object init(Call &c);
nb::object get_inverse_color(Call &c);
nb::object setEnableEditorMenu(Call &c);
nb::object set_added_items(Call &c);
nb::object set_curve(Call &c);
nb::object set_roi(Call &c);
nb::object plot(Call &c);
}  // namespace frame

namespace curve_model {
nb::object plot_indicator(Call &c);
nb::object plot_focus_control_point(Call &c);
nb::object add_cv_point(Call &c);
nb::object remove_cv_points(Call &c);
nb::object generate_control_points(Call &c);
nb::object build_curve(Call &c);
}  // namespace curve_model

namespace pointer_editing {
nb::object mousePressEvent(Call &c);
nb::object mouseDoubleClickEvent(Call &c);
nb::object mouse_release(Call &c);
nb::object hoverMoveEvent(Call &c);
}  // namespace pointer_editing

namespace target_and_menu {
nb::object contextMenuEvent(Call &c);
nb::object on_add_cv_point(Call &c);
nb::object on_remove_cv_point(Call &c);
nb::object targetWhellEvent(Call &c);
nb::object targetMoved(Call &c);
nb::object setEditorType(Call &c);
}  // namespace target_and_menu

namespace export_ {
nb::object onSaveImageAs(Call &c);
nb::object setVolumeData(Call &c);
nb::object setVolumeGCurves(Call &c);
nb::object get_current_frame_as_uint8(Call &c);
nb::object render_image_with_curves(Call &c);
nb::object onSaveStackImageAs(Call &c);
nb::object onSaveImageWithCurveAs(Call &c);
nb::object onSaveStackImageWithCurveAs(Call &c);
nb::object start_save_worker(Call &c);
nb::object on_save_progress(Call &c);
nb::object on_save_finished(Call &c);
nb::object on_save_error(Call &c);

namespace worker {
nb::object init(Call &c);
nb::object run(Call &c);
nb::object save_stack(Call &c);
nb::object save_stack_with_curve(Call &c);
}  // namespace worker
}  // namespace export_

}  // namespace cep
