// The plot's menu: the view box's, trimmed and themed, with three checkable corrector
// actions that switch the editor type and the save commands.
#include "menus/menus.hpp"
#include "methods.hpp"

namespace cep::menus {

namespace {

// One row of the editor menu: action text, editor type it selects, argument passed
// to setEditorType when that type is not the current one.
struct CorrectorRow {
    const char *text;
    const char *type;
    const char *request;
};
const CorrectorRow kCorrectors[3] = {
    {"Corrector:Liner", "liner", "Liner"},
    {"Corrector:LiveWire", "livewire", "Livewire"},
    {"Corrector:Anchors", "anchors", "Anchors"},
};

const char kDarkSheet[] =
    "QMenu {background-color: rgb(37, 37, 38); color: rgb(240, 240, 240);} "
    "QMenu::item:selected {background-color: rgb(0, 120, 212);}";
const char kLightSheet[] =
    "QMenu {background-color: rgb(240, 240, 240); color: rgb(37, 37, 38);} "
    "QMenu::item:selected {background-color: rgb(0, 120, 212);}";

const char *const kSaveEntries[][2] = {
    {"Save image...", "onSaveImageAs"},
    {"Save stack image...", "onSaveStackImageAs"},
    {"Save image with curve...", "onSaveImageWithCurveAs"},
    {"Save stack image with curve...", "onSaveStackImageWithCurveAs"},
};

// The action's slot. It holds the plot weakly, as a strong reference from a connection
// would keep a dropped plot alive for as long as its menu, and reads editorType when
// triggered, not when made.
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

// QtGui.QAction(text, self, triggered=f), checkable, checked when `type` is current.
nb::object make_corrector_action(nb::handle self, const CorrectorRow &row) {
    nb::object slot = make_function(kCorrectorDef, "CurveEditorPlot.__init__.<locals>.<lambda>",
                                   nb::make_tuple(nb::weakref(self), row.type, row.request));
    nb::object action = module_global("QtGui").attr("QAction")(row.text, self, "triggered"_a = slot);
    action.attr("setCheckable")(true);
    action.attr("setChecked")(nb::getattr(self, "editorType").equal(nb::str(row.type)));
    return action;
}

}  // namespace

// The view box's menu, trimmed to its first entry and themed, with the correctors
// and the save commands.
void build(nb::handle self, nb::handle enableEditorMenu) {
    nb::setattr(self, "menu", nb::getattr(self, "vb").attr("getMenu")(nb::none()));
    nb::object menu = nb::getattr(self, "menu");
    const Py_ssize_t n = nb::len(menu.attr("actions")());
    for (Py_ssize_t k = 0; k < n - 1; ++k) menu.attr("removeAction")(item(menu.attr("actions")(), 1));
    nb::getattr(self, "ctrlMenu").attr("menuAction")().attr("setVisible")(false);

    const bool dark = nb::getattr(nb::getattr(self, "parentWindow"), "theme").equal(nb::str("dark"));
    nb::getattr(self, "menu").attr("setStyleSheet")(dark ? kDarkSheet : kLightSheet);

    if (truthy(enableEditorMenu)) {
        for (const CorrectorRow &row : kCorrectors)
            nb::getattr(self, "menu").attr("addAction")(make_corrector_action(self, row));
    }
    self.attr("setEnableEditorMenu")(enableEditorMenu);

    for (const auto &entry : kSaveEntries)
        nb::getattr(self, "menu").attr("addAction")(entry[0], nb::getattr(self, entry[1]));
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
    "setEnableEditorMenu", "(self, enableEditorMenu: bool) -> None",
    R"doc(Offer or withhold the corrector actions of the context menu.

If *enableEditorMenu* is true, the checkable actions "Corrector:Liner",
"Corrector:LiveWire" and "Corrector:Anchors" are made below the menu's first
entry where missing, enabled, and the one of the current editor type is checked.
Choosing one calls setEditorType() with its type, or with "None" if that type is
the current one. If false, they are disabled and unchecked but stay in the menu.
The value is stored in ``enableEditorMenu``. Emits nothing.)doc");

}  // namespace cep::menus
