"""The shipped type stubs match the runtime modules."""
import importlib
import os
import pathlib
import subprocess
import sys

import pytest


@pytest.mark.parametrize("name", ["vantel.utils.curveEditorPlot", "vantel.utils.curveEditHistory"])
def test_stub_is_installed_beside_the_module_and_passes_stubtest(tmp_path, name):
    pkg = pathlib.Path(importlib.import_module(name).__file__).parent
    assert (pkg / (name.rpartition(".")[2] + ".pyi")).is_file() and (pkg / "py.typed").is_file()
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", MYPY_CACHE_DIR=str(tmp_path / "cache"))
    # Installed, mypy finds the typed package itself; a development build is found from the folder that holds it.
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", name], capture_output=True, text=True, env=env,
                            timeout=600, cwd=tmp_path if pkg.parents[1].name == "site-packages" else pkg.parents[1])
    assert result.returncode == 0, result.stdout + result.stderr
