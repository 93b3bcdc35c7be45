#!/usr/bin/env python3
"""Plants single faults a user would notice, one at a time, and runs the tests against each.

Review tool, not a test: every fault is planted in a scratch copy of the sources
(build/faults/tree), built into build/faults/build, and the tests run with that module and the
scratch copy of the demo viewer first on the path. The working tree is never written. A fault
is killed when a test fails or the test process dies. Prints a table and the kill rate; exits 0
whatever the outcome. --tests runs only the named test files (a quick look at a few faults).

    .venv/bin/python scripts/fault_review.py [--only ID,ID] [--tests NAME,NAME] [--list]
"""
import argparse
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SCRATCH = ROOT / "build" / "faults"
TREE, BUILD = SCRATCH / "tree", SCRATCH / "build"

# (id, file under src/, exact original text (must occur once), replacement, what a user would notice)
FAULTS = [
    # plot
    ("padding", "plot/construction.cpp", 'vb.attr("setDefaultPadding")(0.001);', "",
     "a 2 % margin around the frame"),
    ("theme", "menus/editor_menu.cpp", "dark ? kDarkSheet : kLightSheet", "dark ? kLightSheet : kDarkSheet",
     "menu colours inverted for the window's theme"),
    ("canny-low", "plot/construction.cpp", 'setEdgeFeatureCannyParameters")(32, 100)',
     'setEdgeFeatureCannyParameters")(28, 100)', "live-wire paths take other edges"),
    ("canny-high", "plot/construction.cpp", 'setEdgeFeatureCannyParameters")(32, 100)',
     'setEdgeFeatureCannyParameters")(32, 110)', "live-wire paths take other edges"),
    ("gradient-limit", "plot/construction.cpp", 'setGradientMagnitudeMaxLimit")(200)',
     'setGradientMagnitudeMaxLimit")(220)', "live-wire paths take other edges"),
    ("target-shape", "plot/construction.cpp",
     "bind_to_target(target, kTargetShape, g_target_shape);\n    bind_to_target(target, kTargetViewChanged, g_target_view_changed);",
     "", "a host that replaces its plot crashes"),
    ("menu-trim", "menus/editor_menu.cpp", "for (Py_ssize_t k = 0; k < n - 1; ++k)",
     "for (Py_ssize_t k = 0; k < n - 2; ++k)", "a view-box menu entry too many"),
    ("hidden-curve-drawn", "plot/data.cpp",
     'if (!truthy(item(props, nb::str("is_visible")))) continue;\n        nb::object color',
     "nb::object color", "hidden curves drawn"),
    ("roi-line-end", "plot/data.cpp", 'line_x.append(nb::getattr(self, "curveLen"));', "line_x.append(100);",
     "region lines stop short of the curve"),
    ("none-items", "plot/data.cpp", "if (items.is_none())\n        items = nb::list();\n    else if",
     "if", "set_added_items(None) raises"),
    ("menu-enable-position", "menus/editor_menu.cpp", "Py_ssize_t position = 1;", "Py_ssize_t position = 0;",
     "corrector entries above the view-box entry"),
    # anchors
    ("thin-flat", "anchors/thinning.hpp", "static_cast<double>(wrap_abs(d2)) < lim.flat &&",
     "static_cast<double>(wrap_abs(d2)) <= lim.flat &&", "half-pixel steps lose control points"),
    ("thin-flat-span", "anchors/thinning.hpp", "static_cast<double>(wrap_abs(d)) < lim.flat_span",
     "static_cast<double>(wrap_abs(d)) <= lim.flat_span", "control points lost at 4.5 px changes"),
    ("thin-distance", "anchors/thinning.hpp", "if (t < static_cast<double>(p - l) ||",
     "if (t <= static_cast<double>(p - l) ||", "extra control points on long flat runs"),
    ("thin-passes", "anchors/thinning.hpp", "int passes = 10;", "int passes = 1;",
     "too many control points"),
    ("insert-side", "anchors/point_edits.cpp", 'np.attr("insert")(item(entry, 1), idx, y_value)',
     'np.attr("insert")(item(entry, 1), idx + nb::int_(1), y_value)', "added point gets a neighbour's height"),
    ("remove-span", "anchors/point_edits.cpp", 'nb::len(item(nb::getattr(self, "gCurves"), curve_index))) - 2);',
     'nb::len(item(nb::getattr(self, "gCurves"), curve_index))) - 3);', "curve end not rebuilt"),
    ("indicator-guard", "anchors/markers.cpp",
     'if (added.is_none() || nb::len(added) == 0 || nb::getattr(item(added, 0), "image").is_none()) return;',
     "", "indicator before any image raises"),
    ("focus-colour", "anchors/markers.cpp",
     'nb::object brush = self.attr("get_inverse_color")(item(props, nb::str("color")));\n        nb::setattr(self, "focus_control_point_plot"',
     'nb::object brush = item(props, nb::str("color"));\n        nb::setattr(self, "focus_control_point_plot"',
     "focused point in the curve's own colour"),
    ("build-redraw", "curves/edits.cpp",
     "nb::getattr(self, \"build_curve\")(curve_index);\n    redraw(self);",
     "nb::getattr(self, \"build_curve\")(curve_index);", "no redraw after any point edit"),
    # the one edit path's redraw, taken away at each caller in turn
    ("drag-redraw", "anchors/target.cpp", "edits::rebuild_and_redraw(self, ci);",
     'self.attr("build_curve")(ci);', "the curve on screen does not follow an anchors drag"),
    ("add-point-redraw", "menus/context_menu.cpp", "edits::rebuild_and_redraw(self, item(point, 0));",
     'self.attr("build_curve")(item(point, 0));', "no redraw after addPoint"),
    ("remove-point-redraw", "menus/context_menu.cpp",
     'edits::rebuild_and_redraw(self, item(nb::getattr(self, "modified_ctrl_point"), 0));',
     'self.attr("build_curve")(item(nb::getattr(self, "modified_ctrl_point"), 0));', "no redraw after removePoint"),
    # strokes and hover
    ("stroke-redraw", "hover/hover.cpp",
     "strokes::livewire_step(self, pointer);\n            }\n            edits::redraw(self);",
     "strokes::livewire_step(self, pointer);\n            }", "strokes not redrawn while drawing"),
    ("livewire-clamp", "strokes/strokes.cpp", "x1 = clamp(x1, nb::int_(0), nb::int_(static_cast<Py_ssize_t>(nb::len(curve)) - 1));",
     "x1 = clamp(x1, nb::int_(0), nb::int_(static_cast<Py_ssize_t>(nb::len(curve)) - 2));", "live wire stops one column short"),
    ("liner-local-span", "strokes/strokes.cpp", 'equals(nb::getattr(self, "update_mode"), "local")',
     'equals(nb::getattr(self, "update_mode"), "global")', "local mode rebuilds the whole curve"),
    ("release-ctrl", "strokes/press_release.cpp",
     'nb::setattr(self, "ctrl_points", self.attr("_generate_control_points")());', "",
     "control points stale after a stroke"),
    ("release-redraw", "strokes/press_release.cpp",
     'getattr(self, "sigControlPointChanged").attr("emit")(item(edited, 0), rest);\n            edits::redraw(self);',
     'getattr(self, "sigControlPointChanged").attr("emit")(item(edited, 0), rest);',
     "old control points shown after a stroke"),
    ("focus-strict", "hover/hover.cpp", "if (distance < nearest_distance) {\n            nearest_distance = distance;\n            nearest_point",
     "if (!(nearest_distance < distance)) {\n            nearest_distance = distance;\n            nearest_point",
     "focus jumps to the later of two equally near points"),
    # anchors and menus
    ("drag-vertical-only", "anchors/target.cpp", "        diffx = nb::int_(0);  // every other point",
     "        (void)0;  // every other point", "whole-curve drag slides sideways"),
    ("wheel-direction", "anchors/target.cpp", "if (nb::int_(0) < delta) {",
     "if (delta < nb::int_(0)) {", "wheel shrinks instead of grows the selection"),
    ("add-reach", "menus/context_menu.cpp", "if (distance < nearest_distance) {",
     "if (!(nearest_distance < distance)) {", "addPoint offered at the edge of reach"),
    ("menu-top", "menus/context_menu.cpp",
     'menu.attr("insertAction")(item(menu.attr("actions")(), 0), action);',
     'menu.attr("addAction")(action);', "point command at the bottom of the menu"),
    ("switch-redraw", "menus/editor_type.cpp",
     'nb::setattr(self, "curve_props", module_global("deepcopy")(nb::getattr(self, "curve_props_bk")));\n    edits::redraw(self);',
     'nb::setattr(self, "curve_props", module_global("deepcopy")(nb::getattr(self, "curve_props_bk")));',
     "switching editors leaves old control points on screen"),
    # saving
    ("frame-guard", "saving/render.cpp", "if (nb::len(items) == 0) return nb::none();", "",
     "save with curve after set_added_items(None) raises"),
    ("burn-rounding", "saving/burn_in.hpp", "const double r = std::nearbyint(v);", "const double r = std::floor(v);",
     "burnt-in curves one row off"),
    ("tiff-extension", "saving/save_commands.cpp", 'filename + nb::str(".tiff");', 'filename + nb::str(".tif");',
     "stack saved under another name"),
    ("stack-photometric", "saving/worker.cpp", 'options["photometric"] = "minisblack";',
     'options["photometric"] = "rgb";',
     "a 3-frame stack saved as one colour page"),
    ("with-curve-guard", "saving/save_commands.cpp",
     'nb::object frame = self.attr("_get_current_frame_as_uint8")();\n    if (frame.is_none()) return;',
     'nb::object frame = self.attr("_get_current_frame_as_uint8")();', "dialog opens with nothing to save"),
    # binding
    ("method-binding", "binding/funclike.cpp", "return PyMethod_New(self, obj);", "return Py_NewRef(self);",
     "Qt never calls the overrides: hover and clicks do nothing"),
    ("uint8-as-int8", "binding/arrays.hpp", "case 'B': return Elem::U8;", "case 'B': return Elem::I8;",
     "curves of 8-bit data above 127 go wrong"),
    ("varkw-flag", "binding/funclike.cpp", "f->has_varkw = (flags & CO_VARKEYWORDS) != 0;", "f->has_varkw = false;",
     "plots cannot be made with extra keywords"),
    # history
    ("redo-tail-kept", "history/steps.hpp",
     "steps.erase(steps.begin() + static_cast<ptrdiff_t>(cursor), steps.end());\n", "",
     "after an undo and a new edit, further undos replay stale steps"),
    ("undo-base-stale", "history/tracker.cpp",
     "std::memcpy(&base.bytes[run.start * view.itemsize], &values[off], n);", "",
     "undoing the edit after an undo brings the undone edit back"),
    ("depth-drops-newest", "history/steps.hpp", "while (steps.size() > depth) steps.pop_front();",
     "while (steps.size() > depth) steps.pop_back();", "at the depth limit the latest edit cannot be undone"),
    ("strided-undo", "history/steps.hpp",
     "for (int64_t k = 0; k < count; ++k) std::memcpy(live.at(start + k), in + k * live.itemsize, live.itemsize);",
     "for (int64_t k = 0; k < count; ++k) std::memcpy(live.at(k), in + k * live.itemsize, live.itemsize);",
     "undo on curves that are columns of a table writes the first columns"),
    # the demo viewer's layers and saves
    ("gaps-flat", "vantel_curve_demo/layers.py", "return np.interp(cols, cols[known], row[known])",
     "return np.where(known, row, np.median(row[known]))", "gaps filled at a flat level, not between neighbours"),
    ("last-column-unsaved", "vantel_curve_demo/layers.py", "min(self.width, int(stop))",
     "min(self.width - 1, int(stop))", "an edit reaching the last column does not save that column"),
    ("read-layers-written", "vantel_curve_demo/layers.py", "out = np.array(read, copy=True)", "out = np.asarray(read)",
     "after an export, undone edits are still saved"),
    ("gap-stays-dashed", "vantel_curve_demo/layers.py",
     "return ~np.isfinite(self.layers_read[self.names[k]][f]) & ~self.edited[k][f]",
     "return ~np.isfinite(self.layers_read[self.names[k]][f])", "a gap drawn over stays dashed"),
    ("export-in-place", "vantel_curve_demo/scans.py",
     "            np.savez(fh, **corrected)\n    _replace_atomically(path, write)",
     "            np.savez(fh, **corrected)\n    write(path)", "a failed layers export destroys the older file"),
    ("replaced-mode-lost", "vantel_curve_demo/scans.py",
     "os.stat(path).st_mode & 0o7777 if path.exists() else 0o666 & ~mask", "0o666 & ~mask",
     "a saved file replacing another loses its permissions"),
    ("new-file-private", "vantel_curve_demo/scans.py",
     "os.stat(path).st_mode & 0o7777 if path.exists() else 0o666 & ~mask",
     "os.stat(path).st_mode & 0o7777 if path.exists() else 0o600", "a newly saved file is readable by its owner only"),
    ("save-temp-left", "vantel_curve_demo/scans.py", "        if os.path.exists(tmp):\n            os.remove(tmp)",
     "        pass", "a failed save leaves a hidden file beside the target"),
    ("eye-display-pixels", "vantel_curve_demo/scans.py",
     'raw = volume.raw if hasattr(volume, "raw") else volume.ensure_all()', "raw = volume.ensure_all()",
     "a 16-bit scan saved as .eye holds the 8-bit pixels shown"),
    ("undo-menu-stale", "vantel_curve_demo/history_menu.py", "self.history.sigHistoryChanged.connect(self.refresh)",
     "self.history.sigHistoryChanged", "Undo stays greyed out after an edit"),
    # stack saving
    ("stack-stored", "saving/stack_file.cpp", 'codec["level"] = level;', 'codec["level"] = 0;',
     "stacks written without compression"),
    ("stack-view-frames", "saving/worker.cpp", "src.data() + i * src.stride(0)", "src.data() + i * h * w",
     "a cropped or every-other-frame volume saved with the wrong pixels"),
    # anchors
    ("wheel-last-point", "anchors/target.cpp", "if (idx < nb::int_(n)) right",
     "if (idx < nb::int_(n - 1)) right", "the wheel never adds the last control point to the group"),
]

# The tests a fault of each folder meets first; the rest follow, so a survivor has met them all.
FIRST = {
    "plot": ["test_construction", "test_drawing", "test_what_is_drawn"],
    "menus": ["test_target_and_menu", "test_editor_type", "test_construction"],
    "anchors": ["test_control_points", "test_point_edits", "test_target_and_menu", "test_user_editing", "test_drawing"],
    "curves": ["test_build_curve", "test_point_edits", "test_drawing"],
    "strokes": ["test_strokes", "test_press_release", "test_what_is_drawn"],
    "hover": ["test_hover", "test_strokes", "test_what_is_drawn"],
    "saving": ["test_render", "test_save_commands", "test_stack_worker", "test_what_is_drawn", "test_user_stacks"],
    "binding": ["test_outline", "test_press_release", "test_construction"],
    "history": ["test_user_history", "test_history"],
    "vantel_curve_demo": ["test_user_viewer", "test_demo_scans", "test_demo_viewer"],
}
ALL = ["test_construction", "test_drawing", "test_what_is_drawn", "test_editor_type", "test_control_points",
       "test_point_edits", "test_build_curve", "test_target_and_menu", "test_hover", "test_strokes",
       "test_press_release", "test_render", "test_save_commands", "test_stack_worker", "test_outline",
       "test_host_lifecycle", "test_user_editing", "test_user_stacks", "test_history", "test_user_history",
       "test_demo_viewer", "test_demo_scans", "test_user_viewer"]


def sh(cmd, **kwargs):
    return subprocess.run(cmd, capture_output=True, text=True, **kwargs)


def build(python):
    if not (BUILD / "CMakeCache.txt").exists():
        sh(["cmake", "-S", str(TREE), "-B", str(BUILD), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
            f"-DPython_EXECUTABLE={python}"], check=True)
    return sh(["cmake", "--build", str(BUILD), "-j", os.environ.get("JOBS", "2")])


def run_tests(python, folder, only_tests=None):
    order = only_tests or FIRST[folder] + [t for t in ALL if t not in FIRST[folder]]
    # The demo viewer is pure Python: its scratch copy shadows the installed one.
    demo = SCRATCH / "demo"
    demo.mkdir(parents=True, exist_ok=True)
    if not (demo / "vantel_curve_demo").is_symlink():
        (demo / "vantel_curve_demo").symlink_to(TREE / "src" / "vantel_curve_demo")
    # a byte-code cache of the previous fault's source, written in the same second, would pass for this one's
    shutil.rmtree(TREE / "src" / "vantel_curve_demo" / "__pycache__", ignore_errors=True)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(BUILD / "pkg"), str(demo)]), QT_QPA_PLATFORM="offscreen")
    try:
        result = sh([python, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
                     *[f"tests/{t}.py" for t in order]], cwd=ROOT, env=env, timeout=1200)
    except subprocess.TimeoutExpired:
        return "killed", "timeout"
    last = (result.stdout.strip().splitlines() or ["(no output)"])[-1]
    if result.returncode == 0:
        return "survived", last
    failed = [line for line in result.stdout.splitlines() if line.startswith(("FAILED", "ERROR"))]
    return "killed", (failed[0] if failed else f"exit {result.returncode}: {last}")[:110]


def sync_scratch_copy():
    # The faults never touch the working tree. A file differing from the sources (say, one left faulty by an
    # interrupted run) is rewritten, with a new time stamp, so that the build recompiles it.
    wanted = {p.relative_to(ROOT): p for p in [ROOT / "CMakeLists.txt", *(ROOT / "src").rglob("*")] if p.is_file()}
    for rel, source in wanted.items():
        copy = TREE / rel
        if not copy.is_file() or copy.read_bytes() != source.read_bytes():
            copy.parent.mkdir(parents=True, exist_ok=True)
            copy.write_bytes(source.read_bytes())
    for copy in [p for p in (TREE / "src").rglob("*") if p.is_file()]:
        if copy.relative_to(TREE) not in wanted:
            copy.unlink()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--only", help="comma-separated fault ids")
    parser.add_argument("--tests", help="comma-separated test files (without .py) to run instead of all")
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args()
    python = str(ROOT / ".venv" / "bin" / "python") if (ROOT / ".venv").exists() else sys.executable
    faults = [f for f in FAULTS if not args.only or f[0] in args.only.split(",")]
    if args.list:
        for fid, path, _, _, notice in faults:
            print(f"{fid:22} {path:34} {notice}")
        return 0

    sync_scratch_copy()
    for fid, path, old, _, _ in faults:
        count = (ROOT / "src" / path).read_text().count(old)
        if count != 1:
            print(f"fault {fid}: the original text occurs {count} times in {path}")
            return 0

    base = build(python)
    if base.returncode != 0:
        print("the unchanged sources do not build:\n" + base.stdout[-2000:])
        return 0

    verdict, detail = run_tests(python, "plot", args.tests and args.tests.split(","))
    if verdict != "survived":
        print(f"the tests fail without a fault: {detail}")
        return 0

    rows = []
    # Faults of one file run together, so each build recompiles one or two files.
    for fid, path, old, new, notice in sorted(faults, key=lambda f: f[1]):
        target = TREE / "src" / path
        original = target.read_text()
        started = time.time()
        try:
            target.write_text(original.replace(old, new, 1))
            built = build(python)
            if built.returncode != 0:
                verdict, detail = "no build", built.stdout.strip().splitlines()[-1][:110]
            else:
                verdict, detail = run_tests(python, path.split("/")[0], args.tests and args.tests.split(","))
        finally:
            target.write_text(original)
        rows.append((fid, path, verdict, notice, detail))
        print(f"{verdict:9} {fid:22} {time.time() - started:5.0f}s  {detail}", flush=True)
    build(python)  # leaves the scratch build matching the sources

    print("\n| fault | file | result | what a user notices |\n|---|---|---|---|")
    for fid, path, verdict, notice, _ in rows:
        print(f"| {fid} | {path} | {verdict} | {notice} |")
    judged = [r for r in rows if r[2] in ("killed", "survived")]
    killed = sum(r[2] == "killed" for r in judged)
    if judged:
        print(f"\nkilled {killed} of {len(judged)}: {100 * killed / len(judged):.0f} %")
    return 0


if __name__ == "__main__":
    sys.exit(main())
