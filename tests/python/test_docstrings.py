"""Every public name of the package carries a usable numpydoc docstring.

The walk covers each module, its classes (their public operations, the call
operation and public fields) and its functions: a summary line everywhere,
an Examples section with examples on classes and functions, and a Parameters
section naming every parameter of a callable that takes any. Then every
docstring's examples run under doctest, over the namespace of their module.
"""

import doctest
import importlib
import importlib.machinery
import inspect
import io
import pathlib
import re
from collections.abc import Iterator
from types import ModuleType

import pytest

import korvel.algorithm

PACKAGE = "korvel.algorithm"
PACKAGE_DIR = pathlib.Path(korvel.algorithm.__file__).parent
EXTENSIONS = sorted(
    {
        p.name.split(".")[0]
        for p in PACKAGE_DIR.iterdir()
        if p.name.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    }
)
MODULES = [PACKAGE, f"{PACKAGE}.__main__"] + [f"{PACKAGE}.{m}" for m in EXTENSIONS]
FLAGS = doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS
# What CPython and nanobind write where a docstring is missing: not a summary.
GENERATED = re.compile(r"^(fget)?\((self|obj)\b[^)]*\)\s*->|^Call self as a function\.$")


def documented(module: ModuleType) -> Iterator[tuple[str, object, str]]:
    """(qualified name, object, kind) for the module and its public names."""
    yield module.__name__, module, "module"
    for name in sorted(vars(module)):
        obj = vars(module)[name]
        if name.startswith("_") or getattr(obj, "__module__", None) != module.__name__:
            continue
        qualname = f"{module.__name__}.{name}"
        if inspect.isclass(obj):
            yield qualname, obj, "class"
            for attr, member in vars(obj).items():
                if attr == "__call__" or not attr.startswith("_"):
                    kind = "field" if inspect.isdatadescriptor(member) else "operation"
                    yield f"{qualname}.{attr}", member, kind
        elif callable(obj):
            yield qualname, obj, "function"


def section(doc: str, title: str) -> str | None:
    """The body of a numpydoc section, or None when the docstring has none."""
    match = re.search(
        rf"^{title}\n-{{{len(title)}}}\n(.*?)(?=^\S[^\n]*\n-+\n|\Z)", doc, re.S | re.M
    )
    return match.group(1) if match else None


def parameters(obj: object, kind: str) -> list[str]:
    if kind not in ("class", "operation", "function"):
        return []
    params = list(inspect.signature(obj).parameters.values())
    if kind == "operation" and params and params[0].name == "self":
        params = params[1:]
    return [p.name for p in params]


ENTRIES = [entry for m in MODULES for entry in documented(importlib.import_module(m))]


@pytest.mark.parametrize(("qualname", "obj", "kind"), ENTRIES, ids=[e[0] for e in ENTRIES])
def test_docstring_is_complete(qualname: str, obj: object, kind: str) -> None:
    doc = inspect.getdoc(obj) or ""
    lines = doc.splitlines()
    assert lines and lines[0].strip(), f"{qualname}: no summary line"
    assert not GENERATED.match(lines[0]), f"{qualname}: only a generated docstring"
    assert len(lines) == 1 or not lines[1].strip(), f"{qualname}: the summary is one line"
    if kind in ("class", "function"):
        examples = section(doc, "Examples")
        assert examples and ">>>" in examples, f"{qualname}: no Examples"
    names = parameters(obj, kind)
    if names:
        body = section(doc, "Parameters")
        assert body is not None, f"{qualname}: no Parameters section"
        listed = re.findall(r"^(\w+)\s*:", body, re.M)
        assert listed == names, f"{qualname}: Parameters list {listed}, the signature {names}"


@pytest.mark.parametrize("module_name", MODULES)
def test_examples_run(module_name: str) -> None:
    module = importlib.import_module(module_name)
    parser, failed = doctest.DocTestParser(), []
    for qualname, obj, _ in documented(module):
        doc = inspect.getdoc(obj) or ""
        test = parser.get_doctest(doc, dict(vars(module)), qualname, None, 0)
        if not test.examples:
            continue
        report = io.StringIO()
        runner = doctest.DocTestRunner(optionflags=FLAGS)
        if runner.run(test, out=report.write).failed:
            failed.append(f"{qualname}:\n{report.getvalue()}")
    assert not failed, "\n".join(failed)
