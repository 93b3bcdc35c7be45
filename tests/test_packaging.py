"""What a host application installs: the distribution's metadata and its command."""
import os
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import pytest
from packaging.requirements import Requirement
from packaging.specifiers import SpecifierSet
from packaging.utils import canonicalize_name

DIST = "vantel-curve-editor-plot"
LOCK = Path(__file__).resolve().parents[1] / "constraints.txt"


def runtime_requirements():
    reqs = [Requirement(r) for r in metadata.requires(DIST) or []]
    return [r for r in reqs if r.marker is None or "extra" not in str(r.marker)]


def locked_versions():
    pins = {}
    for line in LOCK.read_text().splitlines():
        line = line.split("#")[0].strip()
        if line:
            name, _, version = line.partition("==")
            pins[canonicalize_name(name)] = version.strip()
    return pins


def test_runtime_requirements_are_ranges_that_admit_the_locked_set():
    reqs = runtime_requirements()
    assert {canonicalize_name(r.name) for r in reqs} >= {
        "pyside6-essentials", "pyqtgraph", "numpy", "scipy", "opencv-python-headless", "tifffile", "imagecodecs"}
    pins = locked_versions()
    for r in reqs:
        operators = {s.operator for s in r.specifier}
        assert not operators & {"==", "==="}, f"{r}: an exact pin belongs in constraints.txt"
        assert ">=" in operators, f"{r}: no tested lower bound"
        # the set we develop against must be one a host could also resolve to
        assert r.specifier.contains(pins[canonicalize_name(r.name)], prereleases=True), (r, LOCK.name)


def test_python_versions_admitted():
    requires_python = SpecifierSet(metadata.metadata(DIST)["Requires-Python"])
    assert all(v in requires_python for v in ("3.12.1", "3.13.0"))
    assert "3.11.9" not in requires_python


def test_viewer_command_is_installed_and_runs():
    (entry,) = [e for e in metadata.entry_points(group="console_scripts") if e.dist.name == DIST]
    assert entry.name == "vantel-curve-demo" and callable(entry.load())
    script = Path(sys.executable).parent / entry.name
    if not script.exists():
        pytest.skip(f"{script} not installed beside this interpreter")
    result = subprocess.run([str(script), "--help"], capture_output=True, text=True, timeout=120,
                            env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
    assert result.returncode == 0 and "--layers" in result.stdout, result.stderr
    # a file it cannot read gets one line and status 2, not a traceback
    result = subprocess.run([str(script), str(LOCK.with_suffix(".missing.vol"))], capture_output=True, text=True,
                            timeout=120, env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
    assert result.returncode == 2 and result.stderr.startswith("cannot open") and "Traceback" not in result.stderr
