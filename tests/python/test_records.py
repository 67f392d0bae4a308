"""dedup_ndjson and namespace_uuid, checked against a plain-Python rendering
of the same rules (bench/dedup_reference.py) on generated records."""

import os
import pathlib
import random
import sys
import tempfile
import unittest
import uuid

from corvantile import rs

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench"))
import dedup_reference as ref  # noqa: E402

KEYS = ["id", "a", "b", "name", "Zeta", "é", "a b", "k\u00e9y", "x" * 20, "", "\u4e2d"]
TEXTS = ["", " ", "null", " NA ", "None", "nan", "NULL!", "nulls", "n/a", "0", "x", "Ab\u00e9",
         "\u00a0\u3000", "\u2028none\u2029", "\x1f", "tab\there", "quote\"back\\slash", "\U0001F600 smile",
         "\u007f", "slash/", "long text " * 5, "\u200b"]


class JsonWriter:
    """Writes generated values as JSON text with random spacing, escapes and
    number spellings, so the parser sees more than one way to say a thing."""

    def __init__(self, rng):
        self.rng = rng

    def space(self):
        return self.rng.choice(["", "", "", " ", "\t", " \r ", "  "])

    def string(self, s):
        out = ['"']
        for ch in s:
            code = ord(ch)
            r = self.rng.random()
            if ch == '"' or ch == "\\":
                out.append("\\" + ch)
            elif code < 0x20:
                short = {"\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t"}
                out.append(short.get(ch) if ch in short and r < 0.5 else "\\u%04x" % code)
            elif r < 0.15:
                if code > 0xFFFF:
                    hi, lo = divmod(code - 0x10000, 0x400)
                    out.append("\\u%04X\\u%04x" % (0xD800 + hi, 0xDC00 + lo))
                else:
                    out.append("\\u%04x" % code)
            elif ch == "/" and r < 0.5:
                out.append("\\/")
            else:
                out.append(ch)
        out.append('"')
        return "".join(out)

    def number(self):
        rng = self.rng
        kind = rng.randrange(9)
        if kind == 0:
            return str(rng.randrange(0, 1000))
        if kind == 1:
            return str(rng.choice([2**64 - 1, 2**64, 2**63, -(2**63), -(2**63) - 1, 10**25, -(10**30), 0]))
        if kind == 2:
            return rng.choice(["-0", "-0.0", "0.0", "0e5", "-0E-3", "1E2", "1e+2", "5e-324", "1e-400",
                               "1.7976931348623157e308", "0.1", "1e15", "1e16", "1e-5", "1e-6", "123456.789e3"])
        if kind == 3:
            return str(-rng.randrange(1, 10**6))
        if kind == 4:
            return repr(rng.uniform(-1e6, 1e6))
        digits = str(rng.randrange(1, 10**rng.randrange(1, 19)))
        frac = "." + str(rng.randrange(0, 10**rng.randrange(1, 8))) if rng.random() < 0.7 else ""
        exp = rng.choice(["", "e", "E", "e+", "e-"])
        exp = exp + str(rng.randrange(0, 300)) if exp else ""
        return rng.choice(["", "-"]) + digits + frac + exp

    def value(self, depth):
        rng = self.rng
        kind = rng.randrange(10 if depth < 4 else 6)
        if kind == 0:
            return "null"
        if kind == 1:
            return rng.choice(["true", "false"])
        if kind in (2, 3):
            return self.number()
        if kind in (4, 5):
            return self.string(rng.choice(TEXTS))
        if kind in (6, 7):
            items = [self.value(depth + 1) for _ in range(rng.randrange(4))]
            return "[" + self.space() + ("," + self.space()).join(items) + self.space() + "]"
        return self.object(depth)

    def object(self, depth):
        rng = self.rng
        members = []
        for _ in range(rng.randrange(6)):
            members.append(self.space() + self.string(rng.choice(KEYS)) + self.space() + ":" + self.space()
                           + self.value(depth + 1) + self.space())
        return "{" + ",".join(members) + self.space() + "}"


class RecordsTestCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = pathlib.Path(self.tmp.name)

    def tearDown(self):
        self.tmp.cleanup()

    def both(self, data, is_edges, domain=None):
        """(native outcome, reference outcome): output bytes, or ("error", output)."""
        src = self.dir / "in.ndjson"
        src.write_bytes(data)
        results = []
        for name, fn in (("native", rs.dedup_ndjson), ("reference", ref.dedup_ndjson)):
            out = self.dir / (name + ".ndjson")
            try:
                if domain is None:
                    fn(src, out, is_edges)
                else:
                    fn(src, out, is_edges, domain)
                results.append(out.read_bytes())
            except (RuntimeError, ref.RecordError):
                results.append(("error", out.read_bytes()))
        return results


class DifferentialTest(RecordsTestCase):
    rejected = 0

    def generated_lines(self, seed, objects_only):
        rng = random.Random(seed)
        writer = JsonWriter(rng)
        lines = []
        for _ in range(1500):
            if lines and rng.random() < 0.25:
                lines.append(rng.choice(lines))  # an exact repeat
            elif objects_only or rng.random() < 0.8:
                lines.append(writer.object(0))
            else:
                lines.append(writer.value(0))
        return lines

    def assert_same(self, lines, is_edges, domain=None):
        data = "\n".join(lines).encode() + b"\n"
        native, reference = self.both(data, is_edges, domain)
        self.assertEqual(native, reference)
        return native

    def test_records_and_values(self):
        for seed in range(4):
            lines = self.generated_lines(seed, objects_only=False)
            ok = [l for l in lines if not self.fails_alone(l, False)]
            out = self.assert_same(ok, False)
            self.assertIsInstance(out, bytes)
            self.assertGreater(out.count(b"\n"), 500)
        self.assertGreater(self.rejected, 10)  # out-of-range numbers among them

    def test_edges(self):
        for seed in range(4, 7):
            lines = self.generated_lines(seed, objects_only=True)
            ok = [l for l in lines if not self.fails_alone(l, True)]
            self.assert_same(ok, True)
            self.assert_same(ok[:200], True, domain="other domain \u00e9")

    def fails_alone(self, line, is_edges):
        # A failing line ends the whole run, so lines the reference rejects
        # are checked one at a time and the rest go through together (where
        # a line only the native side rejects shows up as a mismatch).
        try:
            ref.canonical_line(line, is_edges)
            return False
        except ref.RecordError:
            native, reference = self.both(line.encode() + b"\n", is_edges)
            self.assertIsInstance(native, tuple, line)
            self.assertEqual(native, reference, line)
            self.rejected += 1
            return True


class DedupTest(RecordsTestCase):
    def run_native(self, data, is_edges=False, **kw):
        src = self.dir / "in.ndjson"
        out = self.dir / "out.ndjson"
        src.write_bytes(data)
        rs.dedup_ndjson(str(src), out, is_edges, **kw)
        return out.read_bytes()

    def assert_raises_text(self, data, text, is_edges=False, before=b""):
        with self.assertRaises(RuntimeError) as cm:
            self.run_native(data, is_edges)
        self.assertEqual(str(cm.exception), text)
        self.assertEqual((self.dir / "out.ndjson").read_bytes(), before)

    def test_canonical_first_occurrences(self):
        self.assertEqual(self.run_native(b'{"a":1}\n{ "a" : 1 }\n{"a":1,"b":null}\n{"a":1}\n'), b'{"a":1}\n')
        self.assertEqual(self.run_native(b'{"a":1,"b":2}\n{"b":2,"a":1}\n'), b'{"a":1,"b":2}\n{"b":2,"a":1}\n')
        self.assertEqual(self.run_native(b'\n  \n{}\n{"a":null}\nnull\nnull\n-0\n{"x":1}'), b'null\n-0.0\n{"x":1}\n')

    def test_edges_and_domain(self):
        default = self.run_native(b'{"id":"x","a":1}\n{"id":null,"a":1}\n', True)
        self.assertEqual(default, self.run_native(b'{"id":"x","a":1}\n{"id":null,"a":1}\n', True, domain=None))
        self.assertEqual(default, self.run_native(b'{"id":"x","a":1}\n{"id":null,"a":1}\n', True,
                                                  domain="CORVANTILE"))
        first, second = default.decode().splitlines()
        self.assertTrue(first.startswith('{"id":"') and first.endswith('","a":1}'))
        self.assertTrue(second.startswith('{"a":1,"id":"'))
        self.assertNotEqual(default, self.run_native(b'{"id":"x","a":1}\n{"id":null,"a":1}\n', True, domain="x"))
        ident = uuid.UUID(second[len('{"a":1,"id":"'):-2])
        self.assertEqual(ident.version, 3)
        self.assertEqual(str(ident), rs.namespace_uuid("CORVANTILE", ["a", "1"]))

    def test_failure_texts_and_partial_output(self):
        self.assert_raises_text(b'{"a":1}\n{"b":2}\n{"c"\n{"d":4}\n', "EOF while parsing an object at line 1 column 4",
                                before=b'{"a":1}\n{"b":2}\n')
        self.assert_raises_text(b'{"a":1}\nnull\n', "expected JSON object", True,
                                before=b'{"a":1,"id":"' + rs.namespace_uuid("CORVANTILE", ["a", "1"]).encode() + b'"}\n')
        self.assert_raises_text(b'\xef\xbb\xbf{"a":1}\n', "expected value at line 1 column 1")
        self.assert_raises_text(b'{"a":1e400}\n', "number out of range at line 1 column 10")
        self.assert_raises_text(b'{"a":1} 2\n', "trailing characters at line 1 column 9")
        self.assert_raises_text(b'[1]\n{"a":"\xff"}\n', "stream did not contain valid UTF-8", before=b"[1]\n")
        self.assert_raises_text(b'"\\ud800"\n', "unexpected end of hex escape at line 1 column 8")
        self.assert_raises_text(b"[" * 130 + b"\n", "recursion limit exceeded at line 1 column 128")

    def test_files(self):
        out = self.dir / "out.ndjson"
        out.write_bytes(b"keep")
        with self.assertRaises(RuntimeError) as cm:
            rs.dedup_ndjson(self.dir / "missing.ndjson", out, False)
        self.assertEqual(str(cm.exception), "No such file or directory (os error 2)")
        self.assertEqual(out.read_bytes(), b"keep")

        src = self.dir / "same.ndjson"
        src.write_bytes(b'{"a":1}\n{"a":1}\n')
        os.link(src, self.dir / "hard.ndjson")
        for target in (src, self.dir / "hard.ndjson", self.dir / "." / "same.ndjson"):
            with self.assertRaises(RuntimeError) as cm:
                rs.dedup_ndjson(src, target, False)
            self.assertEqual(str(cm.exception), "input and output are the same file")
            self.assertEqual(src.read_bytes(), b'{"a":1}\n{"a":1}\n')


class NamespaceUuidTest(unittest.TestCase):
    def test_known_values(self):
        self.assertEqual(rs.namespace_uuid("abc", ["ab", "c"]), "6b9f658e-7fea-31fe-b2ab-47994462ea49")
        self.assertEqual(rs.namespace_uuid("abc", []), "1ccff59d-37d2-39df-8ffd-10d2e92669dd")
        self.assertEqual(rs.namespace_uuid(domain="abc", values=("ab", "c")), "6b9f658e-7fea-31fe-b2ab-47994462ea49")

    def test_matches_uuid3_of_length_prefixed_parts(self):
        rng = random.Random(5)
        for _ in range(200):
            domain = "".join(rng.choice("ab\u00e9\U0001F600 :") for _ in range(rng.randrange(6)))
            parts = ["".join(rng.choice("xy:1\u00e9") for _ in range(rng.randrange(4))) for _ in range(rng.randrange(5))]
            name = b"".join(str(len(p.encode())).encode() + b":" + p.encode() for p in parts)
            expected = str(uuid.uuid3(uuid.uuid3(uuid.UUID(int=0), domain), name))
            self.assertEqual(rs.namespace_uuid(domain, parts), expected)
            self.assertEqual(ref.uuid_from_parts(domain, parts), expected)


if __name__ == "__main__":
    unittest.main()
