import os

import pytest

from agents import AgentService
from vornel.wine import BIN, WineSession


@pytest.fixture(scope="session")
def wine():
    if not BIN.is_dir():
        pytest.fail(f"no Windows build in {BIN}: run cmake --build --preset windows first")
    session = WineSession(os.environ.get("VORNEL_WINE_PREFIX")).start()
    yield session
    session.close()


@pytest.fixture
def service(wine, request):
    created = []

    def make(short_name, **values):
        svc = AgentService(wine, short_name).create(**values)
        created.append(svc)
        return svc

    yield make
    for svc in created:
        svc.remove()
