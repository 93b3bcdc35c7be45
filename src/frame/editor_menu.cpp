// The editor menu: three checkable corrector actions that switch the editor type.
#include "frame/frame.hpp"
#include "methods.hpp"

namespace cep::frame {

const CorrectorRow kCorrectors[3] = {
    {"Corrector:Liner", "liner", "Liner"},
    {"Corrector:LiveWire", "livewire", "Livewire"},
    {"Corrector:Anchors", "anchors", "Anchors"},
};

namespace {

// The action's slot. It holds the plot weakly (see weak_referent) and reads
// editorType when triggered, not when made.
void corrector(Closure data) {
    auto [ref, type, request] = unpack<3>(data);
    nb::object self = ref();
    if (self.is_none()) return;
    if (!nb::getattr(self, "editorType").equal(type))
        self.attr("setEditorType")(request);
    else
        self.attr("setEditorType")("None");
}

constexpr MethodDef kCorrectorDef = method<corrector>("<lambda>", "()");

}  // namespace

nb::object make_corrector_action(nb::handle self, const CorrectorRow &row) {
    nb::object slot = make_function(kCorrectorDef, "CurveEditorPlot.__init__.<locals>.<lambda>",
                                   nb::make_tuple(nb::weakref(self), row.type, row.request));
    nb::object action = module_global("QtGui").attr("QAction")(row.text, self, "triggered"_a = slot);
    action.attr("setCheckable")(true);
    action.attr("setChecked")(nb::getattr(self, "editorType").equal(nb::str(row.type)));
    return action;
}

void setEnableEditorMenu(nb::handle self, nb::handle enable) {
    nb::setattr(self, "enableEditorMenu", enable);
    if (truthy(enable)) {
        nb::list action_texts;
        for (nb::handle action : nb::getattr(self, "menu").attr("actions")()) action_texts.append(action.attr("text")());
        Py_ssize_t position = 1;
        for (const CorrectorRow &row : kCorrectors) {
            nb::str text(row.text);
            const int present = PySequence_Contains(action_texts.ptr(), text.ptr());
            if (present < 0) throw nb::python_error();
            if (present) {
                nb::object index = action_texts.attr("index")(text);
                item(nb::getattr(self, "menu").attr("actions")(), index).attr("setEnabled")(true);
                item(nb::getattr(self, "menu").attr("actions")(), index)
                    .attr("setChecked")(nb::getattr(self, "editorType").equal(nb::str(row.type)));
            } else {
                nb::object action = make_corrector_action(self, row);
                nb::object menu = nb::getattr(self, "menu");
                menu.attr("insertAction")(item(menu.attr("actions")(), position), action);
            }
            ++position;
        }
    } else {
        for (nb::handle action : nb::getattr(self, "menu").attr("actions")()) {
            nb::object text = action.attr("text")();
            if (text.equal(nb::str("Corrector:Anchors")) || text.equal(nb::str("Corrector:Liner")) ||
                text.equal(nb::str("Corrector:LiveWire"))) {
                action.attr("setEnabled")(false);
                action.attr("setChecked")(false);
            }
        }
    }
}
constexpr MethodDef kSetEnableEditorMenu = method<setEnableEditorMenu>(
    "setEnableEditorMenu", "(self, enableEditorMenu: bool) -> None");

}  // namespace cep::frame
