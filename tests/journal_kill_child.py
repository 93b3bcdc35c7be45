"""Plays the scripted session on a scan, logging a digest of the layers before each journal write.

    journal_kill_child.py LOG SCAN OUT

A line "write DIGEST" comes before a correction goes to the journal (DIGEST: the corrected layers it
brings about), "done" once it is written; the first line is the digest of the layers as read.
"""
import hashlib
import sys

from vantel_curve_demo import app, journal_keeper, scans


def digest(volume):
    h = hashlib.sha256()
    for name in volume.names:
        h.update(volume.corrected(name).tobytes())
    return h.hexdigest()


def main(log_path, scan, out):
    log = open(log_path, "w", buffering=1)
    log.write(f"read {digest(scans.open_scan(scan))}\n")
    flush = journal_keeper.EditJournal.flush

    def logged(self, *args):
        if not self.pending or self.state != "on":
            return flush(self, *args)
        log.write(f"write {digest(self.w.volume)}\n")
        flush(self, *args)
        log.write("done\n")
    journal_keeper.EditJournal.flush = logged
    return app.main([scan, "--out", out])


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
