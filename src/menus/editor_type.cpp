// Switching the editor type: check marks, point commands, highlights, redraw.
#include "binding/py.hpp"
#include "curves/edits.hpp"
#include "methods.hpp"

namespace cep::menus {
namespace {

// Checks or unchecks the action that had `text` in the snapshot, if it had one.
void set_checked(nb::handle self, nb::handle texts, const char *text, bool state) {
    nb::str key(text);
    const int present = PySequence_Contains(texts.ptr(), key.ptr());
    if (present < 0) throw nb::python_error();
    if (!present) return;
    nb::object index = texts.attr("index")(key);
    item(nb::getattr(self, "menu").attr("actions")(), index).attr("setChecked")(state);
}

// The context menu puts its point command first, so the first action is removed.
void remove_point_command(nb::handle self, nb::handle texts, const char *text) {
    nb::str key(text);
    const int present = PySequence_Contains(texts.ptr(), key.ptr());
    if (present < 0) throw nb::python_error();
    if (!present) return;
    nb::object menu = nb::getattr(self, "menu");
    menu.attr("removeAction")(item(menu.attr("actions")(), 0));
}

}  // namespace

void setEditorType(nb::handle self, nb::handle requested) {
    nb::setattr(self, "editorType", requested.attr("lower")());
    nb::list texts;
    for (nb::handle action : nb::getattr(self, "menu").attr("actions")()) texts.append(action.attr("text")());

    nb::object type = nb::getattr(self, "editorType");
    struct Row {
        const char *type;
        bool anchors, liner, live_wire, drop_point_commands;
    };
    static const Row rows[] = {
        {"none", false, false, false, false},
        {"anchors", true, false, false, false},
        {"liner", false, true, false, true},
        {"livewire", false, false, true, true},
    };
    for (const Row &row : rows) {
        if (!type.equal(nb::str(row.type))) continue;
        if (&row == &rows[0]) {  // "none" drops what an anchors drag left behind
            nb::setattr(self, "modified_ctrl_point", nb::none());
            nb::setattr(self, "modified_left_adjcent_points", nb::list());
            nb::setattr(self, "modified_right_adjcent_points", nb::list());
        }
        set_checked(self, texts, "Corrector:Anchors", row.anchors);
        set_checked(self, texts, "Corrector:Liner", row.liner);
        set_checked(self, texts, "Corrector:LiveWire", row.live_wire);
        if (row.drop_point_commands) {
            remove_point_command(self, texts, "addPoint");
            remove_point_command(self, texts, "removePoint");
        }
        break;
    }

    nb::setattr(self, "curve_props", module_global("deepcopy")(nb::getattr(self, "curve_props_bk")));
    edits::redraw(self);
    nb::getattr(self, "sigCurveEditorTypeChanged").attr("emit")(nb::getattr(self, "editorType"), nb::none());
}
constexpr MethodDef kSetEditorType = method<setEditorType>("setEditorType", "(self, editorType: str) -> None",
    R"doc(Switch the editor type to *editorType*: "none", "anchors", "liner" or
"livewire", in any letter case.

Stores it lower-cased in ``editorType`` and checks its corrector action in the
menu. Switching to "none" drops the focused control point and its group;
switching to "liner" or "livewire" removes the point command from the menu.
Every call then removes a curve highlight (``curve_props`` from
``curve_props_bk``), redraws and emits sigCurveEditorTypeChanged(editorType,
None); another name is stored the same way and edits nothing. Raises
AttributeError if *editorType* is not a string.)doc");

}  // namespace cep::menus
