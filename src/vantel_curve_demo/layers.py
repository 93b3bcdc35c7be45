"""A volume with layer boundaries as the viewer edits them: the layers as read, and working curves.

The plot does arithmetic on every column of a curve (interpolation through control points, thinning,
nearest-curve picks), so it never sees a NaN: it edits a working copy in which the columns without a
value are filled in. The viewer reports which columns the plot's signals said were edited, and only
those columns go back into the layers; every other column is saved exactly as it was read.
"""
from __future__ import annotations

import threading

import numpy as np

# Layers that carry no colour of their own get these, in turn.
PALETTE = [(255, 80, 80), (255, 170, 60), (240, 230, 80), (110, 220, 110), (80, 200, 230),
           (120, 140, 255), (200, 120, 255), (255, 120, 200), (170, 170, 170), (60, 180, 150)]


def fill_gaps(row, default):
    """The row with its non-finite columns filled: linear between known neighbours, level at the ends."""
    row = np.asarray(row, dtype=np.float64)
    known = np.isfinite(row)
    if known.all():
        return row.copy()
    if not known.any():
        return np.full(row.shape, float(default))
    cols = np.arange(row.size)
    return np.interp(cols, cols[known], row[known])


def runs(mask):
    """(start, stop) of every run of True in a 1-D mask, stop exclusive."""
    edges = np.diff(np.r_[0, np.asarray(mask, dtype=np.int8), 0])
    return list(zip(np.flatnonzero(edges == 1).tolist(), np.flatnonzero(edges == -1).tolist()))


class LayeredVolume:
    """frames x rows x columns pixels, shown as uint8, with named layers of one height per column.

    ``layers_read[name]`` holds each layer as read (frames x columns, NaN where unknown) and is never
    written. ``curves[k][f]`` is the working curve of layer k on frame f: a float64 view into
    ``work[k]`` that the plot edits in place. ``edited[k]`` marks the columns that edits reached.
    Subclasses supply the pixels through ``_make_frame``.
    """

    def __init__(self, shape, layers, colors=None, title="volume"):
        self.n_frames, self.height, self.width = (int(n) for n in shape)
        if self.n_frames < 1 or self.height < 2 or self.width < 2:
            raise ValueError(f"a volume of {self.n_frames} frames of {self.height} x {self.width} is too small")
        self.title = title
        self.names = list(layers)
        self.layers_read = dict(layers)
        self.colors = list(colors) if colors is not None else [PALETTE[k % len(PALETTE)]
                                                               for k in range(len(self.names))]
        self.data = np.zeros((self.n_frames, self.height, self.width), dtype=np.uint8)
        self.work, self.edited = [], []
        for k, name in enumerate(self.names):
            read = self.layers_read[name]
            # a layer with no value anywhere starts as a level line, spread from the others
            default = self.height * (k + 1) / (len(self.names) + 1)
            self.work.append(np.stack([fill_gaps(read[f], default) for f in range(self.n_frames)]))
            self.edited.append(np.zeros(read.shape, dtype=bool))
        self.initial = [w.copy() for w in self.work]  # the working values as they started
        self.curves = {k: list(self.work[k]) for k in range(len(self.names))}
        self.modified = False
        self._made = np.zeros(self.n_frames, dtype=bool)
        self._lock = threading.Lock()

    # -- pixels ----------------------------------------------------------------------------------
    def _make_frame(self, i):
        raise NotImplementedError

    def frame(self, i):
        """The frame's uint8 pixels (made on first use); the array is a view into ``data``."""
        i = int(i)
        if not self._made[i]:
            with self._lock:
                if not self._made[i]:
                    self.data[i] = self._make_frame(i)
                    self._made[i] = True
        return self.data[i]

    def frame_float(self, i):
        """The frame as float32 in 0..1, the form the plot expects in its image item."""
        return self.frame(i).astype(np.float32) / np.float32(255.0)

    def ensure_all(self, progress=None):
        for i in range(self.n_frames):
            self.frame(i)
            if progress is not None:
                progress(i + 1, self.n_frames)
        return self.data

    @property
    def complete(self):
        return bool(self._made.all())

    # -- layers ----------------------------------------------------------------------------------
    def frame_curves(self, i):
        """The frame's working curve arrays themselves (not copies): edits land in the volume."""
        return [self.curves[k][i] for k in range(len(self.names))]

    def has_values(self, k):
        """Whether layer k has a value anywhere in the volume, as read."""
        return bool(np.isfinite(self.layers_read[self.names[k]]).any())

    def unknown(self, k, f):
        """Columns of layer k on frame f that have no value: none in the file, and not edited since."""
        return ~np.isfinite(self.layers_read[self.names[k]][f]) & ~self.edited[k][f]

    def mark_edited(self, k, f, start, stop):
        """Columns start..stop-1 of layer k on frame f were reported edited; returns how many became so.

        A reported column counts as edited while its value differs from the one it started with:
        a column an undo put back, or one redrawn at exactly its old value, is saved as read.
        """
        start, stop = max(0, int(start)), min(self.width, int(stop))
        if stop <= start:
            return 0
        span = self.edited[k][f, start:stop]
        before = int(np.count_nonzero(span))
        span[:] = self.work[k][f, start:stop] != self.initial[k][f, start:stop]
        self.modified = True
        return max(0, int(np.count_nonzero(span)) - before)

    def record_edit(self, k, f, start, stop, stroke, whole_curve=False, before=None):
        """Marks the columns a plot's report of an edit of layer k on frame f covers; they, and only
        they, go into the saved layer. Returns the (start, stop) marked, stop exclusive, or None
        when the report covers nothing the edit changed.

        `start`, `stop` are the report's span. A stroke (liner, live-wire) reports both of its end
        columns. A report of the whole curve (`whole_curve`, a stroke in the plot's global update
        mode) is narrowed to the columns that differ from `before`, the curve as it was before.
        """
        if stroke:
            stop += 1
            if whole_curve:
                changed = np.flatnonzero(before != self.curves[k][f])
                if changed.size == 0:
                    return None
                start, stop = max(start, int(changed[0])), min(stop, int(changed[-1]) + 1)
        self.mark_edited(k, f, start, stop)
        return max(0, start), min(self.width, stop)

    def corrected(self, name):
        """The layer as read, with the edited columns taken from the working curves."""
        k = self.names.index(name)
        read = self.layers_read[name]
        out = np.array(read, copy=True)
        mask = self.edited[k]
        out[mask] = self.work[k][mask]
        return out

    def corrected_layers(self):
        return {name: self.corrected(name) for name in self.names}

    def edit_summary(self):
        """{layer name: {frame: [(first column, last column), ...]}} of the edited columns."""
        summary = {}
        for k, name in enumerate(self.names):
            frames = {f: [(a, b - 1) for a, b in runs(self.edited[k][f])]
                      for f in np.flatnonzero(self.edited[k].any(axis=1)).tolist()}
            if frames:
                summary[name] = frames
        return summary

    def row_range(self):
        """Lowest and highest row any layer reaches (the frame when no layer has a value)."""
        values = [a[np.isfinite(a)] for a in self.layers_read.values()]
        values = [v for v in values if v.size]
        if not values:
            return 0, self.height - 1
        every = np.concatenate(values)
        return int(np.floor(every.min())), int(np.ceil(every.max()))
