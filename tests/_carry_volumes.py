"""Synthetic B-scan volumes with a known truth, for measuring how well a correction is carried.

Layers move from frame to frame (a tilt that grows and a wave that travels), two boundaries of
the same polarity and similar contrast sit a few rows apart, speckle is multiplicative, and an
optional shadow fades every edge below the first over a band of columns. The segmentation is
the truth except where a slip puts one layer onto the neighbouring edge in several frames.
"""
from __future__ import annotations

from dataclasses import dataclass

import cv2
import numpy as np

# offset of each boundary from the first (rows) and brightness of the band below it;
# boundaries 2 and 3 are the close pair: both a step up of similar size, 8 rows apart
OFFSETS = (0, 20, 52, 60, 95, 140, 150)
BANDS = (0.05, 0.70, 0.45, 0.60, 0.78, 0.35, 0.20, 0.85)


@dataclass
class Volume:
    frames: np.ndarray      # frames x rows x columns
    truth: np.ndarray       # frames x layers x columns, where a grader puts each boundary
    curves: np.ndarray      # frames x layers x columns, the segmentation with its slips


def layered_volume(frames=16, height=496, width=1024, seed=0, motion=1.5, contrast=1.0,
                   shadow=None, dtype=np.uint8):
    """`motion`: rows the layers move between neighbouring frames at most (about);
    `contrast`: scales every step in brightness (small values give faint edges);
    `shadow`: (first column, stop column) of a vessel shadow, or None."""
    rng = np.random.default_rng(seed)
    f = np.arange(frames)[:, None, None]
    x = np.arange(width)[None, None, :] / width
    k = np.arange(len(OFFSETS))[None, :, None]
    scale = height / 496
    top = height * (0.22 + 0.35 * (x - 0.5) ** 2)
    drift = motion * f * (0.4 + 1.2 * (x - 0.3))                      # a tilt that grows
    wave = 3.0 * scale * np.sin(2 * np.pi * (2.5 * x + 0.05 * f + 0.1 * k))
    truth = top + np.asarray(OFFSETS, float)[None, :, None] * scale + drift + wave
    truth = np.clip(truth, 1, height - 2)
    truth = np.broadcast_to(truth, (frames, len(OFFSETS), width)).copy()

    rows = np.arange(height, dtype=np.float32)[:, None]
    out = np.empty((frames, height, width), dtype)
    for i in range(frames):
        img = np.full((height, width), BANDS[0], np.float32)
        for b in range(len(OFFSETS)):
            step = np.float32((BANDS[b + 1] - BANDS[b]) * contrast)
            # partial coverage of the boundary pixel, so the truth is known to a fraction of a row
            img += step * np.clip(rows - truth[i, b][None, :].astype(np.float32) + 0.5, 0, 1)
        if shadow is not None:
            a, b_ = shadow
            below = rows > truth[i, 0][None, :] + 3
            fade = np.ones((height, width), np.float32)
            fade[:, a:b_] = 0.12
            img = np.where(below, img * fade, img)
        img = cv2.GaussianBlur(img, (0, 0), 1.2)
        img = img * rng.gamma(4.0, 0.25, size=img.shape).astype(np.float32)
        img += rng.normal(0, 0.03, size=img.shape).astype(np.float32)
        img = cv2.GaussianBlur(img, (0, 0), 0.8)
        img = np.clip(img, 0, 1)
        if np.issubdtype(dtype, np.integer):
            img = img * np.iinfo(dtype).max
        out[i] = img.astype(dtype)
    return Volume(out, truth, truth.copy())


def seed_slip(vol, layer, frames, start, stop, onto):
    """Puts `layer` onto boundary `onto` over columns [start, stop) of `frames`, with ramps of
    a few columns at both ends as a segmentation's slip has."""
    ramp = max(2, (stop - start) // 10)
    xs = np.arange(vol.curves.shape[2])
    w = np.clip(np.minimum(xs - start, stop - 1 - xs) / ramp, 0, 1)
    for i in frames:
        vol.curves[i, layer] = np.round(vol.truth[i, layer] * (1 - w) + vol.truth[i, onto] * w)
    return vol
