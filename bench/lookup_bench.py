"""Lookup throughput from Python on a fullmap built by build_fullmap_db.

Builds a fullmap from generated synonym files, then times lookup_fullmap_terms
end to end (the call and the Python objects it returns) with the default
thread budget: the pairs form over the query terms, and the rows form, whose
rate is counted in records.

usage: PYTHONPATH=build/python python bench/lookup_bench.py [curies] [queries] [directory]
"""

import json
import pathlib
import random
import shutil
import sys
import tempfile
import time

from corvantile import rs

WORDS = ["protein", "kinase", "receptor", "alpha", "beta", "gamma", "acid", "syndrome", "type", "disease",
         "factor", "binding", "domain", "family", "member", "subunit", "channel", "sodium", "cell", "tumor"]
PREFIXES = ["MONDO", "HGNC", "CHEBI", "NCBIGene", "UMLS", "UniProtKB", "DOID", "HP", "MESH"]
CATEGORIES = ["biolink:Disease", "biolink:Gene", "biolink:SmallMolecule", "biolink:Protein"]


def name(i):
    return f"{WORDS[i % len(WORDS)]} {WORDS[(i // len(WORDS)) % len(WORDS)]} {i}"


def write_synonyms(directory, n_curies, n_files=4):
    files = []
    for f in range(n_files):
        path = directory / f"source_{f}.ndjson"
        with path.open("w") as out:
            for i in range(f, n_curies, n_files):
                row = {
                    "curie": f"{PREFIXES[i % len(PREFIXES)]}:{1000000 + i}",
                    "names": [name(i), f"{name(i)} variant", f"alias {i}"],
                    "types": [CATEGORIES[i % len(CATEGORIES)]],
                    "taxa": ["NCBITaxon:9606"] if i % 3 == 0 else [],
                    "preferred_name": name(i).title(),
                }
                out.write(json.dumps(row) + "\n")
        files.append(path)
    return files


def best_of(runs, fn):
    best, result = None, None
    for _ in range(runs):
        start = time.perf_counter()
        result = fn()
        elapsed = time.perf_counter() - start
        best = elapsed if best is None else min(best, elapsed)
    return best, result


def main():
    n_curies = int(sys.argv[1]) if len(sys.argv) > 1 else 700_000
    n_queries = int(sys.argv[2]) if len(sys.argv) > 2 else 1_000_000
    keep = len(sys.argv) > 3
    directory = pathlib.Path(sys.argv[3]) if keep else pathlib.Path(tempfile.mkdtemp(prefix="lookup-bench-"))
    directory.mkdir(parents=True, exist_ok=True)
    try:
        db = directory / "fullmap.redb"
        start = time.perf_counter()
        rs.build_fullmap_db(db, [], write_synonyms(directory, n_curies))
        print(f"built {n_curies} CURIEs ({3 * n_curies} names) in {time.perf_counter() - start:.1f} s")

        rng = random.Random(1)
        # 90% stored names (lower-cased as stored), 10% misses.
        queries = [f"missing {i}" if rng.random() < 0.1 else name(rng.randrange(n_curies)).lower()
                   for i in range(n_queries)]
        rs.lookup_fullmap_terms(db, queries, return_format="pairs")  # warm the page cache

        secs, pairs = best_of(3, lambda: rs.lookup_fullmap_terms(db, queries, return_format="pairs"))
        print(f"pairs: {n_queries} terms, {len(pairs)} hits, {secs:.3f} s, {n_queries / secs / 1e6:.2f} M terms/s")
        del pairs

        secs, rows = best_of(3, lambda: rs.lookup_fullmap_terms(db, queries))
        print(f"rows:  {n_queries} terms, {len(rows)} records, {secs:.3f} s, {len(rows) / secs / 1e6:.2f} M records/s")
    finally:
        if not keep:
            shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
