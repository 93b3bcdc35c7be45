// The save commands of the plot's menu.
#include "saving/saving.hpp"
#include "methods.hpp"

namespace cep::saving {

namespace {

// The chosen path of QFileDialog.getSaveFileName (empty when cancelled).
nb::object ask_save_path(nb::handle self, const char *caption, const char *filter) {
    nb::object answer = module_global("QFileDialog").attr("getSaveFileName")(nb::getattr(self, "parentWindow"), caption, "", filter);
    return item(answer, 0);
}

bool ends_with_tiff(nb::handle filename) {
    nb::object lower = filename.attr("lower")();
    return truthy(lower.attr("endswith")(nb::make_tuple(".tiff", ".tif")));
}

nb::object stack_path(nb::handle filename) {
    if (ends_with_tiff(filename)) return nb::borrow(filename);
    return filename + nb::str(".tiff");
}

}  // namespace

void onSaveImageAs(nb::handle self) {
    nb::object filename = ask_save_path(self, "Save Image", "Image (*.png)");
    if (!truthy(filename)) return;
    nb::object items = nb::getattr(self, "added_items");
    if (items.is_none()) return;
    Py_ssize_t idx = 0;
    for (nb::handle image_item : items) {
        // Each name derives from the previous one: scan.png, scan_1.png, scan_1_2.png.
        if (idx > 0) {
            nb::object suffix = nb::str("_") + nb::str(nb::int_(idx)) + nb::str(".png");
            filename = filename.attr("replace")(".png", suffix);
        }
        image_item.attr("save")(filename);
        ++idx;
    }
}
constexpr MethodDef kOnSaveImageAs = method<onSaveImageAs>("onSaveImageAs", "(self) -> None",
    "Saves the current plot as an image file.");

void onSaveImageWithCurveAs(nb::handle self) {
    nb::object frame = self.attr("_get_current_frame_as_uint8")();
    if (frame.is_none()) return;
    nb::object filename = ask_save_path(self, "Save Image with Curve", "TIFF (*.tiff);;PNG (*.png)");
    if (!truthy(filename)) return;
    nb::object rgb = self.attr("_render_image_with_curves")(frame);
    if (ends_with_tiff(filename)) {
        module_global("tifffile").attr("imwrite")(filename, rgb);
    } else {
        nb::object cv2 = module_global("cv2");
        cv2.attr("imwrite")(filename, cv2.attr("cvtColor")(rgb, cv2.attr("COLOR_RGB2BGR")));
    }
}
constexpr MethodDef kOnSaveImageWithCurveAs = method<onSaveImageWithCurveAs>(
    "onSaveImageWithCurveAs", "(self) -> None",
    "Save the current image frame with curves overlaid as a color image.");

void onSaveStackImageAs(nb::handle self) {
    nb::object volume = nb::getattr(self, "volumeData");
    if (volume.is_none()) return;
    nb::object filename = ask_save_path(self, "Save Stack Image", "Image (*.tiff)");
    if (!truthy(filename)) return;
    filename = stack_path(filename);
    self.attr("_start_save_worker")("stack", filename, "volume_data"_a = nb::getattr(self, "volumeData"));
}
constexpr MethodDef kOnSaveStackImageAs = method<onSaveStackImageAs>("onSaveStackImageAs", "(self) -> None",
    "Save the volume stack as a grayscale TIFF file using a background worker thread.");

void onSaveStackImageWithCurveAs(nb::handle self) {
    if (nb::getattr(self, "volumeData").is_none()) return;
    nb::object filename = ask_save_path(self, "Save Stack Image with Curve", "Image (*.tiff)");
    if (!truthy(filename)) return;
    filename = stack_path(filename);
    nb::dict keywords;
    keywords["volume_data"] = nb::getattr(self, "volumeData");
    keywords["gCurves"] = nb::getattr(self, "gCurves");
    keywords["curve_props"] = nb::getattr(self, "curve_props");
    nb::object per_frame = nb::getattr(self, "volumeGCurves");
    if (!per_frame.is_none()) {
        nb::list entries;
        for (nb::handle key : per_frame) entries.append(item(per_frame, key));
        keywords["gCurves_volume"] = entries;
    }
    self.attr("_start_save_worker")("stack_with_curve", filename, **keywords);
}
constexpr MethodDef kOnSaveStackImageWithCurveAs = method<onSaveStackImageWithCurveAs>(
    "onSaveStackImageWithCurveAs", "(self) -> None",
    "Save the volume stack with curves overlaid as a color TIFF using a background worker thread.");

}  // namespace cep::saving
