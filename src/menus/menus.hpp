// What the plot's construction asks of the menus.
#pragma once

#include "binding/py.hpp"

namespace cep::menus {

// The plot's menu: the view box's, trimmed and themed, with the editor menu's
// correctors (when enabled) and the save commands.
void build(nb::handle self, nb::handle enableEditorMenu);

}  // namespace cep::menus
