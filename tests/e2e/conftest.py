import os

import pytest

from vornel.wine import BIN, WineSession


@pytest.fixture(scope="session")
def wine():
    if not BIN.is_dir():
        pytest.fail(f"no Windows build in {BIN}: run cmake --build --preset windows first")
    session = WineSession(os.environ.get("VORNEL_WINE_PREFIX")).start()
    yield session
    session.close()
