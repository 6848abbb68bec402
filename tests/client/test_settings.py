"""Where the client connects (CORVANE_HOST, CORVANE_PORT), what it says when nothing answers there,
and errors that name what the server holds of a category."""

import os
import pickle
import socket
import subprocess
import sys

import pytest
import redis

import corvane.CVClient as CVClient

ACCOUNT, TOKEN = "analyst", "t0ken-42"  # as the server fixture expects


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.fixture
def plain_redis(monkeypatch):
    """The client module with the real redis package: the port comes from the environment alone."""
    monkeypatch.setattr(CVClient, "redis", redis)
    monkeypatch.setenv("CORVANE_HOST", "127.0.0.1")


def test_the_environment_names_the_server(server, plain_redis, monkeypatch, tmp_path, capsys):
    server.seed({"cv1-daily-202401": b"x"})
    monkeypatch.setenv("CORVANE_PORT", str(server.port))
    client = CVClient.CorvaneClient(ACCOUNT, TOKEN, str(tmp_path / "store"))
    assert client.r.connection_pool.connection_kwargs["port"] == server.port
    assert client.r_category == ["daily"]
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].startswith("Corvane 上海-1 | Ping: ") and lines[1] == f"Auth Succeeded: {ACCOUNT}"
    # The token never shows; where the client is connected does.
    assert repr(client) == (f"CorvaneClient(account={ACCOUNT!r}, server='127.0.0.1:{server.port}', "
                            f"save_path={str(tmp_path / 'store')!r})")
    assert CVClient.CorvaneClient.get_auth_ping("127.0.0.1", ACCOUNT, TOKEN) != 999


def test_a_refused_port_is_one_connection_error_naming_it(plain_redis, monkeypatch, tmp_path, capsys):
    port = free_port()
    monkeypatch.setenv("CORVANE_PORT", str(port))
    save_path = tmp_path / "store"
    with pytest.raises(ConnectionError, match=f"cannot reach the server 上海-1 at 127.0.0.1:{port}: ") as raised:
        CVClient.CorvaneClient(ACCOUNT, TOKEN, str(save_path))
    assert isinstance(raised.value, redis.ConnectionError)  # callers catching the package's error still do
    assert raised.value.__cause__ is None and raised.value.__suppress_context__
    # It crosses process boundaries as itself, as a pool's worker hands it back.
    again = pickle.loads(pickle.dumps(raised.value))
    assert type(again) is type(raised.value) and str(again) == str(raised.value)
    assert capsys.readouterr().out == ""  # no latency that was never measured
    assert not save_path.exists()


def test_a_refused_port_ends_a_script_with_a_short_traceback(tmp_path):
    port = free_port()
    env = {**os.environ, "CORVANE_HOST": "127.0.0.1", "CORVANE_PORT": str(port)}
    script = f"from corvane.CVClient import CorvaneClient\nCorvaneClient('a', 'b', {str(tmp_path / 'store')!r})\n"
    run = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 1 and run.stdout == ""
    lines = run.stderr.strip().splitlines()
    assert lines[-1].startswith(f"corvane._server_errors.ServerUnreachable: cannot reach the server 上海-1 at 127.0.0.1:{port}")
    assert len(lines) < 12, run.stderr
    assert "During handling" not in run.stderr and "direct cause" not in run.stderr


@pytest.mark.parametrize("setting", ["abc", "0", "70000", "-1"])
def test_a_port_setting_that_is_no_port_is_refused(plain_redis, monkeypatch, tmp_path, setting):
    monkeypatch.setenv("CORVANE_PORT", setting)
    with pytest.raises(ValueError, match=f"CORVANE_PORT must be a port number from 1 to 65535, not '{setting}'"):
        CVClient.CorvaneClient(ACCOUNT, TOKEN, str(tmp_path / "store"))
    assert not (tmp_path / "store").exists()


def stored_files(root):
    return sorted(f for _, _, files in os.walk(root) for f in files if f.endswith(".parquet"))


class TestWhatTheServerHolds:
    @pytest.mark.parametrize("seeded, call, error, reason", [
        ("monthly", lambda c: c.UpdateUnstackParquet("daily"), TypeError,
         r"key 'cv1-daily' is not on the server; category 'daily' is kept by month on the server "
         r"\(2 keys cv1-daily-YYYYMM, 202401 to 202402\): sync it with UpdatePivotParquet"),
        ("monthly", lambda c: c.UpdateUnstackParquet("nosuch"), TypeError,
         r"key 'cv1-nosuch' is not on the server; the server holds no category 'nosuch'"),
        ("table", lambda c: c.UpdatePivotParquet("instruments", "2024-01-01", "2024-03-31"), ValueError,
         r"category 'instruments' is a whole table on the server \(key cv1-instruments\), not kept by month: "
         r"sync it with UpdateUnstackParquet"),
        ("monthly", lambda c: c.UpdatePivotParquet("nosuch", "2024-01-01", "2024-03-31"), ValueError,
         r"no month of 'nosuch' from 2024-01-01 to 2024-03-31 is on the server, and the store has none: "
         r"the server holds no category 'nosuch'"),
        ("monthly", lambda c: c.UpdatePivotParquet("daily", "2030-01-01", "2030-03-31"), ValueError,
         r"no month of 'daily' from 2030-01-01 to 2030-03-31 is on the server, and the store has none: "
         r"category 'daily' is kept by month on the server"),
    ], ids=["table sync of a monthly category", "table sync of a missing category",
            "monthly sync of a table", "monthly sync of a missing category", "monthly sync outside the server's months"])
    def test_errors_say_what_the_server_holds(self, server, make_client, month_frame, instruments_frame,
                                              seeded, call, error, reason):
        if seeded == "monthly":
            server.seed({"cv1-daily-202401": month_frame(2024, 1), "cv1-daily-202402": month_frame(2024, 2)})
        else:
            server.seed({"cv1-instruments": instruments_frame()})
        client = make_client()
        with pytest.raises(error, match=reason):
            call(client)
        assert stored_files(client.save_path) == []

    def test_a_table_sync_of_a_monthly_category_keeps_the_missing_value_complaint(self, server, make_client,
                                                                                  month_frame):
        # Callers matching the old complaint of a missing key still find it first.
        server.seed({"cv1-daily-202401": month_frame(2024, 1)})
        with pytest.raises(TypeError, match=r"^a bytes-like object is required, not 'NoneType'"):
            make_client().UpdateUnstackParquet("daily")
