"""A synthetic layered volume with per-frame boundary curves, made on the fly.

Frames look like retinal cross-sections: a stack of smooth, gently bowed layers with a dip in the
middle frames, speckle and a little blur. The curves follow the true layer edges, except for a few
deliberate segmentation slips per frame, so that there is something worth correcting.
"""
from __future__ import annotations

import cv2
import numpy as np

from .layers import LayeredVolume

# name, mean offset from the top boundary (rows), colour
LAYERS = [
    ("ILM", 0, (255, 80, 80)),
    ("NFL/GCL", 22, (255, 170, 60)),
    ("IPL/INL", 58, (240, 230, 80)),
    ("INL/OPL", 86, (110, 220, 110)),
    ("OPL/ONL", 112, (80, 200, 230)),
    ("ELM", 176, (120, 140, 255)),
    ("IS/OS", 196, (200, 120, 255)),
    ("BM", 236, (255, 120, 200)),
]
# Mean brightness of the band above the first boundary, then below each boundary in turn.
# Boundaries with a large step in brightness: the ones an edge follower can trace.
STRONG_EDGES = (0, 6, 7)
BANDS = (0.04, 0.78, 0.52, 0.30, 0.48, 0.26, 0.16, 0.84, 0.40)


class SyntheticVolume(LayeredVolume):
    """frames x height x width uint8 volume plus {curve index: [per-frame float64 y arrays]}.

    Frames are generated on first use (``frame(i)``) or all at once (``ensure_all``); the volume
    array itself exists from the start so that a viewer can hand it over by reference.
    """

    def __init__(self, frames=64, height=496, width=1024, seed=7):
        self.n_frames, self.height, self.width = int(frames), int(height), int(width)
        if self.n_frames < 1 or self.height < 32 or self.width < 32:
            raise ValueError("volume too small")
        self.seed = seed
        self.truth = self._boundaries()                      # (frames, layers, width) float64
        self.slipped = [self._slipped_curves(f) for f in range(self.n_frames)]
        layers = {name: np.stack([self._segmentation(f, k) for f in range(self.n_frames)])
                  for k, (name, _, _) in enumerate(LAYERS)}
        super().__init__((frames, height, width), layers, colors=[color for _, _, color in LAYERS],
                         title=f"synthetic volume ({frames} x {height} x {width})")

    # -- geometry --------------------------------------------------------------------------------
    def _boundaries(self):
        f = np.arange(self.n_frames)[:, None, None] / max(1, self.n_frames - 1)
        x = np.arange(self.width)[None, None, :] / (self.width - 1)
        scale = self.height / 496.0
        offsets = np.array([o for _, o, _ in LAYERS], dtype=float)[None, :, None] * scale
        # a bowl, tilted a little from frame to frame, with a pit whose depth peaks mid-volume
        top = self.height * (0.20 + 0.10 * (x - 0.5) ** 2 * 4 + 0.03 * (f - 0.5) * (x - 0.5))
        # the pit: inner layers collapse toward the outer ones, most in the middle frames
        collapse = 0.75 * np.exp(-((f - 0.5) / 0.25) ** 2) * np.exp(-((x - 0.52) / 0.07) ** 2)
        k = np.arange(len(LAYERS))[None, :, None]
        wobble = 2.5 * scale * np.sin(2 * np.pi * (x * (2 + 0.4 * k) + 0.15 * k + 0.3 * f))
        outer = offsets[:, 5:6, :]
        y = top + offsets + wobble + np.where(k < 5, (outer - offsets) * collapse, 0.0)
        y = np.maximum.accumulate(y, axis=1)  # keep the layers in order
        y += np.arange(len(LAYERS))[None, :, None] * 0.5
        return np.clip(y, 2, self.height - 3)

    def _slipped_curves(self, frame):
        """Three curves per frame go astray, one of them on a high-contrast edge."""
        rng = np.random.default_rng((self.seed, frame))
        strong = [k for k in STRONG_EDGES if k < len(LAYERS)]
        first = int(rng.choice(strong))
        rest = [k for k in range(len(LAYERS)) if k != first]
        return [first] + [int(k) for k in rng.choice(rest, size=2, replace=False)]

    def _segmentation(self, frame, k):
        """The boundary as an automatic segmentation might give it: right, with an occasional slip."""
        y = self.truth[frame, k].copy()
        if k in self.slipped[frame]:
            rng = np.random.default_rng((self.seed, frame, k))
            centre = rng.uniform(0.15, 0.85) * self.width
            half = rng.uniform(0.03, 0.07) * self.width
            amp = rng.choice([-1, 1]) * rng.uniform(9, 16) * self.height / 496.0
            xs = np.arange(self.width)
            y += amp * np.exp(-((xs - centre) / half) ** 2)
        return np.round(np.clip(y, 0, self.height - 1))

    # -- pixels ----------------------------------------------------------------------------------
    def _render(self, frame):
        h, w = self.height, self.width
        rng = np.random.default_rng((self.seed, 1000 + frame))
        rows = np.arange(h, dtype=np.float32)[:, None]
        img = np.full((h, w), BANDS[0], dtype=np.float32)
        for k in range(len(LAYERS)):
            step = np.float32(BANDS[k + 1] - BANDS[k])
            img += step * (rows >= self.truth[frame, k][None, :].astype(np.float32))
        # a faint gradient below the last layer, as light fades with depth
        last = self.truth[frame, -1][None, :].astype(np.float32)
        img -= np.clip((rows - last) / (h * 0.6), 0, 1) * np.float32(0.08)
        img = cv2.GaussianBlur(img, (0, 0), 1.6)
        speckle = rng.gamma(4.0, 0.25, size=(h, w)).astype(np.float32)
        img = img * speckle + rng.normal(0.0, 0.03, size=(h, w)).astype(np.float32)
        img = cv2.GaussianBlur(img, (0, 0), 0.9)
        return np.clip(img * 255.0, 0, 255).astype(np.uint8)

    def _make_frame(self, i):
        return self._render(i)
