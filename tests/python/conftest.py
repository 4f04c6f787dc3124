import pytest
from core_driver import DRIVE, Core


@pytest.fixture(scope="module")
def core():
    """The C++ core, driven over its line protocol (see core_driver)."""
    if not DRIVE:
        pytest.skip("the C++ driver is built by `make test`")
    c = Core()
    yield c
    c.close()
