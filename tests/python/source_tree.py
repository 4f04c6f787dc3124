"""Files of the source tree that some tests read.

The suite also runs against an installed wheel, from a copy of tests/python
(with README.md and examples/) outside the source tree (`make test-wheel`).
There a test whose file is not in the copy is skipped; in the source tree,
recognised by its pyproject.toml, a missing file fails the test as usual.
"""

from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
IN_SOURCE_TREE = (ROOT / "pyproject.toml").is_file()


def source_file(*parts: str) -> Path:
    """ROOT/parts; outside the source tree, skips the calling module if it is absent."""
    path = ROOT.joinpath(*parts)
    if not IN_SOURCE_TREE and not path.exists():
        pytest.skip(f"needs {'/'.join(parts)} of the source tree", allow_module_level=True)
    return path
