"""Damaged meta pages against every read: each trial damages one meta page
of a fresh copy of a small fullmap and reads it, in a child forked from this
process (which imported corvantile.rs but starts no thread of its own), so a
trial that kills its reader is counted rather than ending the sweep. Not a
test: tests/python/test_faults.py holds a short form.

    PYTHONPATH=<build>/python python3.13 bench/meta_sweep.py [--jobs 8] [--kinds main,shard] [--newest 0,1] \
        [--timeout 120] [--list]

Damage, to page 0 and to page 1 of the main file and of one shard:
  - every byte of the page header and meta record set to 0x00, 0xFF and a
    random value;
  - every header and meta field set whole to 0, 1, 512, 4097, 65536, 32 MiB,
    2^31-1, 2^40 and all ones, cut to the field's width (repeats dropped);
  - both roots set to every page number up to one past the last page, so
    that some land on older copies of trees still in the file.
Each runs on the file as built (newest meta in page 0) and on a variant whose
newest meta record was copied to page 1 with the next transaction id. A
child runs both lookup forms, hydrate_curies, hydrate_prefixes,
hydrate_categories and hydrate_sources and compares them with the undamaged
file's answers. Outcomes: RuntimeError (by message), identical, the older
snapshot (the older meta page's answers; sound only when the damage is to a
transaction id), different, another exception, a signal, a hang.

Prints a table per file kind and newest page, then every trial that is not
a RuntimeError or identical (or an older snapshot from a transaction id).
Exits with status 1 when any trial died by a signal, hung, raised something
else than RuntimeError or answered differently.
"""

import argparse
import collections
import json
import os
import pathlib
import random
import select
import shutil
import signal
import struct
import sys
import tempfile
import time

from corvantile import rs

ROWS = [{"curie": f"A:{i}", "names": [f"alpha {i} name {j}" for j in range(8)], "types": ["biolink:Gene"],
         "taxa": ["NCBITaxon:9606"], "preferred_name": f"Alpha {i}"} for i in range(300)]
CLASSES = [{"id": f"A:{i}", "equivalent_identifiers": [f"A:{i}", f"EQ:{i}"]} for i in range(0, 300, 3)]
TERMS = [f"alpha {i} name {j}" for i in range(300) for j in (0, 7)] + ["eq:3", "no such term"]
FILES = {"main": "fullmap.redb", "shard": "fullmap.s3.redb"}

# LMDB 0.9's page header and MDB_meta on a 64-bit system: (name, offset, width).
FIELDS = [("mp_pgno", 0, 8), ("mp_pad", 8, 2), ("mp_flags", 10, 2), ("mp_lower", 12, 2), ("mp_upper", 14, 2),
          ("mm_magic", 16, 4), ("mm_version", 20, 4), ("mm_address", 24, 8), ("mm_mapsize", 32, 8)]
for _db, _base in (("free", 40), ("main", 88)):
    FIELDS += [(f"{_db}.md_pad", _base, 4), (f"{_db}.md_flags", _base + 4, 2), (f"{_db}.md_depth", _base + 6, 2),
               (f"{_db}.md_branch_pages", _base + 8, 8), (f"{_db}.md_leaf_pages", _base + 16, 8),
               (f"{_db}.md_overflow_pages", _base + 24, 8), (f"{_db}.md_entries", _base + 32, 8),
               (f"{_db}.md_root", _base + 40, 8)]
FIELDS += [("mm_last_pg", 136, 8), ("mm_txnid", 144, 8)]
META_END = 152
TXNID = 144
VALUES = [0, 1, 512, 4097, 65536, 32 << 20, 2**31 - 1, 2**40, 2**64 - 1]

OK, RUNTIME, OLDER, DIFFERENT, OTHER = range(5)


def answers(db):
    rows = rs.lookup_fullmap_terms(db, TERMS)
    pairs = rs.lookup_fullmap_terms(db, TERMS, threads=4, return_format="pairs")
    ids = sorted({curie_id for p in pairs for curie_id, _ in p["records"]})
    got = {"rows": rows, "pairs": pairs, "curies": rs.hydrate_curies(db, ids), "prefixes": rs.hydrate_prefixes(db),
           "categories": rs.hydrate_categories(db), "sources": rs.hydrate_sources(db)}
    return json.loads(json.dumps(got))


def forked(fn, timeout):
    """Starts fn(), which returns (exit code, text), in a forked child; returns its pid, the pipe that
    carries the text and the moment past which it counts as hung."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        code = 99
        try:
            code, text = fn()
            os.write(write_end, text.encode())
        finally:
            os._exit(code)
    os.close(write_end)
    return pid, read_end, time.monotonic() + timeout


def outcome_of(status, output):
    if os.WIFSIGNALED(status):
        return ("signal", signal.Signals(os.WTERMSIG(status)).name)
    code = os.WEXITSTATUS(status)
    names = {OK: "identical", RUNTIME: "RuntimeError", OLDER: "older snapshot", DIFFERENT: "different",
             OTHER: "other exception"}
    return (names[code], output) if code in names else ("exit", f"{code} {output}")


def run_all(jobs, timeout):
    """Runs the (key, fn) jobs, --jobs at a time; yields (key, outcome)."""
    pending = list(jobs)
    running = {}  # pid: (key, pipe, deadline, chunks)
    while pending or running:
        while pending and len(running) < ARGS.jobs:
            key, fn = pending.pop(0)
            pid, fd, deadline = forked(fn, timeout)
            running[pid] = (key, fd, deadline, [])
        # Drain the pipes as the children write, so none blocks on a full one.
        by_fd = {fd: chunks for _, fd, _, chunks in running.values()}
        for fd in select.select(list(by_fd), [], [], 0.002)[0]:
            chunk = os.read(fd, 1 << 16)
            if chunk:
                by_fd[fd].append(chunk)
        pid, status = os.waitpid(-1, os.WNOHANG)
        if pid == 0:
            now = time.monotonic()
            for pid, (key, fd, deadline, _) in list(running.items()):
                if now > deadline:
                    os.kill(pid, signal.SIGKILL)
                    os.waitpid(pid, 0)
                    os.close(fd)
                    del running[pid]
                    yield key, ("hang", "")
            continue
        key, fd, _, chunks = running.pop(pid)
        while chunk := os.read(fd, 1 << 16):
            chunks.append(chunk)
        os.close(fd)
        yield key, outcome_of(status, b"".join(chunks).decode(errors="replace"))


def in_child(fn, timeout=300):
    """fn() in one forked child, for anything that starts threads; returns its JSON result."""
    def body():
        return 0, json.dumps(fn())
    (_, (kind, text)), = run_all([(None, body)], timeout)
    if kind != "identical":
        sys.exit(f"setup child failed: {kind} {text}")
    return json.loads(text)


def page_size(path):
    return struct.unpack_from("<I", path.read_bytes(), 40)[0]


def copy_with_metas(source, target, name):
    """A copy of the fileset, `name`'s bytes, page size, both transaction ids and which meta is newest."""
    shutil.copytree(source, target)
    path = target / name
    data = bytearray(path.read_bytes())
    psize = page_size(path)
    txn = [struct.unpack_from("<Q", data, p * psize + TXNID)[0] for p in (0, 1)]
    return path, data, psize, txn, 0 if txn[0] > txn[1] else 1


def newest_in_page_1(source, target, name):
    """The fileset with `name`'s newest meta record copied into page 1, one transaction later."""
    path, data, psize, txn, newest = copy_with_metas(source, target, name)
    if newest == 0:
        data[psize + 16:psize + META_END] = data[16:META_END]
        struct.pack_into("<Q", data, psize + TXNID, txn[0] + 1)
    path.write_bytes(bytes(data))
    return target


def older_wins(source, target, name):
    """The fileset with the older meta page of `name` made the newest."""
    path, data, psize, txn, newest = copy_with_metas(source, target, name)
    struct.pack_into("<Q", data, newest * psize + TXNID, 0)
    struct.pack_into("<Q", data, (1 - newest) * psize + TXNID, max(txn) + 1)
    path.write_bytes(bytes(data))
    return target


def damages(data, psize):
    """(label, field name or None, [(offset, bytes)]) for both meta pages."""
    for page in (0, 1):
        base = page * psize
        # Roots on every page of the file, older copies of trees included.
        last = struct.unpack_from("<Q", data, base + 136)[0]
        for name, offset in (("free.md_root", 80), ("main.md_root", 128)):
            for number in range(last + 2):
                yield f"page {page} {name} = {number}", name, [(base + offset, number.to_bytes(8, "little"))]
        for offset in range(META_END):
            rng = random.Random(f"{page}:{offset}")
            for value in (0x00, 0xFF, rng.randrange(256)):
                yield f"page {page} byte {offset} = {value:#04x}", None, [(base + offset, bytes([value]))]
        for name, offset, width in FIELDS:
            seen = set()
            for value in VALUES:
                cut = value & ((1 << (8 * width)) - 1)
                if cut in seen:
                    continue
                seen.add(cut)
                yield (f"page {page} {name} = {cut:#x}", name,
                       [(base + offset, cut.to_bytes(width, "little"))])


def trial(source, work, name, changes, expected, older):
    def body():
        copy = pathlib.Path(tempfile.mkdtemp(dir=work))
        try:
            fileset = copy / "fs"
            shutil.copytree(source, fileset)
            path = fileset / name
            data = bytearray(path.read_bytes())
            for offset, value in changes:
                data[offset:offset + len(value)] = value
            path.write_bytes(bytes(data))
            try:
                got = answers(fileset / "fullmap.redb")
            except RuntimeError as e:
                return RUNTIME, str(e)
            except BaseException as e:
                return OTHER, f"{type(e).__name__}: {e}"
            if got == expected:
                return OK, ""
            if older is not None and got == older:
                return OLDER, ""
            return DIFFERENT, json.dumps(got)[:300]
        finally:
            shutil.rmtree(copy, ignore_errors=True)
    return body


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--jobs", type=int, default=os.cpu_count())
    parser.add_argument("--kinds", default="main,shard")
    parser.add_argument("--newest", default="0,1")
    parser.add_argument("--timeout", type=float, default=120)
    parser.add_argument("--list", action="store_true", help="print every trial's outcome as it ends")
    ARGS = parser.parse_args()
    work = pathlib.Path(tempfile.mkdtemp(prefix="meta-sweep-"))
    try:
        return sweep(work, ARGS.kinds.split(","), [int(n) for n in ARGS.newest.split(",")])
    finally:
        shutil.rmtree(work, ignore_errors=True)


def sweep(work, kinds, newest_pages):
    (work / "syn.ndjson").write_text("".join(json.dumps(r) + "\n" for r in ROWS))
    (work / "cls.jsonl").write_text("".join(json.dumps(r) + "\n" for r in CLASSES))
    built = work / "built"

    def build():
        rs.build_fullmap_db(built / "fullmap.redb", [work / "cls.jsonl"], [work / "syn.ndjson"], threads=2)
        shutil.rmtree(built / "fullmap.redb.spill.d", ignore_errors=True)
        return answers(built / "fullmap.redb")

    expected = in_child(build)
    (built / ".fullmap-build.lock").unlink(missing_ok=True)
    failures = []
    table = []
    for kind in kinds:
        name = FILES[kind]
        for newest in newest_pages:
            source = built if newest == 0 else newest_in_page_1(built, work / f"{kind}-newest1", name)
            same = in_child(lambda: answers(source / "fullmap.redb"))
            if same != expected:
                sys.exit(f"{kind}: the variant with the newest meta in page {newest} answers differently")
            older_set = older_wins(source, work / f"{kind}-{newest}-older", name)
            try:
                older = in_child(lambda: answers(older_set / "fullmap.redb"))
            except SystemExit:
                older = None  # the older snapshot does not answer at all
            print(f"{kind}, newest meta in page {newest}: older snapshot "
                  f"{'answers identically' if older == expected else 'differs' if older else 'raises'}", flush=True)
            jobs = [((label, field), trial(source, work, name, changes, expected, older))
                    for label, field, changes in damages((source / name).read_bytes(), page_size(source / name))]
            counts = collections.Counter()
            errors = collections.Counter()
            started = time.monotonic()
            for (label, field), (outcome, detail) in run_all(jobs, ARGS.timeout):
                if outcome == "older snapshot" and field != "mm_txnid":
                    outcome = "different"
                if ARGS.list:
                    print(f"{kind} newest={newest} {label}: {outcome} {detail[:100]}", flush=True)
                counts[outcome] += 1
                if outcome == "RuntimeError":
                    errors[detail] += 1
                elif outcome not in ("identical", "older snapshot"):
                    failures.append((kind, newest, label, outcome, detail))
            table.append((kind, newest, len(jobs), counts, errors, time.monotonic() - started))
    print()
    for kind, newest, trials, counts, errors, seconds in table:
        print(f"## {kind} file, newest meta in page {newest}: {trials} trials in {seconds:.0f} s")
        for outcome in ("identical", "older snapshot", "RuntimeError", "signal", "different", "other exception",
                        "hang", "exit"):
            print(f"  {outcome:16} {counts[outcome]}")
        for message, n in errors.most_common():
            print(f"    {n:5}  {message}")
    if failures:
        print("\nfailures:")
        for failure in failures:
            print("  ", *failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
