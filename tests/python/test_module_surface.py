"""The module's registration, argument binding and conversion, and xxh64."""

import collections.abc
import importlib.util
import inspect
import pathlib
import subprocess
import unittest

from corvantile import rs

NAMES = [
    "build_fullmap_db",
    "fullmap_source_version",
    "hydrate_categories",
    "hydrate_curies",
    "hydrate_prefixes",
    "hydrate_sources",
    "lookup_fullmap_terms",
    "dedup_ndjson",
    "namespace_uuid",
    "xxh64",
]

SIGNATURES = {
    "build_fullmap_db": "(output, classes, synonyms, threads=None, progress=None)",
    "fullmap_source_version": "()",
    "hydrate_categories": "(db)",
    "hydrate_curies": "(db, curie_ids)",
    "hydrate_prefixes": "(db)",
    "hydrate_sources": "(db)",
    "lookup_fullmap_terms": "(db, terms, threads=None, return_format='rows')",
    "dedup_ndjson": "(input, output, is_edges, domain=None)",
    "namespace_uuid": "(domain, values)",
    "xxh64": "(data)",
}

# Functions whose operation is not wired in yet: reaching this error proves
# that binding and every conversion succeeded.
MISSING_FILE = "No such file or directory (os error 2)"
NO_SYNONYMS = "at least one synonym file is required"


def fresh_module(preset_all=None):
    """Runs the module's exec slot again on a new module object."""
    spec = importlib.util.find_spec("corvantile.rs")
    module = importlib.util.module_from_spec(spec)
    if preset_all is not None:
        module.__all__ = preset_all
    spec.loader.exec_module(module)
    return module


class RegistrationTest(unittest.TestCase):
    def test_all_lists_exactly_the_ten_functions_in_order(self):
        self.assertEqual(rs.__all__, NAMES)
        public = sorted(n for n in dir(rs) if not n.startswith("__"))
        self.assertEqual(public, sorted(NAMES))
        for name in NAMES:
            fn = getattr(rs, name)
            self.assertTrue(callable(fn))
            self.assertEqual(fn.__name__, name)
            self.assertEqual(fn.__module__, "corvantile.rs")

    def test_signatures_match_text_signatures(self):
        for name, text in SIGNATURES.items():
            with self.subTest(name=name):
                self.assertEqual(str(inspect.signature(getattr(rs, name))), text)

    def test_docstrings(self):
        lookup_doc = rs.lookup_fullmap_terms.__doc__
        self.assertEqual(len(lookup_doc.split("\n")), 6)
        self.assertFalse(lookup_doc.endswith("\n"))
        self.assertIn("GIL", lookup_doc)
        paragraphs = rs.xxh64.__doc__.split("\n\n")
        self.assertEqual(len(paragraphs), 2)
        self.assertEqual(paragraphs[0], "XXH64 hex digest (seed 0) of a string's UTF-8 bytes.")
        self.assertIsNone(rs.hydrate_curies.__doc__)

    def test_library_exports_only_its_init_function(self):
        # Anything more would be bound process-wide, against other modules'
        # copies of the same code, and unique symbols pin the library.
        listing = subprocess.run(["nm", "-D", "--defined-only", rs.__file__], capture_output=True, text=True,
                                 check=True).stdout
        self.assertEqual([line.split()[1:] for line in listing.splitlines()], [["T", "PyInit_rs"]])

    def test_exec_appends_to_an_existing_all_list(self):
        module = fresh_module(["already"])
        self.assertEqual(module.__all__, ["already"] + NAMES)
        self.assertEqual(module.xxh64("abc"), rs.xxh64("abc"))

    def test_exec_refuses_an_all_that_is_not_a_list(self):
        with self.assertRaises(TypeError) as cm:
            fresh_module(("already",))
        self.assertEqual(str(cm.exception), "'tuple' object is not an instance of 'list'")


class BinderTest(unittest.TestCase):
    def assert_type_error(self, text, fn, *args, **kwargs):
        with self.assertRaises(TypeError) as cm:
            fn(*args, **kwargs)
        self.assertEqual(str(cm.exception), text)
        self.assertFalse(getattr(cm.exception, "__notes__", None))

    def test_too_many_positional(self):
        self.assert_type_error("xxh64() takes 1 positional arguments but 2 were given", rs.xxh64, "a", "b")
        self.assert_type_error(
            "hydrate_curies() takes 2 positional arguments but 3 were given", rs.hydrate_curies, "d", [], 1
        )
        self.assert_type_error(
            "build_fullmap_db() takes from 3 to 5 positional arguments but 6 were given",
            rs.build_fullmap_db, "o", [], [], None, None, None,
        )
        self.assert_type_error(
            "lookup_fullmap_terms() takes from 2 to 4 positional arguments but 5 were given",
            rs.lookup_fullmap_terms, "d", [], None, "rows", 1,
        )

    def test_keyword_errors(self):
        self.assert_type_error("xxh64() got an unexpected keyword argument 'dat'", rs.xxh64, dat="x")
        self.assert_type_error("xxh64() got multiple values for argument 'data'", rs.xxh64, "x", data="y")
        self.assert_type_error(
            "dedup_ndjson() got multiple values for argument 'output'",
            rs.dedup_ndjson, "i", "o", True, output="o2",
        )

    def test_missing_required_joins_names(self):
        self.assert_type_error("xxh64() missing 1 required positional argument: 'data'", rs.xxh64)
        self.assert_type_error(
            "hydrate_curies() missing 2 required positional arguments: 'db' and 'curie_ids'", rs.hydrate_curies
        )
        self.assert_type_error(
            "build_fullmap_db() missing 3 required positional arguments: 'output', 'classes', and 'synonyms'",
            rs.build_fullmap_db,
        )
        self.assert_type_error(
            "dedup_ndjson() missing 1 required positional argument: 'is_edges'",
            rs.dedup_ndjson, "i", domain="d", output="o",
        )

    def test_keywords_bind_like_positionals(self):
        self.assertEqual(rs.xxh64(data="x"), rs.xxh64("x"))
        with self.assertRaisesRegex(ValueError, NO_SYNONYMS):
            rs.build_fullmap_db(progress=None, synonyms=[], classes=[], output="o")

    def test_no_arguments_function(self):
        self.assertEqual(rs.fullmap_source_version(), "2026jul22")
        with self.assertRaises(TypeError):
            rs.fullmap_source_version(1)
        with self.assertRaises(TypeError):
            rs.fullmap_source_version(x=1)


class ConversionTest(unittest.TestCase):
    def assert_refused(self, exc_type, text, param, fn, *args, **kwargs):
        with self.assertRaises(exc_type) as cm:
            fn(*args, **kwargs)
        if text is not None:
            self.assertEqual(str(cm.exception), text)
        self.assertEqual(cm.exception.__notes__, [f"while processing '{param}'"])
        return cm.exception

    def assert_accepted(self, fn, *args, **kwargs):
        # Accepted arguments reach the operation itself, which either answers
        # or fails on the file that these tests never create.
        try:
            result = fn(*args, **kwargs)
        except RuntimeError as e:
            self.assertEqual(str(e), MISSING_FILE)
            self.assertFalse(getattr(e, "__notes__", None))
        else:
            self.assertIsInstance(result, str)

    def assert_build_accepted(self, *args, **kwargs):
        # An empty synonym list is the build's first check, made right after
        # the conversions and before any file is touched.
        with self.assertRaises(ValueError) as cm:
            rs.build_fullmap_db(*args, **kwargs)
        self.assertEqual(str(cm.exception), NO_SYNONYMS)
        self.assertFalse(getattr(cm.exception, "__notes__", None))

    def test_str(self):
        self.assert_refused(TypeError, "'bytes' object is not an instance of 'str'", "data", rs.xxh64, b"abc")
        self.assert_refused(TypeError, "'None' is not an instance of 'str'", "data", rs.xxh64, None)
        self.assert_refused(TypeError, "'int' object is not an instance of 'str'", "domain", rs.namespace_uuid, 1, [])
        self.assert_refused(UnicodeEncodeError, None, "data", rs.xxh64, "\ud800")

        class Text(str):
            pass

        self.assertEqual(rs.xxh64(Text("abc")), rs.xxh64("abc"))

    def test_path(self):
        class FsPath:
            def __init__(self, value):
                self.value = value

            def __fspath__(self):
                return self.value

        self.assert_accepted(rs.hydrate_sources, pathlib.Path("x.db"))
        self.assert_accepted(rs.hydrate_sources, FsPath("x.db"))
        self.assert_refused(TypeError, "'bytes' object is not an instance of 'str'", "db", rs.hydrate_sources, b"x")
        self.assert_refused(TypeError, "'bytes' object is not an instance of 'str'", "db", rs.hydrate_sources, FsPath(b"x"))
        self.assert_refused(TypeError, None, "db", rs.hydrate_prefixes, None)
        self.assert_refused(TypeError, None, "db", rs.hydrate_categories, 3)
        self.assert_refused(UnicodeEncodeError, None, "input", rs.dedup_ndjson, "\ud800", "o", True)

    def test_list_accepts_any_sequence_but_str(self):
        self.assert_accepted(rs.hydrate_curies, "db", (1, 2))
        self.assert_accepted(rs.namespace_uuid, "x", [])

        class Indexed:  # __getitem__ only: a sequence to the C API
            def __len__(self):
                raise ValueError("length unknown")

            def __getitem__(self, i):
                if i >= 2:
                    raise IndexError(i)
                return "v"

        class Registered:  # no __getitem__, but a registered Sequence
            def __iter__(self):
                return iter(["a", "b"])

            def __len__(self):
                return 1 << 60

        collections.abc.Sequence.register(Registered)
        self.assert_accepted(rs.namespace_uuid, "x", Indexed())
        self.assert_accepted(rs.namespace_uuid, "x", Registered())
        self.assert_build_accepted("o", [pathlib.Path("c")], ())

    def test_list_refusals(self):
        self.assert_refused(TypeError, "Can't extract `str` to `Vec`", "values", rs.namespace_uuid, "x", "ab")
        self.assert_refused(
            TypeError, "'set' object is not an instance of 'Sequence'", "curie_ids", rs.hydrate_curies, "db", {1}
        )
        self.assert_refused(
            TypeError, "'generator' object is not an instance of 'Sequence'",
            "terms", rs.lookup_fullmap_terms, "db", (t for t in ["a"]),
        )
        self.assert_refused(
            TypeError, "'None' is not an instance of 'Sequence'", "synonyms", rs.build_fullmap_db, "o", [], None
        )
        self.assert_refused(
            TypeError, "'int' object is not an instance of 'str'", "values", rs.namespace_uuid, "x", ["a", 2]
        )
        self.assert_refused(TypeError, None, "classes", rs.build_fullmap_db, "o", [b"c"], ["s"])

        class Broken(collections.abc.Sequence):
            def __len__(self):
                return 1

            def __getitem__(self, i):
                raise KeyError("broken item")

        self.assert_refused(KeyError, None, "values", rs.namespace_uuid, "x", Broken())

    def test_u32_bounds(self):
        self.assert_accepted(rs.hydrate_curies, "db", [0, 4294967295])
        for bad in (-1, 4294967296):
            with self.subTest(bad=bad):
                self.assert_refused(
                    OverflowError, "out of range integral type conversion attempted",
                    "curie_ids", rs.hydrate_curies, "db", [1, bad],
                )
        self.assert_refused(OverflowError, None, "curie_ids", rs.hydrate_curies, "db", [1 << 64])
        self.assert_refused(TypeError, None, "curie_ids", rs.hydrate_curies, "db", [1.0])

        class Index:
            def __index__(self):
                return 7

        self.assert_accepted(rs.hydrate_curies, "db", [Index()])

    def test_threads(self):
        self.assert_build_accepted("o", [], [], (1 << 64) - 1)
        self.assert_accepted(rs.lookup_fullmap_terms, "db", ["a"], None)
        self.assert_refused(OverflowError, None, "threads", rs.lookup_fullmap_terms, "db", [], -1)
        self.assert_refused(OverflowError, None, "threads", rs.build_fullmap_db, "o", [], ["s"], 1 << 64)
        self.assert_refused(TypeError, None, "threads", rs.lookup_fullmap_terms, "db", [], threads="2")

    def test_is_edges_takes_only_booleans(self):
        self.assert_accepted(rs.dedup_ndjson, "i", "o", True)
        self.assert_accepted(rs.dedup_ndjson, "i", "o", False, None)
        for bad in (1, 0, None, "True"):
            with self.subTest(bad=bad):
                self.assert_refused(TypeError, None, "is_edges", rs.dedup_ndjson, "i", "o", bad)

        # numpy's boolean scalar types are recognised by name and module.
        for type_name in ("bool_", "bool"):
            scalar_type = type(type_name, (), {"__module__": "numpy", "__bool__": lambda self: True})
            self.assert_accepted(rs.dedup_ndjson, "i", "o", scalar_type())
        lookalike = type("bool_", (), {"__module__": "mypackage"})
        self.assert_refused(TypeError, None, "is_edges", rs.dedup_ndjson, "i", "o", lookalike())

    def test_progress_and_domain_take_anything_or_none(self):
        self.assert_build_accepted("o", [], [], progress=5)
        self.assert_build_accepted("o", [], [], None, lambda *a: None)
        self.assert_accepted(rs.dedup_ndjson, "i", "o", True, domain=None)
        self.assert_refused(TypeError, None, "domain", rs.dedup_ndjson, "i", "o", True, domain=1)

    def test_return_format(self):
        self.assert_refused(
            TypeError, "'None' is not an instance of 'str'",
            "return_format", rs.lookup_fullmap_terms, "db", [], return_format=None,
        )
        for bad in ("Rows", " rows", "row", ""):
            with self.subTest(bad=bad):
                with self.assertRaises(ValueError) as cm:
                    rs.lookup_fullmap_terms("/no/such/dir/x.db", ["a"], None, bad)
                self.assertEqual(str(cm.exception), "return_format must be 'rows' or 'pairs'")
        for good in ("rows", "pairs"):
            self.assert_accepted(rs.lookup_fullmap_terms, "db", [], return_format=good)

    def test_first_failing_parameter_wins(self):
        # Conversion follows parameter order, whatever order the keywords came in.
        self.assert_refused(
            TypeError, None, "db", rs.lookup_fullmap_terms, terms="not a list", return_format="bad", db=None
        )
        self.assert_refused(
            TypeError, "Can't extract `str` to `Vec`", "terms",
            rs.lookup_fullmap_terms, "db", "abc", return_format="bad",
        )


class Xxh64Test(unittest.TestCase):
    def test_known_digests(self):
        self.assertEqual(rs.xxh64(""), "ef46db3751d8e999")
        self.assertEqual(rs.xxh64("a"), "d24ec4f1a98c6e5b")
        self.assertEqual(rs.xxh64("abc"), "44bc2cf5ad770999")

    def test_hashes_utf8_bytes_and_keeps_leading_zeros(self):
        self.assertEqual(rs.xxh64("\u00e9"), "17d757dfb8b46f78")  # over c3 a9, not the Latin-1 byte e9
        digests = [rs.xxh64(str(i)) for i in range(4096)]
        for d in digests:
            self.assertRegex(d, r"^[0-9a-f]{16}$")
        self.assertTrue(any(d.startswith("0") for d in digests))
        self.assertEqual(len(set(digests)), len(digests))


if __name__ == "__main__":
    unittest.main()
