"""Throughput of rs.dedup_ndjson against the plain-Python rendering of the same
rules (bench/dedup_reference.py), on one generated NDJSON file.

    PYTHONPATH=<build>/python python3.13 bench/dedup.py [--size-mb 500] [--mode both]

Reports MB/s of input for each, the ratio, and whether both outputs are
byte-identical (exit status 1 when they are not). Not a test.
"""

import argparse
import filecmp
import os
import pathlib
import random
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import dedup_reference as ref  # noqa: E402
from corvantile import rs  # noqa: E402

PREDICATES = ["biolink:related_to", "biolink:interacts_with", "biolink:treats", "biolink:causes",
              "biolink:gene_associated_with_condition"]
DESCRIPTIONS = ["", "NA", "null", " none ", "Gene\u2013disease association in m\u00fcscle", "x", "see \"notes\"\t"]


def generate(path, size_bytes, seed=7):
    """Edge-like records: about a fifth repeat an earlier line verbatim or
    with other spacing, and many carry null-like members."""
    rng = random.Random(seed)
    recent = []
    written = 0
    with open(path, "w", encoding="utf-8", newline="\n") as out:
        while written < size_bytes:
            r = rng.random()
            if recent and r < 0.12:
                line = rng.choice(recent)
            elif recent and r < 0.2:
                line = rng.choice(recent).replace('":', '" : ', 3)
            else:
                pubs = ",".join('"PMID:%d"' % rng.randrange(1, 10**8) for _ in range(rng.randrange(5)))
                line = (
                    '{"subject":"HGNC:%d","predicate":"%s","object":"MONDO:%07d",'
                    '"primary_knowledge_source":"infores:source-%d",'
                    '"aggregator_knowledge_source":["infores:a%d","infores:b"],'
                    '"publications":[%s],"score":%r,"qualifiers":null,"description":"%s",'
                    '"negated":false,"count":%d,"attributes":[{"name":"evidence","value":%d,"note":null}]}'
                    % (rng.randrange(1, 60000), rng.choice(PREDICATES), rng.randrange(10**6), rng.randrange(40),
                       rng.randrange(9), pubs, rng.random(), rng.choice(DESCRIPTIONS).replace('"', '\\"').replace("\t", "\\t"),
                       rng.randrange(1000), rng.randrange(5))
                )
                if len(recent) < 20000:
                    recent.append(line)
                else:
                    recent[rng.randrange(20000)] = line
            out.write(line + "\n")
            written += len(line.encode()) + 1


def timed(fn, *args):
    wall, cpu = time.perf_counter(), time.process_time()
    fn(*args)
    return time.perf_counter() - wall, time.process_time() - cpu


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size-mb", type=float, default=500.0, help="input size in MB (10^6 bytes)")
    ap.add_argument("--mode", choices=["nodes", "edges", "both"], default="both",
                    help="nodes: is_edges=False; edges: is_edges=True")
    ap.add_argument("--workdir", help="directory for the input and outputs (default: a temporary one)")
    args = ap.parse_args()

    with tempfile.TemporaryDirectory(dir=args.workdir) as tmp:
        tmp = pathlib.Path(tmp)
        data = tmp / "input.ndjson"
        t = time.perf_counter()
        generate(data, int(args.size_mb * 1e6))
        size = data.stat().st_size
        print(f"input: {size / 1e6:.1f} MB, {sum(1 for _ in open(data, 'rb'))} lines "
              f"(generated in {time.perf_counter() - t:.1f} s)")

        identical = True
        modes = ["nodes", "edges"] if args.mode == "both" else [args.mode]
        for mode in modes:
            is_edges = mode == "edges"
            native_out, python_out = tmp / f"native-{mode}.ndjson", tmp / f"python-{mode}.ndjson"
            # Warm the page cache so both sides read from memory.
            with open(data, "rb") as f:
                while f.read(1 << 24):
                    pass
            n_wall, n_cpu = timed(rs.dedup_ndjson, data, native_out, is_edges)
            p_wall, p_cpu = timed(ref.dedup_ndjson, data, python_out, is_edges)
            same = filecmp.cmp(native_out, python_out, shallow=False)
            identical &= same
            lines = sum(1 for _ in open(native_out, "rb"))
            print(f"[{mode}] native: {n_wall:6.2f} s  {size / n_wall / 1e6:7.1f} MB/s  (cpu {n_cpu:.2f} s)")
            print(f"[{mode}] python: {p_wall:6.2f} s  {size / p_wall / 1e6:7.1f} MB/s  (cpu {p_cpu:.2f} s)")
            print(f"[{mode}] ratio:  {p_wall / n_wall:6.1f}x   output {lines} lines, "
                  f"{os.path.getsize(native_out) / 1e6:.1f} MB, byte-identical: {'yes' if same else 'NO'}")
    return 0 if identical else 1


if __name__ == "__main__":
    sys.exit(main())
