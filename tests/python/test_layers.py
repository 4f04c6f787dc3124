"""The layers keep to their parts: every text of a block is written once, in
the core, and the bindings reach CPython only through its public API."""

import re

from source_tree import source_file

CORE = source_file("include", "korvel")
BINDINGS = source_file("src", "korvel", "algorithm")
PYGLUE = source_file("src", "korvel", "pyglue")

# A C++ string literal, escapes included.
LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')


def literals(path):
    text = path.read_text()
    text = re.sub(r"//[^\n]*", "", text)  # comments may quote anything
    return {m.group(1) for m in LITERAL.finditer(text)}


def test_no_binding_repeats_a_text_of_the_core():
    # Messages, file-name patterns and texts the core prints: long enough to
    # be words, not a separator or a key.
    core = {
        t
        for p in CORE.glob("*.hpp")
        for t in literals(p)
        if len(t) >= 12 and re.search(r"[A-Za-z]{3}", t) and " " in t
    }
    assert len(core) > 20
    for path in sorted(BINDINGS.glob("*.[ch]pp")):
        repeated = core & literals(path)
        assert not repeated, f"{path.name} repeats {sorted(repeated)}"


def test_python_objects_change_only_through_the_public_api():
    # No float rewritten in place, no decision on a reference count, no
    # private CPython call.
    banned = re.compile(r"ob_fval|Py_REFCNT|Py_SET_REFCNT|\b_Py[A-Za-z]+\(|->ob_item\b")
    for path in sorted([*BINDINGS.glob("*.[ch]pp"), *PYGLUE.glob("*.[ch]pp")]):
        text = re.sub(r"//[^\n]*", "", path.read_text())
        found = banned.findall(text)
        assert not found, f"{path.name}: {found}"
