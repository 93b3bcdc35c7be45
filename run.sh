#!/usr/bin/env bash
# One entry point for everyday tasks. Usage: ./run.sh setup | test [pytest args] | demo | bench |
# asan [pytest args] | test-lowest [pytest args] | test-py313 [pytest args]
set -euo pipefail
cd "$(dirname "$0")"

# find_python 3.12 | 3.13: PYTHON (for 3.12) or PYTHON313 may name the interpreter.
find_python() {
  local want=$1 c override=${PYTHON:-}
  [ "$want" = 3.13 ] && override=${PYTHON313:-}
  for c in "$override" "python$want" "$HOME"/.pyenv/versions/"$want"*/bin/"python$want" \
           /usr/local/bin/"python$want" /usr/bin/"python$want"; do
    [ -n "$c" ] || continue
    if "$c" -c "import sys; sys.exit(f'{sys.version_info[0]}.{sys.version_info[1]}' != '$want')" >/dev/null 2>&1; then
      command -v "$c" || echo "$c"
      return 0
    fi
  done
  echo "No Python $want found; set $([ "$want" = 3.13 ] && echo PYTHON313 || echo PYTHON)=/path/to/python$want" >&2
  return 1
}

VENV=${VENV:-.venv}
# The exact versions every environment here is installed with; pyproject.toml holds only ranges.
LOCK=constraints.txt
# What the lower-bound and 3.13 runs test unless given pytest arguments: the modules, not the viewer.
MODULE_TESTS=(tests -x -n "${TEST_WORKERS:-2}" --dist loadfile
  --ignore-glob="tests/test_demo_*" --ignore-glob="tests/test_journal*" --ignore-glob="tests/test_review*"
  --ignore-glob="tests/test_carry_viewer.py" --ignore-glob="tests/test_user_viewer.py")

module_tests() {
  local py=$1
  shift
  if [ $# -gt 0 ]; then "$py" -m pytest -q "$@"; else "$py" -m pytest -q "${MODULE_TESTS[@]}"; fi
}

pip_q() {
  local py=$1
  shift
  "$py" -m pip install -q --disable-pip-version-check "$@"
}

# Creates the virtual environment on first use and (re)installs the package into it;
# the build directory is kept, so a reinstall only recompiles what changed.
setup() {
  if [ ! -x "$VENV/bin/python" ]; then
    "$(find_python 3.12)" -m venv "$VENV"
  fi
  local py="$VENV/bin/python"
  pip_q "$py" -c "$LOCK" scikit-build-core nanobind ninja
  # the viewer extra too: the demo opens scan files with it, and the suite tests the demo
  pip_q "$py" -c "$LOCK" --no-build-isolation ".[test,viewer]"
}

# The module's tests with every runtime dependency at the lower bound pyproject.toml states.
# The extension does not depend on those versions at build time, so the wheel of the main
# environment's build is the one tested (a host installs one wheel whatever its versions).
test_lowest() {
  setup
  local venv=${VENV_LOWEST:-.venv-lowest} wheels=build/wheelhouse/cp312
  [ -x "$venv/bin/python" ] || "$(find_python 3.12)" -m venv "$venv"
  rm -rf "$wheels"
  "$VENV/bin/python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps -w "$wheels" .
  "$VENV/bin/python" scripts/lowest_constraints.py > build/lowest-constraints.txt
  "$venv/bin/python" -m pip uninstall -q -y vantel-curve-editor-plot >/dev/null 2>&1 || true
  local wheel
  wheel=$(ls "$wheels"/*.whl)
  pip_q "$venv/bin/python" -c build/lowest-constraints.txt "$wheel[test]"
  "$venv/bin/python" -m pip list --disable-pip-version-check 2>/dev/null |
    grep -iE "^(pyside6[-_]essentials|pyqtgraph|numpy|scipy|opencv-python-headless|tifffile|imagecodecs) "
  module_tests "$venv/bin/python" "$@"
}

# CPython 3.13, and the wheel as a user gets it: built by `pip wheel .` (isolated; the build
# tools pinned by the lock), installed alone into a new environment, where its dependencies
# come from its own ranges; then the test tools, and the module's tests, the README's host
# examples among them, against that installed wheel.
test_py313() {
  local venv=${VENV_313:-.venv-3.13} wheels=build/wheelhouse/cp313 build=build/wheel-cp313
  # an isolated build has new tool paths each time, so nothing of a previous one is reusable
  rm -rf "$venv" "$wheels" "$build"
  "$(find_python 3.13)" -m venv "$venv"
  local py="$venv/bin/python"
  PIP_CONSTRAINT="$PWD/$LOCK" "$py" -m pip wheel -q --disable-pip-version-check --no-deps \
    -C build-dir="$build" -w "$wheels" .
  local wheel
  wheel=$(ls "$wheels"/*.whl)
  pip_q "$py" "$wheel"
  pip_q "$py" -c "$LOCK" "$wheel[test]"
  module_tests "$py" "$@"
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
  test-lowest) test_lowest "$@" ;;
  test-py313) test_py313 "$@" ;;
  *) echo "unknown command: $cmd (use: setup, test, demo, bench, asan, test-lowest, test-py313)" >&2; exit 2 ;;
esac
