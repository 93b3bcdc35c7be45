"""The shipped type stubs match the runtime modules."""
import importlib
import os
import pathlib
import subprocess
import sys

import pytest

MODULES = ["vantel.utils.curveEditorPlot", "vantel.utils.curveEditHistory"]


@pytest.fixture(scope="module")
def stubtest(tmp_path_factory):
    # One stubtest run for both modules: mypy's analysis of Qt's stubs is most of the time, and is shared.
    folder = tmp_path_factory.mktemp("stubtest")
    pkg = pathlib.Path(importlib.import_module(MODULES[0]).__file__).parent
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", MYPY_CACHE_DIR=str(folder / "cache"))
    # Installed, mypy finds the typed package itself; a development build is found from the folder that holds it.
    return subprocess.run([sys.executable, "-m", "mypy.stubtest", *MODULES], capture_output=True, text=True, env=env,
                          timeout=600, cwd=folder if pkg.parents[1].name == "site-packages" else pkg.parents[1])


@pytest.mark.parametrize("name", MODULES)
def test_stub_is_installed_beside_the_module_and_passes_stubtest(stubtest, name):
    pkg = pathlib.Path(importlib.import_module(name).__file__).parent
    assert (pkg / (name.rpartition(".")[2] + ".pyi")).is_file() and (pkg / "py.typed").is_file()
    output = stubtest.stdout + stubtest.stderr
    assert not [line for line in output.splitlines() if line.startswith(f"error: {name}")], output
    assert stubtest.returncode == 0, output
