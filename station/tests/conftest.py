# Shared by the results store's tests: one throwaway PostgreSQL server per session.
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from rigresults_lib import pgtemp  # noqa: E402


@pytest.fixture(scope="session")
def server():
    """The URL of a fresh PostgreSQL server; skips where its binaries are not installed."""
    try:
        with pgtemp.temp_server() as url:
            yield url
    except FileNotFoundError as e:
        pytest.skip(str(e))
