"""Scan files in and corrected layers out: eyepy's formats, TIFF stacks and .npy volumes with .npz layers.

eyepy reads the scanner and data-set formats and writes ``.eye``; its layers are what our curves are,
one height per B-scan column with NaN where no boundary is known. Everything here raises; the command
line turns an exception into a one-line message.
"""
from __future__ import annotations

import os
import tempfile
from pathlib import Path

import numpy as np
import tifffile

from .layers import LayeredVolume

EYEPY_SUFFIXES = {".eye": "eyepy volume", ".vol": "HEYEX VOL", ".e2e": "HEYEX E2E", ".xml": "HEYEX XML export",
                  ".mat": "Duke .mat"}
ARRAY_SUFFIXES = {".tif": "TIFF stack", ".tiff": "TIFF stack", ".npy": "NumPy volume"}
IMAGE_SUFFIXES = (".png", ".jpg", ".jpeg", ".tif", ".tiff")
# what the two Duke data sets store, as eyepy's readers expect it
DUKE_VARIABLES = ("images", "layerMaps", "Age")
DUKE_CHIU_VARIABLES = ("images", "manualLayers1", "manualLayers2", "automaticLayersDME", "automaticLayersNormal",
                       "manualFluid1", "manualFluid2", "automaticFluidDME")
EMPTY_LAYER = "new layer"


class ScanError(Exception):
    """A file that is not what its name says, or does not fit together."""


def _eyepy():
    try:
        import eyepy
    except ImportError as e:
        raise ScanError(f"this format is read with eyepy, which is not installed ({e}); "
                        "install the viewer extra: pip install '.[viewer]'") from e
    return eyepy


def _hex_rgb(text):
    try:
        text = str(text).lstrip("#")
        return tuple(int(text[i:i + 2], 16) for i in (0, 2, 4))
    except ValueError:
        return None


class ScanVolume(LayeredVolume):
    """A volume read from a file: pixels made displayable one frame at a time, layers as read.

    ``raw`` is the volume as stored (an eyepy volume's raw data, a memory-mapped .npy, a TIFF stack);
    ``eye`` is the eyepy volume the file was read into, if any, so that a save keeps its metadata.
    """

    def __init__(self, raw, layers, colors, path, kind, eye=None, transform=None):
        self.raw, self.path, self.kind, self.eye = raw, Path(path), kind, eye
        self.transform = transform or (lambda frame: frame)
        f, h, w = raw.shape
        for name, a in layers.items():
            if a.shape != (f, w):
                raise ScanError(f"layer {name!r} is {' x '.join(map(str, a.shape))} (frames x columns), "
                                f"but the volume has {f} frames of {w} columns")
        if not layers:
            # nothing to correct yet: one empty layer to draw
            layers = {EMPTY_LAYER: np.full((f, w), np.nan)}
            colors = [(255, 80, 80)]
        super().__init__(raw.shape, layers, colors, title=self.path.name)
        self._range = None

    def _display_range(self):
        # one intensity window for the whole volume, from a few frames, so frames match
        if self._range is None:
            picks = np.unique(np.linspace(0, self.n_frames - 1, min(5, self.n_frames)).astype(int))
            sample = np.stack([np.asarray(self.transform(np.array(self.raw[i])), dtype=np.float64) for i in picks])
            finite = sample[np.isfinite(sample)]
            lo, hi = np.percentile(finite, [0.5, 99.5]) if finite.size else (0.0, 1.0)
            self._range = (float(lo), float(hi) if hi > lo else float(lo) + 1.0)
        return self._range

    def _make_frame(self, i):
        frame = self.transform(np.array(self.raw[i]))
        if frame.dtype == np.uint8:
            return frame
        lo, hi = self._display_range()
        scaled = (np.asarray(frame, dtype=np.float64) - lo) * (255.0 / (hi - lo))
        return np.nan_to_num(np.clip(scaled, 0, 255), nan=0.0).astype(np.uint8)


def _from_eyepy(ev, path, kind):
    raw = ev._raw_data   # the stored volume; the shown one is made per frame with eyepy's own transform
    if raw.ndim != 3:
        raise ScanError(f"expected a volume of frames x rows x columns, got shape {raw.shape}")
    layers = {name: np.asarray(layer.data) for name, layer in ev.layers.items()}
    colors = [_hex_rgb(layer.meta.get("current_color")) or (255, 0, 0) for layer in ev.layers.values()]
    return ScanVolume(raw, layers, colors, path, kind, eye=ev, transform=ev.intensity_transform)


def read_layers_npz(path):
    """{name: (frames x columns) float array} from an .npz, in the file's order."""
    path = Path(path)
    if not path.exists():
        raise ScanError(f"{path}: no such file")
    with np.load(path, allow_pickle=False) as npz:
        layers = {}
        for name in npz.files:
            a = npz[name]
            if a.ndim != 2 or not (np.issubdtype(a.dtype, np.floating) or np.issubdtype(a.dtype, np.integer)):
                raise ScanError(f"{path}: layer {name!r} is not a frames x columns array of numbers "
                                f"(shape {a.shape}, {a.dtype})")
            layers[name] = a if np.issubdtype(a.dtype, np.floating) else a.astype(np.float64)
    return layers


def _read_array(path):
    if path.suffix.lower() == ".npy":
        data = np.load(path, mmap_mode="r", allow_pickle=False)
    else:
        data = tifffile.imread(path)
    if data.ndim == 2:
        data = data[None]
    elif data.ndim == 4 and data.shape[-1] in (3, 4):
        data = data[..., 0]     # colour B-scans: their first channel, as eyepy does for folders
    if data.ndim != 3:
        raise ScanError(f"expected a volume of frames x rows x columns, got shape {data.shape}")
    if not (np.issubdtype(data.dtype, np.number) or data.dtype == bool):
        raise ScanError(f"the volume holds {data.dtype}, not numbers")
    return data


def _read_mat(path, ep):
    from scipy.io import whosmat
    names = {name for name, _, _ in whosmat(path)}
    if all(v in names for v in DUKE_VARIABLES):
        return ep.import_duke_mat(path)
    if all(v in names for v in DUKE_CHIU_VARIABLES):
        return ep.import_dukechiu2_mat(path)
    missing = [v for v in DUKE_VARIABLES if v not in names]
    raise ScanError(f"not laid out as the Duke OCT data sets: no variable {', '.join(missing)} "
                    f"(found {', '.join(sorted(names)) or 'none'})")


def open_scan(path, layers=None):
    """Reads PATH (and, for a TIFF stack or .npy volume, the layers in the .npz LAYERS)."""
    path = Path(path)
    if not path.exists():
        raise ScanError("no such file or folder")
    suffix = path.suffix.lower()
    if layers is not None and (path.is_dir() or suffix not in ARRAY_SUFFIXES):
        raise ScanError("--layers goes with a TIFF stack or a .npy volume; this file brings its own layers")

    if path.is_dir():
        ep = _eyepy()
        if (path / "oct.mhd").is_file():
            return _from_eyepy(ep.import_retouch(path), path, "RETOUCH")
        if any(p.suffix.lower() == ".xml" for p in path.iterdir()):
            return _from_eyepy(ep.import_heyex_xml(path), path, "HEYEX XML export")
        if not any(p.suffix.lower() in IMAGE_SUFFIXES for p in path.iterdir()):
            raise ScanError("the folder holds no B-scan images (.png, .jpg, .tif), no HEYEX XML and no RETOUCH oct.mhd")
        return _from_eyepy(ep.import_bscan_folder(path), path, "B-scan folder")

    if suffix in ARRAY_SUFFIXES:
        data = _read_array(path)
        read = read_layers_npz(layers) if layers is not None else {}
        return ScanVolume(data, read, None, path, ARRAY_SUFFIXES[suffix])
    if suffix not in EYEPY_SUFFIXES:
        known = ", ".join(sorted(set(EYEPY_SUFFIXES) | set(ARRAY_SUFFIXES)))
        raise ScanError(f"unknown kind of file {suffix or '(no suffix)'!r}; readable: {known} and folders")
    ep = _eyepy()
    if suffix == ".eye":
        ev = ep.EyeVolume.load(path)
    elif suffix == ".vol":
        ev = ep.import_heyex_vol(path)
    elif suffix == ".e2e":
        ev = ep.import_heyex_e2e(path)
    elif suffix == ".xml":
        ev = ep.import_heyex_xml(path)
    else:
        ev = _read_mat(path, ep)
    return _from_eyepy(ev, path, EYEPY_SUFFIXES[suffix])


# -- writing -----------------------------------------------------------------------------------
def _replace_atomically(path, write):
    """write(tmp) then move it over path, so that a failed save leaves the old file whole."""
    path = Path(path)
    fd, tmp = tempfile.mkstemp(prefix=".saving-", suffix=path.suffix, dir=path.parent or ".")
    os.close(fd)
    try:
        write(tmp)
        # mkstemp makes the file private; give it the mode a plain open() would
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(tmp, os.stat(path).st_mode & 0o7777 if path.exists() else 0o666 & ~mask)
        os.replace(tmp, path)
    finally:
        if os.path.exists(tmp):
            os.remove(tmp)


def write_eye(volume, path):
    """Writes the corrected layers to an eyepy ``.eye`` file, with the volume and metadata as read."""
    ep = _eyepy()
    corrected = volume.corrected_layers()
    ev = getattr(volume, "eye", None)
    if ev is None:
        raw = volume.raw if hasattr(volume, "raw") else volume.ensure_all()
        ev = ep.EyeVolume(data=np.asarray(raw))
        for name, data in corrected.items():
            ev.add_layer_annotation(data, name=name)
        _replace_atomically(path, ev.save)
        return
    # the volume as read, its layers swapped for the corrected ones while it is written
    swapped, added = [], []
    layers = ev.layers
    try:
        for name, data in corrected.items():
            if name in layers:
                swapped.append((layers[name], layers[name].data))
                layers[name].data = data
            else:
                ev.add_layer_annotation(data, name=name)
                added.append(name)
        _replace_atomically(path, ev.save)
    finally:
        for layer, data in swapped:
            layer.data = data
        for name in added:
            ev.remove_layer_annotation(name)


def write_npz(volume, path):
    """Writes the corrected layers as one frames x columns array per layer name (what --layers reads)."""
    corrected = volume.corrected_layers()

    def write(tmp):
        with open(tmp, "wb") as fh:
            np.savez(fh, **corrected)
    _replace_atomically(path, write)
