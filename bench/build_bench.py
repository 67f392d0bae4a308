"""Whole fullmap build on generated data: wall time per stage, peak RSS
(the whole run's and each stage's) against the memory the spill settings
allow, and the speed-up from threads.

    PYTHONPATH=build/python python3.13 bench/build_bench.py [--size-mb 1024] [--threads 1,8]
    python3.13 bench/build_bench.py --scale 8 --data /big/disk/scale8 --threads 8 \
        --module-path build/python [--module-path ../other/build/python] [--rounds 2]

Each build runs in a child process of its own, so its peak RSS is its own:
ru_maxrss as wait4() reports it, and VmRSS sampled every 50 ms inside the
child, charged to the stage last reported. The data is generated once and
reused: with --scale it is bench/gen.py's (into --data), otherwise a smaller
synthetic set of --size-mb into --workdir. Outputs go to --workdir and are
deleted after each build.

Several --module-path builds are measured side by side: round after round,
each builds once per thread count in the order given, so that a change of
the machine's load falls on all of them alike; the load average is printed
with every build. Not part of `make bench`: at --scale 8 (8 GB of synonym
JSON) a build needs about 12 GiB and two minutes, and the inputs 8 GB of
disk.

Stage times come from the progress reports, which mark the end of the class
files, the moment the last synonym line is handed to the workers, and the
end of the shard writes: "reading" ends when the producers are done, and
"drain+write" holds the workers' last chunks and spills, the main file and
the shard merges.
"""
import argparse
import gzip
import json
import os
import random
import subprocess
import sys
import tempfile
import time

SHARDS = 16
PREFIXES = ["CHEBI", "MONDO", "NCBIGene", "HP", "UMLS", "MESH", "PUBCHEM.COMPOUND", "UniProtKB"]
CATEGORIES = ["biolink:SmallMolecule", "biolink:Disease", "biolink:Gene", "biolink:PhenotypicFeature",
              "biolink:Protein", "biolink:ChemicalEntity"]
TAXA = ["NCBITaxon:9606", "NCBITaxon:10090", "NCBITaxon:10116", ""]
SYLLABLES = ["ac", "ami", "ben", "car", "dio", "eth", "fen", "gly", "hex", "ido", "kin", "lip", "met", "nor",
             "oxy", "pro", "quin", "ser", "tri", "val", "xan", "zol", "ase", "ine", "ol", "ide", "ate", "one"]

# Rough in-memory cost of one entry, for the bound printed beside the
# measured peak: a term-map entry (key, posting vector, table slot), a
# batched CURIE row, a shard writer's batched record, a class-file map entry.
TERM_ENTRY = 120
CURIE_ROW = 110
SHARD_RECORD = 72
EQUIV_ENTRY = 160


def word(rng):
    return "".join(rng.choice(SYLLABLES) for _ in range(rng.randint(2, 4)))


def generate(workdir, size_mb, files=8, seed=7):
    """Synonym files of about size_mb MiB in all (the last one gzipped) and
    class files naming equivalents for a quarter of the CURIEs."""
    marker = os.path.join(workdir, f"data-{size_mb}.json")
    if os.path.exists(marker):
        with open(marker) as f:
            return json.load(f)
    rng = random.Random(seed)
    vocabulary = [word(rng) for _ in range(50_000)]
    target = size_mb << 20
    per_file = target // files
    synonyms, classes = [], []
    curie_no = 0
    written = 0
    for i in range(files):
        gz = i == files - 1
        path = os.path.join(workdir, f"source{i}-{size_mb}.ndjson" + (".gz" if gz else ""))
        cls_path = os.path.join(workdir, f"classes{i}-{size_mb}.jsonl")
        out = gzip.open(path, "wt", compresslevel=1) if gz else open(path, "w")
        with out, open(cls_path, "w") as cls:
            size = 0
            lines = []
            while size < per_file:
                prefix = PREFIXES[curie_no % len(PREFIXES)]
                curie = f"{prefix}:{curie_no}"
                names = [" ".join(rng.choices(vocabulary, k=rng.randint(1, 3))) for _ in range(rng.randint(2, 6))]
                names.append(f"{rng.choice(vocabulary)} {curie_no % 10007}")
                row = json.dumps({"curie": curie, "names": names, "types": [rng.choice(CATEGORIES)],
                                  "taxa": [rng.choice(TAXA)], "preferred_name": names[0].title()})
                lines.append(row)
                size += len(row) + 1
                if curie_no % 4 == 0:
                    eq = [curie, f"UMLS:C{curie_no:07d}", f"MESH:D{curie_no:06d}"]
                    cls.write(json.dumps({"id": curie, "equivalent_identifiers": [{"identifier": e} for e in eq]}))
                    cls.write("\n")
                curie_no += 1
                if len(lines) >= 10_000:
                    out.write("\n".join(lines) + "\n")
                    lines = []
            if lines:
                out.write("\n".join(lines) + "\n")
            written += size
        synonyms.append(path)
        classes.append(cls_path)
    info = {"synonyms": synonyms, "classes": classes, "rows": curie_no, "json_bytes": written}
    with open(marker, "w") as f:
        json.dump(info, f)
    return info


def env_setting(name, default):
    value = os.environ.get(name, "")
    return int(value) if value.isdigit() else default


def memory_bound(workers, producers, rows, equiv_keys, class_files):
    """What the settings let the build hold at once, stage by stage (bytes)."""
    local = env_setting("CORVANTILE_FULLMAP_LOCAL_SPILL_ENTRIES", 1_000_000)
    curie = env_setting("CORVANTILE_FULLMAP_CURIE_SPILL_ENTRIES", 250_000)
    chunk = env_setting("CORVANTILE_FULLMAP_CHUNK_BYTES", 8 << 20)
    budget = env_setting("CORVANTILE_FULLMAP_REDB_CACHE_BYTES", 2 << 30)
    batch = env_setting("CORVANTILE_FULLMAP_INSERT_BATCH", 2_000_000)
    equiv = env_setting("CORVANTILE_FULLMAP_EQUIV_SPILL_ENTRIES", 2_000_000)
    # Id maps grow with the data, not with the settings.
    id_maps = rows * 48
    stage0 = min(workers, class_files) * equiv * EQUIV_ENTRY + equiv_keys * 16
    stage1 = (workers * (local * TERM_ENTRY + curie * CURIE_ROW)
              + (2 * workers + producers) * chunk * 2 + id_maps + equiv_keys * 16)
    # Per shard: its batch and its share of the store write budget.
    stage2 = SHARDS * (batch * SHARD_RECORD + budget // SHARDS) + id_maps
    return {"equivalents": stage0, "ingest": stage1, "shards": stage2}


def child(args):
    data = json.loads(args.child)
    if data.get("module_path"):
        sys.path.insert(0, data["module_path"])
    import threading
    from corvantile import rs
    out = os.path.join(data["dir"], "fullmap.redb")
    marks = []
    stage_peaks = {}
    current = [0]

    def progress(stage, done, total, message):
        current[0] = stage
        marks.append((time.perf_counter(), stage, done, total))

    def vm(field):
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field))

    stop = threading.Event()

    def sample():
        while not stop.wait(0.05):
            stage = current[0]
            stage_peaks[stage] = max(stage_peaks.get(stage, 0), vm("VmRSS:"))

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    start = time.perf_counter()
    rs.build_fullmap_db(out, data["classes"], data["synonyms"], threads=data["threads"], progress=progress)
    end = time.perf_counter()
    stop.set()
    sampler.join()
    stages = {}
    previous_end = start
    for stage in (0, 1, 2):
        times = [t for t, s, _, _ in marks if s == stage]
        if times:
            stages[stage] = times[-1] - previous_end
            previous_end = times[-1]
    final = [m for m in marks if m[1] == 2][-1]
    db_bytes = sum(os.path.getsize(os.path.join(data["dir"], n)) for n in os.listdir(data["dir"]))
    print(json.dumps({"wall": end - start, "stages": stages, "tail": end - previous_end, "records": final[2],
                      "peak_rss": vm("VmHWM:"), "stage_peaks": stage_peaks, "rss_after": vm("VmRSS:"),
                      "db_bytes": db_bytes}))


def run_build(info, threads, workdir, module_path=None):
    with tempfile.TemporaryDirectory(dir=workdir, prefix=f"build-t{threads}-") as out_dir:
        payload = json.dumps({"dir": out_dir, "threads": threads, "classes": info["classes"],
                              "synonyms": info["synonyms"], "module_path": module_path})
        load = os.getloadavg()[0]
        with tempfile.TemporaryFile(mode="w+") as err:
            proc = subprocess.Popen([sys.executable, __file__, "--child", payload], stdout=subprocess.PIPE,
                                    stderr=err, text=True)
            stdout = proc.stdout.read()
            _, status, usage = os.wait4(proc.pid, 0)
            proc.returncode = os.waitstatus_to_exitcode(status)
            if proc.returncode != 0:
                err.seek(0)
                raise SystemExit(f"build with {threads} threads failed:\n{err.read()}")
        result = json.loads(stdout.strip().splitlines()[-1])
        result["maxrss"] = usage.ru_maxrss * 1024
        result["load"] = (load, os.getloadavg()[0])
        return result


def gen_inputs(data_dir, scale):
    """bench/gen.py's files at `scale` in data_dir (reused when present)."""
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import gen
    manifest = gen.generate(data_dir, scale, quiet=True)
    tot = manifest["totals"]
    return {"synonyms": [os.path.join(data_dir, x) for x in manifest["synonyms"]],
            "classes": [os.path.join(data_dir, x) for x in manifest["classes"]],
            "rows": tot["synonym_rows"], "json_bytes": tot["synonym_bytes"], "class_bytes": tot["class_bytes"],
            "equiv_keys": tot["identifiers"]}


def mib(n):
    return f"{n / (1 << 20):,.0f} MiB"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mb", type=int, default=128, help="synonym JSON to generate, MiB (default 128)")
    parser.add_argument("--scale", help="bench/gen.py's inputs at this scale (e.g. 8: 8 GB of synonym JSON)")
    parser.add_argument("--data", help="directory of the --scale inputs (default <workdir>/scale-<scale>)")
    parser.add_argument("--threads", default="1,8", help="comma-separated worker counts (default 1,8)")
    parser.add_argument("--module-path", action="append", default=[],
                        help="a built module's directory; give several to compare them (default: PYTHONPATH)")
    parser.add_argument("--rounds", type=int, default=1, help="builds per module and thread count (default 1)")
    parser.add_argument("--workdir", default=os.path.join(tempfile.gettempdir(), "fullmap-build-bench"))
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args)

    os.makedirs(args.workdir, exist_ok=True)
    t0 = time.perf_counter()
    if args.scale:
        info = gen_inputs(args.data or os.path.join(args.workdir, f"scale-{args.scale}"), args.scale)
        what = f"gen.py scale {args.scale}"
    else:
        info = generate(args.workdir, args.size_mb)
        info["equiv_keys"] = info["rows"] // 4
        what = "synthetic"
    print(f"data ({what}): {info['rows']:,} synonym rows, {mib(info['json_bytes'])} of JSON in "
          f"{len(info['synonyms'])} files, {len(info['classes'])} class files; ready in "
          f"{time.perf_counter() - t0:.1f}s")

    modules = args.module_path or [None]
    thread_counts = [int(t) for t in args.threads.split(",")]
    results = {}
    for round_no in range(1, args.rounds + 1):
        for module in modules:
            for threads in thread_counts:
                r = run_build(info, threads, args.workdir, module)
                results.setdefault((module, threads), []).append(r)
                producers = min(len(info["synonyms"]), max(threads // 4, 4))
                bound = memory_bound(threads, producers, info["rows"], info["equiv_keys"], len(info["classes"]))
                st = r["stages"]
                peaks = r["stage_peaks"]
                name = f"{module}, " if module else ""
                print(f"[round {round_no}] {name}threads {threads}: load {r['load'][0]:.1f}-{r['load'][1]:.1f}")
                print(f"    wall {r['wall']:7.2f}s  equivalents {st.get('0', 0):6.2f}s  reading {st.get('1', 0):6.2f}s  "
                      f"drain+write {st.get('2', 0):6.2f}s  re-cache {r['tail']:.2f}s  {r['records']:,} records, "
                      f"database {mib(r['db_bytes'])}")
                print(f"    peak RSS {mib(r['maxrss'])} (VmHWM {mib(r['peak_rss'])}); by stage "
                      + ", ".join(f"{k} {mib(peaks[k])}" for k in sorted(peaks))
                      + f"; after the call {mib(r['rss_after'])}")
                print("    settings allow about " + ", ".join(f"{k} {mib(v)}" for k, v in bound.items()))

    print()
    print("| module | threads | builds | wall s (each) | peak RSS (each) |")
    print("|---|---|---|---|---|")
    for (module, threads), rs_ in results.items():
        print(f"| {module or '(PYTHONPATH)'} | {threads} | {len(rs_)} | "
              + ", ".join(f"{r['wall']:.1f}" for r in rs_) + " | "
              + ", ".join(f"{r['maxrss'] / (1 << 30):.2f} GiB" for r in rs_) + " |")
    for module in modules:
        walls = {t: min(r["wall"] for r in results[(module, t)]) for t in thread_counts}
        counts = sorted(walls)
        for t in counts[1:]:
            print(f"{module or ''} speed-up {counts[0]} -> {t} threads: {walls[counts[0]] / walls[t]:.2f}x")


if __name__ == "__main__":
    main()
