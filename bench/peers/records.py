"""NDJSON de-duplication and name-based UUIDs as a user would write them
with the standard library: json's C encoder, a set of seen lines,
uuid.uuid3. It follows bench/dedup_reference.py (the exact plain-Python
rendering the tests use), trading its hand-written serialiser for
json.dumps: output is byte-identical to the module's for records whose
floats need no exponent (json prints 1e-05 where the module prints
0.00001), which holds for the generated inputs."""
import json
import os
import sys
import uuid

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from dedup_reference import WHITE_SPACE, format_float  # noqa: E402

NIL = uuid.UUID(int=0)
_NULLISH = frozenset(("null", "none", "nan", "na"))
_dumps = json.JSONEncoder(ensure_ascii=False, separators=(",", ":"), allow_nan=False).encode


def namespace_uuid(domain, values):
    name = "".join(f"{len(v.encode())}:{v}" for v in values)
    return str(uuid.uuid3(uuid.uuid3(NIL, domain), name))


def _droppable(v):
    if v is None:
        return True
    if isinstance(v, str):
        t = v.strip(WHITE_SPACE)
        return not t or (len(t) <= 4 and t.isascii() and t.lower() in _NULLISH)
    if isinstance(v, (list, dict)):
        return not v
    return False


def strip_nulls(value):
    if not isinstance(value, dict):
        return value
    out = {}
    for k, v in value.items():
        if _droppable(v):
            continue
        if isinstance(v, dict):
            v = strip_nulls(v)
        elif isinstance(v, list):
            v = [strip_nulls(e) if isinstance(e, dict) else e for e in v]
        out[k] = v
    return out


def _number_text(v):
    return str(v) if isinstance(v, int) else format_float(v)


def uuid_for_object(domain, obj):
    parts = []
    for key in sorted(obj, key=lambda k: k.encode()):
        v = obj[key]
        if v is None or v is False or v == "" and isinstance(v, str):
            continue
        if v is True:
            text = "true"
        elif isinstance(v, (int, float)):
            text = _number_text(v)
        elif isinstance(v, str):
            text = v
        else:
            text = _dumps(v)
        parts.append(key)
        parts.append(text)
    return namespace_uuid(domain, parts)


def dedup_ndjson(input, output, is_edges, domain="CORVANTILE"):
    seen = set()
    with open(input, encoding="utf-8", newline="\n") as src, open(output, "w", encoding="utf-8") as dst:
        for line in src:
            if not line.strip(WHITE_SPACE):
                continue
            record = strip_nulls(json.loads(line))
            if isinstance(record, dict) and not record:
                continue
            if is_edges:
                if not isinstance(record, dict):
                    raise RuntimeError("expected JSON object")
                record["id"] = uuid_for_object(domain, record)
            text = _dumps(record)
            if text not in seen:
                seen.add(text)
                dst.write(text)
                dst.write("\n")
