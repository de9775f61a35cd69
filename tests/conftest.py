import pytest

from leakcheck import assert_no_leak


@pytest.fixture
def no_leak():
    """The leak check, for tests marked `leakcheck`: `no_leak(lambda: op())`."""
    return assert_no_leak
