"""The shipped type stub matches the runtime module."""
import os
import pathlib
import subprocess
import sys

import vantel.utils.curveEditorPlot as cep


def test_stub_is_installed_beside_the_module():
    folder = pathlib.Path(cep.__file__).parent
    assert (folder / "curveEditorPlot.pyi").is_file()
    assert (folder / "py.typed").is_file()


def test_stubtest_passes_without_allowlist(tmp_path):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", MYPY_CACHE_DIR=str(tmp_path / "cache"))
    # Installed, mypy finds the typed package itself; a development build is found from
    # the folder that holds it.
    root = pathlib.Path(cep.__file__).parents[2]
    cwd = tmp_path if root.name == "site-packages" else root
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "vantel.utils.curveEditorPlot"],
                            capture_output=True, text=True, env=env, timeout=600, cwd=cwd)
    assert result.returncode == 0, result.stdout + result.stderr
