#!/usr/bin/env bash
# One entry point for everyday tasks. Usage: ./run.sh test [pytest args] | demo | bench | asan [pytest args]
set -euo pipefail
cd "$(dirname "$0")"

find_python() {
  local c
  for c in "${PYTHON:-}" python3.12 "$HOME"/.pyenv/versions/3.12*/bin/python3.12 /usr/local/bin/python3.12 /usr/bin/python3.12; do
    [ -n "$c" ] || continue
    if "$c" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1; then
      command -v "$c" || echo "$c"
      return 0
    fi
  done
  echo "No Python 3.12 found; set PYTHON=/path/to/python3.12" >&2
  return 1
}

VENV=${VENV:-.venv}

# Creates the virtual environment on first use and (re)installs the package into it;
# the build directory is kept, so a reinstall only recompiles what changed.
setup() {
  if [ ! -x "$VENV/bin/python" ]; then
    "$(find_python)" -m venv "$VENV"
  fi
  local py="$VENV/bin/python"
  "$py" -m pip install -q --disable-pip-version-check "scikit-build-core==1.1.2" "nanobind==3.1.0" ninja
  # the viewer extra too: the demo opens scan files with it, and the suite tests the demo
  "$py" -m pip install -q --disable-pip-version-check --no-build-isolation ".[test,viewer]"
}

cmd=${1:-test}
[ $# -gt 0 ] && shift
case "$cmd" in
  setup) setup ;;
  test)
    setup
    # The sources live under src/, so the installed module is the one imported.
    # Tests run in TEST_WORKERS processes (0: in this one), each test file in one of them.
    "$VENV/bin/python" -m pytest -q -n "${TEST_WORKERS:-2}" --dist loadfile "$@"
    ;;
  demo)
    setup
    # No screen: the demo plays its scripted session offscreen and writes out/demo/.
    if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ "$(uname)" = Linux ]; then
      export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
    fi
    "$VENV/bin/python" -m vantel_curve_demo "$@"
    ;;
  bench)
    setup
    "$VENV/bin/python" bench/run_all.py "$@"
    ;;
  asan)
    setup
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check cmake
    # The extension alone is instrumented (AddressSanitizer + UndefinedBehaviorSanitizer);
    # it shadows the installed one through PYTHONPATH.
    BUILD_DIR=build/asan CMAKE_BUILD_TYPE=RelWithDebInfo CMAKE_ARGS="-DCEP_SANITIZE=ON" \
      PATH="$PWD/$VENV/bin:$PATH" PYTHON="$PWD/$VENV/bin/python" scripts/devbuild.sh
    # The interpreter is not instrumented, so the runtime must be loaded first, with the
    # C++ runtime beside it (else ASan cannot intercept C++ throws).
    # detect_leaks=0: CPython and Qt keep their global allocations until exit by design,
    # which LeakSanitizer reports by the thousand; leaks of ours are caught by the soak
    # tests (tracemalloc and RSS) instead. Any ASan or UBSan report fails the run.
    # PYTHONMALLOC=malloc: without it a freed Python object goes back to CPython's own
    # arenas, is reused at once, and a use after free surfaces somewhere else or not at all.
    LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" PYTHONMALLOC=malloc \
      ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      CEP_SANITIZED=1 PYTHONPATH="$PWD/build/asan/pkg" "$VENV/bin/python" -m pytest -q "$@"
    ;;
  *) echo "unknown command: $cmd (use: setup, test, demo, bench, asan)" >&2; exit 2 ;;
esac
