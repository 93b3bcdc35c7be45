"""The edit journal: every correction of a scan, appended to disk as it is made, replayable after a crash.

A journal is one append-only file per opened scan. Its first record names the scan and its layers;
each further record is one whole correction (a drag, a stroke, a point command, an undo, a redo, a
carry): the absolute values of the columns it left behind, and which of them count as edited. Replaying
the records in order onto the scan as read gives the layers as they were after the last correction.

Records are framed (sync word, length, CRC-32) and each is handed to the system with one ``write``
before the window goes on, so a killed process leaves at worst one torn record at the end, which
reading drops; damage elsewhere costs only the records it hits, since reading finds the next sync word
and goes on. The data sync that makes a record survive a power cut runs on a thread of its own: it
costs milliseconds that the pointer should not wait for.
"""
from __future__ import annotations

import hashlib
import json
import os
import re
import struct
import threading
import time
import zlib
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

APP_NAME = "vantel-curve-demo"
ENV_DIR = "VANTEL_RECOVERY_DIR"
SUFFIX = ".journal"
VERSION = 1

SYNC = b"\xa5\x5aJr"
_FRAME = struct.Struct("<4sII")          # sync, payload length, CRC-32 of the payload
_HEAD = struct.Struct("<Bd")             # kind, time written (Unix seconds)
_EDIT = struct.Struct("<IIIBI")          # layer, frame, column count, column form, first column
_MAX_PAYLOAD = 1 << 28                   # larger lengths are damage, not records

KIND_HEADER, KIND_CORRECTION = 1, 2
CONTIGUOUS, LISTED = 0, 1
CAUSES = ("edit", "undo", "redo", "carry", "restore")

_sync_data = getattr(os, "fdatasync", os.fsync)


class JournalError(Exception):
    """A journal that cannot be opened, written or applied; the message says why."""


class JournalBusy(JournalError):
    """Another window (in this process or another) already keeps the journal of this scan."""


@dataclass
class Edit:
    """Columns of one layer on one frame, with their values after the correction.

    ``columns`` is a ``slice`` (contiguous, step 1) or an integer array; ``edited`` marks which of
    the columns count as corrected (None: those whose value differs from the one read).
    """
    layer: int
    frame: int
    columns: object
    values: np.ndarray
    edited: np.ndarray | None = None

    def column_indices(self):
        if isinstance(self.columns, slice):
            return np.arange(self.columns.start, self.columns.stop)
        return np.asarray(self.columns, dtype=np.int64)


@dataclass
class Correction:
    time: float
    cause: str
    edits: list


@dataclass
class Contents:
    """What reading a journal found."""
    header: dict | None = None
    corrections: list = field(default_factory=list)
    skipped: int = 0          # records that were there but could not be read
    torn: bool = False        # the last record was cut short (the writer died in it)
    valid_end: int = 0        # offset just past the last good record

    @property
    def last_time(self):
        if self.corrections:
            return self.corrections[-1].time
        return None if self.header is None else self.header.get("created")


# -- where journals live ---------------------------------------------------------------------------
def journal_dir():
    """The folder of journals: $VANTEL_RECOVERY_DIR, else Qt's writable application-data folder."""
    env = os.environ.get(ENV_DIR)
    if env:
        return Path(env)
    from PySide6 import QtCore
    # the same folder whichever program name the process was started with
    app = QtCore.QCoreApplication
    before = app.applicationName()
    app.setApplicationName(APP_NAME)
    try:
        base = QtCore.QStandardPaths.writableLocation(QtCore.QStandardPaths.StandardLocation.AppDataLocation)
    finally:
        app.setApplicationName(before)
    if not base:
        raise JournalError("this system has no writable application-data folder; set " + ENV_DIR)
    return Path(base) / "recovery"


def journal_path(scan_path, directory=None):
    """The journal of a scan: its file name for reading, a digest of its absolute path for uniqueness."""
    absolute = os.path.abspath(os.fspath(scan_path))
    digest = hashlib.sha256(absolute.encode("utf-8", "surrogatepass")).hexdigest()[:16]
    name = re.sub(r"[^A-Za-z0-9._-]+", "_", os.path.basename(absolute.rstrip(os.sep)) or "scan")[:80]
    return Path(directory if directory is not None else journal_dir()) / f"{name}-{digest}{SUFFIX}"


# -- encoding --------------------------------------------------------------------------------------
def _frame(kind, body, when=None):
    payload = _HEAD.pack(kind, time.time() if when is None else when) + body
    return _FRAME.pack(SYNC, len(payload), zlib.crc32(payload)) + payload


def _encode_edit(e):
    values = np.ascontiguousarray(e.values, dtype="<f8")
    if isinstance(e.columns, slice):
        start = int(e.columns.start)
        n = int(e.columns.stop) - start
        head = _EDIT.pack(int(e.layer), int(e.frame), n, CONTIGUOUS, start)
        listed = b""
    else:
        cols = np.ascontiguousarray(e.columns, dtype="<i4")
        n = cols.size
        head = _EDIT.pack(int(e.layer), int(e.frame), n, LISTED, 0)
        listed = cols.tobytes()
    if values.shape != (n,):
        raise ValueError(f"{values.size} values for {n} columns")
    if e.edited is None:
        mask = b"\x00"
    else:
        edited = np.asarray(e.edited, dtype=bool)
        if edited.shape != (n,):
            raise ValueError(f"{edited.size} edited marks for {n} columns")
        mask = b"\x01" + np.packbits(edited).tobytes()
    return head + listed + values.tobytes() + mask


def encode_correction(edits, cause="edit", when=None):
    """One framed record holding a whole correction."""
    body = [struct.pack("<BI", CAUSES.index(cause), len(edits))]
    body.extend(_encode_edit(e) for e in edits)
    return _frame(KIND_CORRECTION, b"".join(body), when)


def encode_header(header, when=None):
    return _frame(KIND_HEADER, json.dumps(header, sort_keys=True).encode("utf-8"), when)


def _decode_correction(when, body):
    cause_index, count = struct.unpack_from("<BI", body, 0)
    pos = 5
    edits = []
    for _ in range(count):
        layer, frame, n, form, start = _EDIT.unpack_from(body, pos)
        pos += _EDIT.size
        if form == CONTIGUOUS:
            columns = slice(start, start + n)
        elif form == LISTED:
            columns = np.frombuffer(body, "<i4", n, pos).astype(np.int64)
            pos += 4 * n
        else:
            raise ValueError("unknown column form")
        values = np.frombuffer(body, "<f8", n, pos).astype(np.float64)
        pos += 8 * n
        has_mask = body[pos]
        pos += 1
        edited = None
        if has_mask:
            packed = np.frombuffer(body, np.uint8, (n + 7) // 8, pos)
            edited = np.unpackbits(packed, count=n).astype(bool)
            pos += packed.size
        edits.append(Edit(layer, frame, columns, values, edited))
    if pos != len(body):
        raise ValueError("trailing bytes")
    return Correction(when, CAUSES[cause_index], edits)


def _record_at(data, pos):
    """(kind, time, body, end) of the whole record at pos; "torn" when the bytes from pos to the end
    of data are the start of a record cut short; None when no record starts at pos."""
    rest = len(data) - pos
    if rest < _FRAME.size:
        return "torn" if data[pos:pos + 4] == SYNC[:rest] else None
    sync, length, crc = _FRAME.unpack_from(data, pos)
    if sync != SYNC or length < _HEAD.size or length > _MAX_PAYLOAD:
        return None
    end = pos + _FRAME.size + length
    if end > len(data):
        return "torn"
    payload = data[pos + _FRAME.size:end]
    if zlib.crc32(payload) != crc:
        return None
    kind, when = _HEAD.unpack_from(payload, 0)
    return kind, when, payload[_HEAD.size:], end


def parse(data):
    """Reads journal bytes; never raises on damage, counts what it had to skip."""
    out = Contents()
    pos, n = 0, len(data)
    while pos < n:
        found = _record_at(data, pos)
        decoded = None
        if isinstance(found, tuple):
            kind, when, body, end = found
            try:
                if kind == KIND_HEADER and out.header is None and not out.corrections:
                    decoded = json.loads(body.decode("utf-8"))
                    if not isinstance(decoded, dict):
                        raise ValueError("header is not an object")
                    decoded.setdefault("created", when)
                    out.header = decoded
                elif kind == KIND_CORRECTION:
                    decoded = _decode_correction(when, body)
                    out.corrections.append(decoded)
            except (ValueError, struct.error, UnicodeDecodeError, IndexError):
                decoded = None
        if decoded is not None:
            pos = out.valid_end = end
            continue
        # Not a good record here: the rest is either a torn tail, or damage to step over.
        resume = data.find(SYNC, pos + 1)
        while resume != -1 and not isinstance(_record_at(data, resume), tuple):
            resume = data.find(SYNC, resume + 1)
        if resume == -1:
            if found == "torn":
                out.torn = True
            else:
                out.skipped += 1
            break
        out.skipped += 1 + data.count(SYNC, pos + 1, resume)
        pos = resume
    return out


def read_journal(path):
    """Contents of the journal at path (empty Contents when there is no such file)."""
    try:
        with open(path, "rb") as fh:
            return parse(fh.read())
    except FileNotFoundError:
        return Contents()
    except OSError as e:
        raise JournalError(f"cannot read the journal {path}: {e.strerror or e}") from e


# -- applying --------------------------------------------------------------------------------------
def header_for(volume):
    return {"version": VERSION, "scan": os.path.abspath(os.fspath(volume.path)), "layers": list(volume.names),
            "frames": volume.n_frames, "width": volume.width, "created": time.time()}


def misfit(header, volume):
    """Why the journal's corrections do not belong to this volume (None when they do)."""
    if header is None:
        return None   # the header itself was damaged: each edit is still checked on its own
    if header.get("version") != VERSION:
        return f"written by another version of the viewer ({header.get('version')})"
    if list(header.get("layers", ())) != list(volume.names):
        return "its layers are not the file's layers"
    if header.get("frames") != volume.n_frames or header.get("width") != volume.width:
        return (f"it was written for {header.get('frames')} frames of {header.get('width')} columns, "
                f"the file has {volume.n_frames} of {volume.width}")
    return None


def apply_edit(volume, e):
    """Writes one edit into the volume's working curves and edited marks; False if it does not fit."""
    if not (0 <= e.layer < len(volume.names) and 0 <= e.frame < volume.n_frames):
        return False
    cols = e.column_indices()
    if cols.size and (cols.min() < 0 or cols.max() >= volume.width):
        return False
    values = np.asarray(e.values, dtype=np.float64)
    if values.shape != cols.shape or not np.isfinite(values).all():
        return False
    work = volume.work[e.layer][e.frame]
    work[cols] = values
    if e.edited is None:
        volume.edited[e.layer][e.frame, cols] = work[cols] != volume.initial[e.layer][e.frame, cols]
    else:
        volume.edited[e.layer][e.frame, cols] = e.edited
    volume.modified = True
    return True


def replay(volume, corrections):
    """Applies corrections in order; returns (corrections applied, edits that did not fit)."""
    applied = rejected = 0
    for c in corrections:
        results = [apply_edit(volume, e) for e in c.edits]
        rejected += results.count(False)
        applied += any(results)
    return applied, rejected


def edit_of(volume, layer, frame, start, stop):
    """The edit that columns start..stop-1 of a layer on a frame now stand for."""
    start, stop = max(0, int(start)), min(volume.width, int(stop))
    return Edit(layer, frame, slice(start, stop), volume.work[layer][frame, start:stop].copy(),
                volume.edited[layer][frame, start:stop].copy())


# -- the file itself -------------------------------------------------------------------------------
def _lock(fd):
    try:
        import fcntl
    except ImportError:   # Windows: a lock on the first byte, released with the handle
        import msvcrt
        try:
            msvcrt.locking(fd, msvcrt.LK_NBLCK, 1)
            return True
        except OSError:
            return False
    try:
        # flock: per open file, so a second window of the same process is refused too,
        # and the kernel lets go when the process dies, however it dies
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except BlockingIOError:
        return False


class _Syncer:
    """Brings an open file's written data to disk in the background, one sync for any number of writes."""

    def __init__(self, fd):
        self.fd = fd
        self._cond = threading.Condition()
        self._dirty = self._stop = False
        self._thread = threading.Thread(target=self._run, name="journal-sync", daemon=True)
        self._thread.start()

    def poke(self):
        with self._cond:
            self._dirty = True
            self._cond.notify()

    def _run(self):
        while True:
            with self._cond:
                while not (self._dirty or self._stop):
                    self._cond.wait()
                if not self._dirty:
                    return
                self._dirty = False
            try:
                _sync_data(self.fd)
            except OSError:
                pass   # the next write reports a failing disk; a sync has nothing to take back

    def stop(self):
        with self._cond:
            self._stop = True
            self._cond.notify()
        self._thread.join()


class Journal:
    """The journal of one scan, held (locked) by one window for as long as it is open.

    ``found`` is what the file held when it was opened (corrections from an earlier run that were
    never saved or discarded). Until ``resume`` or ``discard`` decides about them nothing is written,
    so a window that answers "keep for later" leaves them untouched.
    """

    def __init__(self, path, header):
        self.path = Path(path)
        self.header = dict(header)
        try:
            self.path.parent.mkdir(parents=True, exist_ok=True)
            self._fd = os.open(self.path, os.O_RDWR | os.O_CREAT | getattr(os, "O_BINARY", 0), 0o600)
        except OSError as e:
            raise JournalError(f"cannot open the journal {self.path}: {e.strerror or e}") from e
        if not _lock(self._fd):
            os.close(self._fd)
            self._fd = None
            raise JournalBusy(f"{header.get('scan', self.path.name)} is open in another window")
        try:
            self.found = parse(self._read_all())
        except OSError as e:
            os.close(self._fd)
            self._fd = None
            raise JournalError(f"cannot read the journal {self.path}: {e.strerror or e}") from e
        self.count = 0            # corrections written since the last clear
        self.writable = False
        self._syncer = _Syncer(self._fd)

    @classmethod
    def for_volume(cls, volume, directory=None):
        return cls(journal_path(volume.path, directory), header_for(volume))

    @property
    def closed(self):
        return self._fd is None

    def _read_all(self):
        os.lseek(self._fd, 0, os.SEEK_SET)
        chunks = []
        while chunk := os.read(self._fd, 1 << 20):
            chunks.append(chunk)
        return b"".join(chunks)

    def _check_open(self):
        if self._fd is None:
            raise JournalError("the journal is closed")

    def resume(self):
        """Keeps what was found (restored into the window) and appends after it.

        Whatever follows the last good record (a torn one, garbage) is cut off first, or the next
        record would sit behind it and every later read would count it as damage again.
        """
        self._check_open()
        if self.found.header is None and not self.found.corrections:
            self._rewrite_header()
        else:
            try:
                if os.fstat(self._fd).st_size > self.found.valid_end:
                    os.ftruncate(self._fd, self.found.valid_end)
                    _sync_data(self._fd)
            except OSError as e:
                raise JournalError(f"cannot write the journal {self.path}: {e.strerror or e}") from e
        self.count = len(self.found.corrections)
        self.writable = True

    def discard(self):
        """Forgets every correction in the file (saved, or thrown away by the user)."""
        self._check_open()
        self._rewrite_header()
        self.found = Contents(header=self.header)
        self.count = 0
        self.writable = True

    clear = discard

    def _rewrite_header(self):
        try:
            os.ftruncate(self._fd, 0)
            os.lseek(self._fd, 0, os.SEEK_SET)
            os.write(self._fd, encode_header(self.header))
            _sync_data(self._fd)
        except OSError as e:
            raise JournalError(f"cannot write the journal {self.path}: {e.strerror or e}") from e

    def append(self, edits, cause="edit"):
        """Writes one correction; the system has it when this returns, the disk shortly after."""
        self._check_open()
        if not self.writable:
            raise JournalError("the journal's earlier corrections have not been restored or discarded")
        if not edits:
            return
        record = encode_correction(edits, cause)
        end = os.lseek(self._fd, 0, os.SEEK_END)
        try:
            written = os.write(self._fd, record)
            if written != len(record):
                raise OSError(28, "short write (disk full?)")
        except OSError as e:
            # a half-written record would be skipped as damage on every later read: take it back
            try:
                os.ftruncate(self._fd, end)
            except OSError:
                pass
            raise JournalError(f"cannot write the journal {self.path}: {e.strerror or e}") from e
        self.count += 1
        self._syncer.poke()

    def sync(self):
        """Waits until everything written is on disk."""
        self._check_open()
        _sync_data(self._fd)

    def record(self, layer, frame, columns, values, edited=None, cause="carry"):
        """Journals an edit made outside the plot (a carried or restored frame) as a correction of its own.

        ``columns``: (start, stop) with stop exclusive, a slice, or an array of column indices.
        """
        if isinstance(columns, tuple) and len(columns) == 2:
            columns = slice(int(columns[0]), int(columns[1]))
        elif isinstance(columns, slice):
            if columns.step not in (None, 1) or columns.start is None or columns.stop is None:
                raise ValueError("a slice of columns needs a start, a stop and step 1")
        else:
            columns = np.asarray(columns)
            if columns.ndim != 1 or not np.issubdtype(columns.dtype, np.integer):
                raise ValueError("columns must be (start, stop), a slice or a 1-D array of column indices")
        self.append([Edit(int(layer), int(frame), columns, np.asarray(values, dtype=np.float64), edited)], cause)

    def close(self):
        """Lets go of the journal; a journal without corrections is removed."""
        if self._fd is None:
            return
        self._syncer.stop()
        try:
            if self.writable and self.count == 0:
                try:
                    self.path.unlink()
                except OSError:
                    pass
            elif self.writable:
                _sync_data(self._fd)
        finally:
            os.close(self._fd)
            self._fd = None

    def __del__(self):
        if getattr(self, "_fd", None) is not None:
            self.close()


# -- recovery without a window ---------------------------------------------------------------------
def recover(scan_path, out_path, layers=None, directory=None, say=print, warn=None):
    """Replays the journal of a scan onto the scan as read and writes the result to out_path.

    Returns the exit status: 0 when corrections were recovered and written, 2 when there is
    nothing to recover or the journal does not fit the scan, 1 when the result could not be written.
    The journal stays where it is.
    """
    from . import scans
    warn = warn or say
    out_path = Path(out_path)
    writers = {".eye": scans.write_eye, ".npz": scans.write_npz}
    write = writers.get(out_path.suffix.lower())
    if write is None:
        warn(f"cannot recover into {out_path}: the output must end in .eye or .npz")
        return 2
    journal = journal_path(scan_path, directory)
    contents = read_journal(journal)
    if not contents.corrections:
        say(f"no unsaved corrections for {scan_path}")
        return 2
    try:
        volume = scans.open_scan(scan_path, layers)
    except Exception as e:  # the reader's own errors become one line, as when opening
        warn(f"cannot open {scan_path}: {' '.join(str(e).split()) or type(e).__name__}")
        return 2
    problem = misfit(contents.header, volume)
    if problem:
        warn(f"cannot recover: the journal {journal} does not belong to {scan_path} as it is now: {problem}")
        return 2
    applied, rejected = replay(volume, contents.corrections)
    try:
        write(volume, out_path)
    except Exception as e:  # noqa: BLE001 - a failed write is reported, the journal is kept
        warn(f"could not write {out_path}: {e}")
        return 1
    say(f"recovered {applied} corrections from {journal}")
    if contents.skipped or rejected:
        warn(f"skipped {contents.skipped} damaged records and {rejected} edits that do not fit the file")
    if contents.torn:
        warn("the last record was cut short when the viewer stopped and is left out")
    return 0
