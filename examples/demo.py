"""Builds a fullmap from the sample data in examples/data and looks a few
terms up in it.

    PYTHONPATH=build/python python3.13 examples/demo.py
"""
import os
import sys
import tempfile
import threading
import time

from corvantile import rs

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
CLASSES = ["classes_chemicals.jsonl", "classes_genes.jsonl"]
SYNONYMS = ["chemicals.ndjson", "genes_diseases.ndjson.gz"]
# Terms are stored normalised (lower-cased, trimmed); queries give them that way.
TERMS = ["aspirin", "acetaminophen", "tp53", "hgnc:11998", "breast carcinoma", "no such term"]
STAGES = {0: "merging equivalents", 1: "reading synonym files", 2: "writing shards"}


class ProgressDisplay:
    """Draws one status line per report, with a header per stage. Reports
    come from several build threads at once, hence the lock."""

    WIDTH = 30

    def __init__(self, out=sys.stdout):
        self.out = out
        self.lock = threading.Lock()
        self.stage = None
        self.started = time.monotonic()
        self.stage_started = self.started

    def __call__(self, stage, done, total, message):
        with self.lock:
            self._draw(stage, done, total, message)

    def _draw(self, stage, done, total, message):
        now = time.monotonic()
        if stage != self.stage:
            if self.stage is not None:
                self.out.write(f"  ({now - self.stage_started:.2f}s)\n")
            self.out.write(f"stage {stage}: {STAGES.get(stage, '?')}\n")
            self.stage, self.stage_started = stage, now
        if total:
            filled = min(self.WIDTH, self.WIDTH * done // total)
            bar = "#" * filled + "." * (self.WIDTH - filled)
            self.out.write(f"  [{bar}] {done}/{total}  {message}\n")
        else:
            self.out.write(f"  {done:>8}  {message}\n")
        self.out.flush()

    def finish(self):
        now = time.monotonic()
        if self.stage is not None:
            self.out.write(f"  ({now - self.stage_started:.2f}s)\n")
        self.out.write(f"built in {now - self.started:.2f}s\n")


def show_lookups(db):
    try:
        rows = rs.lookup_fullmap_terms(db, TERMS, return_format="rows")
        pairs = rs.lookup_fullmap_terms(db, TERMS, return_format="pairs")
    except RuntimeError as e:
        print(f"\nlookup unavailable in this build: {e}")
        return
    print("\nrows:")
    print(f"  {'term':<18} {'CURIE':<16} {'PREFERRED_NAME':<26} {'CATEGORY_NAME':<18} {'TAXON_ID':>8}  SOURCE_NAME")
    for r in rows:
        print(f"  {r['term']:<18} {r['CURIE']:<16} {r['PREFERRED_NAME']:<26} {r['CATEGORY_NAME']:<18} "
              f"{r['TAXON_ID']:>8}  {r['SOURCE_NAME']}")
    print("\npairs (CURIE id, source id):")
    for p in pairs:
        print(f"  {p['term']:<18} {p['records']}")
    missing = [t for t in TERMS if t not in {r['term'] for r in rows}]
    if missing:
        print(f"\nno match: {', '.join(missing)}")


def main():
    with tempfile.TemporaryDirectory(prefix="fullmap-demo-") as tmp:
        db = os.path.join(tmp, "fullmap.redb")
        display = ProgressDisplay()
        rs.build_fullmap_db(db,
                            [os.path.join(DATA, f) for f in CLASSES],
                            [os.path.join(DATA, f) for f in SYNONYMS],
                            progress=display)
        display.finish()
        files = sorted(os.listdir(tmp))
        print(f"{len(files)} files in {tmp}: {files[0]} ... {files[-1]}")
        show_lookups(db)


if __name__ == "__main__":
    main()
