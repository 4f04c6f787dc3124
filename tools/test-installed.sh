#!/usr/bin/env bash
# Runs the Python suite against the wheel in dist/, installed with plain pip
# (binaries only: nothing is compiled) into a fresh venv, together with the
# `test` extra's dependencies and any further requirements given.
#
# usage: tools/test-installed.sh VENV [REQUIREMENT...]
#
# The suite runs from a copy of tests/python, README.md and examples/ in a
# temporary folder, with no PYTHONPATH, so the package can only come from the
# venv: a file missing from the wheel fails the tests that use it. Tests that
# need the rest of the source tree (the C++ headers and build, pyproject.toml)
# skip there.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$1
shift

wheels=(dist/*.whl)
[ -f "${wheels[0]}" ] && [ ${#wheels[@]} -eq 1 ] \
  || { echo "error: want one wheel in dist/ (make dist)" >&2; exit 1; }

rm -rf "$venv"
"$(tools/find-python.sh)" -m venv "$venv"
venv=$(cd "$venv" && pwd)
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q --only-binary=:all: "${wheels[0]}[test]" "$@"

tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/tests"
cp -r tests/python "$tree/tests/"
cp -r README.md examples "$tree/"
cd "$tree"
unset PYTHONPATH KORVEL_CPP_BUILD

# The package imported is the installed one, and no build tool came along;
# the README's quick tour runs with nothing on PATH but the venv (no compiler,
# no CMake).
env -i PATH="$venv/bin" "$venv/bin/python" - "$venv" <<'EOF'
import importlib.util, pathlib, re, sys
import korvel.algorithm, numpy, scipy
where = pathlib.Path(korvel.algorithm.__file__).resolve()
print(f"korvel.algorithm {korvel.algorithm.__version__} from {where}")
print(f"numpy {numpy.__version__}, scipy {scipy.__version__}")
assert where.is_relative_to(pathlib.Path(sys.argv[1])), "not the installed package"
tools = [m for m in ("nanobind", "scikit_build_core", "cmake") if importlib.util.find_spec(m)]
assert not tools, f"build tools in the test venv: {tools}"
readme = pathlib.Path("README.md").read_text()
scope = {}
exec(re.search(r"## A quick tour.*?```python\n(.*?)```", readme, re.S)[1], scope)
print(f"quick tour: pv {scope['pv']:.4f}")
EOF
"$venv/bin/python" -m pytest -q -ra -p no:cacheprovider tests/python
