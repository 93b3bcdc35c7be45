#!/usr/bin/env bash
# Fast incremental build for development: the extension lands in build/dev/pkg,
# importable with PYTHONPATH=build/dev/pkg. Needs a Python with nanobind installed.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-.venv/bin/python}
BUILD=${BUILD_DIR:-build/dev}
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE:-Release} \
    -DPython_EXECUTABLE="$(command -v "$PY" || echo "$PY")" ${CMAKE_ARGS:-} >/dev/null
fi
cmake --build "$BUILD" -j "${JOBS:-2}"
