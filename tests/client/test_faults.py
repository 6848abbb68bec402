"""Bad input and server faults: each raises, and no failed sync leaves a file in the store."""

import os
import pickle

import pandas as pd
import pytest
import redis

import corvane.CVClient as CVClient

ACCOUNT, TOKEN = "analyst", "t0ken-42"  # as the server fixture expects


def stored_files(root):
    return sorted(os.path.relpath(os.path.join(d, f), root) for d, _, files in os.walk(root) for f in files)


class TestConstructionFails:
    @pytest.mark.parametrize("stop_first", [False, True], ids=["wrong password", "server down"])
    def test_no_directory_and_the_library_error(self, private_server, connect_to, tmp_path, capsys, stop_first):
        connect_to(private_server)
        token = TOKEN
        if stop_first:
            private_server.stop()
            expected = (redis.ConnectionError, ConnectionError)
        else:
            token = "stale-token"
            expected = (redis.AuthenticationError,)
        save_path = tmp_path / "store"
        with pytest.raises(expected[0]) as raised:
            CVClient.CorvaneClient(ACCOUNT, token, str(save_path))
        assert isinstance(raised.value, expected)
        # The failed probe measured nothing, so no latency is shown.
        assert capsys.readouterr().out == ""
        assert not save_path.exists()

    def test_foreign_keys_are_no_categories(self, server, connect_to, tmp_path):
        server.seed({"cv1-daily-202401": b"x", "session_token": b"x", b"\xff\xfe-bin": b"x",
                     "cv1-../planted": b"x", "cv1-": b"x", "cv1-..-202401": b"x", "cv1-a\x00b": b"x",
                     "cv1-.corvane-202401": b"x", "cv1-a\\b": b"x", "cv1-\x1b[2Jfake\nline": b"x",
                     "cv1-" + "x" * 201: b"x"})
        connect_to(server)
        client = CVClient.CorvaneClient(ACCOUNT, TOKEN, str(tmp_path / "store"))
        assert client.r_category == ["daily"]
        assert "session_token" in client.keys and len(client.keys) == 10


class TestSyncFails:
    @pytest.mark.parametrize("value, error", [
        (b"not a pickle", pickle.UnpicklingError),
        (pickle.dumps({"close": [1.0]}), TypeError),
        (pickle.dumps(pd.Series([1.0], index=["000001.XSHE"], name="2024-02-01")), TypeError),
    ], ids=["not a pickle", "not a frame", "a series"])
    def test_bad_value_in_one_month_writes_no_month(self, server, make_client, month_frame, value, error):
        server.seed({"cv1-daily-202401": month_frame(2024, 1), "cv1-daily-202402": value,
                     "cv1-daily-202403": month_frame(2024, 3)})
        client = make_client()
        with pytest.raises(error, match="cv1-daily-202402"):
            client.UpdatePivotParquet("daily", "2024-01-01", "2024-03-31")
        assert not any(name.endswith(".parquet") for name in stored_files(client.save_path))

    @pytest.mark.parametrize("value, error", [
        (None, TypeError),
        (b"\x80\x04garbage", pickle.UnpicklingError),
        (pickle.dumps(["order_book_id"]), TypeError),
    ], ids=["missing key", "not a pickle", "not a frame"])
    def test_bad_whole_category_value_writes_nothing(self, server, make_client, value, error):
        if value is not None:
            server.seed({"cv1-instruments": value})
        client = make_client()
        with pytest.raises(error):
            client.UpdateUnstackParquet("instruments")
        assert not any(name.endswith(".parquet") for name in stored_files(client.save_path))

    def test_server_dropping_out_mid_sync_writes_no_month(self, private_server, make_client, month_frame,
                                                          monkeypatch):
        private_server.seed({f"cv1-daily-2024{m:02d}": month_frame(2024, m) for m in (1, 2, 3)})
        client = make_client(target=private_server)

        def stop_after_first(items):
            for position, item in enumerate(items):
                if position == 1:
                    private_server.stop()
                yield item

        monkeypatch.setattr(CVClient, "tqdm", stop_after_first)
        with pytest.raises(redis.ConnectionError):
            client.UpdatePivotParquet("daily", "2024-01-01", "2024-03-31")
        assert not any(name.endswith(".parquet") for name in stored_files(client.save_path))

    def test_nothing_anywhere_raises_the_store_read_error(self, server, make_client, capsys):
        client = make_client()
        # No stored month to default the range from: pandas rejects the open range.
        with pytest.raises(ValueError):
            client.UpdatePivotParquet("daily", "2024-01-01", "2024-03-31")
        assert " are Latest Date: " not in capsys.readouterr().out
