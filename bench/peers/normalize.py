"""Term normalisation in plain Python, kept to the same forms the native
build stores so that both sides answer the same queries."""
import re

# Unicode White_Space, which str.strip() does not match exactly (it also
# strips U+001C..U+001F).
WHITE_SPACE = ("\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005"
               "\u2006\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000")
QUOTES = "\"'"
DEAD_WORDS = frozenset(("na", "nan", "none", "null", "result", "symbol", "unknown", "p_value",
                        "variable", "exposure", "expression", "not applicable"))
REJECTED = ("inchikey", "uncharacterized", "hypothetical")
_PLAIN = re.compile(r"[a-z0-9_]*").fullmatch
_NOT_PLAIN = re.compile(r"[^a-z0-9_]+").sub


def clean(text):
    """Trim white space and enclosing quotes until nothing changes."""
    while True:
        before = len(text)
        text = text.strip(WHITE_SPACE)
        if len(text) >= 2 and text[0] in QUOTES:
            q = text[0]
            if text[1] == q:
                text = text[1:]
            elif text[-1] == q:
                text = text[1:-1]
        if len(text) == before:
            return text


def _acceptable(term):
    if not term or "\t" in term or "\n" in term or "\r" in term:
        return False
    for bad in REJECTED:
        if bad in term:
            return False
    if term in DEAD_WORDS or (term.isascii() and term.isdigit()):
        return False
    return True


def terms_of(text):
    """The stored forms of one text: nothing, the lower-cased form, or that
    form and its punctuation-free second form."""
    lowered = clean(text).lower()
    if not _acceptable(lowered):
        return ()
    if _PLAIN(lowered):
        return (lowered,)
    second = _NOT_PLAIN("", lowered)
    if second != lowered and _acceptable(second):
        return (lowered, second)
    return (lowered,)
