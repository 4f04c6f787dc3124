#!/usr/bin/env python3
"""Checks what `make dist` left in a folder: one sdist and one repaired wheel.

The wheel must carry a manylinux tag and exactly the package's files: one
extension module per module that CMakeLists.txt builds, the Python files, the
stubs and py.typed of src/korvel/algorithm, and its metadata; no C++ source and
no library grafted in by the repair. The sdist must carry what the build needs.
Prints a summary; exits non-zero with the differences otherwise.

usage: check-dist.py DIST_DIR
"""

import re
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
PACKAGE = ROOT / "src" / "korvel" / "algorithm"


def fail(message: str) -> None:
    print(f"check-dist: {message}", file=sys.stderr)
    sys.exit(1)


def expected_wheel_files() -> set[str]:
    modules = re.findall(r"^\s*korvel_module\((\w+)", (ROOT / "CMakeLists.txt").read_text(), re.M)
    if not modules:
        fail("no korvel_module() in CMakeLists.txt")
    suffix = sysconfig.get_config_var("EXT_SUFFIX")  # the wheel is built for this interpreter
    files = {f"korvel/algorithm/{m}{suffix}" for m in modules}
    for pattern in ("*.py", "*.pyi", "py.typed"):
        files |= {f"korvel/algorithm/{p.name}" for p in PACKAGE.glob(pattern)}
    return files


def check_wheel(wheel: Path) -> None:
    platform = wheel.name.removesuffix(".whl").split("-")[-1]
    if not all(tag.startswith("manylinux") for tag in platform.split(".")):
        fail(f"{wheel.name}: not a manylinux tag: {platform}")
    names = [n for n in zipfile.ZipFile(wheel).namelist() if not n.endswith("/")]
    dist_info = [n for n in names if n.split("/")[0].endswith(".dist-info")]
    package = {n for n in names if n not in dist_info}
    expected = expected_wheel_files()
    missing, extra = expected - package, package - expected
    if missing or extra:
        fail(f"{wheel.name}: missing {sorted(missing)}, unexpected {sorted(extra)}")
    meta = {n.split("/", 1)[1] for n in dist_info}
    if not {"METADATA", "WHEEL", "RECORD"} <= meta:
        fail(f"{wheel.name}: incomplete metadata {sorted(meta)}")
    kinds: dict[str, int] = {}
    for n in package:
        kind = ".so" if n.endswith(".so") else Path(n).suffix or Path(n).name
        kinds[kind] = kinds.get(kind, 0) + 1
    summary = ", ".join(f"{k} {kinds[k]}" for k in sorted(kinds))
    print(
        f"{wheel.name}: {wheel.stat().st_size / 1e6:.2f} MB; {summary}; {len(dist_info)} metadata"
    )


def check_sdist(sdist: Path) -> None:
    with tarfile.open(sdist) as tar:
        names = {n.split("/", 1)[1] for n in tar.getnames() if "/" in n}
    needed = {"pyproject.toml", "CMakeLists.txt", "PKG-INFO", "README.md"}
    needed |= {f"src/korvel/algorithm/{p.name}" for p in PACKAGE.glob("*.cpp")}
    needed |= {str(p.relative_to(ROOT)) for p in (ROOT / "include").rglob("*.hpp")}
    if missing := needed - names:
        fail(f"{sdist.name}: missing {sorted(missing)}")
    if built := sorted(n for n in names if n.endswith(".so") or n.startswith(("build/", "dist/"))):
        fail(f"{sdist.name}: holds build products {built[:5]}")
    print(f"{sdist.name}: {sdist.stat().st_size / 1e6:.2f} MB; {len(names)} files")


def main() -> None:
    if len(sys.argv) != 2:
        fail(__doc__.rsplit("usage: ", 1)[1].strip())
    dist = Path(sys.argv[1])
    wheels, sdists = sorted(dist.glob("*.whl")), sorted(dist.glob("*.tar.gz"))
    if len(wheels) != 1 or len(sdists) != 1:
        fail(f"{dist}: want one wheel and one sdist, found {[p.name for p in wheels + sdists]}")
    check_wheel(wheels[0])
    check_sdist(sdists[0])


if __name__ == "__main__":
    main()
