"""Builds under an address-space limit: each child process warms up with a
small build, sets RLIMIT_AS to its VmSize plus a headroom, builds from a
generated class file (and synonym file), lifts the limit and builds again.
Prints each child's outcome: the exception raised, or the signal that killed
it. Not a test: tests/python/test_faults.py holds the sharp cases.

    PYTHONPATH=<build>/python python3.13 bench/oom_sweep.py \
        [--rows 1500000] [--synonym-rows 300] [--limits 100:450:50] [--threads 1,4] [--repeat 1] [--jobs 4]

--limits takes MiB values and START:STOP:STEP ranges, comma-separated.
Exits with status 1 when any child died by a signal.
"""

import argparse
import concurrent.futures
import json
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile

CHILD = r"""
import json, resource, sys
from corvantile import rs
work, classes, synonyms, small_classes, small_synonyms, headroom, threads = sys.argv[1:8]
threads = int(threads)

def address_space():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) << 10 for line in f if line.startswith("VmSize:"))

rs.build_fullmap_db(f"{work}/warm.redb", [small_classes], [small_synonyms], threads=threads)
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (address_space() + (int(headroom) << 20), hard))
stage = [-1]
def progress(s, done, total, message):
    stage[0] = max(stage[0], s)
try:
    rs.build_fullmap_db(f"{work}/big.redb", [classes], [synonyms], threads=threads, progress=progress)
    out = ["returned"]
except BaseException as e:
    out = [type(e).__name__, str(e)]
out.append(f"last stage reported {stage[0]}")
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
rs.build_fullmap_db(f"{work}/after.redb", [small_classes], [small_synonyms], threads=threads)
print(json.dumps(out))
"""


def limits(text):
    out = []
    for part in text.split(","):
        if ":" in part:
            start, stop, step = map(int, part.split(":"))
            out += range(start, stop + 1, step)
        else:
            out.append(int(part))
    return out


def write_lines(path, rows):
    with open(path, "w") as f:
        for row in rows:
            f.write(json.dumps(row) + "\n")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1_500_000, help="class rows of the limited build")
    ap.add_argument("--synonym-rows", type=int, default=300, help="synonym rows of the limited build")
    ap.add_argument("--limits", type=limits, default=limits("100:450:50"), help="headrooms in MiB")
    ap.add_argument("--threads", default="1,4")
    ap.add_argument("--repeat", type=int, default=1)
    ap.add_argument("--jobs", type=int, default=1, help="children run at once")
    args = ap.parse_args()

    work = pathlib.Path(tempfile.mkdtemp(prefix="oom-sweep-"))
    try:
        classes, synonyms = work / "classes.jsonl", work / "synonyms.ndjson"
        write_lines(classes, ({"id": f"A:{i}", "equivalent_identifiers": [f"A:{i}", f"EQ:{i}", f"X:{i}"]}
                              for i in range(args.rows)))
        write_lines(synonyms, ({"curie": f"A:{i}", "names": [f"alpha {i} name {j}" for j in range(6)],
                                "types": ["biolink:Gene"]} for i in range(args.synonym_rows)))
        small_classes, small_synonyms = work / "small.jsonl", work / "small.ndjson"
        write_lines(small_classes, ({"id": f"A:{i}", "equivalent_identifiers": [f"A:{i}", f"EQ:{i}"]}
                                    for i in range(300)))
        write_lines(small_synonyms, ({"curie": f"A:{i}", "names": [f"alpha {i} name {j}" for j in range(8)],
                                      "types": ["biolink:Gene"]} for i in range(300)))

        def run(job):
            rep, threads, headroom = job
            child_dir = work / f"run-{threads}-{headroom}-{rep}"
            child_dir.mkdir()
            child = subprocess.run([sys.executable, "-c", CHILD, child_dir, classes, synonyms, small_classes,
                                    small_synonyms, str(headroom), threads], capture_output=True, text=True)
            shutil.rmtree(child_dir, ignore_errors=True)
            return job, child

        jobs = [(rep, t, h) for rep in range(args.repeat) for t in args.threads.split(",") for h in args.limits]
        killed = 0
        with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
            for (_, threads, headroom), child in pool.map(run, jobs):
                last = (child.stderr.strip().splitlines() or [""])[-1][:160]
                if child.returncode < 0:
                    killed += 1
                    outcome = f"killed by {signal.Signals(-child.returncode).name}" + (f" ({last})" if last else "")
                elif child.returncode != 0:
                    outcome = f"exit status {child.returncode}: {last}"
                else:
                    outcome = " / ".join(json.loads(child.stdout))
                print(f"threads={threads} +{headroom} MiB: {outcome}", flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    sys.exit(1 if killed else 0)


if __name__ == "__main__":
    main()
