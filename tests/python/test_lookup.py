"""Term lookups and hydration against fullmaps built by build_fullmap_db."""

import json
import os
import pathlib
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest
from unittest import mock

from corvantile import rs

ROW_KEYS = ["term", "CURIE", "PREFERRED_NAME", "CATEGORY_NAME", "TAXON_ID", "SOURCE_NAME", "SOURCE_VERSION"]
CURIE_KEYS = ["prefix_id", "local_id", "preferred_name", "category_id", "taxon_id"]
GENES = 1200

ALPHA = [
    {"curie": "MESH:D000001", "names": ["Calcimycin"], "types": ["biolink:ChemicalEntity"],
     "taxa": ["NCBITaxon:-1"], "preferred_name": "Calcimycin"},
    {"curie": "HP:0001945", "names": ["fever"], "types": ["biolink:PhenotypicFeature"], "preferred_name": "Fever"},
] + [
    {"curie": f"GEN:{i}", "names": [f"gene {i}"], "types": ["biolink:Gene"], "taxa": ["NCBITaxon:9606"],
     "preferred_name": f"Gene {i}"}
    for i in range(GENES)
]
BETA = [
    # The same row as in ALPHA: either file may be read first.
    {"curie": "MESH:D000001", "names": ["calcimycin", "A-23187"], "types": ["biolink:ChemicalEntity"],
     "taxa": ["NCBITaxon:-1"], "preferred_name": "Calcimycin"},
    {"curie": "NS:a:b", "names": ["colon local id"], "types": ["biolink:Gene"], "taxa": ["NCBITaxon:0"]},
]
CLASSES = [{"id": "MESH:D000001", "equivalent_identifiers": ["MESH:D000001", "CHEBI:64558"]}]


def write_lines(path, rows):
    path.write_text("".join(json.dumps(r) + "\n" for r in rows))
    return path


def clean_env():
    patch = mock.patch.dict(os.environ)
    patch.start()
    for name in list(os.environ):
        if name.startswith("CORVANTILE_FULLMAP_"):
            del os.environ[name]
    return patch


def build(out, synonyms, classes=(), **env):
    patch = clean_env()
    try:
        os.environ.update(env)
        rs.build_fullmap_db(out, list(classes), list(synonyms), threads=2)
    finally:
        patch.stop()
    return out


def run_child(code, *args):
    """Runs `code` in a fresh interpreter; a hang fails the test instead of stopping the run."""
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True, timeout=60)


# Every entry point on the fullmap argv[1]; one line per call, the result or
# the error's text.
EVERY_CALL_CHILD = r"""
import json, sys
from corvantile import rs
db, terms = sys.argv[1], json.loads(sys.argv[2])
calls = [
    lambda: rs.lookup_fullmap_terms(db, terms),
    lambda: rs.lookup_fullmap_terms(db, terms, threads=4, return_format="pairs"),
    lambda: rs.hydrate_curies(db, [0, 1]),
    lambda: rs.hydrate_prefixes(db),
    lambda: rs.hydrate_categories(db),
    lambda: rs.hydrate_sources(db),
]
for call in calls:
    try:
        print(json.dumps(call()))
    except RuntimeError as e:
        print(json.dumps(str(e)))
"""

# Takes every lock that a user who may only read the files can take, as
# that user, and keeps them until its stdin closes.
READER_LOCKS_CHILD = r"""
import fcntl, os, struct, sys
uid = int(sys.argv[1])
if os.geteuid() == 0:
    os.setgroups([])
    os.setgid(uid)
    os.setuid(uid)
for path in sys.argv[2:]:
    fd = os.open(path, os.O_RDONLY)
    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    fcntl.lockf(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
    F_OFD_SETLK = 37
    fcntl.fcntl(fd, F_OFD_SETLK, struct.pack("hhqqi", fcntl.F_RDLCK, 0, 0, 0, 0))
print("held", flush=True)
sys.stdin.read()
"""


def hydrate_by_hand(db, pairs):
    """The rows form worked out from the pairs form and the hydrate functions."""
    prefixes, categories = rs.hydrate_prefixes(db), rs.hydrate_categories(db)
    sources, version = rs.hydrate_sources(db), rs.fullmap_source_version()
    rows = []
    for entry in pairs:
        curies = rs.hydrate_curies(db, [curie_id for curie_id, _ in entry["records"]])
        for (_, source_id), row in zip(entry["records"], curies):
            rows.append({
                "term": entry["term"],
                "CURIE": f"{prefixes[row['prefix_id']]}:{row['local_id']}",
                "PREFERRED_NAME": row["preferred_name"],
                "CATEGORY_NAME": categories[row["category_id"]],
                "TAXON_ID": row["taxon_id"],
                "SOURCE_NAME": sources[source_id],
                "SOURCE_VERSION": version,
            })
    return rows


class LookupTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        tmp = tempfile.TemporaryDirectory(prefix="lookup-test-")
        cls.addClassCleanup(tmp.cleanup)
        cls.tmp = pathlib.Path(tmp.name)
        alpha = write_lines(cls.tmp / "alpha.ndjson", ALPHA)
        beta = write_lines(cls.tmp / "beta.ndjson", BETA)
        classes = write_lines(cls.tmp / "classes.jsonl", CLASSES)
        cls.db = str(build(cls.tmp / "map.redb", [alpha, beta], [classes]))

    def lookup(self, terms, **kwargs):
        return rs.lookup_fullmap_terms(self.db, terms, **kwargs)

    def test_rows_are_the_hydrated_pairs(self):
        terms = ["calcimycin", "gene 5", "nope", "chebi:64558", "gene 5", "colon local id", "a23187"]
        pairs = self.lookup(terms, return_format="pairs")
        self.assertEqual([p["term"] for p in pairs],
                         ["calcimycin", "gene 5", "chebi:64558", "gene 5", "colon local id", "a23187"])
        rows = self.lookup(terms)
        self.assertEqual(rows, hydrate_by_hand(self.db, pairs))
        for row in rows:
            self.assertEqual(list(row), ROW_KEYS)

        by_term = {}
        for row in rows:
            by_term.setdefault(row["term"], []).append(row)
        calcimycin = by_term["calcimycin"]
        self.assertEqual([r["SOURCE_NAME"] for r in calcimycin], ["alpha", "beta"])
        self.assertEqual({r["CURIE"] for r in calcimycin}, {"MESH:D000001"})
        self.assertEqual(calcimycin[0]["TAXON_ID"], -1)
        self.assertIs(type(calcimycin[0]["TAXON_ID"]), int)
        self.assertEqual(by_term["colon local id"][0]["CURIE"], "NS:a:b")
        self.assertEqual(by_term["colon local id"][0]["TAXON_ID"], 0)
        self.assertEqual(len(by_term["gene 5"]), 2)
        self.assertEqual(by_term["gene 5"][0]["PREFERRED_NAME"], "Gene 5")
        self.assertEqual(by_term["gene 5"][0]["SOURCE_VERSION"], "2026jul22")

    def test_pairs_shape(self):
        pairs = self.lookup(["calcimycin", "fever", "calcimycin"], return_format="pairs")
        self.assertEqual([p["term"] for p in pairs], ["calcimycin", "fever", "calcimycin"])
        self.assertEqual(pairs[0], pairs[2])
        for entry in pairs:
            self.assertEqual(list(entry), ["term", "records"])
            self.assertIsInstance(entry["records"], list)
            for posting in entry["records"]:
                self.assertIsInstance(posting, tuple)
                self.assertEqual(len(posting), 2)
            self.assertEqual(entry["records"], sorted(set(entry["records"])))
        self.assertEqual([source for _, source in pairs[0]["records"]], [0, 1])

    def test_only_the_stored_spelling_is_found(self):
        self.assertTrue(self.lookup(["calcimycin"]))
        variants = ["Calcimycin", "CALCIMYCIN", " calcimycin", "calcimycin ", '"calcimycin"', "'calcimycin'",
                    "calcimycin\n", "", "ｃalcimycin"]
        for form in ("rows", "pairs"):
            self.assertEqual(self.lookup(variants, return_format=form), [], form)
        self.assertEqual(self.lookup([]), [])

    def test_every_thread_budget_gives_the_same_answer(self):
        rng = random.Random(7)
        for n in (1023, 1024):
            terms = [f"gene {rng.randrange(GENES + 300)}" for _ in range(n)]
            for form in ("pairs", "rows"):
                inline = self.lookup(terms, threads=1, return_format=form)
                self.assertGreater(len(inline), n // 2)
                for threads in (None, 0, 2, 16):
                    with self.subTest(n=n, form=form, threads=threads):
                        self.assertEqual(self.lookup(terms, threads=threads, return_format=form), inline)
                self.assertEqual(self.lookup(terms, return_format=form), inline)

    def test_lookups_from_several_python_threads(self):
        rng = random.Random(11)
        batches = [[f"gene {rng.randrange(GENES)}" for _ in range(1500)] for _ in range(4)]
        expected = [self.lookup(b, threads=1, return_format="pairs") for b in batches]
        failures = []

        def worker(k):
            try:
                for round in range(6):
                    i = (k + round) % len(batches)
                    got = self.lookup(batches[i], threads=None if round % 2 else 3, return_format="pairs")
                    if got != expected[i]:
                        failures.append((k, round))
            except BaseException as e:  # noqa: B036 - reported below
                failures.append(e)

        threads = [threading.Thread(target=worker, args=(k,)) for k in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(failures, [])

    def test_hydrate_curies(self):
        (entry,) = self.lookup(["calcimycin"], return_format="pairs")
        curie_id = entry["records"][0][0]
        rows = rs.hydrate_curies(self.db, [curie_id, curie_id])
        self.assertEqual(len(rows), 2)
        self.assertEqual(rows[0], rows[1])
        self.assertEqual(list(rows[0]), CURIE_KEYS)
        self.assertEqual(rows[0]["local_id"], "D000001")
        self.assertEqual(rows[0]["taxon_id"], -1)
        self.assertEqual(rs.hydrate_prefixes(self.db)[rows[0]["prefix_id"]], "MESH")
        self.assertEqual(rs.hydrate_curies(self.db, []), [])

        unknown = GENES + 1000
        with self.assertRaises(RuntimeError) as cm:
            rs.hydrate_curies(self.db, [curie_id, unknown])
        self.assertEqual(str(cm.exception), f"missing fullmap CURIE id {unknown}")

    def test_hydrate_tables(self):
        self.assertEqual(sorted(rs.hydrate_prefixes(self.db)), ["GEN", "HP", "MESH", "NS"])
        self.assertEqual(sorted(rs.hydrate_categories(self.db)), ["ChemicalEntity", "Gene", "PhenotypicFeature"])
        self.assertEqual(rs.hydrate_sources(self.db), ["alpha", "beta"])

    def test_return_format_and_threads_arguments(self):
        missing = str(self.tmp / "absent.redb")
        for bad in ("Rows", " rows", "row", ""):
            with self.assertRaises(ValueError) as cm:
                rs.lookup_fullmap_terms(missing, [], return_format=bad)
            self.assertEqual(str(cm.exception), "return_format must be 'rows' or 'pairs'")
        with self.assertRaises(TypeError) as cm:
            rs.lookup_fullmap_terms(self.db, ["fever"], return_format=None)
        self.assertEqual(cm.exception.__notes__, ["while processing 'return_format'"])
        self.assertEqual(rs.lookup_fullmap_terms(self.db, ["fever"], None), self.lookup(["fever"]))
        self.assertEqual(rs.lookup_fullmap_terms(self.db, ["fever"], None, "pairs"),
                         self.lookup(["fever"], return_format="pairs"))

    def test_missing_or_directory_database_fails_every_call(self):
        directory = self.tmp / "dir.redb"
        directory.mkdir()
        for db, text in [(self.tmp / "absent.redb", "No such file or directory (os error 2)"),
                         (directory, f"{os.path.realpath(directory)} is a directory, not a regular file")]:
            calls = [
                lambda: rs.lookup_fullmap_terms(db, []),
                lambda: rs.lookup_fullmap_terms(db, [], return_format="pairs"),
                lambda: rs.hydrate_curies(db, []),
                lambda: rs.hydrate_prefixes(db),
                lambda: rs.hydrate_categories(db),
                lambda: rs.hydrate_sources(db),
            ]
            for call in calls:
                with self.subTest(db=db.name), self.assertRaises(RuntimeError) as cm:
                    call()
                self.assertEqual(str(cm.exception), text)


class DatabaseFilesTest(unittest.TestCase):
    """What may lie at a fullmap's names, and who may hold its files."""

    TERMS = ["fever", "gene 5", "calcimycin", "gene 700"]

    @classmethod
    def setUpClass(cls):
        tmp = tempfile.TemporaryDirectory(prefix="lookup-files-")
        cls.addClassCleanup(tmp.cleanup)
        cls.tmp = pathlib.Path(os.path.realpath(tmp.name))
        os.chmod(cls.tmp, 0o755)
        syn = write_lines(cls.tmp / "alpha.ndjson", ALPHA)
        cls.source = build(cls.tmp / "source" / "map.redb", [syn])
        os.chmod(cls.source.parent, 0o755)

    def copy(self, name):
        """The source fullmap's files in a directory of their own, never opened here."""
        out = self.tmp / name
        out.mkdir(mode=0o755)
        for f in self.source.parent.glob("map*.redb"):
            shutil.copyfile(f, out / f.name)
        return out / "map.redb"

    def every_call(self, db):
        child = run_child(EVERY_CALL_CHILD, db, json.dumps(self.TERMS))
        self.assertEqual(child.returncode, 0, child.stderr)
        return [json.loads(line) for line in child.stdout.splitlines()]

    def test_a_fifo_at_a_main_or_shard_name_fails_lookups_and_hydration_at_once(self):
        main = self.copy("fifo-main")
        main.unlink()
        os.mkfifo(main)
        fifo = f"{main} is a FIFO, not a regular file"
        self.assertEqual(self.every_call(main), [fifo] * 6)

        main = self.copy("fifo-shard")
        shard = main.with_name("map.s5.redb")
        shard.unlink()
        os.mkfifo(shard)
        got = self.every_call(main)
        self.assertEqual(got[:2], [f"{shard} is a FIFO, not a regular file"] * 2)
        self.assertEqual(got[2:], self.every_call(self.source)[2:])

    def test_locks_a_mere_reader_holds_refuse_no_lookup_in_another_process(self):
        main = self.copy("held")
        holder = subprocess.Popen([sys.executable, "-c", READER_LOCKS_CHILD, "61203", main,
                                   main.with_name("map.s0.redb"), main.with_name("map.s9.redb")],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(holder.communicate, timeout=60)  # closes its stdin: it lets go
        self.assertEqual(holder.stdout.readline(), "held\n", holder.stderr.read() if holder.poll() else "")
        got = self.every_call(main)
        self.assertEqual(got, self.every_call(self.source))
        self.assertTrue(got[0] and all(isinstance(r, list) for r in got), got)

    def test_programs_started_after_a_lookup_hold_no_database_file(self):
        main = self.copy("inherited")
        rs.lookup_fullmap_terms(main, self.TERMS, threads=4)
        rs.hydrate_curies(main, [0])
        listing = r"""
import os
for fd in os.listdir("/proc/self/fd"):
    try:
        print(os.readlink(f"/proc/self/fd/{fd}"))
    except OSError:
        pass
"""
        child = subprocess.run([sys.executable, "-c", listing], close_fds=False, capture_output=True, text=True,
                               timeout=60)
        self.assertEqual(child.returncode, 0, child.stderr)
        held = [line for line in child.stdout.splitlines() if line.startswith(str(main.parent))]
        self.assertEqual(held, [])


class SmallFullmapTest(unittest.TestCase):
    def setUp(self):
        self.tmp = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory(prefix="lookup-small-")))

    def test_empty_tables_give_one_empty_name(self):
        syn = write_lines(self.tmp / "only.ndjson", ALPHA[:3])
        db = str(build(self.tmp / "empty.redb", [syn], CORVANTILE_FULLMAP_EXCLUDE_PREFIXES="MESH,HP,GEN"))
        self.assertEqual(rs.hydrate_prefixes(db), [""])
        self.assertEqual(rs.hydrate_categories(db), [""])
        self.assertEqual(rs.hydrate_sources(db), ["only"])
        self.assertEqual(rs.lookup_fullmap_terms(db, ["calcimycin", "fever"]), [])

    def test_a_rebuild_is_seen_by_the_next_lookup(self):
        db = str(self.tmp / "map.redb")
        first = write_lines(self.tmp / "first.ndjson", [{"curie": "X:1", "names": ["thing"], "preferred_name": "Old"}])
        build(db, [first])
        (before,) = rs.lookup_fullmap_terms(db, ["thing"])
        self.assertEqual((before["PREFERRED_NAME"], before["SOURCE_NAME"]), ("Old", "first"))

        second = write_lines(self.tmp / "second.ndjson",
                             [{"curie": "Y:2", "names": ["other"]}, {"curie": "X:1", "names": ["thing"],
                                                                     "preferred_name": "New"}])
        build(db, [second])
        (after,) = rs.lookup_fullmap_terms(db, ["thing"])
        self.assertEqual((after["PREFERRED_NAME"], after["SOURCE_NAME"]), ("New", "second"))
        self.assertEqual(after["CURIE"], "X:1")
        self.assertEqual(sorted(rs.hydrate_prefixes(db)), ["X", "Y"])


if __name__ == "__main__":
    unittest.main()
