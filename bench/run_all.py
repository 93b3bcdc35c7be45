"""Runs every bench/bench_*.py and prints one table; exits 1 when a target is missed.

    PYTHONPATH=build/dev/pkg python bench/run_all.py [--markdown] [name ...]

Names select modules by substring (e.g. `pointer`). A module that fails to import or run counts as
a missed target and is reported with its error.
"""
from __future__ import annotations

import argparse
import glob
import importlib.util
import os
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
sys.path.insert(0, HERE)


def _seconds(value):
    if value is None:
        return "-"
    if value >= 1:
        return f"{value:.2f} s"
    if value >= 1e-3:
        return f"{value * 1e3:.2f} ms"
    return f"{value * 1e6:.1f} us"


def _ratio(row):
    r = row.get("ratio")
    return "-" if r is None else f"{r:.2f}x"


def discover(selected):
    paths = sorted(glob.glob(os.path.join(HERE, "bench_*.py")))
    if selected:
        paths = [p for p in paths if any(s in os.path.basename(p) for s in selected)]
    return paths


def run_module(path):
    """(module name, rows, error text or None, seconds)."""
    name = os.path.splitext(os.path.basename(path))[0]
    t0 = time.perf_counter()
    try:
        spec = importlib.util.spec_from_file_location(name, path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        rows = list(module.run())
    except Exception:
        return name, [], traceback.format_exc(limit=3).strip(), time.perf_counter() - t0
    return name, rows, None, time.perf_counter() - t0


def table(results, markdown=False):
    head = ("module", "operation", "ours", "transcription", "ratio", "target", "")
    lines = []
    for name, rows, error, _ in results:
        short = name[len("bench_"):]
        if error is not None:
            lines.append((short, "(module failed)", "-", "-", "-", "-", "FAIL"))
        for row in rows:
            lines.append((short, str(row["op"]), _seconds(row.get("ours_s")), _seconds(row.get("ref_s")),
                          _ratio(row), str(row.get("target", "")), "pass" if row.get("passed") else "FAIL"))
    if markdown:
        out = ["| " + " | ".join(h or "result" for h in head) + " |",
               "|" + "|".join("---" for _ in head) + "|"]
        out += ["| " + " | ".join(cells) + " |" for cells in lines]
        return "\n".join(out)
    widths = [max(len(h), *(len(l[i]) for l in lines)) if lines else len(h) for i, h in enumerate(head)]
    fmt = "  ".join(f"{{:{'>' if i in (2, 3, 4) else '<'}{w}}}" for i, w in enumerate(widths))
    out = [fmt.format(*head), fmt.format(*("-" * w for w in widths))]
    out += [fmt.format(*cells) for cells in lines]
    return "\n".join(out)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("names", nargs="*", help="run only modules whose file name contains one of these")
    parser.add_argument("--markdown", action="store_true", help="print the table as Markdown")
    args = parser.parse_args(argv)

    from PySide6 import QtWidgets  # one application for every module
    QtWidgets.QApplication.instance() or QtWidgets.QApplication([])

    paths = discover(args.names)
    if not paths:
        print("no benchmark modules found", file=sys.stderr)
        return 1
    results = []
    for path in paths:
        print(f"running {os.path.basename(path)} ...", file=sys.stderr, flush=True)
        results.append(run_module(path))
    print(table(results, markdown=args.markdown))
    failed = [(n, e) for n, _, e, _ in results if e is not None]
    missed = [r["op"] for _, rows, _, _ in results for r in rows if not r.get("passed")]
    for name, error in failed:
        print(f"\n{name} failed:\n{error}", file=sys.stderr)
    total = sum(t for *_, t in results)
    n_rows = sum(len(rows) for _, rows, _, _ in results)
    print(f"\n{n_rows} rows from {len(results)} modules in {total:.1f} s; "
          f"{len(missed)} target(s) missed, {len(failed)} module(s) failed")
    return 1 if (missed or failed) else 0


if __name__ == "__main__":
    sys.exit(main())
