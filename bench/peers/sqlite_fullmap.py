"""The fullmap as a user would build it without the module: plain Python
reading the same class and synonym files into SQLite (normalised terms in
one indexed table, CURIE rows and string tables in others), and lookups as
SQL queries returning the same dicts as lookup_fullmap_terms."""
import gzip
import json
import os
import re
import sqlite3

from .normalize import clean, terms_of

SOURCE_VERSION = "2026jul22"
BATCH = 200_000
_TAXON = re.compile(r"[+-]?[0-9]+").fullmatch

SCHEMA = """
CREATE TABLE prefixes(id INTEGER PRIMARY KEY, text TEXT NOT NULL);
CREATE TABLE categories(id INTEGER PRIMARY KEY, text TEXT NOT NULL);
CREATE TABLE sources(id INTEGER PRIMARY KEY, name TEXT NOT NULL);
CREATE TABLE curies(id INTEGER PRIMARY KEY, prefix_id INTEGER, local_id TEXT, preferred_name TEXT,
                    category_id INTEGER, taxon_id INTEGER);
CREATE TABLE terms(term TEXT NOT NULL, curie_id INTEGER NOT NULL, source_id INTEGER NOT NULL);
"""


def open_lines(path):
    return gzip.open(path, "rb") if str(path).endswith(".gz") else open(path, "rb")


def source_name(path):
    name = os.path.basename(str(path))
    stem = name.rsplit(".", 1)[0] if "." in name[1:] else name
    return stem[:-7] if stem.endswith(".ndjson") else stem


def load_equivalents(classes):
    """key CURIE -> identifiers, repeats dropped, rows of one key merged."""
    equiv = {}
    for path in classes:
        with open_lines(path) as f:
            for line in f:
                if not line.strip():
                    continue
                row = json.loads(line)
                ids = []
                for e in row.get("equivalent_identifiers") or ():
                    ident = e if isinstance(e, str) else (e.get("identifier") or e.get("curie") or e.get("id"))
                    if ident:
                        ids.append(ident)
                key = row.get("id") or row.get("curie") or (ids[0] if ids else None)
                if key is None:
                    continue
                have = equiv.get(key)
                if have is None:
                    equiv[key] = tuple(dict.fromkeys(ids))
                else:
                    equiv[key] = tuple(dict.fromkeys(have + tuple(ids)))
    return equiv


def taxon_of(taxa):
    if not taxa:
        return 0
    t = taxa[0]
    while t.startswith("NCBITaxon:"):
        t = t[10:]
    if not _TAXON(t):
        return 0
    v = int(t)
    return v if -2**31 <= v < 2**31 else 0


def build(output, classes, synonyms, progress=None):
    for path in (output, output + "-journal"):
        if os.path.exists(path):
            os.unlink(path)
    db = sqlite3.connect(output)
    db.executescript("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA cache_size=-1048576;"
                     "PRAGMA temp_store=FILE;" + SCHEMA)
    if progress:
        progress(0, 0, len(classes), "merging equivalents")
    equiv = load_equivalents(classes)
    prefixes, categories, curie_ids = {}, {}, {}
    term_rows, curie_rows = [], []
    rows_seen = 0
    for source_id, path in enumerate(synonyms):
        db.execute("INSERT INTO sources VALUES (?, ?)", (source_id, source_name(path)))
        if progress:
            progress(1, rows_seen, 0, source_name(path))
        with open_lines(path) as f:
            for line in f:
                if not line.strip():
                    continue
                rows_seen += 1
                row = json.loads(line)
                curie = row.get("curie") or row.get("id")
                if not curie or ":" not in curie:
                    continue
                prefix, local = curie.split(":", 1)
                if not prefix or not local:
                    continue
                pid = prefixes.setdefault(prefix, len(prefixes))
                types = row.get("types") or row.get("categories") or ()
                category = types[0] if types else "NamedThing"
                while category.startswith("biolink:"):
                    category = category[8:]
                cat = categories.setdefault(category, len(categories))
                cid = curie_ids.get(curie)
                if cid is None:
                    cid = curie_ids[curie] = len(curie_ids)
                    pref = row.get("preferred_name")
                    if pref is None:
                        pref = row.get("name")
                    curie_rows.append((cid, pid, local, clean(curie if pref is None else pref), cat,
                                       taxon_of(row.get("taxa") or row.get("taxon"))))
                terms = set()
                for name in row.get("names") or ():
                    terms.update(terms_of(name))
                terms.update(terms_of(curie))
                for ident in equiv.get(curie, ()):
                    terms.update(terms_of(ident))
                term_rows.extend((t, cid, source_id) for t in terms)
                if len(term_rows) >= BATCH:
                    db.executemany("INSERT INTO terms VALUES (?, ?, ?)", term_rows)
                    term_rows.clear()
                if len(curie_rows) >= BATCH:
                    db.executemany("INSERT INTO curies VALUES (?, ?, ?, ?, ?, ?)", curie_rows)
                    curie_rows.clear()
    db.executemany("INSERT INTO terms VALUES (?, ?, ?)", term_rows)
    db.executemany("INSERT INTO curies VALUES (?, ?, ?, ?, ?, ?)", curie_rows)
    db.executemany("INSERT INTO prefixes VALUES (?, ?)", [(i, p) for p, i in prefixes.items()])
    db.executemany("INSERT INTO categories VALUES (?, ?)", [(i, c) for c, i in categories.items()])
    del equiv, curie_ids
    if progress:
        progress(2, 0, 0, "indexing terms")
    db.execute("CREATE INDEX terms_by_term ON terms(term)")
    db.commit()
    db.close()


PAIRS_SQL = "SELECT DISTINCT curie_id, source_id FROM terms WHERE term = ? ORDER BY curie_id, source_id"
ROWS_SQL = """
SELECT DISTINCT t.curie_id, t.source_id, p.text || ':' || c.local_id, c.preferred_name, k.text, c.taxon_id, s.name
FROM terms t JOIN curies c ON c.id = t.curie_id JOIN prefixes p ON p.id = c.prefix_id
JOIN categories k ON k.id = c.category_id JOIN sources s ON s.id = t.source_id
WHERE t.term = ? ORDER BY t.curie_id, t.source_id
"""


def connect(path):
    db = sqlite3.connect(f"file:{path}?mode=ro", uri=True, check_same_thread=False)
    db.execute("PRAGMA cache_size=-262144")
    return db


def lookup(db, terms, return_format="rows"):
    if return_format == "pairs":
        out = []
        for term in terms:
            records = db.execute(PAIRS_SQL, (term,)).fetchall()
            if records:
                out.append({"term": term, "records": records})
        return out
    out = []
    for term in terms:
        for _, _, curie, pref, cat, taxon, source in db.execute(ROWS_SQL, (term,)):
            out.append({"term": term, "CURIE": curie, "PREFERRED_NAME": pref, "CATEGORY_NAME": cat,
                        "TAXON_ID": taxon, "SOURCE_NAME": source, "SOURCE_VERSION": SOURCE_VERSION})
    return out
