"""A method's body and its signature text must agree, or the module does not compile."""
import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
nanobind = pytest.importorskip("nanobind")
compiler = shutil.which("c++") or shutil.which("g++")
pytestmark = pytest.mark.skipif(compiler is None, reason="no C++ compiler")

BODIES = """
#include "binding/funclike.hpp"
namespace cep {
nb::object one(nb::handle self) { return nb::borrow(self); }
nb::object two(nb::handle, nb::handle x) { return nb::borrow(x); }
nb::object rest(nb::handle, nb::tuple args, nb::dict kw) { return nb::make_tuple(args, kw); }
nb::object slot(Closure data, nb::tuple) { return nb::borrow(data); }
%s
}
"""


def compiles(definition):
    source = BODIES % definition
    result = subprocess.run(
        [compiler, "-std=c++17", "-fsyntax-only", "-x", "c++", "-", f"-I{ROOT / 'src'}",
         f"-I{nanobind.include_dir()}", f"-I{sysconfig.get_paths()['include']}"],
        input=source, capture_output=True, text=True)
    return result.returncode == 0, result.stderr


@pytest.mark.parametrize("definition, ok", [
    pytest.param('constexpr MethodDef k = method<two>("f", "(self, x: Any = \'a, b\') -> None", "doc");', True,
                 id="defaults, annotations and a comma inside a string"),
    pytest.param('constexpr MethodDef k = method<rest>("f", "(self, *args, **kwargs)");', True, id="*args and **kwargs"),
    pytest.param('constexpr MethodDef k = method<slot>("<lambda>", "(*args)");', True, id="closure data before *args"),
    pytest.param('constexpr MethodDef k = method<one>("f", "(self, x)");', False, id="body lacks a parameter"),
    pytest.param('constexpr MethodDef k = method<two>("f", "(self)");', False, id="body has one too many"),
    pytest.param('constexpr MethodDef k = method<two>("f", "(self, **kw)");', False, id="**kwargs as a named one"),
    pytest.param('constexpr MethodDef k = method<rest>("f", "(self, *, x, **kw)");', False,
                 id="keyword-only parameters refused"),
])
def test_signature_text_and_body_are_checked_when_compiling(definition, ok):
    compiled, errors = compiles(definition)
    assert compiled == ok, errors[-2000:]

