"""Autodoc support for the compiled korvel.algorithm modules.

Compiled types give autodoc less than Python classes do:

- The call operation of a block is a slot (``tp_call``): its signature reads
  ``(*args, **kwargs)`` and its docstring is CPython's generic "Call self as a
  function.". The signature is taken from the module's stub (the ``.pyi``
  file shipped next to the module) and the docstring says what the call is.
- Fields without a docstring of their own carry an automatic one that only
  repeats a signature (``(self) -> float``); it is dropped, so that such a
  field shows as undocumented rather than with a pseudo-signature.
- A class derived from another block says so (the base's operations are
  documented once, at the base).

Everything else (signatures from ``__text_signature__``, numpydoc docstrings)
is left to autodoc and numpydoc.

Once all pages are read, every public name of every module listed in the
configuration value ``korvel_modules`` (functions, classes, and the methods,
fields and call operation of each class) must have been documented; a missing
one is a warning, and so fails a build with ``-W``.
"""

from __future__ import annotations

import ast
import importlib
import re
import sys
from functools import cache
from pathlib import Path

from sphinx.util import logging

logger = logging.getLogger(__name__)

PACKAGE = "korvel.algorithm"
GENERIC_CALL_DOC = "Call self as a function."
AUTOMATIC_DOC = re.compile(r"^(fget)?\((self|obj)\b[^)]*\)\s*->\s*\S.*$")


@cache
def stub_functions(module_name: str) -> dict[str, ast.FunctionDef]:
    """Qualified name (``Class.method`` or ``function``) -> its stub definition."""
    module = importlib.import_module(module_name)
    path = Path(module.__file__ or "").parent / (module_name.rsplit(".", 1)[-1] + ".pyi")
    if not path.is_file():
        return {}
    found: dict[str, ast.FunctionDef] = {}

    def visit(body: list[ast.stmt], prefix: str) -> None:
        for node in body:
            if isinstance(node, ast.ClassDef):
                visit(node.body, prefix + node.name + ".")
            elif isinstance(node, ast.FunctionDef):
                found.setdefault(prefix + node.name, node)

    visit(ast.parse(path.read_text(encoding="utf-8")).body, "")
    return found


def split_name(name: str) -> tuple[str, str] | None:
    """``korvel.algorithm.tfblock.zFilter.run`` -> (module, ``zFilter.run``)."""
    parts = name.split(".")
    for i in range(len(parts) - 1, 0, -1):
        module = ".".join(parts[:i])
        if module.startswith(PACKAGE + ".") and module in sys.modules:
            return module, ".".join(parts[i:])
    return None


def render(fn: ast.FunctionDef, drop_first: bool) -> str:
    """The parameter list of a stub definition, without annotations."""
    a = fn.args
    positional = a.posonlyargs + a.args
    defaults: list[ast.expr | None] = [None] * (len(positional) - len(a.defaults))
    defaults += list(a.defaults)
    items: list[str] = []
    for i, (arg, default) in enumerate(zip(positional, defaults, strict=True)):
        if drop_first and i == 0:
            continue
        items.append(arg.arg if default is None else f"{arg.arg}={ast.unparse(default)}")
        if a.posonlyargs and i == len(a.posonlyargs) - 1:
            items.append("/")
    if a.vararg:
        items.append("*" + a.vararg.arg)
    elif a.kwonlyargs:
        items.append("*")
    for arg, default in zip(a.kwonlyargs, a.kw_defaults, strict=True):
        items.append(arg.arg if default is None else f"{arg.arg}={ast.unparse(default)}")
    if a.kwarg:
        items.append("**" + a.kwarg.arg)
    return "(" + ", ".join(items) + ")"


def owner_of(name: str) -> object | None:
    where = split_name(name)
    if where is None:
        return None
    obj: object = sys.modules[where[0]]
    for part in where[1].split(".")[:-1]:
        obj = getattr(obj, part, None)
    return obj


def process_signature(app, what, name, obj, options, signature, return_annotation):
    if what not in ("method", "function") or signature not in (None, "(*args, **kwargs)"):
        return None
    where = split_name(name)
    if where is None:
        return None
    fn = stub_functions(where[0]).get(where[1])
    if fn is None:
        return None
    return render(fn, drop_first=what == "method"), None


def process_docstring(app, what, name, obj, options, lines):
    text = "\n".join(lines).strip()
    if name.endswith(".__call__") and text in ("", GENERIC_CALL_DOC):
        same = " :meth:`run` is the same step." if hasattr(owner_of(name), "run") else ""
        lines[:] = ["One sample: calling the block performs its sampling step." + same]
    elif AUTOMATIC_DOC.match(text):
        lines[:] = []
    elif what == "class":
        bases = [b for b in obj.__bases__ if b is not object]
        if bases:
            # After the summary line, so that numpydoc keeps it in the extended summary.
            named = ", ".join(f":class:`~{b.__module__}.{b.__qualname__}`" for b in bases)
            end = lines.index("") if "" in lines else len(lines)
            lines[end:end] = ["", f"Derived from {named}: its operations apply here too."]


def public_names(module_name: str) -> list[str]:
    """Fully qualified public names of a module, its classes' members included."""
    module = importlib.import_module(module_name)
    names = []
    for name in dir(module):
        if name.startswith("_"):
            continue
        obj = getattr(module, name)
        names.append(f"{module_name}.{name}")
        if isinstance(obj, type):
            names += [
                f"{module_name}.{name}.{member}"
                for member in vars(obj)
                if not member.startswith("_") or member == "__call__"
            ]
    return names


def check_coverage(app, env):
    documented = set(env.get_domain("py").objects)
    for module in app.config.korvel_modules:
        for name in public_names(module):
            if name not in documented:
                logger.warning("%s is public but not in the API reference", name)


def setup(app):
    app.add_config_value("korvel_modules", [], "env")
    app.connect("env-check-consistency", check_coverage)
    # Before numpydoc's handlers, which would keep the generic signature.
    app.connect("autodoc-process-signature", process_signature, priority=100)
    app.connect("autodoc-process-docstring", process_docstring, priority=100)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
