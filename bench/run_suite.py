"""The benchmark suite: generates inputs (bench/gen.py), runs every job of
the module and its plain-Python peer on them, each in its own process, and
writes a report.

    make bench [SCALE=small|medium|full|<GB>]
    python bench/run_suite.py --scale small --module-path build/python --out bench/RESULTS.md

Wall and CPU times are those of the measured call (taken inside the job's
process, after its inputs are loaded); peak RSS is the process's ru_maxrss
as wait4() reports it, so it includes the interpreter and the inputs the
job holds. Databases are read through the page cache before each lookup
job, and the inputs are fresh from generation: the suite measures the
work, not the disk.
"""
import argparse
import datetime
import hashlib
import json
import os
import platform
import resource
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

SHARDS = 16
MiB = 1 << 20
GiB = 1 << 30


# ---------------------------------------------------------------- jobs ----
# Each job runs in a fresh interpreter (`run_suite.py --job NAME PARAMS`) and
# prints one JSON line with its measurements.

def _cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


class Timer:
    def __enter__(self):
        self.w0, self.c0 = time.perf_counter(), _cpu()
        return self

    def __exit__(self, *exc):
        self.wall = time.perf_counter() - self.w0
        self.cpu = _cpu() - self.c0


class StageClock:
    """Progress callable that notes when each stage is first and last
    reported, for per-stage times."""

    def __init__(self):
        self.t0 = time.perf_counter()
        self.first, self.last, self.calls = {}, {}, 0
        self.records = None

    def __call__(self, stage, done, total, message):
        now = time.perf_counter() - self.t0
        self.first.setdefault(stage, now)
        self.last[stage] = now
        self.calls += 1
        if stage == 2 and message.startswith("wrote "):
            self.records = done

    def stages(self, end):
        """Stage s runs from its predecessor's end to the first report of
        stage s+1 (stage 0 starts with the call, the last ends with it)."""
        order = sorted(self.first)
        out, start = {}, 0.0
        for i, s in enumerate(order):
            stop = self.first[order[i + 1]] if i + 1 < len(order) else end
            out[str(s)] = round(stop - start, 3)
            start = stop
        return out


def _module(params):
    if params.get("module_path"):
        sys.path.insert(0, params["module_path"])
    from corvantile import rs
    return rs


def _db_bytes(path):
    d, base = os.path.split(path)
    stem = base.rsplit(".", 1)[0]
    return sum(os.path.getsize(os.path.join(d, f)) for f in os.listdir(d or ".")
               if f == base or f.startswith(stem + ".s"))


class RunCounter:
    """Counts the run files in a build's spill directory while it runs: the
    merges hold one read buffer per run, so their number sizes stage 2."""

    def __init__(self, spill_dir):
        import threading
        self.dir = spill_dir
        self.counts = {"term": 0, "curie": 0, "equiv": 0}
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.loop, daemon=True)

    def loop(self):
        while not self.stop.wait(0.05):
            try:
                names = os.listdir(self.dir)
                equiv = os.path.join(self.dir, "equiv")
                n_equiv = len(os.listdir(equiv)) if os.path.isdir(equiv) else 0
            except OSError:
                continue
            seen = {"term": sum(1 for n in names if n.startswith("run_s")),
                    "curie": sum(1 for n in names if n.startswith("curie_run_")), "equiv": n_equiv}
            for k, v in seen.items():
                self.counts[k] = max(self.counts[k], v)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()


def job_build_native(params):
    rs = _module(params)
    os.environ.update(params.get("env", {}))
    clock = StageClock()
    with RunCounter(params["output"] + ".spill.d") as runs, Timer() as t:
        clock.t0 = t.w0
        rs.build_fullmap_db(params["output"], params["classes"], params["synonyms"], threads=params["threads"],
                            progress=clock)
    return {"wall": t.wall, "cpu": t.cpu, "stages": clock.stages(t.wall), "records": clock.records,
            "progress_calls": clock.calls, "db_bytes": _db_bytes(params["output"]), "runs": runs.counts}


def job_build_sqlite(params):
    from peers import sqlite_fullmap
    clock = StageClock()
    with Timer() as t:
        clock.t0 = t.w0
        sqlite_fullmap.build(params["output"], params["classes"], params["synonyms"], progress=clock)
    return {"wall": t.wall, "cpu": t.cpu, "stages": clock.stages(t.wall),
            "db_bytes": os.path.getsize(params["output"])}


def _queries(path):
    with open(path, encoding="utf-8") as f:
        return f.read().split("\n")[:-1]


def _lookup_digest(fmt, result):
    """What both sides must agree on: per term, the (CURIE, source) hits in
    rows form; per term, the number of postings in pairs form (ids differ
    between stores)."""
    h = hashlib.sha256()
    if fmt == "rows":
        keys = sorted({(r["term"], r["CURIE"], r["SOURCE_NAME"]) for r in result})
        for k in keys:
            h.update("\x1f".join(k).encode() + b"\n")
        return h.hexdigest()[:16], len(keys)
    keys = sorted((e["term"], len(e["records"])) for e in result)
    for term, n in keys:
        h.update(f"{term}\x1f{n}\n".encode())
    return h.hexdigest()[:16], len(keys)


def job_lookup(params):
    terms = _queries(params["queries"])
    fmt = params["format"]
    if params["impl"] == "native":
        rs = _module(params)
        threads = params.get("threads")

        def call(ts):
            return rs.lookup_fullmap_terms(params["db"], ts, threads, fmt)
    else:
        from peers import sqlite_fullmap
        db = sqlite_fullmap.connect(params["db"])

        def call(ts):
            return sqlite_fullmap.lookup(db, ts, fmt)
    call(terms[:200])  # open and warm the database handles
    with Timer() as t:
        result = call(terms)
    digest, hit_keys = _lookup_digest(fmt, result)
    return {"wall": t.wall, "cpu": t.cpu, "terms": len(terms), "results": len(result),
            "hit_keys": hit_keys, "digest": digest,
            "hit_terms": len({r["term"] for r in result})}


def _sha(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(8 * MiB):
            h.update(block)
    return h.hexdigest()[:16]


def job_dedup(params):
    if params["impl"] == "native":
        fn = _module(params).dedup_ndjson
    else:
        from peers.records import dedup_ndjson as fn
    with Timer() as t:
        fn(params["input"], params["output"], params["is_edges"])
    with open(params["output"], "rb") as f:
        lines_out = sum(block.count(b"\n") for block in iter(lambda: f.read(8 * MiB), b""))
    return {"wall": t.wall, "cpu": t.cpu, "lines_out": lines_out, "digest": _sha(params["output"]),
            "output_bytes": os.path.getsize(params["output"])}


def uuid_inputs(n, seed):
    import random
    rng = random.Random(seed)
    domains = ["CORVANTILE", "infores:ctd", "kg.example.org"]
    preds = ["biolink:treats", "biolink:causes", "biolink:related_to", "biolink:part_of"]
    out = []
    for i in range(n):
        vals = ["CHEBI:%d" % rng.randrange(10**6), preds[i % 4], "MONDO:%07d" % rng.randrange(10**6)]
        if i % 3 == 0:
            vals.append("PMID:%d" % rng.randrange(10**8))
        if i % 50 == 0:
            vals.append("Sjögren syndrome α")
        out.append((domains[i % 3], vals))
    return out


def job_uuid(params):
    inputs = uuid_inputs(params["n"], params["seed"])
    if params["impl"] == "native":
        fn = _module(params).namespace_uuid
    else:
        from peers.records import namespace_uuid as fn
    with Timer() as t:
        out = [fn(d, v) for d, v in inputs]
    return {"wall": t.wall, "cpu": t.cpu, "calls": len(out),
            "digest": hashlib.sha256("\n".join(out).encode()).hexdigest()[:16]}


def job_gen(params):
    import gen
    with Timer() as t:
        m = gen.generate(params["out"], params["scale"], params["seed"], quiet=True)
    return {"wall": t.wall, "cpu": None, "reused": bool(m.get("reused")), "seconds": m.get("seconds")}


JOBS = {"build_native": job_build_native, "build_sqlite": job_build_sqlite, "lookup": job_lookup,
        "dedup": job_dedup, "uuid": job_uuid, "gen": job_gen}


def run_job_in_child(name, params):
    try:
        out = JOBS[name](params)
        out["ok"] = True
    except Exception as e:  # reported in the results, never fatal to the suite
        out = {"ok": False, "error": f"{type(e).__name__}: {e}"}
    sys.stdout.flush()
    print("\n@@result " + json.dumps(out))


def spawn(name, params, log):
    """Runs one job in a child interpreter; returns its result with the
    child's CPU time and peak RSS from wait4()."""
    cmd = [sys.executable, os.path.abspath(__file__), "--job", name, json.dumps(params)]
    w0 = time.perf_counter()
    with open(log, "ab") as lf:
        lf.write(f"\n=== {name} {json.dumps(params)[:400]}\n".encode())
        lf.flush()
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=lf, cwd=HERE)
        stdout = proc.stdout.read()
        _, status, ru = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
    wall = time.perf_counter() - w0
    result = None
    for line in stdout.decode(errors="replace").splitlines():
        if line.startswith("@@result "):
            result = json.loads(line[9:])
    if result is None:
        result = {"ok": False, "error": f"job exited with {proc.returncode} and no result (see {log})"}
    result["process_wall"] = wall
    result["process_cpu"] = ru.ru_utime + ru.ru_stime
    result["peak_rss"] = ru.ru_maxrss * 1024
    if result.get("cpu") is None:
        result["cpu"] = result["process_cpu"]
    return result


def warm(paths):
    """Reads files through the page cache, so that a job does not pay for
    what an earlier job evicted."""
    for path in paths:
        with open(path, "rb", buffering=0) as f:
            while f.read(16 * MiB):
                pass


# ------------------------------------------------------------- settings ---

def build_settings(threads, n_synonyms, n_classes):
    def env(name, default):
        v = os.environ.get(name, "")
        body = v[1:] if v.startswith("+") else v
        return int(body) if body.isdigit() and int(body) < 2**64 else default
    return {
        "threads": threads,
        "local_spill_entries": env("CORVANTILE_FULLMAP_LOCAL_SPILL_ENTRIES", 1_000_000),
        "curie_spill_entries": env("CORVANTILE_FULLMAP_CURIE_SPILL_ENTRIES", 250_000),
        "equiv_spill_entries": env("CORVANTILE_FULLMAP_EQUIV_SPILL_ENTRIES", 2_000_000),
        "chunk_bytes": env("CORVANTILE_FULLMAP_CHUNK_BYTES", 8 * MiB),
        "producers": env("CORVANTILE_FULLMAP_PRODUCERS", min(n_synonyms, max(threads // 4, 4))),
        "write_budget_bytes": env("CORVANTILE_FULLMAP_REDB_CACHE_BYTES", 2 * GiB),
        "insert_batch": env("CORVANTILE_FULLMAP_INSERT_BATCH", 2_000_000),
        "class_files": n_classes,
    }


# Bytes per held item, from the in-memory layouts (hash-map slot plus key
# and value storage, growth slack included). They turn counts into bytes;
# the counts are what the settings bound.
TERM_ENTRY = 200      # term map: slot (string + postings vector), term text, postings
CURIE_ROW = 110       # CURIE-row batch entry with its texts
EQUIV_ENTRY = 260     # class-file map: key, identifier list, identifiers
SHARD_RECORD = 80     # shard writer batch: key, value vector, term record bytes
CURIE_ID = 64         # CURIE-id slot: 128-bit key and u32 id, with slack
LINE_OVERHEAD = 1.15  # a chunk's lines as owned strings
BASE = 120 * MiB      # interpreter, module, allocator arenas
RUN_WRITE_BUFFER = 8 * MiB   # one spill file written at a time per thread
RUN_READ_BUFFER = 1 * MiB    # per term or CURIE-row run while merging
EQUIV_READ_BUFFER = 8 * MiB  # per equivalence run while merging


def rss_bound(s, stats, runs=None):
    """Peak RSS the settings allow for a build, phase by phase. Counts that
    no setting bounds come from the inputs (CURIEs interned, the
    equivalence index) or from the build itself (run files, each merged
    through its own read buffer)."""
    t = max(1, s["threads"])
    runs = runs or {"term": 0, "curie": 0, "equiv": 0}
    equiv_file = stats["class_bytes"] * 0.75
    equiv_index = stats["classes"] * 16 + equiv_file
    curie_ids = stats["synonym_rows"] * CURIE_ID
    store = s["write_budget_bytes"] * 1.25
    phases = {
        "equivalents": (min(t, max(1, s["class_files"])) * (s["equiv_spill_entries"] * EQUIV_ENTRY + RUN_WRITE_BUFFER)
                        + runs["equiv"] * EQUIV_READ_BUFFER + equiv_index),
        "ingest": (t * (s["local_spill_entries"] * TERM_ENTRY + s["curie_spill_entries"] * CURIE_ROW
                        + RUN_WRITE_BUFFER)
                   + (2 * t + s["producers"]) * s["chunk_bytes"] * LINE_OVERHEAD + curie_ids + equiv_index),
        "main database": store + runs["curie"] * RUN_READ_BUFFER,
        "shards": store + SHARDS * s["insert_batch"] * SHARD_RECORD + runs["term"] * RUN_READ_BUFFER,
    }
    return BASE + max(phases.values()), phases


# ---------------------------------------------------------------- suite ---

def machine(commit=None):
    mem = 0
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    mem = int(line.split()[1]) * 1024
    except OSError:
        pass
    model = platform.processor() or "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass

    def git(*args):
        try:
            return subprocess.run(["git", "-C", ROOT, *args], capture_output=True, text=True,
                                  timeout=30).stdout.strip()
        except (OSError, subprocess.SubprocessError):
            return ""
    dirty = [] if commit else [line[3:] for line in git("status", "--porcelain", "--untracked-files=no").splitlines()]
    return {
        "cores": os.cpu_count(), "usable_cores": len(os.sched_getaffinity(0)), "memory": mem, "cpu": model,
        "kernel": platform.release(), "python": platform.python_version(),
        "commit": commit or git("rev-parse", "--short=12", "HEAD") or "?",
        "dirty": dirty,
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "load": os.getloadavg()[0],
    }


def fmt_bytes(n):
    if n is None:
        return "-"
    for unit, size in (("GiB", GiB), ("MiB", MiB), ("KiB", 1024)):
        if n >= size:
            return f"{n / size:.2f} {unit}"
    return f"{n} B"


def fmt_s(x):
    return "-" if x is None else (f"{x:.3f}" if x < 10 else f"{x:.1f}")


def fmt_rate(x, unit):
    if x is None:
        return "-"
    if x >= 1e6:
        return f"{x / 1e6:.2f} M{unit}/s"
    if x >= 1e3:
        return f"{x / 1e3:.1f} k{unit}/s"
    return f"{x:.1f} {unit}/s"


class Suite:
    def __init__(self, a):
        self.a = a
        self.data = a.data or os.path.join(a.work, "data")
        self.work = a.work
        self.log = os.path.join(self.work, "suite.log")
        self.module_path = os.path.abspath(a.module_path)
        self.results = []   # (section, label, result, extra)
        self.started = time.perf_counter()

    def say(self, text):
        print(f"[{time.perf_counter() - self.started:7.1f}s] {text}", file=sys.stderr, flush=True)

    def run(self, name, params, label):
        self.say(f"{label} ...")
        params = dict(params, module_path=self.module_path)
        r = spawn(name, params, self.log)
        if r["ok"]:
            self.say(f"{label}: {r['wall']:.2f}s wall, {r['cpu']:.2f}s CPU, {fmt_bytes(r['peak_rss'])} peak RSS")
        else:
            self.say(f"{label}: FAILED {r['error']}")
        return r

    def main(self):
        a = self.a
        os.makedirs(self.work, exist_ok=True)
        open(self.log, "w").close()
        self.machine = machine(a.commit)
        gen_r = self.run("gen", {"out": self.data, "scale": a.scale, "seed": a.seed}, "generate inputs")
        if not gen_r["ok"]:
            raise SystemExit(f"input generation failed: {gen_r['error']}")
        with open(os.path.join(self.data, "manifest.json")) as f:
            self.manifest = m = json.load(f)
        self.gen = gen_r
        syn = [os.path.join(self.data, x) for x in m["synonyms"]]
        cls = [os.path.join(self.data, x) for x in m["classes"]]
        tot = m["totals"]
        in_bytes = tot["synonym_bytes"] + tot["class_bytes"]
        dbdir = os.path.join(self.work, "db")
        shutil.rmtree(dbdir, ignore_errors=True)
        os.makedirs(dbdir)
        native_db = os.path.join(dbdir, "fullmap.db")

        # Builds: the module at each thread count, then the SQLite peer.
        self.builds = {}
        for t in a.threads:
            r = self.run("build_native", {"output": native_db, "classes": cls, "synonyms": syn, "threads": t},
                         f"build, module, {t} thread(s)")
            r["throughput"] = in_bytes / r["wall"] / 1e6 if r["ok"] else None
            self.builds[t] = r
        peer_db = os.path.join(dbdir, "fullmap.sqlite")
        if a.skip_peer_build:
            self.peer_build = {"ok": False, "error": "skipped (--skip-peer-build)"}
        else:
            self.peer_build = self.run("build_sqlite", {"output": peer_db, "classes": cls, "synonyms": syn},
                                       "build, Python + SQLite")
            if self.peer_build["ok"]:
                self.peer_build["throughput"] = in_bytes / self.peer_build["wall"] / 1e6

        # Lookups on the last build (the highest thread count).
        q = os.path.join(self.data, "queries.txt")
        self.lookups = {}
        for fmt in ("pairs", "rows"):
            for impl, threads in (("native", None), ("native", 1), ("sqlite", None)):
                if impl == "sqlite" and not self.peer_build["ok"]:
                    continue
                db = native_db if impl == "native" else peer_db
                warm([os.path.join(dbdir, f) for f in os.listdir(dbdir)
                      if f.startswith("fullmap.") and f.endswith(".db" if impl == "native" else ".sqlite")])
                label = f"lookup {fmt}, {'module' if impl == 'native' else 'Python + SQLite'}" + \
                        (f", {threads} thread" if threads else "")
                r = self.run("lookup", {"impl": impl, "db": db, "queries": q, "format": fmt, "threads": threads},
                             label)
                if r["ok"]:
                    r["throughput"] = r["terms"] / r["wall"]
                self.lookups[(fmt, impl, threads)] = r

        # Record utilities.
        self.dedups = {}
        for kind, edges in (("nodes", False), ("edges", True)):
            src = os.path.join(self.data, kind + ".ndjson")
            for impl in ("native", "python"):
                out = os.path.join(self.work, f"{kind}.{impl}.out.ndjson")
                r = self.run("dedup", {"impl": impl, "input": src, "output": out, "is_edges": edges},
                             f"dedup_ndjson {kind}, {'module' if impl == 'native' else 'pure Python'}")
                if r["ok"]:
                    lines = next(x["lines"] for x in m["records"] if x["kind"] == kind)
                    r["lines_in"] = lines
                    r["throughput"] = lines / r["wall"]
                    r["mb_per_s"] = os.path.getsize(src) / r["wall"] / 1e6
                self.dedups[(kind, impl)] = r
        n_uuid = a.uuid_calls or m["plan"]["queries"]
        self.uuids = {}
        for impl in ("native", "python"):
            r = self.run("uuid", {"impl": impl, "n": n_uuid, "seed": a.seed},
                         f"namespace_uuid, {'module' if impl == 'native' else 'uuid.uuid3'}")
            if r["ok"]:
                r["throughput"] = r["calls"] / r["wall"]
            self.uuids[impl] = r

        report = self.report()
        with open(a.out, "w") as f:
            f.write(report)
        self.say(f"wrote {a.out}")
        if not a.keep:
            shutil.rmtree(dbdir, ignore_errors=True)
            for kind in ("nodes", "edges"):
                for impl in ("native", "python"):
                    p = os.path.join(self.work, f"{kind}.{impl}.out.ndjson")
                    if os.path.exists(p):
                        os.unlink(p)
        failures = [x["error"] for x in self.all_results() if not x["ok"] and "skipped" not in x.get("error", "")]
        failures += [c for c in self.checks() if "DIFFER" in c]
        for f in failures:
            self.say(f"problem: {f}")
        return 1 if failures and a.strict else 0

    def all_results(self):
        return ([self.peer_build] + list(self.builds.values()) + list(self.lookups.values())
                + list(self.dedups.values()) + list(self.uuids.values()))

    # ------------------------------------------------------------ report --

    def report(self):
        a, m, mc = self.a, self.manifest, self.machine
        tot = m["totals"]
        L = []
        L.append("# Benchmark results\n")
        L.append(f"Written by `make bench` (`bench/run_suite.py`), scale **{a.scale}**, seed {a.seed}, "
                 f"suite wall time {time.perf_counter() - self.started:.0f} s. Regenerate with "
                 f"`make bench SCALE={a.scale}`.\n")
        L.append("## Machine\n")
        L.append("| cores (usable) | memory | CPU | kernel | Python | commit | date | load average (start, end) |")
        L.append("|---|---|---|---|---|---|---|---|")
        commit = mc["commit"] + (f" + uncommitted changes in {len(mc['dirty'])} files" if mc["dirty"] else "")
        L.append(f"| {mc['cores']} ({mc['usable_cores']}) | {fmt_bytes(mc['memory'])} | {mc['cpu']} | "
                 f"{mc['kernel']} | {mc['python']} | {commit} | {mc['date']} | {mc['load']:.1f}, "
                 f"{os.getloadavg()[0]:.1f} |\n")

        L.append("## Inputs\n")
        L.append(f"Generated by `bench/gen.py` in {self.gen['seconds']:.1f} s"
                 f"{' (in an earlier run; reused)' if self.gen.get('reused') else ''}:\n")
        L.append(f"- {len(m['synonyms'])} synonym files ({sum(1 for s in m['synonyms'] if s.endswith('.gz'))} "
                 f"gzip-compressed): {tot['synonym_rows']:,} rows, {tot['names']:,} names, "
                 f"{tot['synonym_bytes'] / 1e9:.2f} GB of JSON ({tot['synonym_file_bytes'] / 1e9:.2f} GB on disk)")
        L.append(f"- {len(m['classes'])} class files: {tot['classes']:,} classes, {tot['identifiers']:,} "
                 f"identifiers, {tot['class_bytes'] / 1e9:.2f} GB of JSON")
        L.append(f"- {m['plan']['queries']:,} lookup terms (about a fifth of them misses)")
        for r in m["records"]:
            L.append(f"- {r['kind']}.ndjson: {r['lines']:,} lines, {r['bytes'] / 1e6:.0f} MB")
        L.append("")

        L.append("## Targets\n")
        L.append("| target | figure | met |")
        L.append("|---|---|---|")
        for name, figure, goal, met in self.targets():
            L.append(f"| {name} | {figure} | {'yes' if met else ('no' if met is False else 'n/a')} (goal {goal}) |")
        L.append("")

        L.append("## Jobs\n")
        L.append("Wall and CPU: the measured call. Peak RSS: the whole job process. Ratio: the peer's wall "
                 "time over the module's (higher is better for the module).\n")
        L.append("| job | wall s | CPU s | CPU/wall | peak RSS | throughput | ratio vs peer |")
        L.append("|---|---|---|---|---|---|---|")
        in_bytes = tot["synonym_bytes"] + tot["class_bytes"]
        peer = self.peer_build
        for t, r in self.builds.items():
            L.append(self.row(f"build, module, {t} thread{'s' if t > 1 else ''}", r,
                              lambda r: f"{r['throughput']:.1f} MB/s", peer))
        L.append(self.row("build, Python + SQLite (peer)", peer, lambda r: f"{r['throughput']:.2f} MB/s", None))
        for fmt in ("pairs", "rows"):
            p = self.lookups.get((fmt, "sqlite", None))
            for (f2, impl, th), r in self.lookups.items():
                if f2 != fmt:
                    continue
                name = (f"lookup {fmt}, module" + (f", {th} thread" if th else ", default threads")
                        if impl == "native" else f"lookup {fmt}, Python + SQLite (peer)")
                L.append(self.row(name, r, lambda r: fmt_rate(r["throughput"], " terms"),
                                  p if impl == "native" else None))
        for kind in ("nodes", "edges"):
            n, p = self.dedups[(kind, "native")], self.dedups[(kind, "python")]
            L.append(self.row(f"dedup_ndjson {kind}, module", n,
                              lambda r: f"{fmt_rate(r['throughput'], ' lines')}, {r['mb_per_s']:.0f} MB/s", p))
            L.append(self.row(f"dedup_ndjson {kind}, pure Python (peer)", p,
                              lambda r: f"{fmt_rate(r['throughput'], ' lines')}, {r['mb_per_s']:.1f} MB/s", None))
        L.append(self.row("namespace_uuid, module", self.uuids["native"],
                          lambda r: fmt_rate(r["throughput"], " calls"), self.uuids["python"]))
        L.append(self.row("namespace_uuid, uuid.uuid3 (peer)", self.uuids["python"],
                          lambda r: fmt_rate(r["throughput"], " calls"), None))
        L.append("")
        L.append(f"Build throughput counts the uncompressed JSON of synonym and class files "
                 f"({in_bytes / 1e9:.2f} GB).\n")

        L.append("## Build scaling and stages\n")
        L.append("Stage 0 (equivalence index) runs from the call to the first report of stage 1; stage 1 "
                 "(synonym ingest) to the first report of stage 2; stage 2 (main database and shard files) to "
                 "the return. The peer's stages are loading the class files, reading the synonym files into "
                 "SQLite, and building the term index.\n")
        L.append("| build | wall s | speed-up vs 1 thread | CPU s | peak RSS | settings-implied RSS bound "
                 "| stage 0 s | stage 1 s | stage 2 s | records | database size |")
        L.append("|---|---|---|---|---|---|---|---|---|---|---|")
        base = self.builds.get(1)
        stats = {"class_bytes": tot["class_bytes"], "classes": tot["classes"], "synonym_rows": tot["synonym_rows"]}
        for t, r in self.builds.items():
            if not r["ok"]:
                L.append(f"| module, {t} threads | failed: {r['error']} |||||||||| ")
                continue
            bound, _ = rss_bound(build_settings(t, len(m["synonyms"]), len(m["classes"])), stats, r.get("runs"))
            su = f"{base['wall'] / r['wall']:.2f}x" if base and base["ok"] else "-"
            st = r["stages"]
            L.append(f"| module, {t} thread{'s' if t > 1 else ''} | {fmt_s(r['wall'])} | {su} | {fmt_s(r['cpu'])} | "
                     f"{fmt_bytes(r['peak_rss'])} | {fmt_bytes(bound)} | {fmt_s(st.get('0'))} | "
                     f"{fmt_s(st.get('1'))} | {fmt_s(st.get('2'))} | {r.get('records') or 0:,} | "
                     f"{fmt_bytes(r['db_bytes'])} |")
        if peer["ok"]:
            st = peer["stages"]
            L.append(f"| Python + SQLite | {fmt_s(peer['wall'])} | - | {fmt_s(peer['cpu'])} | "
                     f"{fmt_bytes(peer['peak_rss'])} | - | {fmt_s(st.get('0'))} | {fmt_s(st.get('1'))} | "
                     f"{fmt_s(st.get('2'))} | - | {fmt_bytes(peer['db_bytes'])} |")
        L.append("")
        top = max(self.builds) if self.builds else None
        if top:
            s = build_settings(top, len(m["synonyms"]), len(m["classes"]))
            runs = self.builds[top].get("runs") or {"term": 0, "curie": 0, "equiv": 0}
            bound, phases = rss_bound(s, stats, runs)
            L.append(f"RSS bound at {top} threads with the default settings (local spill "
                     f"{s['local_spill_entries']:,} terms, CURIE spill {s['curie_spill_entries']:,} rows, equivalence "
                     f"spill {s['equiv_spill_entries']:,} keys, chunks {fmt_bytes(s['chunk_bytes'])}, "
                     f"{s['producers']} producers, store write budget {fmt_bytes(s['write_budget_bytes'])}, insert batch "
                     f"{s['insert_batch']:,}): {fmt_bytes(BASE)} base plus the largest phase: "
                     + ", ".join(f"{k} {fmt_bytes(v)}" for k, v in phases.items())
                     + f". Per-item sizes used: term {TERM_ENTRY} B, CURIE row {CURIE_ROW} B, class-map entry "
                     f"{EQUIV_ENTRY} B, shard record {SHARD_RECORD} B, CURIE id {CURIE_ID} B; the CURIE-id maps "
                     f"and the equivalence index grow with the inputs and are counted from them, and the merges "
                     f"hold a read buffer per run file ({runs['term']:,} term runs, {runs['curie']:,} CURIE-row "
                     f"runs and {runs['equiv']:,} equivalence runs in this build, counted in its spill "
                     f"directory).\n")

        L.append("## Agreement checks\n")
        L.extend(self.checks())
        L.append("")
        L.append("## Peers\n")
        L.append("- Build and lookup: `bench/peers/sqlite_fullmap.py`, single-threaded Python with the standard "
                 "`sqlite3` module: class files loaded into a dict, synonym rows normalised in Python "
                 "(`bench/peers/normalize.py`, the same stored forms) and inserted with `executemany` in "
                 "batches into a `terms(term, curie_id, source_id)` table, indexed after loading; CURIE rows "
                 "and string tables in their own tables. Journal off, synchronous off, 1 GiB page cache. "
                 "Lookups are one indexed query per term (with joins for rows).")
        L.append("- dedup_ndjson and namespace_uuid: `bench/peers/records.py`, `json` + a `set` of canonical "
                 "lines + `uuid.uuid3`.")
        L.append(f"\nLog of the run: `{self.log}`.\n")
        if self.a.notes and os.path.exists(self.a.notes):
            with open(self.a.notes) as f:
                L.append(f.read().rstrip() + "\n")
        return "\n".join(L)

    def row(self, name, r, throughput, peer):
        if not r.get("ok"):
            return f"| {name} | {r.get('error', 'failed')} | | | | | |"
        ratio = "-"
        if peer is not None:
            ratio = f"{peer['wall'] / r['wall']:.1f}x" if peer.get("ok") else "peer unavailable"
        cw = f"{r['cpu'] / r['wall']:.2f}" if r["wall"] > 0 else "-"
        return (f"| {name} | {fmt_s(r['wall'])} | {fmt_s(r['cpu'])} | {cw} | {fmt_bytes(r['peak_rss'])} | "
                f"{throughput(r)} | {ratio} |")

    def ratio(self, slow, fast):
        if slow and fast and slow.get("ok") and fast.get("ok"):
            return slow["wall"] / fast["wall"]
        return None

    def targets(self):
        out = []

        def add(name, value, goal, unit="x"):
            fig = "-" if value is None else f"{value:.1f}{unit}"
            out.append((name, fig, f"≥ {goal}{unit}", None if value is None else value >= goal))
        b1 = self.builds.get(1)
        b8 = self.builds.get(8)
        add("build, 1 thread, vs Python + SQLite build", self.ratio(self.peer_build, b1), 20)
        add("build, 8 threads, vs itself at 1 thread", self.ratio(b1, b8), 5)
        add("lookup pairs (terms/s) vs Python + SQLite",
            self.ratio(self.lookups.get(("pairs", "sqlite", None)), self.lookups.get(("pairs", "native", None))), 10)
        add("lookup rows (terms/s) vs Python + SQLite",
            self.ratio(self.lookups.get(("rows", "sqlite", None)), self.lookups.get(("rows", "native", None))), 5)
        for kind in ("nodes", "edges"):
            add(f"dedup_ndjson {kind} vs pure Python",
                self.ratio(self.dedups[(kind, "python")], self.dedups[(kind, "native")]), 15)
        top = max(self.builds) if self.builds else None
        r = self.builds.get(top)
        if r and r["ok"]:
            m = self.manifest
            stats = {"class_bytes": m["totals"]["class_bytes"], "classes": m["totals"]["classes"],
                     "synonym_rows": m["totals"]["synonym_rows"]}
            bound, _ = rss_bound(build_settings(top, len(m["synonyms"]), len(m["classes"])), stats, r.get("runs"))
            out.append((f"build peak RSS at {top} threads within the settings' bound",
                        f"{fmt_bytes(r['peak_rss'])} of {fmt_bytes(bound)}", "≤ bound", r["peak_rss"] <= bound))
        return out

    def checks(self):
        L = []
        for fmt in ("pairs", "rows"):
            n = self.lookups.get((fmt, "native", None))
            n1 = self.lookups.get((fmt, "native", 1))
            p = self.lookups.get((fmt, "sqlite", None))
            if n and n["ok"] and n1 and n1["ok"]:
                same = n["digest"] == n1["digest"]
                L.append(f"- lookup {fmt}: module with default threads and with 1 thread "
                         f"{'agree' if same else 'DIFFER'} ({n['hit_terms']:,} of {n['terms']:,} terms found, "
                         f"{n['results']:,} results).")
            if n and n["ok"] and p and p["ok"]:
                same = n["digest"] == p["digest"]
                what = "(term, CURIE, source) hits" if fmt == "rows" else "postings per term"
                L.append(f"- lookup {fmt}: module and Python + SQLite {'agree' if same else 'DIFFER'} on {what} "
                         f"({n['hit_keys']:,} vs {p['hit_keys']:,}; module {n['results']:,} results, peer "
                         f"{p['results']:,}).")
        for kind in ("nodes", "edges"):
            n, p = self.dedups[(kind, "native")], self.dedups[(kind, "python")]
            if n["ok"] and p["ok"]:
                L.append(f"- dedup_ndjson {kind}: outputs {'identical' if n['digest'] == p['digest'] else 'DIFFER'} "
                         f"({n['lines_out']:,} lines kept of {n['lines_in']:,}; peer kept {p['lines_out']:,}).")
        n, p = self.uuids["native"], self.uuids["python"]
        if n["ok"] and p["ok"]:
            L.append(f"- namespace_uuid: {n['calls']:,} UUIDs, "
                     f"{'identical' if n['digest'] == p['digest'] else 'DIFFER'} to uuid.uuid3's.")
        failed = [r for r in self.all_results() if not r.get("ok")]
        for r in failed:
            L.append(f"- not measured: {r['error']}")
        return L or ["- nothing to compare"]


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--job":
        sys.path.insert(0, HERE)
        run_job_in_child(sys.argv[2], json.loads(sys.argv[3]))
        return 0
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--scale", default="full", help="full, medium, small, tiny, or GB of synonym JSON")
    ap.add_argument("--seed", type=int, default=42)
    ap.add_argument("--work", default=None, help="scratch directory (default /tmp/corv-bench-<scale>)")
    ap.add_argument("--data", default=None, help="input directory (default <work>/data)")
    ap.add_argument("--module-path", default=os.path.join(ROOT, "build", "python"))
    ap.add_argument("--out", default=os.path.join(HERE, "RESULTS.md"))
    ap.add_argument("--threads", default="1,2,4,8")
    ap.add_argument("--uuid-calls", type=int, default=None)
    ap.add_argument("--skip-peer-build", action="store_true")
    ap.add_argument("--notes", default=None, help="markdown appended to the report")
    ap.add_argument("--keep", action="store_true", help="keep databases and outputs")
    ap.add_argument("--strict", action="store_true", help="exit 1 when a job fails")
    ap.add_argument("--commit", default=None, help="commit to report when the module was built elsewhere")
    a = ap.parse_args()
    a.threads = [int(x) for x in a.threads.split(",") if x]
    a.work = a.work or os.path.join("/tmp", f"corv-bench-{a.scale}")
    return Suite(a).main()


if __name__ == "__main__":
    sys.exit(main())
