"""Whole fullmap build on generated data: wall time per stage, peak RSS
against the memory the spill settings allow, and the speed-up from threads.

    PYTHONPATH=build/python python3.13 bench/build_bench.py [--size-mb 1024] [--threads 1,8]

Each build runs in a child process of its own, so its peak RSS (VmHWM) is
its own. The data is generated once per size into --workdir and reused.

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
    from corvantile import rs
    data = json.loads(args.child)
    out = os.path.join(data["dir"], "fullmap.redb")
    marks = []

    def progress(stage, done, total, message):
        marks.append((time.perf_counter(), stage, done, total))

    start = time.perf_counter()
    rs.build_fullmap_db(out, data["classes"], data["synonyms"], threads=data["threads"], progress=progress)
    end = time.perf_counter()
    stages = {}
    previous_end = start
    for stage in (0, 1, 2):
        times = [t for t, s, _, _ in marks if s == stage]
        if times:
            stages[stage] = times[-1] - previous_end
            previous_end = times[-1]
    final = [m for m in marks if m[1] == 2][-1]
    with open("/proc/self/status") as f:
        hwm = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))
    db_bytes = sum(os.path.getsize(os.path.join(data["dir"], n)) for n in os.listdir(data["dir"]))
    print(json.dumps({"wall": end - start, "stages": stages, "tail": end - previous_end, "records": final[2],
                      "peak_rss": hwm, "db_bytes": db_bytes}))


def run_build(info, threads, workdir):
    with tempfile.TemporaryDirectory(dir=workdir, prefix=f"build-t{threads}-") as out_dir:
        payload = json.dumps({"dir": out_dir, "threads": threads, "classes": info["classes"],
                              "synonyms": info["synonyms"]})
        proc = subprocess.run([sys.executable, __file__, "--child", payload], capture_output=True, text=True)
        if proc.returncode != 0:
            raise SystemExit(f"build with {threads} threads failed:\n{proc.stderr}")
        return json.loads(proc.stdout.strip().splitlines()[-1])


def mib(n):
    return f"{n / (1 << 20):,.0f} MiB"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mb", type=int, default=128, help="synonym JSON to generate, MiB (default 128)")
    parser.add_argument("--threads", default="1,8", help="comma-separated worker counts (default 1,8)")
    parser.add_argument("--workdir", default=os.path.join(tempfile.gettempdir(), "fullmap-build-bench"))
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args)

    os.makedirs(args.workdir, exist_ok=True)
    t0 = time.perf_counter()
    info = generate(args.workdir, args.size_mb)
    print(f"data: {info['rows']:,} synonym rows, {mib(info['json_bytes'])} of JSON in {len(info['synonyms'])} files "
          f"(one gzipped), {len(info['classes'])} class files; ready in {time.perf_counter() - t0:.1f}s")

    results = {}
    for threads in [int(t) for t in args.threads.split(",")]:
        r = run_build(info, threads, args.workdir)
        results[threads] = r
        producers = min(len(info["synonyms"]), max(threads // 4, 4))
        bound = memory_bound(threads, producers, info["rows"], info["rows"] // 4, len(info["classes"]))
        st = r["stages"]
        stages = (f"equivalents {st.get('0', 0):6.2f}s  reading {st.get('1', 0):6.2f}s  "
                  f"drain+write {st.get('2', 0):6.2f}s")
        print(f"threads {threads:>2}: wall {r['wall']:7.2f}s  {stages}  re-cache {r['tail']:.2f}s  "
              f"{r['records']:,} records, database {mib(r['db_bytes'])}")
        print(f"            peak RSS {mib(r['peak_rss'])}; settings allow about "
              + ", ".join(f"{k} {mib(v)}" for k, v in bound.items()))
    if len(results) > 1:
        counts = sorted(results)
        base = results[counts[0]]["wall"]
        for t in counts[1:]:
            print(f"speed-up {counts[0]} -> {t} threads: {base / results[t]['wall']:.2f}x")


if __name__ == "__main__":
    main()
