import pytest

import corvane.CVClient as CVClient

ACCOUNT, TOKEN = "analyst", "t0ken-42"  # as the server fixture expects


@pytest.mark.parametrize("env, host", [(None, "127.0.0.1"), ("db.internal", "db.internal")])
def test_host_table_reads_the_environment_at_each_call(monkeypatch, server, make_client, env, host):
    client = make_client()
    if env is None:
        monkeypatch.delenv("CORVANE_HOST", raising=False)
    else:
        monkeypatch.setenv("CORVANE_HOST", env)
    table = client.get_host_info()
    assert table == {"上海-1": host}
    assert client.get_host_info() is not table


def test_probe_and_kept_connection_use_the_same_settings(start_server, connect_to, tmp_path, capsys):
    redirect = connect_to(start_server(password="12345:678"))
    client = CVClient.CorvaneClient(12345, 678, str(tmp_path))
    settings = {"host": "127.0.0.1", "port": 6379, "password": "12345:678"}
    assert redirect.calls == [settings, settings]
    assert client.r.ping() and capsys.readouterr().out.splitlines()[1] == "Auth Succeeded: 12345"


@pytest.mark.parametrize("keys, categories", [
    (["cv1-AAA", "cv1-BBB-202401", "cv1-AAA-202402"], ["AAA", "BBB"]),
    (["cv1-daily-close-202401", "cv1-instruments"], ["daily", "instruments"]),
    ([], []),
])
def test_key_snapshot_and_categories(server, make_client, keys, categories):
    server.seed({key: b"x" for key in keys})
    client = make_client()
    assert sorted(client.keys) == sorted(keys) and all(type(key) is str for key in client.keys)
    assert client.r_category == categories


def test_second_auth_sees_keys_added_since(server, make_client, capsys):
    server.seed({"cv1-daily-202401": b"x"})
    client = make_client()
    server.seed({"cv1-volume-202401": b"x"})
    assert client.keys == ["cv1-daily-202401"]
    client.auth(ACCOUNT, TOKEN)
    assert sorted(client.keys) == ["cv1-daily-202401", "cv1-volume-202401"]
    assert client.r_category == ["daily", "volume"]
    assert capsys.readouterr().out.splitlines()[1] == f"Auth Succeeded: {ACCOUNT}"


class TestProbe:
    def test_reachable_server_gives_a_latency(self, server, connect_to, capsys):
        connect_to(server)
        latency = CVClient.CorvaneClient.get_auth_ping("127.0.0.1", ACCOUNT, TOKEN)
        assert type(latency) is float and 0 <= latency < 999 and round(latency, 2) == latency
        assert capsys.readouterr().out == ""

    @pytest.mark.parametrize("host, token", [("127.0.0.1", "wrong"), ("no-such-host.invalid", TOKEN)])
    def test_failed_probe_is_999_and_silent(self, server, connect_to, capsys, host, token):
        if host == "127.0.0.1":
            connect_to(server)  # otherwise the real package meets the unresolvable name
        assert CVClient.CorvaneClient.get_auth_ping(host, ACCOUNT, token) == 999
        assert capsys.readouterr().out == ""

    def test_stopped_server_is_999(self, private_server, connect_to):
        connect_to(private_server)
        private_server.stop()
        assert CVClient.CorvaneClient.get_auth_ping("127.0.0.1", ACCOUNT, TOKEN) == 999

    def test_latency_is_milliseconds_to_two_decimals(self, clock):
        clock(50.0, 50.0123)

        class Pong:
            def ping(self):
                return True

        assert CVClient.CorvaneClient.measure_latency(Pong()) == 12.3

    def test_auth_probes_through_the_module_class(self, server, make_client, monkeypatch, capsys):
        client = make_client()

        class Imposter:
            @staticmethod
            def get_auth_ping(host, account, api_token):
                return 7.25

        monkeypatch.setattr(CVClient, "CorvaneClient", Imposter)
        client.auth(ACCOUNT, TOKEN)
        assert capsys.readouterr().out.splitlines()[0] == "Corvane 上海-1 | Ping: 7.25ms"
