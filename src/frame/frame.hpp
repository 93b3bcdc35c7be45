// Shared pieces of the plot's frame: the corrector actions of the editor menu.
#pragma once

#include "binding/py.hpp"

namespace cep::frame {

// One row of the editor menu: action text, editor type it selects, argument passed
// to setEditorType when that type is not the current one.
struct CorrectorRow {
    const char *text;
    const char *type;
    const char *request;
};
extern const CorrectorRow kCorrectors[3];

// QtGui.QAction(text, self, triggered=f), checkable, checked when `type` is current.
nb::object make_corrector_action(nb::handle self, const CorrectorRow &row);

}  // namespace cep::frame
