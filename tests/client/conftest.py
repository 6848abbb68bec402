"""A real redis-server for the client tests, and clients wired to it.

The client always dials port 6379; the tests run their own server on a free port instead and hand
the client module a stand-in for the redis package whose Redis(...) connects there for real.
"""

import pickle
import shutil
import socket
import subprocess
import time

import pandas as pd
import pytest
import redis

import corvane.CVClient as CVClient

ACCOUNT = "analyst"
TOKEN = "t0ken-42"
PASSWORD = f"{ACCOUNT}:{TOKEN}"


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class RedisServer:
    """One redis-server process on loopback, password protected, never touching disk."""

    def __init__(self, workdir, password=PASSWORD):
        self.workdir = workdir
        self.password = password
        self.port = None
        self.process = None

    def start(self):
        executable = shutil.which("redis-server")
        if executable is None:
            pytest.fail("redis-server is not installed (scripts/run test installs it)")
        self.port = free_port()
        self.process = subprocess.Popen(
            [executable, "--port", str(self.port), "--bind", "127.0.0.1", "--requirepass", self.password,
             "--save", "", "--appendonly", "no", "--dir", str(self.workdir)],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
        )
        deadline = time.monotonic() + 10
        while True:
            try:
                if self.admin().ping():
                    return self
            except redis.ConnectionError:
                pass
            if self.process.poll() is not None:
                raise RuntimeError(f"redis-server exited: {self.process.stderr.read().decode()}")
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("redis-server did not answer within 10 seconds")
            time.sleep(0.05)

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process is not None:
            self.process.stderr.close()

    def admin(self):
        return redis.Redis(host="127.0.0.1", port=self.port, password=self.password)

    def seed(self, values):
        """Stores each value under its key, pickled unless it already is bytes."""
        admin = self.admin()
        for key, value in values.items():
            admin.set(key, value if isinstance(value, bytes) else pickle.dumps(value))
        admin.close()


class PortRedirect:
    """Takes the place of the redis package in the client module: connects to the test port."""

    def __init__(self, port):
        self.port = port
        self.calls = []

    def Redis(self, **settings):
        self.calls.append(dict(settings))
        return redis.Redis(**{**settings, "port": self.port})


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
