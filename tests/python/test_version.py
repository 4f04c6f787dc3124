"""The package's version is the one in its installed metadata."""

import importlib.metadata
from pathlib import Path

import pytest

import korvel.algorithm


def test_version_is_the_installed_metadata_version():
    try:
        dist = importlib.metadata.distribution("korvel-algorithm")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("no metadata: the package runs from its source tree")
    installed = {Path(dist.locate_file(f)).resolve() for f in dist.files or ()}
    if Path(korvel.algorithm.__file__).resolve() not in installed:
        pytest.skip("the package imported is not the installed one (an in-place build)")
    assert korvel.algorithm.__version__ == dist.version


def test_build_and_run_time_numpy_bounds_agree():
    # Modules built against NumPy's C API must run with the NumPy they admit.
    pyproject = Path(__file__).resolve().parents[2] / "pyproject.toml"
    if not pyproject.exists():
        pytest.skip("no source tree")
    import tomllib

    meta = tomllib.loads(pyproject.read_text())

    def numpy_bound(reqs):
        return next(r.split(">=")[1].split(",")[0] for r in reqs if r.startswith("numpy>="))

    assert numpy_bound(meta["build-system"]["requires"]) == numpy_bound(
        meta["project"]["dependencies"]
    )
