"""build_fullmap_db end to end: files, progress, settings, failures."""

import fcntl
import gzip
import hashlib
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest
from unittest import mock

from corvantile import rs

NO_SYNONYMS = "at least one synonym file is required"

CLASSES = [
    {"id": "CHEBI:15365", "equivalent_identifiers": [{"identifier": "CHEBI:15365"}, {"identifier": "DRUGBANK:DB00945"}]},
    {"id": "NCBIGene:7157", "equivalent_identifiers": ["NCBIGene:7157", "HGNC:11998"]},
]
CHEMICALS = [
    {"curie": "CHEBI:15365", "names": ["aspirin", "acetylsalicylic acid"], "types": ["biolink:SmallMolecule"],
     "preferred_name": "Aspirin"},
    {"curie": "CHEBI:46195", "names": ["paracetamol", "acetaminophen", "fever reducer"],
     "types": ["biolink:SmallMolecule"], "preferred_name": "Paracetamol"},
]
GENES = [
    {"curie": "NCBIGene:7157", "names": ["TP53", "tumor protein p53"], "types": ["biolink:Gene"],
     "taxa": ["NCBITaxon:9606"], "preferred_name": "TP53"},
    {"curie": "HP:0001945", "names": ["fever", "fever reducer"], "types": ["biolink:PhenotypicFeature"],
     "preferred_name": "Fever"},
]


def write_lines(path, rows, compress=False):
    data = "".join(json.dumps(r) + "\n" for r in rows).encode()
    path.write_bytes(gzip.compress(data) if compress else data)
    return path


def tree(root):
    return {str(p.relative_to(root)): p.read_bytes() if p.is_file() else None for p in root.rglob("*")}


def every_entry(root):
    """Kind, mode, owner and contents of everything under root, never through a link."""
    found = {}
    for path in [root, *root.rglob("*")]:
        st = path.lstat()
        data = os.readlink(path) if path.is_symlink() else path.read_bytes() if path.is_file() else None
        found[str(path.relative_to(root))] = (st.st_mode, st.st_uid, data)
    return found


OTHER_USER = 61331


def hold_shared_flock_as(uid, directory):
    """A child of `uid` that holds flock(LOCK_SH) on `directory` until the returned pipe end closes."""
    ready_r, ready_w = os.pipe()
    done_r, done_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(ready_r)
            os.close(done_w)
            os.setgid(uid)
            os.setuid(uid)
            fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
            fcntl.flock(fd, fcntl.LOCK_SH)
            os.write(ready_w, b"held")
            os.read(done_r, 1)
        finally:
            os._exit(0)
    os.close(ready_w)
    os.close(done_r)
    held = os.read(ready_r, 4)
    os.close(ready_r)
    return pid, done_w, held


class Recorder:
    def __init__(self):
        self.calls = []
        self.threads = set()
        self.lock = threading.Lock()

    def __call__(self, stage, done, total, message):
        with self.lock:
            self.calls.append((stage, done, total, message))
            self.threads.add(threading.get_ident())


class BuildCase(unittest.TestCase):
    def setUp(self):
        self.tmp = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory(prefix="build-test-")))
        self.classes = [write_lines(self.tmp / "classes.jsonl", CLASSES)]
        self.synonyms = [write_lines(self.tmp / "chemicals.ndjson", CHEMICALS),
                         write_lines(self.tmp / "genes.ndjson.gz", GENES, compress=True)]
        self.enterContext(mock.patch.dict(os.environ))
        for name in list(os.environ):
            if name.startswith("CORVANTILE_FULLMAP_"):
                del os.environ[name]

    def build(self, output, **kwargs):
        rs.build_fullmap_db(output, self.classes, self.synonyms, **kwargs)

    def lookup(self, db, terms, return_format="rows"):
        try:
            return rs.lookup_fullmap_terms(db, terms, return_format=return_format)
        except RuntimeError as e:
            if "not available yet" in str(e):
                self.skipTest("lookup not available in this build")
            raise

    def curies_by_term(self, db, terms):
        found = {}
        for row in self.lookup(db, terms):
            found.setdefault(row["term"], set()).add((row["CURIE"], row["SOURCE_NAME"]))
        return found


class BuildTest(BuildCase):
    def test_writes_main_and_sixteen_shards_reporting_every_stage(self):
        output = self.tmp / "out" / "fullmap.redb"
        progress = Recorder()
        self.build(output, progress=progress)

        names = sorted(p.name for p in output.parent.iterdir())
        # The lock file stays: deleting it would let a later build lock a new one.
        self.assertEqual(names, sorted([".fullmap-build.lock", "fullmap.redb"] + [f"fullmap.s{i}.redb" for i in range(16)]))
        self.assertFalse((self.tmp / "out" / "fullmap.redb.spill.d").exists())

        by_stage = {s: [c for c in progress.calls if c[0] == s] for s in (0, 1, 2)}
        self.assertEqual(by_stage[0], [(0, 1, 1, "classes.jsonl")])
        file_ends = [c[3].split(" · ")[0] for c in by_stage[1] if c[3].endswith(" files)")]
        self.assertEqual(sorted(file_ends), ["chemicals", "genes"])
        # Producers report concurrently, so the order of their reports is open.
        self.assertEqual(max(c[1] for c in by_stage[1]), 4)
        self.assertTrue(any(c[3].endswith(" · 4 rows (2/2 files)") for c in by_stage[1]))
        final = progress.calls[-1]
        self.assertEqual(final, (2, final[1], final[1], f"wrote {final[1]} records"))
        writes = by_stage[2][:-1]
        self.assertTrue(writes)
        self.assertTrue(all(c[3].startswith("shard ") and c[2] >= final[1] for c in writes))
        self.assertEqual(max(c[1] for c in writes), final[1])
        # Shard writers report from their own threads while the caller waits.
        self.assertGreater(len(progress.threads - {threading.get_ident()}), 0)

    def test_lookups_see_every_source_and_equivalent(self):
        output = self.tmp / "fullmap.redb"
        self.build(output, threads=2)
        found = self.curies_by_term(output, ["aspirin", "drugbank:db00945", "tp53", "hgnc:11998", "fever reducer"])
        self.assertEqual(found["aspirin"], {("CHEBI:15365", "chemicals")})
        self.assertEqual(found["drugbank:db00945"], {("CHEBI:15365", "chemicals")})
        self.assertEqual(found["hgnc:11998"], {("NCBIGene:7157", "genes")})
        self.assertEqual(found["fever reducer"], {("CHEBI:46195", "chemicals"), ("HP:0001945", "genes")})

    def test_tiny_spills_and_batches_change_nothing_but_the_work(self):
        roomy, tiny = Recorder(), Recorder()
        self.build(self.tmp / "roomy.redb", threads=1, progress=roomy)
        os.environ.update({
            "CORVANTILE_FULLMAP_LOCAL_SPILL_ENTRIES": "1",
            "CORVANTILE_FULLMAP_CURIE_SPILL_ENTRIES": "1",
            "CORVANTILE_FULLMAP_INSERT_BATCH": "1",
            "CORVANTILE_FULLMAP_CHUNK_BYTES": "16",
            "CORVANTILE_FULLMAP_PRODUCERS": "2",
        })
        self.build(self.tmp / "tiny.redb", threads=3, progress=tiny)
        self.assertEqual(roomy.calls[-1], tiny.calls[-1])
        # One report per record flushed, plus the final one.
        self.assertEqual(len([c for c in tiny.calls if c[0] == 2]), tiny.calls[-1][1] + 1)
        # The same term met in many runs is stored once with merged postings.
        self.assertGreater(tiny.calls[-2][2], tiny.calls[-1][1])
        terms = ["aspirin", "fever reducer", "hgnc:11998", "tumor protein p53"]
        self.assertEqual(self.curies_by_term(self.tmp / "tiny.redb", terms),
                         self.curies_by_term(self.tmp / "roomy.redb", terms))

    def test_empty_synonym_list_touches_nothing(self):
        existing = self.tmp / "kept.redb"
        existing.write_bytes(b"old")
        for output in (self.tmp / "new" / "fullmap.redb", existing):
            with self.assertRaises(ValueError) as cm:
                rs.build_fullmap_db(output, self.classes, [])
            self.assertEqual(str(cm.exception), NO_SYNONYMS)
        self.assertFalse((self.tmp / "new").exists())
        self.assertEqual(existing.read_bytes(), b"old")

    def test_failed_build_keeps_its_spill_directory_until_the_next_build(self):
        output = self.tmp / "fullmap.redb"
        self.build(output)
        spill = self.tmp / "fullmap.redb.spill.d"
        broken = write_lines(self.tmp / "broken.ndjson", [{"curie": "X:1", "names": "not a list"}])
        with self.assertRaises(RuntimeError):
            rs.build_fullmap_db(output, self.classes, self.synonyms + [broken])
        self.assertTrue(spill.is_dir())
        # The old database went before the build started.
        self.assertFalse(output.exists())
        self.assertFalse((self.tmp / "fullmap.s0.redb").exists())

        self.build(output)
        self.assertFalse(spill.exists())
        self.assertTrue(output.exists())

    def test_a_spill_directory_holding_the_output_or_inputs_is_refused(self):
        output = self.tmp / "out" / "fullmap.redb"
        for spill in (self.tmp / "out", self.tmp):
            with self.subTest(spill=spill):
                os.environ["CORVANTILE_FULLMAP_SPILL_DIR"] = str(spill)
                with self.assertRaises(RuntimeError) as cm:
                    self.build(output)
                self.assertIn("holds the output or an input file", str(cm.exception))
                self.assertTrue(all(p.exists() for p in self.classes + self.synonyms))

    def test_only_a_builds_own_scratch_space_is_ever_deleted(self):
        output = self.tmp / "fullmap.redb"
        spill = self.tmp / "scratch"
        os.environ["CORVANTILE_FULLMAP_SPILL_DIR"] = str(spill)

        # Spill-like names beside anything else do not make a directory the build's.
        for foreign in ({"notes.txt": b"mine"}, {"run_s0_00000001.bin": b"r", "equiv/mine.txt": b"m"},
                        {"run_s0_1.bin": b"near miss"}):
            with self.subTest(foreign=sorted(foreign)):
                for name, data in foreign.items():
                    (spill / name).parent.mkdir(parents=True, exist_ok=True)
                    (spill / name).write_bytes(data)
                before = tree(spill)
                with self.assertRaises(RuntimeError) as cm:
                    self.build(output)
                self.assertEqual(str(cm.exception),
                                 f"spill directory {spill} holds files that no fullmap build wrote; "
                                 "set CORVANTILE_FULLMAP_SPILL_DIR to an empty or new directory")
                self.assertEqual(tree(spill), before)
                shutil.rmtree(spill)

        spill.write_bytes(b"a file")
        with self.assertRaises(RuntimeError) as cm:
            self.build(output)
        self.assertEqual(str(cm.exception), "Not a directory (os error 20)")
        self.assertEqual(spill.read_bytes(), b"a file")
        spill.unlink()

        # Leftovers of a failed build: one with the marker (whatever else it holds), one from before it.
        bad = self.tmp / "bad.ndjson"
        bad.write_text('{"curie": "X:1", "names": ["x"]}\nnot json\n')
        with self.assertRaises(RuntimeError):
            rs.build_fullmap_db(output, self.classes, self.synonyms + [bad])
        self.assertIn(".corvantile-fullmap-spill", set(tree(spill)))
        (spill / "stray.tmp").write_bytes(b"left by a killed build")
        unmarked = {"run_s3_00000002.bin", "curie_run_00000000.bin", "equiv_data.bin", "equiv/run_00000005.bin"}
        for leftover in (None, unmarked, set()):
            with self.subTest(leftover=leftover):
                for name in leftover or ():
                    (spill / name).parent.mkdir(parents=True, exist_ok=True)
                    (spill / name).write_bytes(b"junk")
                spill.mkdir(exist_ok=True)
                self.build(output)
                self.assertFalse(spill.exists())
                self.assertEqual(self.curies_by_term(output, ["aspirin"])["aspirin"], {("CHEBI:15365", "chemicals")})

    def test_a_spill_directory_swapped_for_a_link_mid_build_redirects_nothing(self):
        terms = ["aspirin", "drugbank:db00945", "fever reducer", "hgnc:11998"]
        self.build(self.tmp / "plain.redb")
        expected = self.curies_by_term(self.tmp / "plain.redb", terms)
        # Moved aside once the marker is there, at the first report of a stage, with a link to
        # another directory put in its place.
        for threads, swapped, stage in [(1, "spill", 0), (4, "spill", 1), (1, "a", 1), (4, "a", 2)]:
            with self.subTest(threads=threads, swapped=swapped, stage=stage):
                case = self.tmp / f"swap-{threads}-{swapped}-{stage}"
                spill = case / "base" / "a" / "spill"
                os.environ["CORVANTILE_FULLMAP_SPILL_DIR"] = str(spill)
                victim = case / "victim"
                inside = victim / "spill" if swapped == "a" else victim
                inside.mkdir(parents=True)
                (victim / "notes.txt").write_bytes(b"mine")
                (inside / "run_s0_00000000.bin").write_bytes(b"not a build's")
                (inside / "equiv").mkdir()
                (inside / "equiv" / "kept").write_bytes(b"kept")
                before = tree(victim)
                target = spill if swapped == "spill" else spill.parent
                moved = target.with_name("moved")
                lock = threading.Lock()

                def swap(reported, *_):
                    with lock:
                        if reported == stage and not moved.exists() and (spill / ".corvantile-fullmap-spill").exists():
                            target.rename(moved)
                            target.symlink_to(victim, target_is_directory=True)

                output = case / "fullmap.redb"
                self.build(output, threads=threads, progress=swap)
                self.assertTrue(target.is_symlink())
                self.assertEqual(tree(victim), before)
                # The runs went through the directory held and were removed from it; a moved
                # ancestor loses the spill directory, still its own, too.
                self.assertEqual(list(moved.iterdir()), [])
                self.assertEqual(self.curies_by_term(output, terms), expected)

    @unittest.skipUnless(os.geteuid() == 0, "needs root to plant another user's directory")
    def test_another_users_spill_directory_is_refused_before_anything_is_deleted(self):
        shared = self.tmp / "shared"
        shared.mkdir()
        shared.chmod(0o1777)
        output = shared / "fullmap.redb"
        self.build(output)
        spill = shared / "fullmap.redb.spill.d"
        spill.mkdir()
        spill.chmod(0o777)
        os.chown(spill, 61331, 61331)
        with self.assertRaises(RuntimeError) as cm:
            self.build(output)
        self.assertEqual(str(cm.exception),
                         f"spill directory {spill} belongs to another user (uid 61331); remove it or set "
                         "CORVANTILE_FULLMAP_SPILL_DIR to a directory of your own")
        self.assertEqual(list(spill.iterdir()), [])
        self.assertEqual(self.curies_by_term(output, ["aspirin"])["aspirin"], {("CHEBI:15365", "chemicals")})

    def other_users(self, *paths):
        for path in paths:
            os.lchown(path, OTHER_USER, OTHER_USER)

    @unittest.skipUnless(os.geteuid() == 0, "needs root to plant another user's links")
    def test_another_users_link_on_the_spill_path_is_never_followed(self):
        self.tmp.chmod(0o755)
        shared = self.tmp / "shared"
        shared.mkdir()
        shared.chmod(0o2775)
        output = shared / "fm.redb"
        self.build(output)
        # A system-wide directory with root's files, another user's, and a marker someone dropped.
        public = self.tmp / "public"
        (public / "theirs").mkdir(parents=True)
        public.chmod(0o1777)
        (public / "root.txt").write_bytes(b"root's")
        (public / "theirs" / "mine.txt").write_bytes(b"theirs")
        (public / ".corvantile-fullmap-spill").write_bytes(b"")
        self.other_users(public / "theirs", public / "theirs" / "mine.txt", public / ".corvantile-fullmap-spill")
        empty = self.tmp / "empty"
        empty.mkdir(mode=0o755)
        (self.tmp / "above" / "spill").mkdir(parents=True)
        default = shared / "fm.redb.spill.d"
        mine = shared / "mine"
        link_refused = ("spill directory {} is a symbolic link that belongs to another user (uid 61331); remove it "
                        "or set CORVANTILE_FULLMAP_SPILL_DIR to a directory of your own")
        for link, target, spill, message in [
                (default, public, None, link_refused.format(default)),
                (default, empty, None, link_refused.format(default)),
                (mine, public, mine, link_refused.format(mine)),
                (mine, empty, mine, link_refused.format(mine)),
                (shared / "up", self.tmp / "above", shared / "up" / "spill",
                 f"spill directory {shared}/up/spill is reached through {shared}/up, a symbolic link that belongs "
                 "to another user (uid 61331); remove it or set CORVANTILE_FULLMAP_SPILL_DIR to a directory of your "
                 "own")]:
            with self.subTest(link=link.name, target=target.name):
                if spill:
                    os.environ["CORVANTILE_FULLMAP_SPILL_DIR"] = str(spill)
                link.symlink_to(target, target_is_directory=True)
                self.other_users(link)
                before = every_entry(self.tmp)
                try:
                    with self.assertRaises(RuntimeError) as cm:
                        self.build(output)
                    self.assertEqual(str(cm.exception), message)
                    self.assertEqual(every_entry(self.tmp), before)
                finally:
                    link.unlink()
                    os.environ.pop("CORVANTILE_FULLMAP_SPILL_DIR", None)
        # The builder's own link is still followed: to what others own, it is refused as foreign;
        # otherwise it builds, and what it names stays.
        default.symlink_to(public, target_is_directory=True)
        before = every_entry(self.tmp)
        with self.assertRaises(RuntimeError) as cm:
            self.build(output)
        self.assertIn("holds files that no fullmap build wrote", str(cm.exception))
        self.assertEqual(every_entry(self.tmp), before)
        default.unlink()
        default.symlink_to(empty, target_is_directory=True)
        self.build(output)
        self.assertTrue(default.is_symlink())
        self.assertEqual(list(empty.iterdir()), [])
        self.assertEqual(self.curies_by_term(output, ["aspirin"])["aspirin"], {("CHEBI:15365", "chemicals")})

    @unittest.skipUnless(os.geteuid() == 0, "needs root to plant another user's files")
    def test_anything_another_user_owns_makes_a_spill_directory_foreign(self):
        spill = self.tmp / "scratch"
        os.environ["CORVANTILE_FULLMAP_SPILL_DIR"] = str(spill)
        output = self.tmp / "fm.redb"
        self.build(output)
        for theirs in [".corvantile-fullmap-spill", "equiv/run_00000001.bin", ".corvantile-fullmap-spill.lock"]:
            with self.subTest(theirs=theirs):
                shutil.rmtree(spill, ignore_errors=True)
                (spill / "equiv").mkdir(parents=True)
                (spill / ".corvantile-fullmap-spill").write_bytes(b"")
                (spill / theirs).write_bytes(b"")
                self.other_users(spill / theirs)
                before = every_entry(self.tmp)
                with self.assertRaises(RuntimeError) as cm:
                    self.build(output)
                self.assertIn(f"spill directory {spill} holds files that no fullmap build wrote", str(cm.exception))
                self.assertEqual(every_entry(self.tmp), before)

    @unittest.skipUnless(os.geteuid() == 0, "needs root to run a reader as another user")
    def test_a_reader_of_the_spill_directory_cannot_keep_builds_out(self):
        self.tmp.chmod(0o755)
        spill = self.tmp / "scratch"
        spill.mkdir(mode=0o755)
        (spill / ".corvantile-fullmap-spill").write_bytes(b"")
        os.environ["CORVANTILE_FULLMAP_SPILL_DIR"] = str(spill)
        pid, done, held = hold_shared_flock_as(OTHER_USER, spill)
        self.addCleanup(os.waitpid, pid, 0)
        self.addCleanup(os.close, done)
        self.assertEqual(held, b"held")
        refused = []

        def second_build(*_):
            if not refused:
                with self.assertRaises(RuntimeError) as cm:
                    rs.build_fullmap_db(self.tmp / "other.redb", [], self.synonyms)
                refused.append(str(cm.exception))

        self.build(self.tmp / "fm.redb", progress=second_build)
        self.assertEqual(refused, [f"spill directory {spill} is in use by another build"])
        self.assertFalse(spill.exists())
        self.assertFalse((self.tmp / "other.redb").exists())

    def test_a_spill_path_ending_in_a_dot_is_made_and_used(self):
        output = self.tmp / "fm.redb"
        self.addCleanup(os.chdir, os.getcwd())
        os.chdir(self.tmp)
        for value, made in [("sp/.", "sp"), ("q/r/.", "q"), ("s2/./", "s2")]:
            with self.subTest(value=value):
                os.environ["CORVANTILE_FULLMAP_SPILL_DIR"] = value
                self.build(output)
                self.assertEqual(self.curies_by_term(output, ["aspirin"])["aspirin"], {("CHEBI:15365", "chemicals")})
                self.assertFalse((self.tmp / made).exists())

    def test_the_spill_directory_in_use_is_open_to_nobody_else(self):
        old = os.umask(0o022)
        self.addCleanup(os.umask, old)
        spill = self.tmp / "scratch"
        os.environ["CORVANTILE_FULLMAP_SPILL_DIR"] = str(spill)
        for existing in (False, True):
            with self.subTest(existing=existing):
                if existing:
                    spill.mkdir(mode=0o755)
                modes = set()

                def look(*_):
                    modes.add(spill.stat().st_mode & 0o777)

                self.build(self.tmp / "fullmap.redb", threads=2, progress=look)
                self.assertTrue(modes)
                self.assertEqual({m & 0o077 for m in modes}, {0})
                self.assertFalse(spill.exists())

    def test_huge_batches_and_store_budgets_mean_no_limit(self):
        terms = ["aspirin", "fever reducer", "hgnc:11998", "tumor protein p53"]
        self.build(self.tmp / "plain.redb")
        expected = self.curies_by_term(self.tmp / "plain.redb", terms)
        for i, huge in enumerate([1 << 44, 1 << 62, (1 << 64) - 1]):
            with self.subTest(huge=huge):
                os.environ["CORVANTILE_FULLMAP_INSERT_BATCH"] = str(huge)
                os.environ["CORVANTILE_FULLMAP_REDB_CACHE_BYTES"] = str(huge)
                output = self.tmp / f"huge{i}.redb"
                self.build(output)
                self.assertEqual(self.curies_by_term(output, terms), expected)

    def test_thread_counts_and_unruly_progress_callables(self):
        def raising(*args):
            raise KeyError("ignored")

        for i, (threads, progress) in enumerate([(0, raising), (3, 5), (None, None)]):
            with self.subTest(threads=threads):
                output = self.tmp / f"t{i}" / "fullmap.redb"
                self.build(output, threads=threads, progress=progress)
                self.assertTrue((self.tmp / f"t{i}" / "fullmap.s15.redb").exists())

    def test_rebuild_replaces_the_cached_database(self):
        output = self.tmp / "fullmap.redb"
        self.build(output)
        self.assertIn("aspirin", self.curies_by_term(output, ["aspirin"]))
        write_lines(self.synonyms[0], [{"curie": "CHEBI:27732", "names": ["caffeine"]}])
        self.build(output)
        found = self.curies_by_term(output, ["aspirin", "caffeine"])
        self.assertNotIn("aspirin", found)
        self.assertEqual(found["caffeine"], {("CHEBI:27732", "chemicals")})


# Stands in for another user who, just before a hidden temporary is opened
# by name to be created, swaps it for a link to $SWAP_TARGET.
SWAPPING_OPEN = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int swapped_open(const char *name, const char *path, int flags, va_list ap) {
  mode_t mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, mode_t) : 0;
  const char *target = getenv("SWAP_TARGET");
  if (target && (flags & O_CREAT) && !(flags & O_EXCL) && strstr(path, ".tmp-")) {
    char aside[4096];
    snprintf(aside, sizeof aside, "%s.aside", path);
    if (rename(path, aside) == 0) symlink(target, path);
  }
  int (*real)(const char *, int, ...) = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, name);
  return real(path, flags, mode);
}

int open(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  int fd = swapped_open("open", path, flags, ap);
  va_end(ap);
  return fd;
}

int open64(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  int fd = swapped_open("open64", path, flags, ap);
  va_end(ap);
  return fd;
}
"""

# Stands in for another user who, while the build lock file is being linked
# into place, moves $SWAP_DIR aside and puts a link to $SWAP_TARGET there;
# both are put back right after.
SWAPPING_LINKAT = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int linkat(int olddirfd, const char *oldpath, int newdirfd, const char *newpath, int flags) {
  static int swapped;
  const char *dir = getenv("SWAP_DIR"), *target = getenv("SWAP_TARGET");
  const char *base = strrchr(newpath, '/');
  base = base ? base + 1 : newpath;
  char aside[4096];
  int swap = dir && target && !swapped && strcmp(base, ".fullmap-build.lock") == 0;
  if (swap) {
    swapped = 1;
    snprintf(aside, sizeof aside, "%s.aside", dir);
    if (rename(dir, aside) != 0 || symlink(target, dir) != 0) abort();
  }
  int (*real)(int, const char *, int, const char *, int) =
      (int (*)(int, const char *, int, const char *, int))dlsym(RTLD_NEXT, "linkat");
  int rc = real(olddirfd, oldpath, newdirfd, newpath, flags);
  if (swap) {
    int saved = errno;
    if (unlink(dir) != 0 || rename(aside, dir) != 0) abort();
    errno = saved;
  }
  return rc;
}
"""

SWAPPED_BUILD_CHILD = r"""
import sys
from corvantile import rs
try:
    rs.build_fullmap_db(sys.argv[1], [sys.argv[2]], [sys.argv[3]])
    print("built")
except RuntimeError as e:
    print(e)
"""


class HeldOutputTest(BuildCase):
    """Once a build holds its output's lock, every file it makes there goes
    through the directory it locked, whatever is renamed meanwhile."""

    def setUp(self):
        super().setUp()
        os.environ["CORVANTILE_FULLMAP_SPILL_DIR"] = str(self.tmp / "spill")

    @staticmethod
    def files(directory):
        return {p.name: (p.stat().st_ino, hashlib.sha256(p.read_bytes()).hexdigest()) for p in directory.iterdir()}

    # The environment of a child with the shim `source` preloaded.
    def preloaded(self, source, name):
        cc = shutil.which("cc")
        if cc is None:
            self.skipTest("no C compiler")
        (self.tmp / f"{name}.c").write_text(source)
        shim = self.tmp / f"{name}.so"
        subprocess.run([cc, "-shared", "-fPIC", "-o", shim, self.tmp / f"{name}.c", "-ldl"], check=True)
        return {**os.environ, "LD_PRELOAD": f"{os.environ.get('LD_PRELOAD', '')} {shim}".strip(),
                "PYTHONPATH": os.path.dirname(os.path.dirname(os.path.abspath(rs.__file__)))}

    def test_an_output_directory_swapped_mid_build_redirects_nothing(self):
        for threads in (1, 4):
            with self.subTest(threads=threads):
                out, aside, other = (self.tmp / f"{name}{threads}" for name in ("out", "aside", "other"))
                self.build(other / "fullmap.redb")
                self.build(out / "fullmap.redb")
                before = self.files(other)
                swapped = []

                def swap(*report):
                    if not swapped:
                        swapped.append(report)
                        out.rename(aside)
                        out.symlink_to(other, target_is_directory=True)

                try:
                    self.build(out / "fullmap.redb", threads=threads, progress=swap)
                    failure = None
                except RuntimeError as e:
                    failure = str(e)
                self.assertTrue(swapped)
                self.assertEqual(self.files(other), before)
                if failure is None:
                    self.assertEqual(len([n for n in os.listdir(aside) if n.endswith(".redb")]), 17)
                    self.assertEqual(self.curies_by_term(aside / "fullmap.redb", ["aspirin"])["aspirin"],
                                     {("CHEBI:15365", "chemicals")})
                else:
                    self.assertTrue(failure)

    def test_a_temporary_swapped_for_a_link_creates_and_writes_nothing(self):
        env = self.preloaded(SWAPPING_OPEN, "swapping_open")
        for target in ("absent.redb", "empty"):
            with self.subTest(target=target):
                victim = self.tmp / f"victim-{target}"
                victim.mkdir()
                (victim / "empty").write_bytes(b"")
                output = self.tmp / f"out-{target}" / "fullmap.redb"
                run = subprocess.run([sys.executable, "-c", SWAPPED_BUILD_CHILD, output, self.classes[0],
                                      self.synonyms[0]], env={**env, "SWAP_TARGET": str(victim / target)},
                                     capture_output=True, text=True, timeout=120)
                self.assertEqual(run.returncode, 0, run.stderr[-2000:])
                self.assertEqual(self.files(victim), {"empty": ((victim / "empty").stat().st_ino,
                                                                hashlib.sha256(b"").hexdigest())})
                self.assertEqual(run.stdout.strip(), "built")
                self.assertIn("aspirin", self.curies_by_term(output, ["aspirin"]))

    def test_the_lock_file_never_lands_in_a_directory_swapped_in_meanwhile(self):
        env = self.preloaded(SWAPPING_LINKAT, "swapping_linkat")
        out, victim = self.tmp / "out", self.tmp / "victim"
        out.mkdir()
        victim.mkdir()
        (victim / "notes.txt").write_bytes(b"mine")
        output = out / "fullmap.redb"
        run = subprocess.run([sys.executable, "-c", SWAPPED_BUILD_CHILD, output, self.classes[0], self.synonyms[0]],
                             env={**env, "SWAP_DIR": str(out), "SWAP_TARGET": str(victim)},
                             capture_output=True, text=True, timeout=120)
        self.assertEqual(run.returncode, 0, run.stderr[-2000:])
        self.assertEqual(run.stdout.strip(), "built")
        self.assertEqual(tree(victim), {"notes.txt": b"mine"})
        self.assertTrue((out / ".fullmap-build.lock").is_file())
        self.assertIn("aspirin", self.curies_by_term(output, ["aspirin"]))

    @unittest.skipUnless(os.geteuid() == 0, "needs root to act as another user")
    def test_the_live_writer_check_never_opens_through_a_link(self):
        # A group member's link at a shard name leads to their FIFO, whose writer waits for a reader.
        self.tmp.chmod(0o755)
        shared = self.tmp / "shared"
        shared.mkdir()
        os.chown(shared, 0, 61331)
        shared.chmod(0o2775)
        fifo = self.tmp / "member.fifo"
        os.mkfifo(fifo, 0o600)
        os.chown(fifo, 61331, 61331)
        writer = os.fork()
        if writer == 0:
            try:
                os.setgid(61331)
                os.setuid(61331)
                os.open(fifo, os.O_WRONLY)
            finally:
                os._exit(0)

        def waiting():
            with open(f"/proc/{writer}/wchan") as f:
                return f.read() == "wait_for_partner"

        try:
            while not waiting():
                self.assertEqual(os.waitpid(writer, os.WNOHANG), (0, 0))
            link = shared / "fullmap.s3.redb"

            def plant(*_):
                if not link.is_symlink():
                    link.symlink_to(fifo)
                    os.lchown(link, 61331, 61331)

            output = shared / "fullmap.redb"
            self.build(output, progress=plant)
            self.assertTrue(waiting(), "the FIFO's writer was woken")
        finally:
            os.close(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK))
            os.waitpid(writer, 0)
        self.assertFalse(link.is_symlink())
        self.assertIn("aspirin", self.curies_by_term(output, ["aspirin"]))

    def test_a_directory_moved_at_the_last_report_leaves_a_complete_build(self):
        other = self.tmp / "other"
        os.environ["CORVANTILE_FULLMAP_SPILL_DIR"] = str(self.tmp / "other-spill")
        rs.build_fullmap_db(other / "fullmap.redb", [], [write_lines(self.tmp / "caffeine.ndjson",
                                                                    [{"curie": "CHEBI:27732", "names": ["caffeine"]}])])
        os.environ["CORVANTILE_FULLMAP_SPILL_DIR"] = str(self.tmp / "spill")
        for replaced in (False, True):
            with self.subTest(replaced=replaced):
                out, moved = self.tmp / f"out-{replaced}", self.tmp / f"moved-{replaced}"
                output = out / "fullmap.redb"

                def move(stage, done, total, message):
                    if message.startswith("wrote "):
                        out.rename(moved)
                        if replaced:
                            out.symlink_to(other, target_is_directory=True)

                self.build(output, progress=move)
                self.assertTrue(moved.is_dir())
                self.assertEqual(self.curies_by_term(moved / "fullmap.redb", ["aspirin"])["aspirin"],
                                 {("CHEBI:15365", "chemicals")})
                if not replaced:
                    # Cached through the directory held, under the path the build was given.
                    self.assertEqual(rs.hydrate_curies(output, [0]), rs.hydrate_curies(moved / "fullmap.redb", [0]))
                else:
                    # The path now leads to another fullmap, which is what it answers.
                    self.assertEqual(self.curies_by_term(output, ["aspirin", "caffeine"]),
                                     {"caffeine": {("CHEBI:27732", "caffeine")}})

    def test_a_dangling_link_at_a_database_name_stays_until_the_new_file_replaces_it(self):
        out, nowhere = self.tmp / "out", self.tmp / "nowhere"
        out.mkdir()
        output = out / "fullmap.redb"
        links = {out / "fullmap.redb": nowhere / "a", out / "fullmap.s5.redb": nowhere / "b",
                 out / "fullmap.s7.redb": "fullmap.s7.redb"}
        for link, target in links.items():
            link.symlink_to(target)
            if os.geteuid() == 0:
                os.lchown(link, 61331, 61331)
        bad = write_lines(self.tmp / "bad.ndjson", [{"curie": "X:1", "names": "not a list"}])
        with self.assertRaises(RuntimeError):
            rs.build_fullmap_db(output, self.classes, [bad])
        self.assertEqual({link: pathlib.Path(os.readlink(link)) if link.is_symlink() else None for link in links},
                         {link: pathlib.Path(target) for link, target in links.items()})
        self.build(output)
        self.assertFalse(nowhere.exists())
        self.assertEqual([link for link in links if link.is_symlink() or not link.is_file()], [])
        self.assertIn("aspirin", self.curies_by_term(output, ["aspirin"]))


if __name__ == "__main__":
    unittest.main()
