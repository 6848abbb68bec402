"""A real redis-server for the client tests, and clients wired to it.

The client always dials port 6379; the tests run their own server on a free port instead and hand
the client module a stand-in for the redis package whose Redis(...) connects there for real.
"""

import sys
from pathlib import Path

import pandas as pd
import pytest

import corvane.CVClient as CVClient

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from local_redis import LocalRedis, PortRedirect  # noqa: E402

ACCOUNT = "analyst"
TOKEN = "t0ken-42"
PASSWORD = f"{ACCOUNT}:{TOKEN}"


class RedisServer(LocalRedis):
    """The shared helper, with the test account's password unless told otherwise."""

    def __init__(self, workdir, password=PASSWORD):
        super().__init__(password, workdir=workdir)


@pytest.fixture(scope="session")
def redis_server(tmp_path_factory):
    server = RedisServer(tmp_path_factory.mktemp("redis"))
    server.start()
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture
def server(redis_server):
    """The shared server, emptied for each test."""
    admin = redis_server.admin()
    admin.flushall()
    admin.close()
    return redis_server


@pytest.fixture
def start_server(tmp_path_factory):
    """Starts servers of the test's own (for tests that stop them or need another password)."""
    started = []

    def start(password=PASSWORD):
        server = RedisServer(tmp_path_factory.mktemp("redis-private"), password)
        started.append(server)
        return server.start()

    try:
        yield start
    finally:
        for server in started:
            server.stop()


@pytest.fixture
def private_server(start_server):
    return start_server()


@pytest.fixture
def connect_to(monkeypatch):
    """Points the client module at a server; returns the stand-in that records connection settings."""

    def connect(server):
        redirect = PortRedirect(server.port)
        monkeypatch.setattr(CVClient, "redis", redirect)
        monkeypatch.delenv("CORVANE_HOST", raising=False)
        return redirect

    return connect


@pytest.fixture
def make_client(server, connect_to, tmp_path, capsys):
    """Builds a client on the shared server (seed it first) and drops the construction output."""

    def make(save_path=None, account=ACCOUNT, token=TOKEN, target=None):
        connect_to(target or server)
        client = CVClient.CorvaneClient(account, token, str(save_path or tmp_path / "store"))
        capsys.readouterr()
        return client

    return make


@pytest.fixture
def month_frame():
    return make_month_frame


@pytest.fixture
def instruments_frame():
    return make_instruments_frame


def make_month_frame(year, month, ids=("000001.XSHE", "600000.XSHG", "300750.XSHE"), start=1.0):
    """One month of a daily category: one row per instrument, one column per business day."""
    days = pd.bdate_range(f"{year}-{month:02d}-01", periods=31, freq="B")
    days = [day for day in days if day.month == month]
    data = {day.strftime("%Y-%m-%d"): [start + i + d / 100 for i in range(len(ids))] for d, day in enumerate(days)}
    return pd.DataFrame(data, index=list(ids))


def make_instruments_frame(ids=("000001.XSHE", "600000.XSHG")):
    return pd.DataFrame(
        {
            "order_book_id": list(ids),
            "start_date": ["2010-01-04"] * len(ids),
            "end_date": ["2099-12-31"] * len(ids),
            "exchange": [i.split(".")[1] for i in ids],
        }
    )


@pytest.fixture
def clock(monkeypatch):
    """Gives the client module a time module whose time() returns the given readings in turn."""

    class SteppingClock:
        def __init__(self, readings):
            self.readings = list(readings)

        def time(self):
            return self.readings.pop(0)

    def install(*readings):
        monkeypatch.setattr(CVClient, "time", SteppingClock(readings))

    return install
