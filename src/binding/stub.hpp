// Bodies of behaviour that has not landed yet.
#pragma once

#include "binding/errors.hpp"

namespace cep {

[[noreturn]] inline void not_implemented(const char *qualname) {
    raise_format(PyExc_NotImplementedError, "%s is not implemented yet", qualname);
}

}  // namespace cep
