// The host's data (curves, properties, ROI lines, image items) and the full redraw.
#include "binding/py.hpp"
#include "methods.hpp"

namespace cep::plot {

void set_curve(nb::handle self, nb::handle curve, nb::handle curve_props) {
    nb::setattr(self, "gCurves", curve);
    nb::setattr(self, "curveLen", nb::int_(nb::len(item(curve, 0))));
    nb::setattr(self, "curve_props", curve_props);
    nb::setattr(self, "curve_props_bk", module_global("deepcopy")(curve_props));
    nb::setattr(self, "ctrl_points", self.attr("_generate_control_points")());
}
constexpr MethodDef kSetCurve = method<set_curve>("set_curve", "(self, curve: list, curve_props: Any) -> None",
    R"doc(Set the curves to edit and their drawing properties.

*curve* is a list of 1-d arrays of equal length, one y per image column; the
plot keeps the list and the arrays themselves and edits them in place.
*curve_props* is a list of dicts parallel to it, with the keys "color" ((r, g,
b), 0 to 255), "style" (a QtCore.Qt.PenStyle), "width", "connect" and
"is_visible"; a deep copy is kept in ``curve_props_bk``. The control points are
derived from the curves. Neither redraws (call plot()) nor emits. Raises
IndexError for an empty list.)doc");

void set_roi(nb::handle self, nb::handle roi_position) {
    nb::setattr(self, "roi_position", roi_position);
}
constexpr MethodDef kSetRoi = method<set_roi>("set_roi", "(self, roi_position: list) -> None",
    R"doc(Set the region of interest, [y0, y1]: plot() draws it as two dotted horizontal
lines across the curves, unless y1 is 0. Stored as given; neither redraws nor
emits.)doc");

void set_added_items(nb::handle self, nb::handle added_items) {
    nb::object items = nb::borrow(added_items);
    // None means "no items": a black live-wire image and nothing under the curves.
    if (items.is_none())
        items = nb::list();
    else if (!PyList_Check(items.ptr()))
    {
        nb::list wrapped;
        wrapped.append(items);
        items = wrapped;
    }
    nb::setattr(self, "added_items", items);

    nb::object np = module_global("np");
    nb::object stored = nb::getattr(self, "added_items");
    nb::object image;
    if (nb::len(stored) != 0) image = nb::getattr(item(stored, 0), "image");
    if (image.is_valid() && !image.is_none()) {
        nb::getattr(self, "liveWire").attr("applyImage")((image * nb::int_(255)).attr("astype")(np.attr("uint8")));
    } else {
        nb::getattr(self, "liveWire")
            .attr("applyImage")(np.attr("zeros")(nb::make_tuple(100, 100), "dtype"_a = np.attr("uint8")));
    }
}
constexpr MethodDef kSetAddedItems = method<set_added_items>("set_added_items", "(self, added_items: Any) -> None",
    R"doc(Set the graphics items drawn under the curves, the frame's image item first.

*added_items* is one item, a list of items, or None for none. The first item's
``image`` (a 2-d array of intensities from 0 to 1) is scaled to 0..255 as uint8
and given to the live-wire path finder; without an image the finder gets a black
100 x 100 one. Neither redraws (call plot()) nor emits. Raises AttributeError,
with the items already stored, if the first item has no ``image``.)doc");

void setVolumeData(nb::handle self, nb::handle data) {
    nb::object np = module_global("np");
    nb::setattr(self, "volumeData", np.attr("ascontiguousarray")(data, "dtype"_a = np.attr("uint8")));
}
constexpr MethodDef kSetVolumeData = method<setVolumeData>("setVolumeData", "(self, data: np.ndarray) -> None",
    "Set the volume data for stack saving.");

void setVolumeGCurves(nb::handle self, nb::handle gCurves_volume) {
    nb::setattr(self, "volumeGCurves", gCurves_volume);
}
constexpr MethodDef kSetVolumeGCurves = method<setVolumeGCurves>("setVolumeGCurves", "(self, gCurves_volume) -> None",
    "Set per-frame curves for the volume stack.");

void plot(nb::handle self, nb::tuple, nb::dict) {
    if (nb::getattr(self, "gCurves").is_none() || nb::getattr(self, "curve_props").is_none()) return;
    self.attr("clear")();

    nb::object added = nb::getattr(self, "added_items");
    if (!added.is_none())
        for (nb::handle it : added) self.attr("addItem")(it);

    nb::object pg = module_global("pg");
    nb::object mkPen = pg.attr("mkPen");
    nb::object base = plot_super(self);
    nb::object base_plot = base.attr("plot");
    nb::object zip = nb::module_::import_("builtins").attr("zip");

    for (nb::handle pair : zip(nb::getattr(self, "gCurves"), nb::getattr(self, "curve_props"))) {
        nb::object curve = item(pair, 0), props = item(pair, 1);
        if (!truthy(item(props, nb::str("is_visible")))) continue;
        nb::object color = item(props, nb::str("color"));
        nb::object style = item(props, nb::str("style"));
        nb::object width = item(props, nb::str("width"));
        nb::object connect = item(props, nb::str("connect"));
        base_plot(curve, "pen"_a = mkPen(color, "style"_a = style, "width"_a = width, "connect"_a = connect));
    }

    if (nb::getattr(self, "editorType").equal(nb::str("anchors"))) {
        nb::object symbolBrush = nb::make_tuple(77, 77, 77);
        for (nb::handle pair : zip(nb::getattr(self, "ctrl_points"), nb::getattr(self, "curve_props"))) {
            nb::object entry = item(pair, 0), props = item(pair, 1);
            if (!truthy(item(props, nb::str("is_visible")))) continue;
            nb::object xs = item(entry, 0), ys = item(entry, 1);
            nb::object symbolPen = mkPen("color"_a = item(props, nb::str("color")), "width"_a = item(props, nb::str("width")));
            base_plot(xs, ys, "pen"_a = nb::none(), "symbol"_a = "s", "symbolBrush"_a = symbolBrush,
                      "symbolSize"_a = nb::getattr(self, "symbolSize"), "symbolPen"_a = symbolPen);
        }
    }

    nb::object roi = nb::getattr(self, "roi_position");
    nb::object upper = item(roi, 1);
    if (!upper.equal(nb::int_(0))) {
        nb::list line_x;
        line_x.append(0);
        line_x.append(nb::getattr(self, "curveLen"));
        nb::object roi_pen = mkPen(nb::make_tuple(200, 200, 200), "width"_a = 1,
                                   "style"_a = module_global("QtCore").attr("Qt").attr("PenStyle").attr("DotLine"));
        for (int k : {1, 0}) {
            nb::object y = item(nb::getattr(self, "roi_position"), k);
            nb::list line_y(nb::make_tuple(y, y));
            base_plot(line_x, line_y, "pen"_a = roi_pen);
        }
    }
}
constexpr MethodDef kPlot = method<plot>("plot", "(self, *args, **kargs) -> None",
    R"doc(Redraw everything from the stored data; the arguments are ignored.

Clears the plot, then adds ``added_items``, each visible curve with its pen, in
"anchors" mode each visible curve's control points, and the region-of-interest
lines. Does nothing before set_curve(). Raises KeyError if the properties of a
visible curve lack a key. Emits nothing.)doc");

}  // namespace cep::plot
