"""Plain-Python NDJSON de-duplication with the same output as rs.dedup_ndjson.

It is the baseline that bench/dedup.py measures the native module against,
and the oracle that tests/python/test_records.py compares it with. Written
for clarity, not speed.
"""

import json
import math
import uuid
from decimal import Decimal

# Characters with the Unicode White_Space property (str.strip() would also
# take U+001C..U+001F, which are not white space here).
WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000"
)
NULL_WORDS = {"null", "none", "nan", "na"}
U64_MAX = 2**64 - 1
I64_MIN = -(2**63)
DEFAULT_DOMAIN = "CORVANTILE"


class RecordError(Exception):
    pass


def _parse_int(token):
    value = int(token)
    if token.startswith("-"):
        if value == 0:
            return -0.0
        return value if value >= I64_MIN else float(token)
    return value if value <= U64_MAX else float(token)


def _parse_float(token):
    value = float(token)
    if math.isinf(value):
        raise RecordError("number out of range")
    return value


def _no_constant(name):
    raise RecordError("expected value")


def parse_line(text):
    """One JSON value; integers stay int when they fit 64 bits."""
    return json.loads(
        text,
        object_pairs_hook=dict,  # a repeated key keeps its first place, last value
        parse_int=_parse_int,
        parse_float=_parse_float,
        parse_constant=_no_constant,
    )


def format_float(x):
    if x == 0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    sign = "-" if x < 0 else ""
    digits_tuple = Decimal(repr(abs(x))).normalize().as_tuple()
    digits = "".join(map(str, digits_tuple.digits))
    exp = len(digits) - 1 + digits_tuple.exponent  # exponent of the first digit
    if -5 <= exp <= 15:
        if exp < 0:
            return sign + "0." + "0" * (-exp - 1) + digits
        int_len = exp + 1
        if len(digits) <= int_len:
            return sign + digits + "0" * (int_len - len(digits)) + ".0"
        return sign + digits[:int_len] + "." + digits[int_len:]
    mantissa = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    return sign + mantissa + "e" + ("-" if exp < 0 else "+") + str(abs(exp))


def dumps(value):
    if value is None:
        return "null"
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return format_float(value)
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    if isinstance(value, list):
        return "[" + ",".join(dumps(v) for v in value) + "]"
    return "{" + ",".join(json.dumps(k, ensure_ascii=False) + ":" + dumps(v) for k, v in value.items()) + "}"


def _dropped(value):
    if value is None:
        return True
    if isinstance(value, str):
        t = value.strip(WHITE_SPACE)
        return not t or (t.isascii() and t.lower() in NULL_WORDS)
    if isinstance(value, (list, dict)):
        return not value
    return False


def strip_nulls(value):
    if not isinstance(value, dict):
        return value
    out = {}
    for key, v in value.items():
        if _dropped(v):
            continue
        if isinstance(v, dict):
            v = strip_nulls(v)
        elif isinstance(v, list):
            v = [strip_nulls(e) if isinstance(e, dict) else e for e in v]
        out[key] = v
    return out


def uuid_from_parts(domain, parts):
    name = b"".join(str(len(p.encode())).encode() + b":" + p.encode() for p in parts)
    namespace = uuid.uuid3(uuid.UUID(int=0), domain)
    return str(uuid.uuid3(namespace, name))


def uuid_for_object(domain, obj):
    parts = []
    for key, v in sorted(obj.items()):  # code-point order is UTF-8 byte order
        if v is None or v is False or v == "":
            continue
        if v is True:
            text = "true"
        elif isinstance(v, str):
            text = v
        else:
            text = dumps(v)
        parts += [key, text]
    return uuid_from_parts(domain, parts)


def canonical_line(line, is_edges, domain=DEFAULT_DOMAIN):
    """Canonical bytes of one non-blank line, or None when it is skipped."""
    try:
        record = strip_nulls(parse_line(line))
    except ValueError as e:
        raise RecordError(str(e)) from None
    if isinstance(record, dict) and not record:
        return None
    try:
        if is_edges:
            if not isinstance(record, dict):
                raise RecordError("expected JSON object")
            record["id"] = uuid_for_object(domain, record)
        return dumps(record).encode()
    except UnicodeEncodeError:
        raise RecordError("lone surrogate") from None


def dedup_ndjson(input_path, output_path, is_edges, domain=DEFAULT_DOMAIN):
    seen = set()
    with open(input_path, "rb") as src, open(output_path, "wb") as dst:
        for raw in src:
            if raw.endswith(b"\n"):
                raw = raw[:-1]
                if raw.endswith(b"\r"):
                    raw = raw[:-1]
            try:
                line = raw.decode("utf-8")
            except UnicodeDecodeError:
                raise RecordError("stream did not contain valid UTF-8") from None
            if not line.strip(WHITE_SPACE):
                continue
            data = canonical_line(line, is_edges, domain)
            if data is None or data in seen:
                continue
            seen.add(data)
            dst.write(data + b"\n")
