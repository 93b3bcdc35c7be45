"""The shipped type stubs match the runtime modules."""
import importlib
import os
import pathlib
import subprocess
import sys

import pytest

MODULES = ["vantel.utils.curveEditorPlot", "vantel.utils.curveEditHistory"]


@pytest.mark.parametrize("name", MODULES)
def test_stub_is_installed_beside_the_module(name):
    folder = pathlib.Path(importlib.import_module(name).__file__).parent
    assert (folder / (name.rpartition(".")[2] + ".pyi")).is_file()
    assert (folder / "py.typed").is_file()


@pytest.mark.parametrize("name", MODULES)
def test_stubtest_passes_without_allowlist(tmp_path, name):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", MYPY_CACHE_DIR=str(tmp_path / "cache"))
    # Installed, mypy finds the typed package itself; a development build is found from
    # the folder that holds it.
    root = pathlib.Path(importlib.import_module(name).__file__).parents[2]
    cwd = tmp_path if root.name == "site-packages" else root
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", name],
                            capture_output=True, text=True, env=env, timeout=600, cwd=cwd)
    assert result.returncode == 0, result.stdout + result.stderr
