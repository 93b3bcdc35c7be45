"""Shared timing helpers: each bench module exposes run() -> list of result rows."""
import statistics
import time


def median_time(fn, repeat=15, warmup=3, number=1):
    """Median wall time of one call of fn, over `repeat` samples of `number` calls."""
    for _ in range(warmup):
        fn()
    samples = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        samples.append((time.perf_counter() - t0) / number)
    return statistics.median(samples)


def speedup_row(op, ours, reference, target_speedup):
    """Row for 'ours must be at least target_speedup times faster than reference'."""
    ratio = reference / ours
    return {"op": op, "ours_s": ours, "ref_s": reference, "ratio": ratio,
            "target": f">= {target_speedup:g}x faster", "passed": ratio >= target_speedup}


def cost_row(op, ours, reference, max_ratio):
    """Row for 'ours may cost at most max_ratio times the reference'."""
    ratio = ours / reference
    return {"op": op, "ours_s": ours, "ref_s": reference, "ratio": ratio,
            "target": f"<= {max_ratio:g}x the cost", "passed": ratio <= max_ratio}


def report_row(op, ours, reference=None, note=""):
    """Row with figures to report and no target."""
    return {"op": op, "ours_s": ours, "ref_s": reference,
            "ratio": (reference / ours) if reference else None, "target": note or "report", "passed": True}
