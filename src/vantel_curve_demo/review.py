"""Suspects: the stretches of a layer segmentation that are probably wrong, ranked by how sure we are.

A grader's time goes into finding the few wrong stretches among thousands of right ones. Each check
below looks at the layers alone (frames x columns of heights, NaN where unknown), vectorised over the
whole volume, so the list can be recomputed after every edit:

- ``spike``: a few columns (at most ``SPIKE_WIDTH``) far from their neighbours (morphological top and
  bottom hats, which leave slopes and slow bends alone);
- ``jump``: a step along the columns much steeper than the layer's own slope around it; the steps are
  summed into levels and the columns off the row's main level are the suspect stretch, so a slip that
  repeats over several frames is still found in each of them;
- ``frame``: a stretch that departs from the median of its frame and the two either side, once the
  frames are put back where the eye's movement between them shifted them;
- ``order``: a layer crossing its neighbour in the order the layers keep in most columns, by more
  than ``ORDER_TOLERANCE`` rows (merging layers touch, they do not cross);
- ``gap``: columns without a value inside the columns and frames where the layer has values.

Each check's threshold is the larger of a floor in rows and a multiple of the noise the layer
shows in that check, so a jittery segmentation is not flagged all over. Suspects of different kinds
that overlap on one frame and layer are merged into one stretch with a score that grows with every
check that agrees; it is named a spike when it is no wider than one, else a crossing when it holds
one, else after its highest-scoring check.
"""
from __future__ import annotations

import csv
from collections import Counter
from dataclasses import dataclass

import cv2
import numpy as np

KINDS = ("order", "jump", "frame", "spike", "gap")
SPIKE_WIDTH = 5          # columns; wider departures are stretches (jump, frame)
MIN_ROWS = 3.0           # no check flags less than this many rows
NOISE_FACTOR = 6.0       # ... nor less than this many times the layer's own noise in that check
ORDER_TOLERANCE = 1.5    # rows a layer may pass its neighbour where they merge
STEP_LAG, SLOPE_SPAN = 5, 8   # a step may ramp over STEP_LAG columns; slope read over SLOPE_SPAN beside it
STEP_BOX = 3                  # columns averaged before steps are measured: whole-row heights are noisy
FRAME_MIN_COLUMNS = 4
MERGE_DISTANCE = 2       # stretches this close on one frame and layer are one suspect
CSV_HEADER = ("rank", "frame", "layer", "first_column", "last_column", "kind", "score")


@dataclass(frozen=True)
class Suspect:
    frame: int
    layer: int           # index into the layer names
    first: int           # columns, inclusive
    last: int
    kind: str
    score: float         # 0.5 at a check's threshold, toward 1 the further beyond it

    @property
    def stop(self):
        return self.last + 1


def _score(strength):
    """Strength in multiples of the threshold -> 0.5 .. 1, slowly, so that strong suspects stay apart."""
    e = np.maximum(strength, 1.0)
    return e / (1.0 + e)


def _runs(mask):
    """(row, start, stop) arrays of every run of True along the last axis of a 2-D mask."""
    n, w = mask.shape
    padded = np.zeros((n, w + 2), dtype=np.int8)
    padded[:, 1:-1] = mask
    edges = np.diff(padded.ravel())
    starts = np.flatnonzero(edges == 1)
    stops = np.flatnonzero(edges == -1)
    rows = starts // (w + 2)
    return rows, starts - rows * (w + 2), stops - rows * (w + 2)


def _thresholds(measure, n_layers, floor=MIN_ROWS, step=16):
    """Per-layer threshold from every step-th column of an (L, F, W') measure: the larger of the floor and
    NOISE_FACTOR times its spread.

    The spread is the RMS of the values below their 99th percentile: heights in whole rows make most
    of a check's output exactly 0, where a median absolute deviation says "no noise" however jittery
    the layer, and the percentile keeps the errors themselves (when they are a few) out of it.
    """
    sample = np.abs(measure[:, :, ::step]).reshape(n_layers, -1)
    if sample.shape[1] == 0:
        return np.full(n_layers, floor, np.float32)
    cut = np.percentile(sample, 99, axis=1)[:, None]
    inside = sample <= cut
    sq = np.where(inside, sample * sample, 0).sum(axis=1) / np.maximum(1, inside.sum(axis=1))
    return np.maximum(floor, NOISE_FACTOR * np.sqrt(sq)).astype(np.float32)


def _fill_rows(y, known):
    """Fills the rows' unknown columns in place: linear between known neighbours, level at the ends."""
    n, w = y.shape
    out = y
    gaps = ~known.all(axis=1)
    if not gaps.any():
        return out
    holes = gaps & known.any(axis=1)
    sub, k = y[holes], known[holes]
    cols = np.broadcast_to(np.arange(w), sub.shape)
    prev = np.maximum.accumulate(np.where(k, cols, -1), axis=1)
    nxt = np.minimum.accumulate(np.where(k, cols, w)[:, ::-1], axis=1)[:, ::-1]
    prev_c = np.where(prev < 0, nxt, prev)
    nxt_c = np.where(nxt >= w, prev_c, nxt)
    yp = np.take_along_axis(sub, prev_c, axis=1)
    yn = np.take_along_axis(sub, nxt_c, axis=1)
    span = (nxt_c - prev_c).astype(np.float64)
    t = np.divide(cols - prev_c, span, out=np.zeros(sub.shape), where=span > 0)
    out[holes] = yp + t * (yn - yp)
    return out


def _fill_frames(Y, rows):
    """Frames where a layer has no value take the nearest frame's, so they do not pull the frame check."""
    L, F, _ = Y.shape
    for k in np.flatnonzero(~rows.all(axis=1)):
        have = np.flatnonzero(rows[k])
        if have.size == 0:
            Y[k] = 0.0
            continue
        nearest = have[np.clip(np.searchsorted(have, np.arange(F)), 0, have.size - 1)]
        before = have[np.clip(np.searchsorted(have, np.arange(F)) - 1, 0, have.size - 1)]
        nearest = np.where(np.abs(before - np.arange(F)) < np.abs(nearest - np.arange(F)), before, nearest)
        empty = ~rows[k]
        Y[k, empty] = Y[k, nearest[empty]]


def _morph(img, op, width):
    """Opening or closing (or a running max) along rows with a flat element of `width` columns.

    OpenCV's own opening uses one anchor for both passes, which shifts a slope by a column or two
    when the width is even; the second pass here takes the mirrored anchor.
    """
    kernel = np.ones((1, width), np.uint8)
    a = width // 2
    first, second = {cv2.MORPH_OPEN: (cv2.erode, cv2.dilate), cv2.MORPH_CLOSE: (cv2.dilate, cv2.erode),
                     cv2.MORPH_DILATE: (cv2.dilate, None)}[op]
    out = first(img, kernel, anchor=(a, 0), borderType=cv2.BORDER_REPLICATE)
    if second is not None:
        out = second(out, kernel, anchor=(width - 1 - a, 0), borderType=cv2.BORDER_REPLICATE)
    return out


def _stack(layers, names):
    if isinstance(layers, dict):
        names = list(layers) if names is None else list(names)
        arrays = [layers[name] for name in names]
    else:
        arrays = list(layers)
        names = [str(k) for k in range(len(arrays))] if names is None else list(names)
    if not arrays:
        return np.zeros((0, 0, 0), np.float32), names
    if len(names) != len(arrays):
        raise ValueError(f"{len(names)} names for {len(arrays)} layers")
    arrays = [np.asarray(a) for a in arrays]
    shape = arrays[0].shape
    for name, a in zip(names, arrays):
        if a.ndim != 2 or a.shape != shape:
            raise ValueError(f"layer {name!r} is {a.shape}, expected frames x columns {shape}")
        if not (np.issubdtype(a.dtype, np.floating) or np.issubdtype(a.dtype, np.integer)):
            raise TypeError(f"layer {name!r} holds {a.dtype}, not numbers")
    out = np.empty((len(arrays),) + shape, np.float32)
    for k, a in enumerate(arrays):
        out[k] = a
    return out, names


class _Found:
    """Candidate stretches, gathered as arrays per check and merged at the end."""

    def __init__(self):
        self.parts = []

    def add(self, kind, layer, frame, first, last, strength):
        n = np.size(first)
        if n:
            ints = (np.broadcast_to(v, (n,)).astype(np.int64) for v in (layer, frame, first, last))
            self.parts.append((np.full(n, KINDS.index(kind)), *ints,
                               _score(np.broadcast_to(np.asarray(strength, np.float64), (n,)))))

    def merged(self, width):
        if not self.parts:
            return []
        kind, layer, frame, first, last, score = (np.concatenate(c) for c in zip(*self.parts))
        gap = kind == KINDS.index("gap")
        out = [(kind[gap], layer[gap], frame[gap], first[gap], last[gap], score[gap])]
        keep = ~gap
        if keep.any():
            out.append(_merge(kind[keep], layer[keep], frame[keep], first[keep], last[keep], score[keep], width))
        kind, layer, frame, first, last, score = (np.concatenate(c) for c in zip(*out))
        order = np.lexsort((first, layer, frame, -score))
        return [Suspect(int(frame[i]), int(layer[i]), int(first[i]), int(last[i]), KINDS[kind[i]],
                        round(float(score[i]), 4)) for i in order]


def _merge(kind, layer, frame, first, last, score, width):
    """Overlapping stretches on one frame and layer become one; scores combine as independent evidence."""
    key = layer * (frame.max() + 1) + frame
    span = width + 2 * MERGE_DISTANCE + 1
    lo, hi = key * span + first, key * span + last
    order = np.lexsort((lo, key))
    lo, hi = lo[order], hi[order]
    reach = np.maximum.accumulate(hi)
    start = np.r_[True, lo[1:] > reach[:-1] + MERGE_DISTANCE]
    groups = np.cumsum(start) - 1
    heads = np.flatnonzero(start)
    k, s = kind[order], score[order]
    g_first = np.minimum.reduceat(first[order], heads)
    g_last = np.maximum.reduceat(last[order], heads)
    g_score = 1.0 - np.multiply.reduceat(1.0 - s, heads)
    # the last of each group holds its kind: a spike when the group is no wider than one, else a
    # crossing when there is one (a fact; the other kinds are estimates), else the highest score
    narrow = (g_last - g_first + 1 <= SPIKE_WIDTH + 2 * MERGE_DISTANCE)[groups]
    best = np.lexsort((s, k == KINDS.index("order"), narrow & (k == KINDS.index("spike")), groups))
    tails = np.r_[heads[1:], len(s)] - 1
    g_kind = k[best][tails]
    return g_kind, layer[order][heads], frame[order][heads], g_first, g_last, g_score


def find_suspects(layers, names=None):
    """Every suspect stretch of ``layers``, highest score first.

    ``layers``: {name: frames x columns} (or a sequence of such arrays with ``names``), heights in rows,
    NaN where there is no value. Returns a list of ``Suspect`` (layer as an index into the names).
    """
    Y, names = _stack(layers, names)
    if Y.size == 0:
        return []
    L, F, W = Y.shape
    known = np.isfinite(Y)
    found = _Found()

    _find_gaps(known, found)
    rows = known.any(axis=2).reshape(-1)           # (layer, frame) rows with any value
    all_known = bool(known.all())
    Y_read = Y if all_known else Y.copy()
    y = _fill_rows(Y.reshape(L * F, W), known.reshape(L * F, W))
    _fill_frames(Y, rows.reshape(L, F))

    evidence = _Evidence()                           # displacement in thresholds, to tell who crossed whom
    if W >= 2 * SPIKE_WIDTH:
        smooth = _find_spikes(y, rows, L, F, found, evidence, None if all_known else known.reshape(L * F, W))
    else:
        smooth = y
    if W > STEP_LAG + 2 * SLOPE_SPAN:
        _find_jumps(smooth, rows, L, F, found, evidence)
    if F >= 3:
        _find_frame_departures(smooth, rows, L, F, found, evidence)
    if L >= 2:
        _find_crossings(Y_read, known, evidence, found)
    return found.merged(W)


class _Evidence:
    """How displaced each checked row looked to each check, in thresholds; read only where layers cross."""

    def __init__(self):
        self.maps = []               # (layers x frames, columns) arrays
        self.rows = {}               # row -> columns, for checks that looked at a few rows only

    def total(self, row, start, stop):
        parts = [m[row, start:stop] for m in self.maps]
        if row in self.rows:
            parts.append(self.rows[row][start:stop])
        return float(np.max(parts, axis=0).sum()) if parts else 0.0


def _find_gaps(known, found):
    L, F, W = known.shape
    for k in range(L):
        frames = np.flatnonzero(known[k].any(axis=1))
        cols = np.flatnonzero(known[k].any(axis=0))
        if frames.size == 0:
            continue                                  # a layer nobody annotated has no gaps, only absence
        f0, f1, c0, c1 = frames[0], frames[-1], cols[0], cols[-1]
        hole = ~known[k, f0:f1 + 1, c0:c1 + 1]
        r, a, b = _runs(hole)
        # a gap is certain; the longer, the more there is to correct
        found.add("gap", k, r + f0, a + c0, b - 1 + c0, 1.0 + (b - a) / 8.0)


def _find_spikes(y, rows, L, F, found, evidence, known):
    """Spikes from the top and bottom hats; returns the rows with spikes taken out, for the other checks."""
    width = SPIKE_WIDTH + 1
    # the rows continue past their ends as they were going (a point reflection), or a slope
    # reaching the border would stand out as a spike there
    m = width
    padded = np.concatenate([2 * y[:, :1] - y[:, m:0:-1], y, 2 * y[:, -1:] - y[:, -2:-m - 2:-1]], axis=1)
    smooth = _morph(_morph(padded, cv2.MORPH_OPEN, width), cv2.MORPH_CLOSE, width)[:, m:-m]
    d = np.subtract(y, smooth)
    T = _thresholds(d.reshape(L, F, -1), L)
    rel = np.abs(d, out=d)
    rel /= np.repeat(T, F)[:, None]
    evidence.maps.append(rel)
    mask = (rel >= 1.0) & rows[:, None]
    if known is not None:
        mask &= known                                # a filled column is a gap, not a spike
    r, a, b = _runs(mask)
    if r.size:
        peak = np.maximum.reduceat(rel[mask], np.r_[0, np.cumsum(b - a)[:-1]])
        found.add("spike", r // F, r % F, a, b - 1, peak)
    return smooth


def _find_jumps(ys, rows, L, F, found, evidence):
    n, W = ys.shape
    lag, k = STEP_LAG, SLOPE_SPAN
    box = cv2.blur(ys, (STEP_BOX, 1), borderType=cv2.BORDER_REPLICATE)
    a, b = box[:, 0:W - lag - 2 * k], box[:, k:W - lag - k]
    c, d = box[:, k + lag:W - k], box[:, 2 * k + lag:]
    # the step over `lag` columns beyond what the slope on either side predicts
    step = (b - a) + (d - c)
    step *= np.float32(-lag / (2 * k))
    step += c
    step -= b
    T = _thresholds(step.reshape(L, F, -1), L)
    t = np.repeat(T, F)[:, None]
    m = np.abs(step)
    peak_ok = (m >= t) & rows[:, None]
    cand = np.flatnonzero(peak_ok.any(axis=1))
    if cand.size == 0:
        return
    m, s, t = m[cand], step[cand], t[cand]
    # one peak per step: the largest within `lag` either side, the first of equals
    around = _morph(m, cv2.MORPH_DILATE, 2 * lag + 1)
    peak = (m >= t) & (m >= around)
    for shift in range(1, lag + 1):
        peak[:, shift:] &= ~peak[:, :-shift]
    pr, px = np.nonzero(peak)
    # where in the lag the curve moved most: the new level starts after it
    dy = np.abs(np.diff(ys[cand], axis=1))
    window = dy[pr[:, None], (px + k)[:, None] + np.arange(lag)]
    at = px + k + np.argmax(window, axis=1) + 1
    levels = np.zeros((cand.size, W), np.float32)
    np.add.at(levels, (pr, at), s[pr, px])
    levels = np.cumsum(levels, axis=1)
    # the row's main level is where the layer is right; stretches off it are the suspects
    main = np.median(levels, axis=1)[:, None]
    tc = t[:, :1]
    off = np.abs(levels - main) / tc
    evidence.rows.update(zip(cand.tolist(), 2 * off))
    r, a0, b0 = _runs(off >= 0.5)
    if r.size:
        peak_off = np.maximum.reduceat(off[off >= 0.5], np.r_[0, np.cumsum(b0 - a0)[:-1]])
        keep = (b0 - a0) > SPIKE_WIDTH
        rr = cand[r[keep]]
        found.add("jump", rr // F, rr % F, a0[keep], b0[keep] - 1, 2 * peak_off[keep])


def _departures(v):
    """(v minus the median of each frame and the two either side of it, the neighbours' bend)."""
    F = v.shape[1]
    padded = np.pad(v, ((0, 0), (2, 2), (0, 0)), mode="reflect")
    p, q, r, s = (padded[:, 2 + o:2 + o + F] for o in (-2, -1, 1, 2))
    # the median of five: the frame itself, clipped to the middle two of its four neighbours
    # (in place: at this size, fresh arrays cost more than the arithmetic)
    lo1, hi1, lo2, hi2 = (np.empty_like(v) for _ in range(4))
    np.minimum(p, q, out=lo1), np.maximum(p, q, out=hi1)
    np.minimum(r, s, out=lo2), np.maximum(r, s, out=hi2)
    mid_a, mid_b = np.maximum(lo1, lo2, out=lo1), np.minimum(hi1, hi2, out=hi1)
    low, high = np.minimum(mid_a, mid_b, out=lo2), np.maximum(mid_a, mid_b, out=hi2)
    med = np.minimum(np.maximum(v, low, out=lo1), high, out=lo1)
    res = np.subtract(v, med, out=med)
    # where the layer bends from frame to frame (a pit between coarse frames) the median lags behind:
    # the neighbours' own bend is allowed for
    bend = np.add(p, s, out=hi1)
    bend -= q
    bend -= r
    np.abs(bend, out=bend)
    bend *= np.float32(0.25)
    return res, bend


def _find_frame_departures(ys, rows, L, F, found, evidence):
    n, W = ys.shape
    v = ys.reshape(L, F, W)
    # an eye that moves between frames shifts every layer of a frame: frames are put back first, and
    # what remains of a row's own offset is taken out after
    res, _ = _departures(np.ascontiguousarray(v[:, :, ::16]))
    shift = np.median(res.transpose(1, 0, 2).reshape(F, -1), axis=1)
    res, bend = _departures(v - shift[None, :, None].astype(np.float32))
    res = res.reshape(n, W)
    res -= np.median(res[:, ::16], axis=1)[:, None]
    T = _thresholds(res.reshape(L, F, W), L)
    rel = np.abs(res, out=res)
    bend += np.repeat(T, F).reshape(L, F, 1)
    rel /= bend.reshape(n, W)
    evidence.maps.append(rel)
    mask = (rel >= 1.0) & rows[:, None]
    r, a, b = _runs(mask)
    if r.size == 0:
        return
    peaks = np.maximum.reduceat(rel[mask], np.r_[0, np.cumsum(b - a)[:-1]])
    # a column or two that dips under the threshold does not split a stretch
    joined = np.r_[False, (r[1:] == r[:-1]) & (a[1:] - b[:-1] <= 2)]
    if joined.any():
        heads = np.flatnonzero(~joined)
        r, a = r[heads], a[heads]
        b = np.maximum.reduceat(b, heads)
        peaks = np.maximum.reduceat(peaks, heads)
    keep = (b - a) >= FRAME_MIN_COLUMNS
    if keep.any():
        r, a, b, peaks = r[keep], a[keep], b[keep], peaks[keep]
        found.add("frame", r // F, r % F, a, b - 1, peaks)


def expected_order(Y, known, sample=16):
    """Layer indices from top to bottom, as the layers lie in most columns (every `sample`-th column)."""
    L = Y.shape[0]
    y = Y[:, :, ::sample]
    k = known[:, :, ::sample]
    above = np.zeros((L, L))
    for i in range(L):
        for j in range(i + 1, L):
            both = k[i] & k[j]
            n = np.count_nonzero(both)
            if n:
                frac = np.count_nonzero(y[i][both] < y[j][both]) / n
                above[i, j], above[j, i] = frac, 1.0 - frac
    wins = (above > 0.5).sum(axis=1)
    height = np.array([np.nanmedian(y[i]) if k[i].any() else np.inf for i in range(L)])
    return sorted(range(L), key=lambda i: (-wins[i], height[i]))


def _find_crossings(Y, known, evidence, found):
    L, F, W = Y.shape
    order = [i for i in expected_order(Y, known) if known[i].any()]
    for upper, lower in zip(order, order[1:]):
        with np.errstate(invalid="ignore"):
            over = Y[upper] - Y[lower]
        over = np.where(known[upper] & known[lower], over, 0.0)
        mask = over > ORDER_TOLERANCE
        r, a, b = _runs(mask)
        if r.size == 0:
            continue
        for f, s, e in zip(r.tolist(), a.tolist(), b.tolist()):
            depth = float(over[f, s:e].max())
            strength = depth / (2 * ORDER_TOLERANCE) + 0.5
            # the layer that looks displaced by the other checks is the one that crossed
            eu, el = evidence.total(upper * F + f, s, e), evidence.total(lower * F + f, s, e)
            if max(eu, el) < 0.25 * (e - s):
                who = (upper, lower)
            else:
                who = (upper,) if eu >= el else (lower,)
            for k in who:
                found.add("order", k, f, s, e - 1, strength)


# -- the report --------------------------------------------------------------------------------
def counts_by_kind(suspects):
    count = Counter(s.kind for s in suspects)
    return {kind: count.get(kind, 0) for kind in KINDS}


def counts_line(suspects):
    counts = counts_by_kind(suspects)
    return f"{len(suspects)} suspects: " + ", ".join(f"{kind} {n}" for kind, n in counts.items())


def write_report(path, suspects, names):
    """CSV of the suspects as ranked (highest score first), layers by name."""
    with open(path, "w", newline="", encoding="utf-8") as fh:
        out = csv.writer(fh)
        out.writerow(CSV_HEADER)
        for rank, s in enumerate(suspects, 1):
            out.writerow((rank, s.frame, names[s.layer], s.first, s.last, s.kind, f"{s.score:.4f}"))


def volume_suspects(volume, corrected=True):
    """The suspects of a LayeredVolume: of its layers as corrected so far, or as read."""
    layers = volume.corrected_layers() if corrected else volume.layers_read
    return find_suspects(layers, volume.names)


def report_command(volume, out_path, stream=None):
    """``--review-report``: the suspects of the layers as read, to CSV; exit status 0, or 2 when not written."""
    import sys
    stream = stream or sys.stdout
    suspects = volume_suspects(volume, corrected=False)
    try:
        write_report(out_path, suspects, volume.names)
    except OSError as e:
        reason = e.strerror or str(e)
        print(f"cannot write {out_path}: {reason}", file=sys.stderr)
        return 2
    print(counts_line(suspects), file=stream)
    return 0


# -- the list as the window keeps it -------------------------------------------------------------------
class ReviewList:
    """The suspects of a volume as corrected so far, recomputed on first read after an edit, with a cursor.

    ``marks`` are stretches others point the grader at (carried corrections, for instance): they stay
    listed until their frame has been shown (``shown(frame)``).
    """

    def __init__(self, volume):
        self.volume = volume
        self._suspects = None
        self.marks = []              # Suspect entries, score 1.0, listed first
        self.current = None          # the entry last gone to
        self._pos = -1               # its place in the list, kept when it leaves the list

    def invalidate(self):
        self._suspects = None

    @property
    def stale(self):
        return self._suspects is None

    @property
    def suspects(self):
        if self._suspects is None:
            self._suspects = volume_suspects(self.volume)
            if self.current is not None:
                entries = self.entries()
                if self.current in entries:
                    self._pos = entries.index(self.current)
                else:            # fixed: the next one now stands where it stood
                    self._pos -= 1
                    self.current = None
        return self._suspects

    def entries(self):
        return self.marks + self.suspects

    def mark(self, frame, layer, start, stop, kind):
        """Lists columns start..stop-1 of layer (index) on frame as `kind` until the frame is shown."""
        entry = Suspect(int(frame), int(layer), int(start), int(stop) - 1, str(kind), 1.0)
        if entry.last < entry.first:
            raise ValueError(f"empty stretch {start}..{stop}")
        if entry not in self.marks:
            self.marks.append(entry)

    def shown(self, frame):
        """A frame was shown: its marks have been seen. True when any went."""
        before = len(self.marks)
        self.marks = [m for m in self.marks if m.frame != frame]
        return len(self.marks) != before

    def step(self, direction=1):
        """The next (direction 1) or previous (-1) entry from the last one gone to; None when the list is empty."""
        entries = self.entries()
        if not entries:
            self.current, self._pos = None, -1
            return None
        self._pos = (self._pos + direction) % len(entries) if self._pos >= 0 or direction > 0 else len(entries) - 1
        self.current = entries[self._pos]
        return self.current

    def go(self, entry):
        entries = self.entries()
        self._pos = entries.index(entry)
        self.current = entry
        return entry


def overview_values(volume, layer, minus=None):
    """frames x columns: the layer's heights as corrected so far, or its distance from layer `minus`."""
    values = volume.corrected(volume.names[layer])
    if minus is not None and minus != layer:
        values = np.abs(values - volume.corrected(volume.names[minus]))
    return values


def overview_marks(shape, entries, edited=None):
    """frames x columns codes for the overview: 0 nothing, 1 edited, 2 suspect, 3 mark (later wins)."""
    codes = np.zeros(shape, np.uint8)
    if edited is not None:
        codes[edited] = 1
    for e in entries:
        codes[e.frame, e.first:e.last + 1] = 3 if e.score >= 1.0 and e.kind not in KINDS else 2
    return codes


def localizer(volume):
    """(image, lines) of the scan's localizer, lines (frames, 2, 2) holding each B-scan's start and end (x, y)
    in image pixels; None when the file brought none (eyepy then makes up one with made-up positions)."""
    ev = getattr(volume, "eye", None)
    if ev is None or getattr(ev, "localizer", None) is None:
        return None
    meta = ev.meta["bscan_meta"]
    if len(meta) != volume.n_frames:
        return None
    starts = np.array([m["start_pos"] for m in meta], float)
    ends = np.array([m["end_pos"] for m in meta], float)
    placeholder = (all(m.get("pos_unit") == "pixel" for m in meta)
                   and np.array_equal(starts[:, 0], np.zeros(len(meta)))
                   and np.array_equal(ends[:, 0], np.full(len(meta), volume.width - 1.0))
                   and np.array_equal(starts[:, 1], np.arange(len(meta))[::-1]))
    if placeholder:
        return None
    loc = ev.localizer
    # eyepy's own rule: positions over the localizer's scale; degrees count from the image centre
    offset = 15.0 if loc.scale_unit == "°" else 0.0
    scale = np.array([loc.scale_x, loc.scale_y], float)
    lines = (np.stack([starts, ends], axis=1) + offset) / scale
    image = np.asarray(loc.data)
    if image.ndim == 3:
        image = image[..., :3].mean(axis=2)
    return image, lines


def correction_goal(volume, entry, margin=6, reach=200):
    """(lo, hi, heights of columns lo..hi) that would put a suspect stretch right, for a scripted fix.

    The goal is the true layer where the volume knows it, else the median of the neighbouring frames.
    The stretch grows (up to `reach` columns each way) until the frame's own curve meets the goal, then
    by `margin`; the goal is tilted to start and end on the frame's own curve.
    """
    f, k = entry.frame, entry.layer
    a, b = max(0, entry.first - reach), min(volume.width - 1, entry.last + reach)
    own = volume.curves[k][f]
    truth = getattr(volume, "truth", None)
    near = [g for g in (f - 2, f - 1, f + 1, f + 2) if 0 <= g < volume.n_frames]
    if truth is not None:
        goal = np.asarray(truth[f, k], float)
    elif near:
        goal = np.median([volume.curves[k][g] for g in near], axis=0)
    else:
        goal = own.copy()
        goal[entry.first:entry.last + 1] = np.interp(np.arange(entry.first, entry.last + 1),
                                                     [entry.first - 1, entry.last + 1],
                                                     [own[max(0, entry.first - 1)], own[min(volume.width - 1, entry.last + 1)]])
    off = np.abs(own - goal) > 1.0
    lo, hi = entry.first, entry.last
    while lo > a and off[lo - 1]:
        lo -= 1
    while hi < b and off[hi + 1]:
        hi += 1
    lo, hi = max(0, lo - margin), min(volume.width - 1, hi + margin)
    cols = np.arange(lo, hi + 1)
    goal = goal[lo:hi + 1] + np.interp(cols, [lo, hi], [own[lo] - goal[lo], own[hi] - goal[hi]])
    return lo, hi, goal
