"""Every public name of the plot, the stack save worker and the history is documented once: what help()
shows is what the stub gives an editor on hover."""
import ast
import inspect
import pathlib
import pydoc
import re

import pytest
from PySide6 import QtCore

import vantel.utils.curveEditHistory as ceh
import vantel.utils.curveEditorPlot as cep

# Shiboken gives every class one; Qt documents it.
NOT_OURS = {"staticMetaObject"}


def stub_members(module, class_name):
    """The class docstring and {name: docstring or None} of the stub installed beside `module`."""
    path = pathlib.Path(module.__file__).parent / (module.__name__.rpartition(".")[2] + ".pyi")
    node = next(n for n in ast.parse(path.read_text()).body if isinstance(n, ast.ClassDef) and n.name == class_name)
    members = {}
    body = node.body
    for i, item in enumerate(body):
        if isinstance(item, ast.FunctionDef):
            members[item.name] = ast.get_docstring(item)
        elif isinstance(item, ast.AnnAssign):
            after = body[i + 1] if i + 1 < len(body) else None
            documented = (isinstance(after, ast.Expr) and isinstance(after.value, ast.Constant)
                          and isinstance(after.value.value, str))
            members[item.target.id] = inspect.cleandoc(after.value.value) if documented else None
    return ast.get_docstring(node), members


def words(text):
    """The text as help() prints it, without pydoc's margins and line breaks."""
    return " ".join(re.sub(r"^[\s|]*", "", line) for line in text.splitlines()).split()


def contains(text, part):
    text, part = " ".join(words(text)), " ".join(words(part))
    return part in text


def payload_arity(doc):
    """How many arguments the parenthesised payload at the start of a signal's text names."""
    depth, count, seen = 0, 0, False
    for ch in doc:
        if ch in "([":
            seen = seen or depth == 1
            depth += 1
        elif ch in ")]":
            depth -= 1
            if depth == 0:
                return count + seen
        elif depth == 1:
            if ch == ",":
                count += 1
            elif not ch.isspace():
                seen = True
    raise AssertionError(f"no payload in {doc!r}")


def signal_arity(cls, name):
    meta = cls.staticMetaObject
    counts = {meta.method(i).parameterCount() for i in range(meta.methodOffset(), meta.methodCount())
              if bytes(meta.method(i).name()).decode() == name}
    assert len(counts) == 1, f"{cls.__name__}.{name} is not one signal of the class"
    return counts.pop()


@pytest.fixture
def instance_names(make_plot):
    """The public names each instance holds beyond what an instance of its Qt or pyqtgraph base holds."""
    plot = make_plot()
    made = {cep.CurveEditorPlot: plot, cep.CurveStackSaveWorker: cep.CurveStackSaveWorker("out.tiff", "stack"),
            ceh.CurveEditHistory: ceh.CurveEditHistory(plot)}
    return {cls: set(vars(obj)) - set(vars(cls.__base__())) for cls, obj in made.items()}


CLASSES = [pytest.param(cep, cep.CurveEditorPlot, id="plot"),
           pytest.param(cep, cep.CurveStackSaveWorker, id="worker"),
           pytest.param(ceh, ceh.CurveEditHistory, id="history")]


@pytest.mark.parametrize("module, cls", CLASSES)
def test_runtime_docstrings_are_the_stubs(module, cls):
    class_doc, members = stub_members(module, cls.__name__)
    assert class_doc and inspect.cleandoc(cls.__doc__) == class_doc, "class docstring differs from the stub's"
    for name, doc in members.items():
        value = vars(cls).get(name)
        if callable(value) and not isinstance(value, QtCore.Signal):
            runtime = value.__doc__ and inspect.cleandoc(value.__doc__)
            assert runtime == doc, f"{cls.__name__}.{name}: runtime docstring differs from the stub's"


@pytest.mark.parametrize("module, cls", CLASSES)
def test_every_public_name_has_a_docstring(module, cls, instance_names):
    _, members = stub_members(module, cls.__name__)
    public = {name for name in [*vars(cls), *instance_names[cls], *members]
              if not name.startswith("_") and name not in NOT_OURS} | {"__init__"}
    undocumented = sorted(name for name in public if not members.get(name))
    assert not undocumented, f"{cls.__name__}: no docstring in the stub for {undocumented}"


@pytest.mark.parametrize("module, cls", CLASSES)
def test_help_shows_every_method_attribute_and_signal(module, cls):
    _, members = stub_members(module, cls.__name__)
    shown = pydoc.render_doc(cls, renderer=pydoc.plaintext)
    for name, doc in members.items():
        if name.startswith("_") and name != "__init__" or name in NOT_OURS:
            continue
        value = vars(cls).get(name)
        if callable(value) and not isinstance(value, QtCore.Signal):
            assert contains(shown, doc), f"help({cls.__name__}) does not show the docstring of {name}"
            continue
        # Attributes and signals have no docstring of their own: the class's or __init__'s text lists each,
        # name first, with the stub's words.
        assert contains(shown, f"{name} {doc}"), f"help({cls.__name__}) does not describe {name} as the stub does"
        if isinstance(value, QtCore.Signal):
            assert payload_arity(doc) == signal_arity(cls, name), f"{name}: the payload named is not the one emitted"
