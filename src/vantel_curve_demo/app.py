"""Command line entry: the viewer on a screen, or the scripted session when there is none."""
from __future__ import annotations

import argparse
import os
import sys
import time


def headless():
    if os.environ.get("QT_QPA_PLATFORM", "") in ("offscreen", "minimal"):
        return True
    if sys.platform.startswith("linux"):
        return not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))
    return False


def _quiet_offscreen_warnings(QtCore):
    """The offscreen platform complains about window operations it cannot do; nothing is wrong."""
    def handler(kind, context, message):
        if "This plugin does not support" in message:
            return
        sys.stderr.write(message + "\n")
    return QtCore.qInstallMessageHandler(handler)


def parse(argv):
    p = argparse.ArgumentParser(prog="python -m vantel_curve_demo", description=(
        "Correct the layer boundaries of a scan (or of a synthetic volume, without PATH). Without a "
        "screen (or with --script) a scripted session is played through real Qt events and its "
        "results are written to --out."))
    p.add_argument("path", nargs="?", metavar="PATH", help=(
        "scan to open: HEYEX .vol/.e2e/.xml, a Duke .mat, a RETOUCH or B-scan folder, an eyepy .eye, "
        "or a TIFF stack / .npy volume (frames x rows x columns) with --layers"))
    p.add_argument("--layers", metavar="FILE.npz",
                   help="layers of a TIFF stack or .npy volume: one frames x columns array per layer name")
    p.add_argument("--frames", type=int, default=64, help="synthetic volume: frames (default 64)")
    p.add_argument("--height", type=int, default=496, help="synthetic volume: rows per frame (default 496)")
    p.add_argument("--width", type=int, default=1024, help="synthetic volume: columns per frame (default 1024)")
    p.add_argument("--seed", type=int, default=7, help="synthetic volume: seed")
    p.add_argument("--theme", choices=("dark", "light"), default="dark")
    p.add_argument("--update-mode", choices=("local", "global"), default="local",
                   help="span the plot reports after a liner/live-wire stroke (default local)")
    p.add_argument("--script", action="store_true", help="play the scripted session (implied without a screen)")
    p.add_argument("--out", default=os.path.join("out", "demo"), help="output folder of the scripted session")
    p.add_argument("--keep-open", action="store_true", help="with a screen: leave the window open after --script")
    p.add_argument("--review-report", metavar="OUT.csv", help=(
        "no window: write the stretches of the layers (as read) that are probably wrong, ranked, to OUT.csv"))
    p.add_argument("--recover", metavar="OUT", help=(
        "no window: replay the unsaved corrections journaled for PATH onto PATH as read and write the "
        "result to OUT (.eye, or .npz as --layers reads it); the journal is kept"))
    args = p.parse_args(argv)
    if args.layers is not None and args.path is None:
        p.error("--layers goes with a PATH")
    if args.recover is not None and args.path is None:
        p.error("--recover needs the PATH whose corrections it recovers")
    return args


def open_volume(args):
    if args.path is None:
        from .volume import SyntheticVolume
        return SyntheticVolume(frames=args.frames, height=args.height, width=args.width, seed=args.seed)
    from .scans import open_scan
    return open_scan(args.path, args.layers)


def connect_carry(window, journal):
    """A carry, its undo and its redo are journaled like the plot's own corrections, and the carried
    frames are marked in the review until they are shown."""
    carry, review = window.carryActions, getattr(window, "review", None)

    def journaled(layer, spans, cause):
        journal.record_spans(layer, [(frame, (start, stop), None) for frame, start, stop in spans], cause)

    def carried(layer, spans):
        journaled(layer, spans, "carry")
        if review is not None:
            for frame, start, stop in spans:
                review.mark(frame, layer, start, stop, "carried")

    carry.carried.connect(carried)
    carry.undone.connect(lambda layer, spans: journaled(layer, spans, "undo"))


def main(argv=None):
    args = parse(sys.argv[1:] if argv is None else argv)
    if args.recover is not None:
        from .journal import recover
        return recover(args.path, args.recover, args.layers, warn=lambda text: print(text, file=sys.stderr))
    t0 = time.perf_counter()
    if args.path is not None:
        print(f"reading {args.path} …", flush=True)
    try:
        volume = open_volume(args)
    except Exception as e:  # whatever the reader raised, the user gets one line, not a traceback
        what = args.path if args.path is not None else "the synthetic volume"
        from .scans import ScanError
        reason = str(e) if isinstance(e, ScanError) else f"{type(e).__name__}: {e}"
        reason = " ".join(reason.split()) or type(e).__name__     # readers' messages can run over lines
        print(f"cannot open {what}: {reason}", file=sys.stderr)
        return 2
    if args.review_report is not None:
        from .review import report_command
        return report_command(volume, args.review_report)
    scripted = args.script or headless()
    if headless():
        os.environ["QT_QPA_PLATFORM"] = "offscreen"

    from PySide6 import QtCore, QtWidgets
    from .viewer import DemoWindow

    previous = _quiet_offscreen_warnings(QtCore) if headless() else None
    app = QtWidgets.QApplication.instance() or QtWidgets.QApplication(["vantel-curve-demo"])
    if args.path is not None:
        print(f"opened {args.path}: {volume.kind}, {volume.n_frames} frames of {volume.height} x {volume.width}, "
              f"layers {', '.join(volume.names)}")
    say = (lambda text: print("      | " + text)) if scripted else None
    window = DemoWindow(volume, theme=args.theme, update_mode=args.update_mode, echo=say)
    from .review_panel import attach as attach_review   # the Review dock (suspects, overview, localizer)
    attach_review(window)
    from .journal_keeper import EditJournal
    journal = EditJournal(window, interactive=not scripted)
    connect_carry(window, journal)
    window.show()
    app.processEvents()
    journal.offer_restore()
    if not scripted:
        return app.exec()

    from .session import Session
    print(f"window ready in {time.perf_counter() - t0:.2f} s")
    report = Session(window, args.out).run()
    if args.keep_open and not headless():
        app.exec()
    window.ask_before_close = False
    window.close()
    window.deleteLater()
    if previous is not None or headless():
        QtCore.qInstallMessageHandler(previous)
    return 0 if report.ok else 1
