"""Faults from outside: damaged inputs and databases, missing and unreadable
files, full disks, killed builds, misbehaving callbacks and rebuilds under
concurrent lookups. Each must end in the documented exception (or a result
that is entirely right), never a crash, a hang or a database that opens as
good without being complete.

Cases that could kill the interpreter run in a child process, so a crash
shows up as a failed test rather than a dead test run.
"""

import concurrent.futures
import fcntl
import gzip
import inspect
import json
import mmap
import os
import pathlib
import random
import resource
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from unittest import mock

from corvantile import rs

ROWS = [{"curie": f"A:{i}", "names": [f"alpha {i} name {j}" for j in range(8)], "types": ["biolink:Gene"],
         "taxa": ["NCBITaxon:9606"], "preferred_name": f"Alpha {i}"} for i in range(300)]
CLASSES = [{"id": f"A:{i}", "equivalent_identifiers": [f"A:{i}", f"EQ:{i}"]} for i in range(0, 300, 3)]
TERMS = [f"alpha {i} name {j}" for i in range(300) for j in (0, 7)]


def lines(rows):
    return "".join(json.dumps(r) + "\n" for r in rows).encode()


def expected_curie(term):
    return "A:" + term.split()[1]


def run_child(code, *args, timeout=120):
    """Runs `code` in a fresh interpreter with the module on its path."""
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True,
                          timeout=timeout)


class FaultTestCase(unittest.TestCase):
    def setUp(self):
        self.tmp = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory(prefix="faults-")))
        self.enterContext(mock.patch.dict(os.environ))
        for name in list(os.environ):
            if name.startswith("CORVANTILE_FULLMAP_"):
                del os.environ[name]
        self.synonyms = self.tmp / "genes.ndjson"
        self.synonyms.write_bytes(lines(ROWS))
        self.classes = self.tmp / "classes.jsonl"
        self.classes.write_bytes(lines(CLASSES))

    def build(self, output, classes=None, synonyms=None, **kwargs):
        rs.build_fullmap_db(output, [self.classes] if classes is None else classes,
                            [self.synonyms] if synonyms is None else synonyms, **kwargs)
        return output

    def assert_complete(self, db):
        """The database answers every term with its one right row."""
        rows = rs.lookup_fullmap_terms(db, TERMS)
        self.assertEqual([r["term"] for r in rows], TERMS)
        self.assertEqual([r["CURIE"] for r in rows], [expected_curie(t) for t in TERMS])
        eq = rs.lookup_fullmap_terms(db, ["eq:3"])
        self.assertEqual([r["CURIE"] for r in eq], ["A:3"])

    def assert_not_openable(self, db):
        with self.assertRaises(RuntimeError):
            rs.lookup_fullmap_terms(db, TERMS)


class BadInputTest(FaultTestCase):
    def assert_build_fails(self, text, classes=None, synonyms=None):
        output = self.tmp / "out" / "fullmap.redb"
        with self.assertRaises(RuntimeError) as cm:
            self.build(output, classes, synonyms)
        self.assertIn(text, str(cm.exception))
        self.assert_not_openable(output)

    def test_truncated_and_corrupt_gzip(self):
        packed = gzip.compress(lines(ROWS))
        flipped = bytearray(packed)
        flipped[len(flipped) // 2] ^= 0xFF
        # A flipped byte inside the stream may decode to garbage lines that
        # fail as JSON before the checksum at the end is reached.
        cases = {
            "truncated": (packed[: len(packed) // 2], "unexpected end of gzip stream"),
            "corrupt": (bytes(flipped), ""),
            "bad checksum": (packed[:-8] + bytes([packed[-8] ^ 1]) + packed[-7:], "incorrect data check"),
            "not gzip": (lines(ROWS), "invalid gzip header"),
        }
        for name, (data, text) in cases.items():
            path = self.tmp / f"{name}.ndjson.gz"
            path.write_bytes(data)
            with self.subTest(synonyms=name):
                self.assert_build_fails(text, synonyms=[self.synonyms, path])
            with self.subTest(classes=name):
                self.assert_build_fails(text, classes=[path])
        # The same files, intact, still build.
        good = self.tmp / "good.ndjson.gz"
        good.write_bytes(packed)
        self.assert_complete(self.build(self.tmp / "good.redb", synonyms=[good]))

    def test_missing_and_unreadable_files(self):
        directory = self.tmp / "a_directory.ndjson"
        directory.mkdir()
        missing = self.tmp / "missing.ndjson"
        for label, path, text in [("missing", missing, "(os error 2)"), ("directory", directory, "(os error 21)")]:
            with self.subTest(label, role="synonyms"):
                self.assert_build_fails(text, synonyms=[self.synonyms, path])
            with self.subTest(label, role="classes"):
                self.assert_build_fails(text, classes=[self.classes, path])
        if os.geteuid() != 0:  # root reads a file whatever its mode
            locked = self.tmp / "locked.ndjson"
            locked.write_bytes(lines(ROWS))
            locked.chmod(0)
            self.assert_build_fails("(os error 13)", synonyms=[locked])

    def test_lines_that_are_not_rows(self):
        cases = {
            "not UTF-8 in a skipped member": b'{"curie":"A:1","note":"\xff"}\n',
            "binary": bytes(random.Random(1).randrange(256) for _ in range(4096)),
            "NUL bytes": b'{"curie":"A:1"}\n\x00\x00\n',
            "not an object": b'{"curie":"A:1"}\n17\n',
            "names not a list": b'{"curie":"A:1","names":"x"}\n',
            "cut short": b'{"curie":"A:1","names":["x"',
        }
        for name, data in cases.items():
            path = self.tmp / "broken.ndjson"
            path.write_bytes(lines(ROWS) + data)
            with self.subTest(name):
                output = self.tmp / "out" / "fullmap.redb"
                with self.assertRaises(RuntimeError):
                    self.build(output, synonyms=[path])
                self.assert_not_openable(output)

    def test_directories_that_cannot_be_created(self):
        blocker = self.tmp / "a_file"
        blocker.write_text("x")
        os.environ["CORVANTILE_FULLMAP_SPILL_DIR"] = str(blocker / "spill")
        output = self.tmp / "out" / "fullmap.redb"
        with self.assertRaises(RuntimeError) as cm:
            self.build(output)
        self.assertIn("(os error 20)", str(cm.exception))
        self.assert_not_openable(output)
        self.assertEqual(blocker.read_text(), "x")
        del os.environ["CORVANTILE_FULLMAP_SPILL_DIR"]
        with self.assertRaises(RuntimeError) as cm:
            self.build(blocker / "fullmap.redb")
        self.assertIn("(os error 20)", str(cm.exception))
        # Nothing stuck: the same output builds once the spill directory can exist.
        self.assert_complete(self.build(output))


HUGE_COUNT_CHILD = r"""
import json, resource, sys
from corvantile import rs
output, classes, synonyms = sys.argv[1:4]

def address_space():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) << 10 for line in f if line.startswith("VmSize:"))

# Room for a few hundred thread stacks: refused in this process, not by the
# system's shared limits.
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (address_space() + (4 << 30), hard))
try:
    rs.build_fullmap_db(output, [classes], [synonyms], threads=10**6)
    error = None
except BaseException as e:
    error = [type(e).__name__, str(e)]
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(json.dumps({"error": error, "after": rs.lookup_fullmap_terms(output, ["alpha 7 name 0"])[0]["CURIE"]}))
"""


class ArgumentFaultTest(FaultTestCase):
    def test_paths_with_nul_bytes_are_refused_before_any_file_is_touched(self):
        victim = self.build(self.tmp / "victim.redb")
        named = str(victim) + "\0.tmp"
        calls = {
            "output": lambda: rs.build_fullmap_db(named, [self.classes], [self.synonyms]),
            "classes": lambda: rs.build_fullmap_db(self.tmp / "o.redb", [str(self.classes) + "\0"], [self.synonyms]),
            "synonyms": lambda: rs.build_fullmap_db(self.tmp / "o.redb", [], [str(self.synonyms) + "\0"]),
            "db": lambda: rs.lookup_fullmap_terms(named, TERMS),
            "input": lambda: rs.dedup_ndjson(str(self.synonyms) + "\0", self.tmp / "d.ndjson", False),
            "output ": lambda: rs.dedup_ndjson(self.synonyms, str(self.tmp / "kept.ndjson") + "\0x", False),
        }
        (self.tmp / "kept.ndjson").write_bytes(b"kept")
        for param, call in calls.items():
            with self.subTest(param):
                with self.assertRaises(ValueError) as cm:
                    call()
                self.assertEqual(str(cm.exception), "embedded null byte")
                self.assertEqual(cm.exception.__notes__, [f"while processing '{param.strip()}'"])
        # The path before the NUL names a real file; nothing happened to it.
        self.assert_complete(victim)
        self.assertEqual((self.tmp / "kept.ndjson").read_bytes(), b"kept")
        self.assertFalse((self.tmp / "o.redb").exists())

    def test_a_worker_count_the_system_refuses_deletes_nothing(self):
        if "asan" in os.environ.get("LD_PRELOAD", ""):
            self.skipTest("the sanitizer's allocator aborts when its address space is refused")
        output = self.build(self.tmp / "kept" / "fullmap.redb")
        child = run_child(HUGE_COUNT_CHILD, output, self.classes, self.synonyms)
        self.assertEqual(child.returncode, 0, child.stderr[-2000:])
        self.assertEqual(json.loads(child.stdout), {
            "error": ["PanicException", "failed to spawn thread: Resource temporarily unavailable (os error 11)"],
            "after": "A:7"})
        self.assert_complete(output)


FULL_DISK_CHILD = r"""
import json, resource, signal, sys
limit, output, classes, synonyms = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
# A write past the limit then fails with EFBIG, as on a full disk, instead
# of killing the process.
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
from corvantile import rs
try:
    if output.endswith(".redb"):
        rs.build_fullmap_db(output, [classes], [synonyms], threads=2)
    else:
        rs.dedup_ndjson(synonyms, output, False)
    print(json.dumps({"ok": True}))
except BaseException as e:
    print(json.dumps({"ok": False, "type": type(e).__name__, "message": str(e)}))
"""


class FullDiskTest(FaultTestCase):
    def test_build_on_a_full_disk_fails_and_leaves_nothing_that_opens(self):
        # The limits fall in the spill files, the main file, the shard
        # files and nowhere, in whatever order the sizes put them.
        outcomes = []
        for limit in [16 << 10, 64 << 10, 96 << 10, 128 << 10, 192 << 10, 4 << 20]:
            output = self.tmp / f"limit{limit}" / "fullmap.redb"
            child = run_child(FULL_DISK_CHILD, limit, output, self.classes, self.synonyms)
            with self.subTest(limit=limit):
                self.assertEqual(child.returncode, 0, child.stderr[-2000:])
                result = json.loads(child.stdout)
                outcomes.append(result["ok"])
                if result["ok"]:
                    self.assert_complete(output)
                else:
                    self.assertEqual(result["type"], "RuntimeError", result)
                    self.assert_not_openable(output)
                    # The next build at the same place, with room, succeeds.
                    self.assert_complete(self.build(output))
        self.assertIn(True, outcomes)
        self.assertIn(False, outcomes)

    def test_dedup_on_a_full_disk_keeps_a_prefix_of_the_output(self):
        source = self.tmp / "records.ndjson"
        source.write_bytes(b"".join(json.dumps({"k": i, "pad": "x" * 50}).encode() + b"\n" for i in range(5000)))
        complete = self.tmp / "complete.ndjson"
        rs.dedup_ndjson(source, complete, False)
        expected = complete.read_bytes()
        output = self.tmp / "limited.ndjson"
        child = run_child(FULL_DISK_CHILD, 100_000, output, "", source)
        self.assertEqual(child.returncode, 0, child.stderr[-2000:])
        result = json.loads(child.stdout)
        self.assertEqual(result, {"ok": False, "type": "RuntimeError", "message": "File too large (os error 27)"})
        written = output.read_bytes()
        self.assertTrue(written)
        self.assertEqual(written, expected[: len(written)])


KILLED_BUILD_CHILD = r"""
import sys
from corvantile import rs
print("building", flush=True)
rs.build_fullmap_db(sys.argv[1], [sys.argv[2]], [sys.argv[3]], threads=2)
print("built", flush=True)
"""


class KilledBuildTest(FaultTestCase):
    def test_a_build_killed_at_any_moment_leaves_nothing_half_good(self):
        # Enough rows that the kill lands inside the build.
        big = [dict(r, curie=f"A:{i}", names=[f"alpha {i} name {j}" for j in range(8)])
               for i, r in enumerate(ROWS * 40)]
        self.synonyms.write_bytes(lines(big))
        seen = set()
        for delay in [0.0, 0.05, 0.1, 0.2, 0.4, 0.8, 1.6, 5.0]:
            output = self.tmp / f"kill{delay}" / "fullmap.redb"
            child = subprocess.Popen([sys.executable, "-c", KILLED_BUILD_CHILD, output, self.classes, self.synonyms],
                                     stdout=subprocess.PIPE, text=True)
            self.assertEqual(child.stdout.readline().strip(), "building")
            time.sleep(delay)
            child.send_signal(signal.SIGKILL)
            child.wait()
            finished = child.stdout.read().strip() == "built"
            child.stdout.close()
            seen.add(finished)
            with self.subTest(delay=delay, finished=finished):
                if finished:
                    self.assert_complete(output)
                else:
                    try:
                        # A build killed after its last commit is whole.
                        self.assert_complete(output)
                    except RuntimeError:
                        pass
                    self.assert_complete(self.build(output))
        self.assertIn(False, seen)


CORRUPTION_CHILD = r"""
import json, pathlib, random, shutil, sys
from corvantile import rs
source, work, trials, damage, terms = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]), int(sys.argv[3]), \
    int(sys.argv[4]), json.loads(sys.argv[5])
names = ["fullmap.redb"] + [f"fullmap.s{i}.redb" for i in range(16)]
for trial in range(trials):
    rng = random.Random(trial)
    copy = work / f"t{trial}"
    shutil.copytree(source, copy)
    target = copy / (names[0] if trial % 3 == 0 else rng.choice(names[1:]))
    data = bytearray(target.read_bytes())
    for _ in range(damage):
        data[rng.randrange(8192, len(data))] = rng.randrange(256)
    target.write_bytes(data)
    db = copy / "fullmap.redb"
    outcome = {"trial": trial, "file": target.name}
    try:
        rows = rs.lookup_fullmap_terms(db, terms)
        pairs = rs.lookup_fullmap_terms(db, terms, return_format="pairs")
        ids = sorted({c for p in pairs for c, _ in p["records"]})
        curies = rs.hydrate_curies(db, ids)
        outcome.update(rows=rows, curies=len(curies), prefixes=rs.hydrate_prefixes(db))
    except BaseException as e:
        outcome.update(type=type(e).__name__, error=str(e))
    print(json.dumps(outcome), flush=True)
    shutil.rmtree(copy)
"""


META_CHILD = r"""
import json, pathlib, shutil, sys
from corvantile import rs
sources, work, cases, terms = json.loads(sys.argv[1]), pathlib.Path(sys.argv[2]), json.loads(sys.argv[3]), \
    json.loads(sys.argv[4])
answers = lambda db: json.loads(json.dumps(fullmap_answers(db, terms)))
expected = {source: answers(pathlib.Path(path) / "fullmap.redb") for source, path in sources.items()}
print(json.dumps(expected["newest0"] == expected["newest1"]), flush=True)
for i, (source, name, changes) in enumerate(cases):
    copy = work / f"c{i}"
    shutil.copytree(sources[source], copy)
    data = bytearray((copy / name).read_bytes())
    for offset, value in changes:
        data[offset:offset + len(value) // 2] = bytes.fromhex(value)
    (copy / name).write_bytes(data)
    try:
        outcome = ["identical" if answers(copy / "fullmap.redb") == expected[source] else "different"]
    except BaseException as e:
        outcome = [type(e).__name__, str(e)]
    print(json.dumps(outcome), flush=True)
    shutil.rmtree(copy)
"""

# (offset, width) of every field of an LMDB 0.9 meta page: the page header,
# the meta record's magic, version, address and map size, its two table
# records (page size or pad, flags, depth, three page counts, entries, root),
# the last page and the transaction id.
META_FIELDS = [(0, 8), (8, 2), (10, 2), (12, 2), (14, 2), (16, 4), (20, 4), (24, 8), (32, 8)] + [
    (table + offset, width) for table in (40, 88)
    for offset, width in ((0, 4), (4, 2), (6, 2), (8, 8), (16, 8), (24, 8), (32, 8), (40, 8))] + [(136, 8), (144, 8)]
META_END = 152
META_VALUES = [0, 1, 512, 4097, 65536, 32 << 20, 2**31 - 1, 2**40, 2**64 - 1]
OUTDATED = "fullmap DB is outdated or needs repair; rebuild with 'corvantile build-fullmap'"


CORRUPTED = "MDB_CORRUPTED: Located page was wrong type"

# Each case on a fresh copy whose handles a first round of calls cached: one
# file is cut short in place, or two other fullmaps are copied over it in
# turn while a thread keeps calling, and the same calls run again. Rows and
# term records span several pages, so a value can outlast the page that
# leads to it.
CHANGED_CHILD = r"""
import json, os, pathlib, shutil, signal, sys, threading, traceback
signal.alarm(100)
from corvantile import rs
source, work, cases, terms = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]), json.loads(sys.argv[3]), \
    json.loads(sys.argv[4])
calls = {"rows": lambda db: rs.lookup_fullmap_terms(db, terms),
         "pairs": lambda db: rs.lookup_fullmap_terms(db, terms, return_format="pairs"),
         "curies": lambda db: rs.hydrate_curies(db, list(range(len(terms) // 2))), "prefixes": rs.hydrate_prefixes,
         "categories": rs.hydrate_categories, "sources": rs.hydrate_sources}
def outcome(call, db):
    try:
        return ["answered", call(db)]
    except RuntimeError as e:
        return ["RuntimeError", str(e)]
for i, (name, change) in enumerate(cases):
    copy = work / str(i)
    shutil.copytree(source, copy)
    db = copy / "fullmap.redb"
    before = {call: outcome(fn, db) for call, fn in calls.items()}
    if isinstance(change, int):
        os.truncate(copy / name, change)
    else:
        done = threading.Event()
        def keep_calling():
            try:
                while not done.is_set():
                    for fn in calls.values():
                        outcome(fn, db)
            except BaseException:
                traceback.print_exc()
                os._exit(3)
        reader = threading.Thread(target=keep_calling)
        reader.start()
        for k in range(100):
            shutil.copyfile(change[k % 2], copy / name)
        done.set()
        reader.join()
    after = {call: outcome(fn, db) for call, fn in calls.items()}
    print(json.dumps({call: "same" if after[call] == before[call] else after[call][0] + ": " + str(after[call][1])
                      for call in calls}), flush=True)
"""


# Files cut short under handles that a first lookup opened, so every later
# read of theirs faults. The handler mode decides what runs before the guard.
GUARD_CHILD = r"""
import faulthandler, json, os, pathlib, shutil, signal, sys, time
signal.alarm(120)  # a read that faults for ever must not outlive the test
from corvantile import rs
source, work, mode, terms = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]), sys.argv[3], json.loads(sys.argv[4])
caught = []
if mode == "python handler":
    signal.signal(signal.SIGBUS, lambda signo, frame: caught.append(signo))
shutil.copytree(source, work)
db = work / "fullmap.redb"
rs.lookup_fullmap_terms(db, terms)
if mode == "after the first read":
    faulthandler.enable()
if mode == "python handler":
    os.kill(os.getpid(), signal.SIGBUS)
    time.sleep(0.1)
outcomes = []
def attempt(call):
    try:
        call()
        outcomes.append(["answered"])
    except BaseException as e:
        outcomes.append([type(e).__name__, str(e)])
for shard in work.glob("fullmap.s*.redb"):
    os.truncate(shard, 8192)
attempt(lambda: rs.lookup_fullmap_terms(db, terms))
attempt(lambda: rs.lookup_fullmap_terms(db, terms, return_format="pairs"))
os.truncate(db, 8192)
attempt(lambda: rs.hydrate_curies(db, list(range(10))))
attempt(lambda: rs.hydrate_prefixes(db))
print(json.dumps({"outcomes": outcomes, "caught": caught}), flush=True)
time.sleep(60)
"""


# Crash reporters as native libraries install them: one-shot ones that log
# and return (the fault runs again under the default action) or raise the
# signal again, and one that blocks every signal while it runs and hands the
# fault to the handler it replaced.
REPORTER_SOURCE = r"""
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static struct sigaction replaced[NSIG];

static void log_and_return(int signo) { (void)signo; write(2, "reported\n", 9); }

static void log_and_raise(int signo) {
  write(2, "reported\n", 9);
  raise(signo);
}

static void mask_and_chain(int signo, siginfo_t* info, void* context) {
  write(2, "reported\n", 9);
  replaced[signo].sa_sigaction(signo, info, context);
}

int install(int kind) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  if (kind == 0) {
    action.sa_handler = log_and_return;
    action.sa_flags = SA_RESETHAND;
  } else if (kind == 1) {
    action.sa_handler = log_and_raise;
    action.sa_flags = SA_RESETHAND | SA_NODEFER;
  } else {
    action.sa_sigaction = mask_and_chain;
    action.sa_flags = SA_SIGINFO;
    sigfillset(&action.sa_mask);
  }
  int signals[] = {SIGSEGV, SIGBUS, SIGFPE};
  for (int i = 0; i < 3; ++i) {
    if (sigaction(signals[i], &action, &replaced[signals[i]]) != 0) return -1;
  }
  return 0;
}

/* Heap damage as another library leaves it: a freed chunk in the calling
   thread's unsorted bin with a wild back pointer. The next allocation that
   sorts the bin faults inside malloc, holding the arena's lock. */
void crash_in_malloc(void) {
  char* chunk = malloc(4096);
  void* volatile fence = malloc(64);
  free(chunk);
  ((void* volatile*)chunk)[1] = (void*)16;
  fence = malloc(8192);
}
"""


def compile_reporter(directory):
    if shutil.which("cc") is None:
        raise unittest.SkipTest("no C compiler")
    source = directory / "reporter.c"
    source.write_text(REPORTER_SOURCE)
    library = directory / "reporter.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-O0", "-o", library, source], check=True)
    return library


CRASH_CHILD = r"""
import ctypes, json, mmap, os, pathlib, sys, threading
from corvantile import rs
reporter, kind, db, crash, terms = ctypes.CDLL(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4], json.loads(sys.argv[5])
if kind >= 0:
    assert reporter.install(kind) == 0
rs.lookup_fullmap_terms(db, terms)
print("crashing", flush=True)
if crash == "segv":
    ctypes.string_at(0)
elif crash == "bus":
    path = pathlib.Path(sys.argv[6]) / "cut"
    path.write_bytes(bytes(8192))
    with open(path, "r+b") as f:
        cut = mmap.mmap(f.fileno(), 8192)
    os.truncate(path, 0)
    cut[0]
else:  # on a thread that never read
    thread = threading.Thread(target=reporter.crash_in_malloc)
    thread.start()
    thread.join()
print("survived", flush=True)
"""

MASKED_CHILD = r"""
import ctypes, json, os, pathlib, shutil, sys, time
from corvantile import rs
reporter, source, work, terms = ctypes.CDLL(sys.argv[1]), pathlib.Path(sys.argv[2]), pathlib.Path(sys.argv[3]), json.loads(sys.argv[4])
shutil.copytree(source, work)
db = work / "fullmap.redb"
rs.lookup_fullmap_terms(db, terms)
assert reporter.install(2) == 0
for shard in work.glob("fullmap.s*.redb"):
    os.truncate(shard, 8192)
try:
    rs.lookup_fullmap_terms(db, terms)
    print("answered", flush=True)
except RuntimeError:
    print("RuntimeError", flush=True)
time.sleep(60)
"""


class DamagedDatabaseTest(FaultTestCase):
    def setUp(self):
        super().setUp()
        self.db = self.build(self.tmp / "good" / "fullmap.redb", threads=2)
        shutil.rmtree(self.tmp / "good" / "fullmap.redb.spill.d", ignore_errors=True)

    def damaged_copy(self, name):
        copy = self.tmp / name
        shutil.copytree(self.db.parent, copy)
        return copy / "fullmap.redb"

    def test_damaged_files_refuse_to_open(self):
        other = self.build(self.tmp / "other" / "fullmap.redb")

        def truncate(p):
            p.write_bytes(p.read_bytes()[: p.stat().st_size // 2])

        def zero(p):
            p.write_bytes(bytes(p.stat().st_size))

        cases = [
            ("main truncated", "fullmap.redb", truncate),
            ("main zeroed", "fullmap.redb", zero),
            ("main is text", "fullmap.redb", lambda p: p.write_text("not a database\n")),
            ("main empty", "fullmap.redb", lambda p: p.write_bytes(b"")),
            ("shard truncated", "fullmap.s3.redb", truncate),
            ("shard zeroed", "fullmap.s3.redb", zero),
            ("shard empty", "fullmap.s3.redb", lambda p: p.write_bytes(b"")),
            ("shard missing", "fullmap.s9.redb", lambda p: p.unlink()),
            ("shard of another build", "fullmap.s5.redb",
             lambda p: shutil.copyfile(other.parent / "fullmap.s5.redb", p)),
        ]
        for i, (label, name, damage) in enumerate(cases):
            db = self.damaged_copy(f"case{i}")
            damage(db.parent / name)
            with self.subTest(label):
                self.assert_not_openable(db)
        self.assert_complete(self.db)

    def test_random_damage_never_crashes_and_fails_as_runtime_error(self):
        work = self.tmp / "work"
        work.mkdir()
        trials = 60
        child = run_child(CORRUPTION_CHILD, self.db.parent, work, trials, 20, json.dumps(TERMS), timeout=300)
        outcomes = [json.loads(line) for line in child.stdout.splitlines()]
        self.assertEqual(child.returncode, 0,
                         f"crashed after {len(outcomes)} trials: {child.stderr[-2000:]}")
        self.assertEqual(len(outcomes), trials)
        failed = [o for o in outcomes if "error" in o]
        self.assertEqual({o["type"] for o in failed} - {"RuntimeError"}, set(), failed)
        self.assertTrue(failed, "no damage was noticed at all")
        for o in outcomes:
            if "rows" not in o:
                continue
            # What a damaged file can still return silently is limited to
            # stored bytes of a valid shape: hits are always for the asked term.
            asked = set(TERMS)
            for row in o["rows"]:
                self.assertIn(row["term"], asked)
                self.assertIsInstance(row["CURIE"], str)
                self.assertIsInstance(row["TAXON_ID"], int)


    def test_damaged_files_raise_whatever_fault_handler_runs(self):
        # Python's fault handler enabled after the guard sees a fault first
        # and raises it again on the same thread; a Python-level handler that
        # once received a sent signal must not cost the guard. Sent from
        # another process, the signal still ends an idle reader.
        cases = [("never", [], signal.SIGBUS), ("at start-up", ["-X", "faulthandler"], signal.SIGSEGV),
                 ("after the first read", [], signal.SIGFPE), ("python handler", [], signal.SIGSEGV)]
        for mode, flags, sent in cases:
            with self.subTest(mode):
                child = subprocess.Popen([sys.executable, *flags, "-c", GUARD_CHILD, self.db.parent, self.tmp / mode,
                                          mode, json.dumps(TERMS)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                         text=True)
                line = child.stdout.readline()
                child.send_signal(sent)
                err = child.communicate(timeout=120)[1]
                self.assertTrue(line, f"died by {child.returncode}: {err[-2000:]}")
                report = json.loads(line)
                self.assertEqual([o[0] for o in report["outcomes"]], ["RuntimeError"] * 4, report)
                self.assertEqual(report["caught"], [signal.SIGBUS] if mode == "python handler" else [])
                # AddressSanitizer's handler, when preloaded, is the one replaced: it reports and aborts.
                self.assertEqual(child.returncode,
                                 -signal.SIGABRT if "asan" in os.environ.get("LD_PRELOAD", "") else -sent)

    def test_genuine_crashes_end_by_their_signal_under_one_shot_reporters(self):
        # A reporter installed before the first read is the handler the guard
        # replaced: it runs once, as the kernel would run it, and the crash
        # then takes the default action. A fault inside malloc on a thread
        # that never read must not wait in the guard for malloc's own lock.
        reporter = compile_reporter(self.tmp)
        cases = [(kind, crash) for kind in (0, 1) for crash in ("segv", "bus")]
        if "asan" not in os.environ.get("LD_PRELOAD", ""):  # a preloaded sanitizer's malloc reports the damage
            cases.append((-1, "malloc"))
        for kind, crash in cases:
            with self.subTest(reporter=["none", "log and return", "raise again"][kind + 1], crash=crash):
                try:
                    child = run_child(CRASH_CHILD, reporter, kind, self.db, crash, json.dumps(TERMS[:8]), self.tmp,
                                      timeout=20)
                except subprocess.TimeoutExpired:
                    self.fail("the crash hung")
                sent = signal.SIGBUS if crash == "bus" else signal.SIGSEGV
                self.assertEqual((child.returncode, child.stdout), (-sent, "crashing\n"), child.stderr[-2000:])
                self.assertEqual(child.stderr.count("reported"), 0 if kind < 0 else 1, child.stderr[-2000:])

    def test_a_damaged_read_under_a_masking_reporter_leaves_no_signal_blocked(self):
        reporter = compile_reporter(self.tmp)
        child = subprocess.Popen([sys.executable, "-c", MASKED_CHILD, reporter, self.db.parent, self.tmp / "work",
                                  json.dumps(TERMS)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.assertEqual(child.stdout.readline(), "RuntimeError\n")
        child.send_signal(signal.SIGTERM)
        try:
            err = child.communicate(timeout=20)[1]
        except subprocess.TimeoutExpired:
            child.kill()
            self.fail(f"SIGTERM stayed blocked: {child.communicate()[1][-2000:]}")
        self.assertIn("reported", err)
        self.assertEqual(child.returncode, -signal.SIGTERM, err[-2000:])

    def test_files_cut_short_or_copied_over_under_open_handles_raise(self):
        def fullmap(name, rows):
            synonyms = self.tmp / f"{name}.ndjson"
            synonyms.write_bytes(lines(rows))
            return self.build(self.tmp / name / "fullmap.redb", classes=[], synonyms=[synonyms])

        n = 24
        rows = [{"curie": f"{'Q' * 5000 if i % 2 else 'A'}:{i}", "names": [f"long {i} " + "z" * 5000, f"short {i}"],
                 "types": ["biolink:" + ("C" * 5000 if i % 3 else "Gene")], "preferred_name": f"P{i} " + "y" * 5000}
                for i in range(n)]
        db = fullmap("big", rows)
        shutil.rmtree(db.parent / "fullmap.redb.spill.d", ignore_errors=True)
        terms = [r["names"][0] for r in rows] + [r["names"][1] for r in rows]
        # The largest shard but the first, whose build id every rows lookup reads first.
        shard = max((p for p in db.parent.glob("fullmap.s*.redb") if p.name != "fullmap.s0.redb"),
                    key=lambda p: p.stat().st_size)
        step = mmap.PAGESIZE
        cut = [(p.name, at) for p in (db, shard) for at in range(2 * step, p.stat().st_size, step)]
        odd = [(p.name, p.stat().st_size * k // 5 + 123) for p in (db, shard) for k in range(1, 5)]
        others = [fullmap(f"other{k}", rows[k::3]) for k in range(2)]
        copied = [(name, [str(other.parent / name) for other in others]) for name in (db.name, shard.name)]
        work = self.tmp / "work"
        work.mkdir()
        child = run_child(CHANGED_CHILD, db.parent, work, json.dumps(cut + odd + copied), json.dumps(terms), timeout=120)
        outcomes = [json.loads(line) for line in child.stdout.splitlines()]
        self.assertEqual(child.returncode, 0, f"died after {len(outcomes)} cases: {child.stderr[-2000:]}")
        self.assertEqual(len(outcomes), len(cut + odd + copied))
        # A cut at a page boundary leaves whole pages before it; a read of any
        # page after it is the damaged page it now is.
        for case, outcome in zip(cut, outcomes):
            with self.subTest(case=case):
                self.assertLessEqual(set(outcome.values()), {"same", "RuntimeError: " + CORRUPTED}, outcome)
        raised = {call for outcome in outcomes[:len(cut)] for call, seen in outcome.items() if seen != "same"}
        self.assertEqual(raised, {"rows", "pairs", "curies", "prefixes", "categories", "sources"})

    def test_damaged_meta_pages_never_kill_a_reader(self):
        files = ["fullmap.redb", "fullmap.s3.redb"]
        page = struct.unpack_from("<I", self.db.read_bytes(), 40)[0]
        # The same files with the newest meta record copied to page 1, one
        # transaction later.
        sources = {"newest0": self.db.parent, "newest1": self.tmp / "newest1"}
        shutil.copytree(self.db.parent, sources["newest1"])
        for name in files:
            path = sources["newest1"] / name
            data = bytearray(path.read_bytes())
            data[page + 16:page + META_END] = data[16:META_END]
            struct.pack_into("<Q", data, page + 144, struct.unpack_from("<Q", data, 144)[0] + 1)
            path.write_bytes(data)

        def put(offset, width, value):
            return [(offset, (value & ((1 << 8 * width) - 1)).to_bytes(width, "little").hex())]

        # Page size 0 in page 0 divided by zero inside LMDB; one past the
        # file in the newest page placed the other meta page outside the
        # mapping.
        killers = [(source, name, put(number * page + 40, 4, size)) for name in files
                   for source, number, size in (("newest0", 0, 0), ("newest1", 1, 32 << 20), ("newest1", 1, 2**31 - 1))]
        rng = random.Random(5)
        sample = []
        for i in range(48):
            source, name, at = rng.choice(list(sources)), rng.choice(files), rng.randrange(2) * page
            if i % 2:
                offset, width = rng.choice(META_FIELDS)
                sample.append((source, name, put(at + offset, width, rng.choice(META_VALUES))))
            else:
                value = rng.choice([0x00, 0xFF, rng.randrange(256)])
                sample.append((source, name, put(at + rng.randrange(META_END), 1, value)))
        cases = killers + sample
        work = self.tmp / "work"
        work.mkdir()
        child = run_child(inspect.getsource(fullmap_answers) + META_CHILD,
                          json.dumps({k: str(v) for k, v in sources.items()}), work, json.dumps(cases),
                          json.dumps(TERMS), timeout=300)
        lines = child.stdout.splitlines()
        done = len(lines) - 1  # after the line of the variant's answers
        self.assertEqual(child.returncode, 0,
                         f"died in {cases[done] if 0 <= done < len(cases) else 'setup'}: {child.stderr[-2000:]}")
        self.assertEqual(lines[0], "true", "the file with its newest meta in page 1 answers differently")
        outcomes = [json.loads(line) for line in lines[1:]]
        self.assertEqual(outcomes[:len(killers)], [["RuntimeError", OUTDATED]] * len(killers))
        for case, outcome in zip(sample, outcomes[len(killers):]):
            with self.subTest(case=case):
                self.assertIn(outcome[0], ("identical", "RuntimeError"), outcome)


INTERRUPT_CHILD = r"""
import json, os, signal, sys, threading
# A shell that starts a background job without job control ignores SIGINT for it.
signal.signal(signal.SIGINT, signal.default_int_handler)
# One core: oneTBB then lends the pool no worker of its own.
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
from corvantile import rs
classes, synonyms, outputs = sys.argv[1], sys.argv[2], sys.argv[3:]
main = threading.get_ident()
report = []
for threads, output in zip((1, 4), outputs):
    calls = []
    def progress(stage, done, total, message):
        calls.append((threading.get_ident(), message))
        if len(calls) == 1:
            os.kill(os.getpid(), signal.SIGINT)
    try:
        rs.build_fullmap_db(output, [classes], [synonyms], threads=threads, progress=progress)
        interrupted = False
    except KeyboardInterrupt:
        interrupted = True
    report.append({"interrupted": interrupted, "calls": len(calls), "last": calls[-1][1] if calls else None,
                   "on_main": sum(ident == main for ident, _ in calls)})
print(json.dumps(report))
"""


class ProgressTest(FaultTestCase):
    def test_a_failing_or_odd_progress_never_stops_the_build(self):
        calls = []

        def raising(*args):
            calls.append(args)
            raise ValueError("from progress")

        class BadStr(Exception):
            def __str__(self):
                raise RuntimeError("even the message fails")

        def raises_bad_str(*args):
            raise BadStr()

        def exits(*args):
            raise SystemExit(3)

        def reenters(*args):
            # Calls back into the module while the build waits for it.
            rs.xxh64("x")
            with self.assertRaises(RuntimeError):
                rs.lookup_fullmap_terms(self.tmp / "absent.redb", ["x"])

        progresses = {"raises": raising, "bad message": raises_bad_str, "exits": exits,
                      "wrong arity": lambda: None, "not callable": 42, "re-enters": reenters}
        for i, (label, progress) in enumerate(progresses.items()):
            with self.subTest(label):
                output = self.build(self.tmp / f"p{i}" / "fullmap.redb", progress=progress, threads=3)
                self.assert_complete(output)
                # No exception is left pending for the next call.
                self.assertEqual(rs.xxh64(""), "ef46db3751d8e999")
        self.assertTrue(calls)
        self.assertEqual({c[0] for c in calls}, {0, 1, 2})

    def test_progress_never_runs_on_the_calling_thread_so_ctrl_c_survives_the_build(self):
        # A report on the caller's thread would run the pending SIGINT handler
        # inside the callable, whose exception the build discards.
        outputs = [self.tmp / f"i{n}" / "fullmap.redb" for n in (1, 4)]
        child = run_child(INTERRUPT_CHILD, self.classes, self.synonyms, *outputs)
        self.assertEqual(child.returncode, 0, child.stderr)
        for output, build in zip(outputs, json.loads(child.stdout)):
            with self.subTest(output=output.parent.name):
                self.assertTrue(build["interrupted"], build)
                self.assertEqual(build["on_main"], 0, build)
                self.assertGreater(build["calls"], 1)
                self.assertTrue(build["last"].startswith("wrote "), build)
                self.assertFalse(output.with_name("fullmap.redb.spill.d").exists())
                self.assert_complete(output)

SUBINTERPRETER_CHILD = r"""
import _interpreters, json, sys
classes, synonyms, tmp = sys.argv[1:4]
out = {}
for kind, config in [("legacy", _interpreters.new_config("legacy")),
                     ("isolated", _interpreters.new_config("isolated", gil="shared"))]:
    interp = _interpreters.create(config)
    failure = _interpreters.exec(interp, f'''
import sys
from corvantile import rs
def progress(*args):
    import colorsys
for i in range(3):
    rs.build_fullmap_db("{tmp}/{kind}%d.redb" % i, ["{classes}"], ["{synonyms}"], threads=4, progress=progress)
    assert "colorsys" in sys.modules, "the callable ran in another interpreter"
    assert rs.lookup_fullmap_terms("{tmp}/{kind}%d.redb" % i, ["alpha 7 name 0"])[0]["CURIE"] == "A:7"
''')
    out[kind] = failure and [failure.type.__name__, failure.msg]
    _interpreters.destroy(interp)
out["imported in main"] = "colorsys" in sys.modules
print(json.dumps(out))
"""

DAEMON_AT_EXIT_CHILD = r"""
import sys, threading, time
from corvantile import rs
db = sys.argv[1]
terms = [f"alpha {i % 300} name {i % 8}" for i in range(20000)]
started = threading.Event()

def lookups():
    while True:
        started.set()
        rs.lookup_fullmap_terms(db, terms, threads=2)

for _ in range(4):
    threading.Thread(target=lookups, daemon=True).start()
# Freed while the interpreter finalizes, so lookups end in the meantime.
garbage = [[i] for i in range(3_000_000)]
started.wait()
time.sleep(0.05)
"""

BUILD_IN_FINALIZER_CHILD = r"""
import sys
from corvantile import rs
output, classes, synonyms = sys.argv[1:4]

class Late:
    def __del__(self):
        rs.build_fullmap_db(output, [classes], [synonyms], threads=4, progress=lambda *args: None)
        print("built", flush=True)

late = Late()
late.cycle = late  # collected only as the interpreter finalizes
"""

DAEMON_CALLS_AT_EXIT_CHILD = r"""
import collections.abc, sys, threading, time
from corvantile import rs
synonyms, tmp, kind, delay = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4])
calls = []

def progress(*args):
    calls.append(args)
    if kind == "sleeping":
        time.sleep(0.02)
    else:
        end = time.perf_counter() + 0.02
        while time.perf_counter() < end:
            pass

class SlowValues(collections.abc.Sequence):
    def __len__(self):
        return 50
    def __getitem__(self, i):
        raise IndexError(i)
    def __iter__(self):
        for i in range(50):
            calls.append(i)
            time.sleep(0.001)
            yield str(i)

def calls_until_exit(k):
    while True:
        if kind == "iterating":
            rs.namespace_uuid("D", SlowValues())
        else:
            rs.build_fullmap_db(f"{tmp}/{k}/fullmap.redb", [], [synonyms], threads=2, progress=progress)

for k in range(3):
    threading.Thread(target=calls_until_exit, args=(k,), daemon=True).start()
deadline = time.monotonic() + 30
while not calls and time.monotonic() < deadline:  # a loaded machine starts slowly
    time.sleep(0.01)
time.sleep(delay)
print(len(calls), flush=True)
"""


class InterpreterLifeCycleTest(FaultTestCase):
    def test_progress_runs_in_the_calling_subinterpreter_or_the_import_is_refused(self):
        child = run_child(SUBINTERPRETER_CHILD, self.classes, self.synonyms, self.tmp)
        self.assertEqual(child.returncode, 0, child.stderr[-2000:])
        self.assertEqual(json.loads(child.stdout), {
            "legacy": None,
            "isolated": ["ImportError", "module corvantile.rs does not support loading in subinterpreters"],
            "imported in main": False})

    def test_interpreter_exit_during_a_call_ends_the_process_quietly(self):
        db = self.build(self.tmp / "fullmap.redb")
        output = self.tmp / "late" / "fullmap.redb"
        for label, child in [("daemon lookups", run_child(DAEMON_AT_EXIT_CHILD, db)),
                             ("build in a finalizer",
                              run_child(BUILD_IN_FINALIZER_CHILD, output, self.classes, self.synonyms))]:
            with self.subTest(label):
                self.assertEqual(child.returncode, 0, child.stderr[-2000:])  # -6: std::terminate
        self.assertEqual(child.stdout, "built\n")
        self.assert_complete(output)

    def test_interpreter_exit_inside_python_code_that_daemon_calls_run_ends_the_process_quietly(self):
        # The interpreter ends a daemon thread where it takes the GIL back:
        # inside a progress callable that runs past the switch interval or
        # sleeps, or inside the iteration of an argument. Meanwhile the
        # process exits under the other threads' builds.
        self.synonyms.write_bytes(lines({"curie": f"S:{i}", "names": [f"syn {i} a", f"syn {i} b"],
                                         "preferred_name": f"S {i}"} for i in range(60_000)))
        cases = [(kind, round(0.3 + 0.6 * i / 29, 3)) for i in range(30) for kind in ("busy", "sleeping")]
        cases += [("iterating", round(0.3 + 0.6 * i / 11, 3)) for i in range(12)]

        def run(case):
            kind, delay = case
            try:
                child = run_child(DAEMON_CALLS_AT_EXIT_CHILD, self.synonyms, self.tmp / f"{kind}-{delay}", kind, delay,
                                  timeout=60)
            except subprocess.TimeoutExpired:
                return "hung", "", ""
            return child.returncode, child.stdout, child.stderr

        with concurrent.futures.ThreadPoolExecutor(min(8, max(4, os.cpu_count() or 1))) as pool:
            outcomes = dict(zip(cases, pool.map(run, cases)))
        # -6 with "terminate called without an active exception": std::terminate;
        # -11: references dropped without the GIL by the unwind. No Python
        # run in the calls: the builds failed.
        failed = [f"{kind} after {delay} s: {code}, {stdout.strip()} Python calls, {stderr.strip()[-300:]}"
                  for (kind, delay), (code, stdout, stderr) in outcomes.items()
                  if code != 0 or stderr or stdout.strip() in ("", "0")]
        self.maxDiff = None
        self.assertEqual(failed, [])


class RebuildUnderLookupsTest(FaultTestCase):
    GENERATIONS = {"A": 0, "B": 1}

    def write_generation(self, prefix):
        rows = [{"curie": f"{prefix}:{i}", "names": [f"term {i}"], "preferred_name": f"{prefix} {i}"}
                for i in range(400)]
        self.synonyms.write_bytes(lines(rows))

    def test_lookups_during_rebuilds_see_one_whole_generation(self):
        db = self.tmp / "live" / "fullmap.redb"
        terms = [f"term {i}" for i in range(400)]
        self.write_generation("A")
        self.build(db, classes=[])
        stop = threading.Event()
        answers, errors, unexpected = {}, {}, []
        lock = threading.Lock()

        def reader(seed):
            rng = random.Random(seed)
            while not stop.is_set():
                budget = rng.choice([1, 2, 8])
                try:
                    rows = rs.lookup_fullmap_terms(db, terms, threads=budget)
                except RuntimeError as e:
                    with lock:
                        errors[str(e)] = errors.get(str(e), 0) + 1
                    continue
                except BaseException as e:
                    with lock:
                        unexpected.append(repr(e))
                    return
                prefixes = {r["CURIE"].split(":")[0] for r in rows}
                whole = len(prefixes) == 1 and [r["term"] for r in rows] == terms and all(
                    r["CURIE"] == f"{r['CURIE'].split(':')[0]}:{r['term'].split()[1]}" for r in rows)
                with lock:
                    key = prefixes.pop() if whole else f"mixed or partial: {sorted(prefixes)} {len(rows)} rows"
                    answers[key] = answers.get(key, 0) + 1

        threads = [threading.Thread(target=reader, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        try:
            for round_ in range(6):
                self.write_generation("B" if round_ % 2 == 0 else "A")
                self.build(db, classes=[], threads=2)
                time.sleep(0.2)
        finally:
            stop.set()
            for t in threads:
                t.join(60)
        self.assertEqual(unexpected, [])
        self.assertEqual(set(answers) - {"A", "B"}, set(), answers)
        self.assertTrue(answers, errors)
        # A rebuild in progress is no reason to tell the caller to rebuild.
        self.assertEqual([e for e in errors if "rebuild with" in e], [], errors)
        # The last build is what a lookup sees now.
        self.assertEqual({r["CURIE"][0] for r in rs.lookup_fullmap_terms(db, terms)}, {"A"})


COLLIDING_BUILD_CHILD = r"""
import sys
from corvantile import rs
try:
    rs.build_fullmap_db(sys.argv[1], [], [sys.argv[2]])
    print("built")
except RuntimeError as e:
    print(e)
"""


RACING_BUILD_CHILD = r"""
import sys, time
from corvantile import rs
output, classes, synonyms, start = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4])
while time.time() < start:  # every racer starts within microseconds of the others
    pass
try:
    # Many threads started before the stages widen any gap the build leaves.
    rs.build_fullmap_db(output, [classes], [synonyms], threads=64, progress=lambda *report: None)
    print("built")
except RuntimeError as e:
    print(e)
"""

# Each step runs in a child forked from this process, which has imported
# the module but started no thread, as another user with its own umask.
LOCK_USERS_CHILD = r"""
import fcntl, json, os, sys
from corvantile import rs
classes, synonyms, steps = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
results = []
holders = []
for step in steps:
    r, w = os.pipe()
    if "hold" in step:
        release_r, release_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        try:
            os.setgroups(step["groups"])
            os.setgid(step["groups"][0])
            os.setuid(step["uid"])
            os.umask(step["umask"])
            if "output" in step:
                rs.build_fullmap_db(step["output"], [classes], [synonyms], threads=1)
                out = "built"
            elif "hold" in step:
                # Whatever locks a reader can take, held while the later steps run.
                fd = os.open(step["hold"], os.O_RDONLY)
                fcntl.lockf(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
                fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
                out = "held"
            else:
                os.close(os.open(step["write"], os.O_WRONLY))
                out = "writable"
        except (RuntimeError, OSError) as e:
            out = str(e)
        os.write(w, out.encode())
        if "hold" in step:
            os.close(w)
            os.close(release_w)
            os.read(release_r, 1)
        os._exit(0)
    os.close(w)
    with os.fdopen(r) as f:
        results.append(f.read())
    if "hold" in step:
        os.close(release_r)
        holders.append((pid, release_w))
    else:
        os.waitpid(pid, 0)
for pid, release in holders:
    os.close(release)
    os.waitpid(pid, 0)
print(json.dumps(results))
"""


def posix_acl(entries):
    """A raw access ACL attribute of (tag, permissions, id) entries."""
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", tag, perm, uid) for tag, perm, uid in entries)


ANYONE = 0xFFFFFFFF


class CollidingBuildTest(FaultTestCase):
    def test_a_second_build_of_the_same_files_fails_at_once_and_changes_nothing(self):
        out = self.tmp / "out"
        output = out / "fm.redb"
        # Relative spellings need the working directory; children need their module path whatever it is.
        os.environ["PYTHONPATH"] = os.path.dirname(os.path.dirname(os.path.abspath(rs.__file__)))
        self.addCleanup(os.chdir, os.getcwd())
        os.chdir(self.tmp)
        other = self.tmp / "other.ndjson"
        other.write_bytes(lines([{"curie": "Z:1", "names": ["zeta"]}]))
        attempts = {}

        def collide(stage, done, total, message):
            if attempts or stage != 1:
                return
            # Every spelling of the output, and outputs sharing its files.
            for spelling in ["out/fm.redb", "./out//fm.redb", f"{out}/../out/fm.redb", "out/fm", "out/fm.s3.redb"]:
                try:
                    rs.build_fullmap_db(spelling, [], [other])
                    attempts[spelling] = "built"
                except RuntimeError as e:
                    attempts[spelling] = str(e)
            attempts["other process"] = run_child(COLLIDING_BUILD_CHILD, output, other).stdout.strip()
            # Another output cannot share the scratch directory in use.
            os.environ["CORVANTILE_FULLMAP_SPILL_DIR"] = str(out / "fm.redb.spill.d")
            try:
                rs.build_fullmap_db(out / "sharing.redb", [], [other])
                attempts["sharing"] = "built"
            except RuntimeError as e:
                attempts["sharing"] = str(e)
            del os.environ["CORVANTILE_FULLMAP_SPILL_DIR"]
            # Other outputs in the same directory build side by side.
            rs.build_fullmap_db(out / "beside.redb", [], [other])
            attempts["beside"] = [r["CURIE"] for r in rs.lookup_fullmap_terms(out / "beside.redb", ["zeta"])]

        self.build(output, progress=collide)
        self.assertEqual(attempts.pop("beside"), ["Z:1"])
        self.assertEqual(attempts.pop("sharing"), f"spill directory {out}/fm.redb.spill.d is in use by another build")
        for spelling, outcome in attempts.items():
            with self.subTest(spelling):
                self.assertRegex(outcome, r"^another build is writing the fullmap .*fm")
        # The first build is whole and nothing the refused ones named was touched.
        self.assert_complete(output)
        self.assertFalse((out / "fm.s3.s0.redb").exists())
        # Once it is done, the same output builds again, from any spelling.
        self.assertEqual(run_child(COLLIDING_BUILD_CHILD, "./out/fm.redb", other).stdout.strip(), "built")

    def test_builds_started_together_on_one_spill_directory_lose_nothing(self):
        # Two outputs, one scratch directory: whichever build is refused must
        # keep its old database, whether or not the directory existed.
        os.environ["PYTHONPATH"] = os.path.dirname(os.path.dirname(os.path.abspath(rs.__file__)))
        shared = self.tmp / "shared-spill"
        os.environ["CORVANTILE_FULLMAP_SPILL_DIR"] = str(shared)
        outputs = [self.build(self.tmp / name / "fm.redb") for name in ("a", "b")]
        outcomes = set()
        for round in range(16):
            if round % 2:
                shutil.rmtree(shared, ignore_errors=True)
            else:
                shared.mkdir(exist_ok=True)
            start = time.time() + 0.5
            racers = [subprocess.Popen([sys.executable, "-c", RACING_BUILD_CHILD, out, self.classes, self.synonyms,
                                        str(start)], stdout=subprocess.PIPE, text=True) for out in outputs]
            for out, racer in zip(outputs, racers):
                outcome = racer.communicate(timeout=120)[0].strip()
                outcomes.add(outcome)
                with self.subTest(round=round, output=str(out)):
                    self.assertIn(outcome, ["built", f"spill directory {shared} is in use by another build"])
                    self.assert_complete(out)
        self.assertIn("built", outcomes)

    @unittest.skipUnless(hasattr(os, "geteuid") and os.geteuid() == 0, "switching users needs root")
    def test_the_lock_file_admits_whoever_may_write_the_directory(self):
        self.tmp.chmod(0o755)
        public, team, own = self.tmp / "public", self.tmp / "team", self.tmp / "own"
        for d, mode in [(public, 0o1777), (team, 0o2775), (own, 0o755)]:
            d.mkdir()
            d.chmod(mode)
        os.chown(team, 0, 4300)
        os.chown(own, 4201, 4201)
        alice = {"uid": 4201, "groups": [4201, 4300], "umask": 0o077}
        bob = {"uid": 4202, "groups": [4202, 4300], "umask": 0o077}
        carol = {"uid": 4203, "groups": [4203], "umask": 0o022}
        root = {"uid": 0, "groups": [0], "umask": 0o077}
        steps = [
            ({**alice, "output": f"{public}/a.redb"}, "built"),
            ({**bob, "output": f"{public}/b.redb"}, "built"),
            ({**alice, "output": f"{team}/a.redb"}, "built"),
            ({**bob, "output": f"{team}/b.redb"}, "built"),
            ({**carol, "write": f"{team}/.fullmap-build.lock"}, "Permission denied"),
            # Nobody who may not create files there may open the lock, to hold a lock that refuses builds.
            ({**carol, "hold": f"{team}/.fullmap-build.lock"}, "Permission denied"),
            ({**root, "output": f"{team}/r.redb"}, "built"),
            ({**root, "output": f"{own}/first.redb"}, "built"),
            ({**alice, "output": f"{own}/a.redb"}, "built"),
            ({**bob, "write": f"{own}/.fullmap-build.lock"}, "Permission denied"),
            ({**bob, "output": f"{own}/b.redb"},
             f"cannot open the build lock file {own}/.fullmap-build.lock: Permission denied (os error 13)"),
        ]
        run = run_child(LOCK_USERS_CHILD, self.classes, self.synonyms, json.dumps([step for step, _ in steps]))
        self.assertEqual(run.returncode, 0, run.stderr[-2000:])
        for (step, expected), outcome in zip(steps, json.loads(run.stdout)):
            with self.subTest(step=step):
                self.assertIn(expected, outcome)
        for built in [public / "a.redb", public / "b.redb", team / "b.redb", own / "a.redb"]:
            self.assert_complete(built)
        # Read goes with write: no entry may only read the lock.
        for d, mode in [(public, 0o666), (team, 0o660), (own, 0o600)]:
            self.assertEqual(oct((d / ".fullmap-build.lock").stat().st_mode & 0o777), oct(mode))

    @unittest.skipUnless(hasattr(os, "geteuid") and os.geteuid() == 0, "linking others' files needs root")
    def test_a_lock_file_linked_in_from_elsewhere_is_used_as_it_stands(self):
        # Anyone who may read and write a file may link it into a shared
        # directory as the lock; building there must leave it exactly so.
        self.tmp.chmod(0o755)
        elsewhere = self.tmp / "elsewhere"
        elsewhere.mkdir()
        public, own, mine = self.tmp / "public", self.tmp / "own", self.tmp / "mine"
        for d, mode in [(public, 0o1777), (own, 0o755), (mine, 0o1777)]:
            d.mkdir()
            d.chmod(mode)
        os.chown(own, 4201, 4201)
        linked = {}
        for d, owner, mode in [(public, (0, 50), 0o640), (own, (0, 50), 0o660), (mine, (4201, 4201), 0o600)]:
            target = elsewhere / d.name
            target.write_bytes(b"keep me")
            os.chown(target, *owner)
            target.chmod(mode)
            os.link(target, d / ".fullmap-build.lock")
            linked[target] = os.stat(target)
        alice = {"uid": 4201, "groups": [4201], "umask": 0o022}
        steps = [{"uid": 0, "groups": [0], "umask": 0o022, "output": f"{public}/fm.redb"},
                 {"uid": 0, "groups": [0], "umask": 0o022, "output": f"{own}/fm.redb"},
                 {**alice, "output": f"{mine}/fm.redb"}]
        run = run_child(LOCK_USERS_CHILD, self.classes, self.synonyms, json.dumps(steps))
        self.assertEqual(run.returncode, 0, run.stderr[-2000:])
        self.assertEqual(json.loads(run.stdout), ["built"] * 3)
        for target, before in linked.items():
            with self.subTest(target.name):
                after = os.stat(target)
                self.assertEqual((after.st_uid, after.st_gid, oct(after.st_mode)),
                                 (before.st_uid, before.st_gid, oct(before.st_mode)))
                self.assertEqual(target.read_bytes(), b"keep me")
        # One that the builder may not write is refused, saying how to mend it.
        bob = {"uid": 4202, "groups": [4202], "umask": 0o022, "output": f"{own}/b.redb"}
        run = run_child(LOCK_USERS_CHILD, self.classes, self.synonyms, json.dumps([bob]))
        self.assertEqual(json.loads(run.stdout), [
            f"cannot open the build lock file {own}/.fullmap-build.lock: Permission denied (os error 13); "
            f"remove it when no build is running, or let everyone who builds in {own} write it"])

    @unittest.skipUnless(hasattr(os, "geteuid") and os.geteuid() == 0, "switching users needs root")
    def test_a_directory_shared_through_its_acl_admits_the_users_it_names(self):
        # Owner rwx, alice and bob rwx, owning group and others r-x; groups
        # r-x and -w-, neither of which lets its members create files.
        entries = posix_acl([(0x01, 7, ANYONE), (0x02, 7, 4201), (0x02, 7, 4202), (0x04, 5, ANYONE), (0x08, 5, 4310),
                             (0x08, 2, 4311), (0x10, 7, ANYONE), (0x20, 5, ANYONE)])
        self.tmp.chmod(0o755)
        dirs = {"access": self.tmp / "access", "access and default": self.tmp / "default"}
        for name, d in dirs.items():
            d.mkdir()
            try:
                os.setxattr(d, "system.posix_acl_access", entries)
                if name == "access and default":
                    os.setxattr(d, "system.posix_acl_default", entries)
            except OSError as e:
                self.skipTest(f"the file system takes no ACLs: {e}")
        alice = {"uid": 4201, "groups": [4201], "umask": 0o022}
        bob = {"uid": 4202, "groups": [4202], "umask": 0o077}
        carol = {"uid": 4203, "groups": [4203], "umask": 0o022}
        dave = {"uid": 4204, "groups": [4204, 4310, 4311], "umask": 0o022}
        steps = []
        for d in dirs.values():
            steps += [{**alice, "output": f"{d}/a.redb"}, {**bob, "output": f"{d}/b.redb"},
                      {**carol, "write": f"{d}/.fullmap-build.lock"}, {**dave, "write": f"{d}/.fullmap-build.lock"}]
        run = run_child(LOCK_USERS_CHILD, self.classes, self.synonyms, json.dumps(steps))
        self.assertEqual(run.returncode, 0, run.stderr[-2000:])
        outcomes = json.loads(run.stdout)
        for i, name in enumerate(dirs):
            with self.subTest(name):
                self.assertEqual(outcomes[4 * i:4 * i + 2], ["built", "built"])
                self.assertIn("Permission denied", outcomes[4 * i + 2])
                self.assertIn("Permission denied", outcomes[4 * i + 3])

    @unittest.skipUnless(hasattr(os, "geteuid") and os.geteuid() == 0, "switching users needs root")
    def test_the_directorys_owner_and_group_build_after_a_user_it_names_made_the_lock(self):
        # Bob, named in alice's directories, makes the lock as bob:bob.
        self.tmp.chmod(0o755)
        own, team = self.tmp / "own", self.tmp / "team"
        for d, group, group_perm in [(own, 4201, 5), (team, 4300, 7)]:
            d.mkdir()
            os.chown(d, 4201, group)
            try:
                os.setxattr(d, "system.posix_acl_access", posix_acl([(0x01, 7, ANYONE), (0x02, 7, 4202),
                                                                     (0x04, group_perm, ANYONE), (0x10, 7, ANYONE),
                                                                     (0x20, 5, ANYONE)]))
            except OSError as e:
                self.skipTest(f"the file system takes no ACLs: {e}")
        alice = {"uid": 4201, "groups": [4201], "umask": 0o022}
        bob = {"uid": 4202, "groups": [4202], "umask": 0o077}
        carol = {"uid": 4203, "groups": [4203, 4300], "umask": 0o022}
        steps = [{**bob, "output": f"{own}/b.redb"}, {**alice, "output": f"{own}/a.redb"},
                 {**bob, "output": f"{team}/b.redb"}, {**carol, "output": f"{team}/c.redb"},
                 {**alice, "output": f"{team}/a.redb"}]
        run = run_child(LOCK_USERS_CHILD, self.classes, self.synonyms, json.dumps(steps))
        self.assertEqual(run.returncode, 0, run.stderr[-2000:])
        self.assertEqual(json.loads(run.stdout), ["built"] * 5)

    def test_a_refused_build_deletes_nothing(self):
        output = self.build(self.tmp / "fm.redb")
        spill = self.tmp / "spill"
        foreign = self.tmp / "foreign"
        foreign.mkdir()
        (foreign / "notes.txt").write_text("mine")
        a_file = self.tmp / "a_file"
        a_file.write_text("x")
        (self.tmp / "to_file").symlink_to(a_file)
        (self.tmp / "to_nothing").symlink_to(self.tmp / "missing")
        cases = {
            "foreign": (foreign, "holds files that no fullmap build wrote"),
            "a file": (a_file, "Not a directory (os error 20)"),
            "a link to a file": (self.tmp / "to_file", "Not a directory (os error 20)"),
            "a link to nothing": (self.tmp / "to_nothing", "to_nothing is a symbolic link to nothing"),
            "the output's directory": (self.tmp, "holds the output or an input file"),
            "a shard": (self.tmp / "fm.s3.redb", "holds the output or an input file"),
        }
        for name, (path, text) in cases.items():
            with self.subTest(spill=name):
                os.environ["CORVANTILE_FULLMAP_SPILL_DIR"] = str(path)
                with self.assertRaises(RuntimeError) as cm:
                    self.build(output)
                self.assertIn(text, str(cm.exception))
                self.assert_complete(output)
        del os.environ["CORVANTILE_FULLMAP_SPILL_DIR"]
        self.assertEqual((foreign / "notes.txt").read_text(), "mine")
        self.assertEqual(a_file.read_text(), "x")

        # An output, or one of its shards, that is an input file.
        shard_input = self.tmp / "in.s3.redb"
        shutil.copy(self.synonyms, shard_input)
        linked = self.tmp / "linked.ndjson"
        linked.symlink_to(self.synonyms)
        for out, synonyms, named in [(self.synonyms, [self.synonyms], self.synonyms),
                                     (self.tmp / "in.redb", [shard_input], shard_input),
                                     (self.tmp / "x" / ".." / "in", [shard_input], shard_input),
                                     (linked, [self.synonyms], linked)]:
            with self.subTest(output=str(out)):
                with self.assertRaises(RuntimeError) as cm:
                    self.build(out, synonyms=synonyms)
                self.assertIn(f"fullmap file {named.parent}", str(cm.exception))
                self.assertIn("is one of the build's input files", str(cm.exception))
        self.assertEqual(self.synonyms.read_bytes(), lines(ROWS))
        self.assertEqual(shard_input.read_bytes(), lines(ROWS))
        with self.assertRaises(RuntimeError) as cm:
            self.build("")
        self.assertEqual(str(cm.exception), "the fullmap output path is empty")

        # Outputs that name a directory, or the lock file the builds share.
        lock = self.tmp / ".fullmap-build.lock"
        lock_file = lock.stat().st_ino
        for out in [f"{output}/", f"{output}/.", f"{self.tmp}/new/x/", f"{self.tmp}/new/..", str(lock),
                    f"{self.tmp}/new/.fullmap-build.lock"]:
            with self.subTest(output=out):
                with self.assertRaises(RuntimeError) as cm:
                    self.build(out)
                self.assertIn(f"the fullmap output path {out} names ", str(cm.exception))
        self.assertFalse((self.tmp / "new").exists())
        self.assertEqual(lock.stat().st_ino, lock_file)
        self.assert_complete(output)

        # A lock file that is a link or no regular file is refused and left.
        for kind, make, why in [("link", lambda p: p.symlink_to(a_file), "it is a symbolic link"),
                                ("fifo", os.mkfifo, "it is not a regular file")]:
            d = self.tmp / f"lock-{kind}"
            d.mkdir()
            make(d / ".fullmap-build.lock")
            with self.subTest(lock=kind), self.assertRaises(RuntimeError) as cm:
                self.build(d / "fm.redb")
            self.assertEqual(str(cm.exception), f"cannot open the build lock file {d}/.fullmap-build.lock: {why}; remove it")
            self.assertEqual(os.listdir(d), [".fullmap-build.lock"])
        self.assertEqual(a_file.read_text(), "x")


FORKING_BUILD_CHILD = r"""
import os, sys, time
from corvantile import rs
output, classes, synonyms = sys.argv[1:4]
children = []
def fork_while_writing(stage, done, total, message):
    if stage == 2 and not children:
        children.append(0)  # before fork() lets another writer's report in
        pid = os.fork()
        if pid == 0:
            time.sleep(30)
            os._exit(0)
        children[0] = pid
rs.build_fullmap_db(output, [classes], [synonyms], threads=2, progress=fork_while_writing)
print(children[0], flush=True)
sys.stdin.read()  # the parent test looks the database up meanwhile
"""


KILLED_FORKING_BUILD_CHILD = r"""
import os, signal, sys, time
from corvantile import rs
output, classes, synonyms = sys.argv[1:4]
forked = []
def fork_then_die(stage, done, total, message):
    if stage == 2 and not forked:
        forked.append(True)
        pid = os.fork()
        if pid == 0:
            quiet = os.open(os.devnull, os.O_RDWR)
            os.dup2(quiet, 1)
            os.dup2(quiet, 2)
            time.sleep(60)
            os._exit(0)
        print(pid, flush=True)
        os.kill(os.getpid(), signal.SIGKILL)
rs.build_fullmap_db(output, [classes], [synonyms], threads=2, progress=fork_then_die)
"""


class BuildHygieneTest(FaultTestCase):
    def test_forks_long_names_leftovers_and_more_threads_than_cores(self):
        # A child forked while shards are written keeps copies of every
        # descriptor; none may keep readers or the next build out.
        output = self.tmp / "forked" / "fullmap.redb"
        child = subprocess.Popen([sys.executable, "-c", FORKING_BUILD_CHILD, output, self.classes, self.synonyms],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            forked = int(child.stdout.readline())
            self.assert_complete(output)
            self.assert_complete(self.build(output))
            os.kill(forked, signal.SIGKILL)
        finally:
            child.communicate("", timeout=60)

        # Nor may one forked by a build that is then killed keep the next
        # build out while it lives on.
        killed = subprocess.run([sys.executable, "-c", KILLED_FORKING_BUILD_CHILD, output, self.classes,
                                 self.synonyms], capture_output=True, text=True, timeout=120)
        self.assertEqual(killed.returncode, -signal.SIGKILL, killed.stderr[-2000:])
        orphan = int(killed.stdout)
        try:
            self.assert_complete(self.build(output))
        finally:
            os.kill(orphan, signal.SIGKILL)

        # Names as long as a directory entry allows for all 17 files.
        stem = "n" * (255 - len(".s15.redb"))
        long_output = self.tmp / "long" / f"{stem}.redb"
        os.environ["CORVANTILE_FULLMAP_SPILL_DIR"] = str(self.tmp / "long-spill")
        self.assert_complete(self.build(long_output))
        del os.environ["CORVANTILE_FULLMAP_SPILL_DIR"]
        self.assertEqual(len(list(long_output.parent.iterdir())), 18)

        # Temporaries that killed builds left beside the files are cleared by
        # the next build of those files, and nothing else is.
        leftovers = self.tmp / "left"
        leftovers.mkdir()
        stale = [".fullmap.redb.tmp-4242-0", ".fullmap.s7.redb.tmp-1-99", ".fullmap.s3.redb.tmp-0123456789abcdef"]
        kept = [".other.redb.tmp-1-0", ".fullmap.redb.tmp-x", "fullmap.redb.tmp-1-0", ".fullmap.s16.redb.tmp-1-0"]
        for name in stale + kept:
            (leftovers / name).write_bytes(b"\0" * 16384)
        self.assert_complete(self.build(leftovers / "fullmap.redb"))
        self.assertEqual(sorted(p.name for p in leftovers.iterdir() if "tmp" in p.name), sorted(kept))

        # A pool of more threads than cores, exactly as asked and silently.
        threads = (os.cpu_count() or 1) * 2 + 1
        code = ("import sys; from corvantile import rs; "
                "rs.build_fullmap_db(sys.argv[1], [sys.argv[2], sys.argv[2]], [sys.argv[3]], threads=int(sys.argv[4]))")
        wide = self.tmp / "wide" / "fullmap.redb"
        run = run_child(code, wide, self.classes, self.synonyms, threads)
        self.assertEqual((run.returncode, run.stderr), (0, ""))
        self.assert_complete(wide)


DEDUP_CHILD = r"""
import sys
from corvantile import rs
try:
    rs.dedup_ndjson(sys.argv[1], sys.argv[2], False)
    print("done")
except RuntimeError as e:
    print(e)
"""

# Points argv[3] at the file of argv[1], then at that of argv[2], and again,
# until killed.
SWAPPING_NAME_CHILD = r"""
import os, sys
first, second, name = sys.argv[1:4]
while True:
    for target in (first, second):
        os.link(target, name + ".new")
        os.replace(name + ".new", name)
"""


class DedupFaultTest(FaultTestCase):
    def test_dedup_input_and_output_faults(self):
        good = self.tmp / "in.ndjson"
        good.write_bytes(b'{"a":1}\n{"a":2}\n')
        out = self.tmp / "out.ndjson"
        out.write_bytes(b"kept")
        with self.assertRaisesRegex(RuntimeError, r"\(os error 2\)"):
            rs.dedup_ndjson(self.tmp / "missing.ndjson", out, False)
        self.assertEqual(out.read_bytes(), b"kept")
        with self.assertRaisesRegex(RuntimeError, r"\(os error 21\)"):
            rs.dedup_ndjson(self.tmp, out, False)
        with self.assertRaisesRegex(RuntimeError, r"\(os error 2\)"):
            rs.dedup_ndjson(good, self.tmp / "no" / "such" / "dir.ndjson", False)
        with self.assertRaisesRegex(RuntimeError, r"\(os error 21\)"):
            rs.dedup_ndjson(good, self.tmp, False)
        with self.assertRaises(RuntimeError):
            rs.dedup_ndjson(good, good, False)
        self.assertEqual(good.read_bytes(), b'{"a":1}\n{"a":2}\n')

    def test_dedup_to_a_fifo_fails_without_a_reader_and_feeds_a_slow_one(self):
        fifo = self.tmp / "out.fifo"
        os.mkfifo(fifo)
        source = self.tmp / "many.ndjson"
        rows = "".join(json.dumps({"n": i, "pad": "x" * 40}, separators=(",", ":")) + "\n" for i in range(5000))
        source.write_text(rows)
        # Nobody reads: the call fails at once instead of waiting, with the
        # GIL held, for a reader that may never come.
        child = run_child(DEDUP_CHILD, source, fifo, timeout=60)
        self.assertEqual(child.stdout.strip(), "No such device or address (os error 6)", child.stderr)

        # A reader that is there gets every line, however slowly it drains
        # its small pipe.
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, reader)
        fcntl.fcntl(reader, fcntl.F_SETPIPE_SZ, 4096)
        child = subprocess.Popen([sys.executable, "-c", DEDUP_CHILD, source, fifo], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
        got = bytearray()
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            finished = child.poll() is not None
            try:
                chunk = os.read(reader, 4096)
            except BlockingIOError:
                chunk = None
            if chunk:
                got += chunk
            elif finished and chunk == b"":  # no writer left, and nothing in the pipe
                break
            time.sleep(0.001)
        out, err = child.communicate(timeout=60)
        self.assertEqual(out.strip(), "done", err)
        self.assertEqual(got.decode(), rows)

    def test_dedup_output_swapped_for_the_input_never_empties_it(self):
        source = self.tmp / "in.ndjson"
        source.write_bytes(b'{"a":1}\n{"a":2}\n')
        other = self.tmp / "other.ndjson"
        other.write_bytes(b"")
        out = self.tmp / "out.ndjson"
        swapper = subprocess.Popen([sys.executable, "-c", SWAPPING_NAME_CHILD, source, other, out])
        self.addCleanup(swapper.wait, 60)
        self.addCleanup(swapper.kill)
        while not out.exists():
            time.sleep(0.001)
        outcomes = set()
        for _ in range(3000):
            try:
                rs.dedup_ndjson(source, out, False)
                outcomes.add("done")
            except RuntimeError as e:
                outcomes.add(str(e))
            self.assertEqual(source.read_bytes(), b'{"a":1}\n{"a":2}\n')
        self.assertLessEqual(outcomes, {"done", "input and output are the same file"})

    def test_bad_bytes_mid_file_keep_what_came_before(self):
        cases = {
            "not UTF-8": (b'{"b":"\xc3"}\n{"a":3}\n', "stream did not contain valid UTF-8"),
            "binary": (b"\x00\x01\x02\n{\"a\":3}\n", "expected value at line 1 column 1"),
            "cut short at the end": (b'{"b":[1,2', "EOF while parsing a list at line 1 column 9"),
        }
        head = b'{"a":1}\n{"a":1}\n{"a":2}\n'
        for name, (tail, text) in cases.items():
            with self.subTest(name):
                source = self.tmp / "mixed.ndjson"
                source.write_bytes(head + tail)
                out = self.tmp / "mixed.out"
                with self.assertRaises(RuntimeError) as cm:
                    rs.dedup_ndjson(source, out, False)
                self.assertEqual(str(cm.exception), text)
                self.assertEqual(out.read_bytes(), b'{"a":1}\n{"a":2}\n')


FOREIGN_RUNTIME_CHILD = r"""
import ctypes, json, sys
# What importing numpy or pandas first does: libstdc++ enters the process's
# global scope before the module does.
ctypes.CDLL("libstdc++.so.6")
from corvantile import rs
tmp, classes, synonyms, records = sys.argv[1:5]
terms = json.loads(sys.argv[5])
out = {}
for threads in (1, 4):
    db = f"{tmp}/t{threads}.redb"
    rs.build_fullmap_db(db, [classes], [synonyms], threads=threads)
    rows = rs.lookup_fullmap_terms(db, terms)  # enough terms to fan out by default
    pairs = rs.lookup_fullmap_terms(db, terms, threads=4, return_format="pairs")
    prefixes = rs.hydrate_prefixes(db)
    hydrated = [[f"{prefixes[c['prefix_id']]}:{c['local_id']}"
                 for c in rs.hydrate_curies(db, [i for i, _ in p["records"]])] for p in pairs]
    out[threads] = {"rows": [[r["term"], r["CURIE"]] for r in rows], "pairs": hydrated}
rs.dedup_ndjson(records, f"{tmp}/dedup.ndjson", True)
print(json.dumps(out))
"""


class ForeignRuntimeTest(FaultTestCase):
    def test_every_function_works_with_libstdcxx_loaded_first(self):
        records = self.tmp / "records.ndjson"
        records.write_bytes(lines([{"subject": f"A:{i % 40}", "object": "B:1", "pad": None} for i in range(200)]))
        terms = TERMS * 2
        self.assertGreaterEqual(len(terms), 1024)
        child = run_child(FOREIGN_RUNTIME_CHILD, self.tmp, self.classes, self.synonyms, records, json.dumps(terms))
        self.assertEqual(child.returncode, 0, child.stderr[-2000:])
        got = json.loads(child.stdout)
        for threads in ("1", "4"):
            with self.subTest(threads=threads):
                self.assertEqual(got[threads]["rows"], [[t, expected_curie(t)] for t in terms])
                self.assertEqual(got[threads]["pairs"], [[expected_curie(t)] for t in terms])
        expected = self.tmp / "expected.ndjson"
        rs.dedup_ndjson(records, expected, True)
        self.assertEqual((self.tmp / "dedup.ndjson").read_bytes(), expected.read_bytes())


def fullmap_answers(db, terms):
    """What every read of a fullmap gives: both lookup forms, fanned out, and the hydration tables."""
    from corvantile import rs
    rows = rs.lookup_fullmap_terms(db, terms)  # enough terms to fan out by default
    pairs = rs.lookup_fullmap_terms(db, terms, threads=4, return_format="pairs")
    ids = sorted({curie_id for p in pairs for curie_id, _ in p["records"]})
    return {"rows": rows, "pairs": pairs, "curies": rs.hydrate_curies(db, ids), "prefixes": rs.hydrate_prefixes(db),
            "categories": rs.hydrate_categories(db), "sources": rs.hydrate_sources(db)}


NO_PROC_CHILD = inspect.getsource(fullmap_answers) + r"""
import json, os, sys
from corvantile import rs
tmp, classes, synonyms, outside = sys.argv[1:5]
terms = json.loads(sys.argv[5])
inside = f"{tmp}/inside/fullmap.redb"
rs.build_fullmap_db(inside, [classes], [synonyms])  # workers sized without /proc/meminfo
print(json.dumps({"proc": os.listdir("/proc"), "inside": fullmap_answers(inside, terms),
                  "outside": fullmap_answers(outside, terms)}))
"""

# A mount namespace whose /proc is an empty directory, as in some sandboxes.
WITHOUT_PROC = ["unshare", "--mount", "--propagation", "private", "--",
                "sh", "-c", 'mount -t tmpfs none /proc && exec "$0" "$@"']


class MissingProcTest(FaultTestCase):
    def test_build_lookups_and_hydration_work_without_proc(self):
        if shutil.which("unshare") is None:
            self.skipTest("unshare is not installed")
        probe = subprocess.run(WITHOUT_PROC + ["true"], capture_output=True, text=True)
        if probe.returncode != 0:
            self.skipTest(f"cannot hide /proc here: {probe.stderr.strip()}")
        outside = self.build(self.tmp / "outside" / "fullmap.redb")
        terms = TERMS * 2
        self.assertGreaterEqual(len(terms), 1024)
        child = subprocess.run(WITHOUT_PROC + [sys.executable, "-c", NO_PROC_CHILD, self.tmp, self.classes,
                                               self.synonyms, outside, json.dumps(terms)],
                               capture_output=True, text=True, timeout=120)
        self.assertEqual(child.returncode, 0, child.stderr[-2000:])
        got = json.loads(child.stdout)
        self.assertEqual(got["proc"], [])
        expected = json.loads(json.dumps(fullmap_answers(outside, terms)))
        self.assertEqual([[r["term"], r["CURIE"]] for r in expected["rows"]], [[t, expected_curie(t)] for t in terms])
        for db in ("inside", "outside"):
            with self.subTest(db=db):
                self.assertEqual(got[db], expected)


OUT_OF_MEMORY_CHILD = r"""
import json, os, resource, sys
from corvantile import rs
tmp, classes, synonyms, big_synonyms = sys.argv[1:5]

def address_space():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) << 10 for line in f if line.startswith("VmSize:"))

# Pools and stacks that any build sets up are in place before the limit.
rs.build_fullmap_db(f"{tmp}/warm.redb", [classes], [synonyms], threads=1)
one_line = f"{tmp}/one_line.ndjson"
with open(one_line, "wb") as f:
    f.truncate(128 << 20)  # a single 128 MiB line, sparse on disk
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (address_space() + (32 << 20), hard))
out = {}
def attempt(name, fn):
    try:
        fn()
        out[name] = ["returned"]
    except BaseException as e:
        out[name] = [type(e).__name__, type(e).__bases__[0].__name__, str(e)]
attempt("dedup", lambda: rs.dedup_ndjson(one_line, f"{tmp}/one_line.out", False))
os.environ["CORVANTILE_FULLMAP_LOCAL_SPILL_ENTRIES"] = "100000000"
attempt("build", lambda: rs.build_fullmap_db(f"{tmp}/big.redb", [classes], [big_synonyms], threads=1))
del os.environ["CORVANTILE_FULLMAP_LOCAL_SPILL_ENTRIES"]
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
# Nothing is left broken: the same module builds and answers again.
rs.build_fullmap_db(f"{tmp}/after.redb", [classes], [synonyms], threads=2)
out["after"] = [r["CURIE"] for r in rs.lookup_fullmap_terms(f"{tmp}/after.redb", ["alpha 7 name 3"])]
print(json.dumps(out))
"""


# One build under RLIMIT_AS = VmSize + headroom; prints its outcome and the
# answer of a build made after the limit is lifted.
GROWING_BUILD_CHILD = r"""
import json, resource, sys
from corvantile import rs
work, classes, big_classes, synonyms, headroom, threads = sys.argv[1:7]
threads = int(threads)

def address_space():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) << 10 for line in f if line.startswith("VmSize:"))

rs.build_fullmap_db(f"{work}/warm.redb", [classes], [synonyms], threads=threads)
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (address_space() + (int(headroom) << 20), hard))
try:
    rs.build_fullmap_db(f"{work}/big.redb", [big_classes], [synonyms], threads=threads)
    out = ["returned", ""]
except BaseException as e:
    out = [type(e).__name__, str(e)]
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
rs.build_fullmap_db(f"{work}/after.redb", [classes], [synonyms], threads=threads)
out.append(rs.lookup_fullmap_terms(f"{work}/after.redb", ["alpha 7 name 3"])[0]["CURIE"])
print(json.dumps(out))
"""

class OutOfMemoryTest(FaultTestCase):
    def test_running_out_of_memory_raises_and_the_interpreter_lives_on(self):
        if "asan" in os.environ.get("LD_PRELOAD", ""):
            self.skipTest("the sanitizer's allocator aborts when its address space is refused")
        big = self.tmp / "big.ndjson"
        # A term map far larger than the headroom left under the limit.
        big.write_bytes(lines({"curie": f"B:{i}", "names": [f"bulk term {i} {j}" for j in range(25)]}
                              for i in range(20000)))

        def small_stacks():
            # glibc keeps up to 40 MiB of ended threads' stacks for reuse: at
            # 1 MiB all those that the warm-up build held at once, which the
            # build checks for before it starts, need no room under the limit.
            resource.setrlimit(resource.RLIMIT_STACK, (1 << 20, resource.RLIM_INFINITY))

        child = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY_CHILD, self.tmp, self.classes, self.synonyms, big],
                               capture_output=True, text=True, timeout=120, preexec_fn=small_stacks)
        self.assertEqual(child.returncode, 0, child.stderr[-2000:])
        got = json.loads(child.stdout)
        # On the calling thread: PanicException, a BaseException.
        self.assertEqual(got["dedup"], ["PanicException", "BaseException", "std::bad_alloc"])
        # In a build worker: its fixed RuntimeError.
        self.assertEqual(got["build"], ["RuntimeError", "Exception", "fullmap build worker panicked"])
        self.assertEqual(got["after"], ["A:7"])

    def test_memory_running_out_while_tables_grow_raises_at_every_limit(self):
        if "asan" in os.environ.get("LD_PRELOAD", ""):
            self.skipTest("the sanitizer's allocator aborts when its address space is refused")
        big = self.tmp / "big_classes.jsonl"
        # An equivalence table whose last doublings need more than the headroom.
        big.write_text("".join(f'{{"id":"A:{i}","equivalent_identifiers":["A:{i}","EQ:{i}","X:{i}"]}}\n'
                               for i in range(600_000)))
        children = {}
        for threads in (1, 4):
            for headroom in (20, 40, 60):
                work = self.tmp / f"t{threads}-{headroom}"
                work.mkdir()
                child = subprocess.Popen([sys.executable, "-c", GROWING_BUILD_CHILD, work, self.classes, big,
                                          self.synonyms, str(headroom), str(threads)],
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                self.addCleanup(child.wait)
                self.addCleanup(child.kill)
                children[threads, headroom] = child
        for (threads, headroom), child in children.items():
            with self.subTest(threads=threads, headroom_mib=headroom):
                stdout, stderr = child.communicate(timeout=120)
                self.assertEqual(child.returncode, 0, stderr[-2000:])  # negative: killed by a signal
                kind, message, after = json.loads(stdout)
                allowed = {"PanicException": ("std::bad_alloc", "failed to spawn thread: "),
                           "RuntimeError": ("fullmap build worker panicked", "Cannot allocate memory (os error 12)")}
                self.assertIn(kind, allowed)
                self.assertTrue(message.startswith(allowed[kind]), message)
                self.assertEqual(after, "A:7")


THREADS_REFUSED_CHILD = r"""
import json, os, resource, sys
from corvantile import rs
tmp, classes, synonyms = sys.argv[1:4]

def address_space():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) << 10 for line in f if line.startswith("VmSize:"))

os.environ["CORVANTILE_FULLMAP_REDB_CACHE_BYTES"] = "0"  # small store mappings
rs.build_fullmap_db(f"{tmp}/warm.redb", [classes], [synonyms], threads=1)
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
out = {}
# Each thread reserves a 2 GiB stack: 1 GiB more leaves no room for the
# build's first thread, 10 GiB for the ingest's but not for 16 shard writers.
for name, room in [("runner", 1 << 30), ("writers", 10 << 30)]:
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + room, hard))
    try:
        rs.build_fullmap_db(f"{tmp}/{name}.redb", [classes], [synonyms], threads=1)
        out[name] = ["returned"]
    except BaseException as e:
        out[name] = [type(e).__name__, str(e)]
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(json.dumps(out))
"""


class ThreadsRefusedTest(FaultTestCase):
    def test_threads_the_system_refuses_end_the_build_as_errors(self):
        if "asan" in os.environ.get("LD_PRELOAD", ""):
            self.skipTest("the sanitizer's allocator aborts when its address space is refused")

        def huge_stacks():
            resource.setrlimit(resource.RLIMIT_STACK, (2 << 30, resource.RLIM_INFINITY))

        child = subprocess.run([sys.executable, "-c", THREADS_REFUSED_CHILD, self.tmp, self.classes, self.synonyms],
                               capture_output=True, text=True, timeout=120, preexec_fn=huge_stacks)
        self.assertEqual(child.returncode, 0, child.stderr[-2000:])
        got = json.loads(child.stdout)
        # No pool without its first thread: a plain error with the system's text.
        self.assertEqual(got["runner"], ["RuntimeError", "Resource temporarily unavailable (os error 11)"])
        # The shard writers' threads are counted before the build starts.
        self.assertEqual(got["writers"],
                         ["PanicException", "failed to spawn thread: Resource temporarily unavailable (os error 11)"])


if __name__ == "__main__":
    unittest.main()
