"""Layer segmentations as automatic segmentation gives them, with seeded errors whose places are known.

The layers are smooth, bowl-shaped and nested, thin out and merge in a pit in the middle frames, change
a little from frame to frame and move together when the eye moves between frames; their heights are
rounded to whole rows, and merged layers touch (or pass each other by a row). The errors are the ones a
grader fixes: a stretch slipped onto another edge in one frame or in several consecutive frames, a layer
pushed across its neighbour, spikes and gaps.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np

THICKNESS = (10, 14, 10, 10, 18, 8, 6, 8, 5, 8)   # rows (of 3.9 um) from each boundary to the next
INNER = 4        # the bands above this boundary vanish in the pit; the band below it thickens a little


@dataclass
class Seeded:
    kind: str            # displaced, slip (several frames), crossing, spike, gap
    layer: int
    frames: tuple
    first: int
    last: int


def clean_layers(frames, width, n_layers=10, height=496, seed=0, jitter=0.25, motion=0.6):
    """(n_layers, frames, width) float64 boundaries, top to bottom."""
    rng = np.random.default_rng(seed)
    f = np.linspace(0, 1, frames)[None, :, None]
    x = np.linspace(0, 1, width)[None, None, :]
    k = np.arange(n_layers)[:, None, None]
    thick = np.array([THICKNESS[i % len(THICKNESS)] for i in range(n_layers)], float)[:, None, None]
    thick = thick * height / 496 * (1 + 0.15 * np.sin(2 * np.pi * (x * (1.3 + 0.2 * k) + 0.4 * f + 0.1 * k)))
    pit = np.exp(-((f - 0.5) / 0.22) ** 2) * np.exp(-((x - 0.5) / 0.06) ** 2)
    inner = (thick[:INNER] * 0.95 * pit).sum(axis=0)
    thick = np.where(k < INNER, thick * (1 - 0.95 * pit), thick + (k == INNER) * 0.3 * inner)
    top = height * (0.18 + 0.12 * (2 * x - 1) ** 2 + 0.04 * (f - 0.5) * (x - 0.5) + 0.02 * np.sin(3 * f + x))
    y = top + np.concatenate([np.zeros_like(thick[:1]), np.cumsum(thick[:-1], axis=0)])
    # the eye moves a little between B-scans: every layer of a frame together
    y += np.cumsum(rng.normal(0, motion, frames))[None, :, None]
    y = np.round(y + rng.normal(0, jitter, y.shape))
    y = np.maximum.accumulate(y, axis=0)
    # where layers merge, a segmentation lets them pass each other by a row now and then
    touching = np.diff(y, axis=0) == 0
    swap = touching & (rng.random(touching.shape) < 0.05)
    y[:-1][swap] += 1
    return y


def seeded_layers(frames=128, width=1024, n_layers=10, height=496, seed=0, each=6, smallest=4, **clean):
    """(layers {name: frames x columns}, [Seeded ...]): `each` errors of each kind, in frames of their own."""
    rng = np.random.default_rng(seed + 1000)
    y = clean_layers(frames, width, n_layers, height, seed, **clean)
    names = [f"L{k}" for k in range(n_layers)]
    free = list(rng.permutation(frames))       # no two errors share a frame: the rest stay clean
    seeded = []

    def take(n):
        # n consecutive frames that are all still free
        for _ in range(200):
            f0 = int(rng.integers(0, frames - n + 1))
            if all(f in free for f in range(f0, f0 + n)):
                for f in range(f0, f0 + n):
                    free.remove(f)
                return tuple(range(f0, f0 + n))
        raise RuntimeError("volume too small for the errors asked for")

    def stretch(length):
        first = int(rng.integers(8, width - length - 8))
        return first, first + length - 1

    def displace(k, f, first, last, amount):
        ramp = int(rng.integers(0, 4))
        cols = np.arange(width)
        inside = np.clip(np.minimum(cols - first + 1, last - cols + 1) / (ramp + 1), 0, 1)
        y[k, f] += np.round(amount * inside)

    for _ in range(each):
        k, (f,) = int(rng.integers(0, n_layers)), take(1)
        first, last = stretch(int(rng.integers(8, 120)))
        displace(k, f, first, last, rng.choice([-1, 1]) * rng.uniform(smallest, 12))
        seeded.append(Seeded("displaced", k, (f,), first, last))
    for _ in range(each):
        k, fs = int(rng.integers(0, n_layers)), take(int(rng.integers(2, 7)))
        first, last = stretch(int(rng.integers(20, 160)))
        amount = rng.choice([-1, 1]) * rng.uniform(smallest + 1, 12)
        for f in fs:   # the same wrong edge, drifting a little from frame to frame
            a, b = first + int(rng.integers(-3, 4)), last + int(rng.integers(-3, 4))
            displace(k, f, a, b, amount + rng.uniform(-1, 1))
            seeded.append(Seeded("slip", k, (f,), a, b))
    for _ in range(each):
        k, (f,) = int(rng.integers(0, n_layers - 1)), take(1)
        first, last = stretch(int(rng.integers(10, 60)))
        # onto the edge below the next boundary: across it by a few rows
        y[k, f, first:last + 1] = y[k + 1, f, first:last + 1] + rng.integers(2, 7)
        seeded.append(Seeded("crossing", k, (f,), first, last))
    for _ in range(each):
        k, (f,) = int(rng.integers(0, n_layers)), take(1)
        first, last = stretch(int(rng.integers(1, 5)))
        y[k, f, first:last + 1] += rng.choice([-1, 1]) * rng.integers(6, 16)
        seeded.append(Seeded("spike", k, (f,), first, last))
    for _ in range(each):
        k, (f,) = int(rng.integers(0, n_layers)), take(1)
        first, last = stretch(int(rng.integers(1, 80)))
        y[k, f, first:last + 1] = np.nan
        seeded.append(Seeded("gap", k, (f,), first, last))
    np.clip(y, 0, height - 1, out=y)
    return {name: y[k] for k, name in enumerate(names)}, seeded


def figures(suspects, seeded, frames):
    """(found fraction per seeded kind, fraction of error-free frames with a non-gap suspect)."""
    by_place = {}
    for s in suspects:
        by_place.setdefault((s.frame, s.layer), []).append(s)
    found = {}
    for e in seeded:
        hit = any(s.first <= e.last and s.last >= e.first and (e.kind == "gap") == (s.kind == "gap")
                  for f in e.frames for s in by_place.get((f, e.layer), ()))
        found.setdefault(e.kind, []).append(hit)
    busy = {f for e in seeded for f in e.frames}
    clean = [f for f in range(frames) if f not in busy]
    flagged = {s.frame for s in suspects if s.kind != "gap"}
    return ({kind: float(np.mean(hits)) for kind, hits in found.items()},
            sum(f in flagged for f in clean) / max(1, len(clean)))
