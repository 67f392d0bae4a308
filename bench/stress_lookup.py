"""Lookups from many Python threads against a fullmap that is rebuilt under
them, to shake out crashes, hangs and torn reads.

    PYTHONPATH=build/python python3.13 bench/stress_lookup.py [--seconds 60] [--threads 16]

Every generation maps the same terms to CURIEs of its own prefix (G0:, G1:,
...), so an answer that mixes generations, or misses a term that every
generation has, shows up in its prefixes. Lookups that meet a rebuild in
progress fail with a RuntimeError (the files are gone or locked); those are
counted by message. The run fails (exit status 1) on any mixed or partial
answer, any other exception, or a reader thread that stops answering.
"""
import argparse
import collections
import json
import pathlib
import random
import sys
import tempfile
import threading
import time

from corvantile import rs


def write_generation(path, generation, terms):
    with open(path, "w") as out:
        for i, term in enumerate(terms):
            out.write(json.dumps({"curie": f"G{generation}:{i}", "names": [term], "types": ["biolink:Gene"],
                                  "preferred_name": f"generation {generation} row {i}"}) + "\n")


def percentile(sorted_values, q):
    if not sorted_values:
        return float("nan")
    return sorted_values[min(len(sorted_values) - 1, int(q * len(sorted_values)))]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=60.0, help="how long the readers run")
    parser.add_argument("--threads", type=int, default=16, help="Python reader threads")
    parser.add_argument("--rebuild-every", type=float, default=3.0, help="seconds between rebuilds")
    parser.add_argument("--terms", type=int, default=20000, help="terms per generation")
    parser.add_argument("--batch", type=int, default=256, help="terms per lookup call")
    parser.add_argument("--workdir", default=None, help="where the fullmap lives (default: a temp dir)")
    args = parser.parse_args()

    workdir = pathlib.Path(args.workdir or tempfile.mkdtemp(prefix="stress-lookup-"))
    workdir.mkdir(parents=True, exist_ok=True)
    db = workdir / "fullmap.redb"
    synonyms = workdir / "stress.ndjson"
    terms = [f"stress term {i}" for i in range(args.terms)]
    index = {t: i for i, t in enumerate(terms)}

    write_generation(synonyms, 0, terms)
    rs.build_fullmap_db(db, [], [synonyms])

    stop = threading.Event()
    lock = threading.Lock()
    calls = collections.Counter()          # per thread
    answers = collections.Counter()        # generation -> whole answers
    torn = []                               # mixed or partial answers
    errors = collections.Counter()         # RuntimeError text -> count
    unexpected = []
    latencies = []
    last_answer = {}

    def reader(seed):
        rng = random.Random(seed)
        mine = []
        while not stop.is_set():
            start = rng.randrange(len(terms))
            batch = [terms[(start + k * 7919) % len(terms)] for k in range(args.batch)]
            form = rng.choice(["rows", "pairs"])
            budget = rng.choice([None, 1, 4])
            began = time.perf_counter()
            try:
                result = rs.lookup_fullmap_terms(db, batch, threads=budget, return_format=form)
            except RuntimeError as e:
                with lock:
                    errors[str(e)] += 1
                    calls[seed] += 1
                continue
            except BaseException as e:  # anything else is a fault of its own
                with lock:
                    unexpected.append(f"{type(e).__name__}: {e}")
                return
            mine.append(time.perf_counter() - began)
            verdict = judge(batch, result, form)
            with lock:
                calls[seed] += 1
                last_answer[seed] = time.monotonic()
                if isinstance(verdict, int):
                    answers[verdict] += 1
                else:
                    torn.append(verdict)
        with lock:
            latencies.extend(mine)

    def judge(batch, result, form):
        """The generation of a whole answer, or a description of a torn one."""
        if [r["term"] for r in result] != batch:
            return f"{form}: {len(result)} hits for {len(batch)} terms"
        if form == "pairs":
            # Ids carry no generation; a whole answer has one posting per
            # term and no id twice for different terms.
            owner = {}
            for entry in result:
                if len(entry["records"]) != 1:
                    return f"pairs: {entry['term']!r} -> {entry['records']}"
                curie_id = entry["records"][0][0]
                if owner.setdefault(curie_id, entry["term"]) != entry["term"]:
                    return f"pairs: id {curie_id} for {owner[curie_id]!r} and {entry['term']!r}"
            return -1
        generations = set()
        for row in result:
            prefix, local = row["CURIE"].split(":", 1)
            if int(local) != index[row["term"]]:
                return f"rows: {row['term']!r} -> {row['CURIE']}"
            generations.add(int(prefix[1:]))
        if len(generations) != 1:
            return f"rows: generations {sorted(generations)} in one answer"
        return generations.pop()

    threads = [threading.Thread(target=reader, args=(i,), daemon=True) for i in range(args.threads)]
    began = time.monotonic()
    for t in threads:
        t.start()

    builds, build_times, generation = 0, [], 0
    while time.monotonic() - began < args.seconds:
        time.sleep(min(args.rebuild_every, max(0.0, args.seconds - (time.monotonic() - began))))
        if time.monotonic() - began >= args.seconds:
            break
        generation += 1
        write_generation(synonyms, generation, terms)
        t0 = time.perf_counter()
        rs.build_fullmap_db(db, [], [synonyms])
        build_times.append(time.perf_counter() - t0)
        builds += 1
    stop.set()
    for t in threads:
        t.join(30)
    stuck = [t.name for t in threads if t.is_alive()]
    elapsed = time.monotonic() - began

    # After the last build every reader must see the last generation.
    final = rs.lookup_fullmap_terms(db, terms[:100])
    final_ok = {r["CURIE"].split(":")[0] for r in final} == {f"G{generation}"} and len(final) == 100

    total = sum(calls.values())
    latencies.sort()
    print(f"{args.threads} threads, {elapsed:.1f} s, {builds} rebuilds "
          f"(mean {sum(build_times) / max(1, len(build_times)):.2f} s each), {args.terms} terms, batch {args.batch}")
    print(f"calls: {total} ({total / elapsed:.0f}/s); per thread min {min(calls.values(), default=0)} "
          f"max {max(calls.values(), default=0)}")
    print(f"lookup latency: p50 {percentile(latencies, 0.5) * 1e3:.2f} ms, p99 {percentile(latencies, 0.99) * 1e3:.2f} ms, "
          f"max {percentile(latencies, 1.0) * 1e3:.2f} ms")
    rows_by_gen = {g: n for g, n in answers.items() if g >= 0}
    print(f"whole answers: rows by generation {dict(sorted(rows_by_gen.items()))}, pairs {answers.get(-1, 0)}")
    print("errors by message:" + ("" if errors else " none"))
    for text, n in errors.most_common():
        print(f"  {n:8d}  {text}")
    print(f"mixed or partial answers: {len(torn)}")
    for t in torn[:10]:
        print(f"  {t}")
    if unexpected:
        print(f"other exceptions: {len(unexpected)}")
        for e in unexpected[:10]:
            print(f"  {e}")
    if stuck:
        print(f"reader threads that did not stop: {stuck}")
    print(f"after the last build: {'last generation seen' if final_ok else 'WRONG GENERATION'}")
    return 0 if not torn and not unexpected and not stuck and final_ok else 1


if __name__ == "__main__":
    sys.exit(main())
