"""The client's sync from a real redis-server into an s3:// store on the real SeaweedFS server."""

import pandas as pd
import pytest

import corvane.CVClient as CVClient
from local_redis import LocalRedis, PortRedirect

ACCOUNT, TOKEN = "analyst", "t0ken-42"


@pytest.fixture
def redis_server(tmp_path, monkeypatch):
    (tmp_path / "redis").mkdir()
    server = LocalRedis(f"{ACCOUNT}:{TOKEN}", workdir=tmp_path / "redis").start()
    monkeypatch.setattr(CVClient, "redis", PortRedirect(server.port))
    monkeypatch.delenv("CORVANE_HOST", raising=False)
    try:
        yield server
    finally:
        server.stop()


def month_frame(year, month):
    days = [day for day in pd.bdate_range(f"{year}-{month:02d}-01", periods=23) if day.month == month]
    return pd.DataFrame({day.strftime("%Y-%m-%d"): [1.0 + d, 2.0 + d] for d, day in enumerate(days)},
                        index=["000001.XSHE", "600000.XSHG"])


def test_sync_into_an_s3_store_end_to_end(redis_server, s3_root, tmp_path, monkeypatch, capsys):
    january, march = month_frame(2024, 1), month_frame(2024, 3)
    table = pd.DataFrame({"order_book_id": ["000001.XSHE", "600000.XSHG"], "start_date": ["2010-01-04"] * 2,
                          "end_date": ["2099-12-31"] * 2, "exchange": ["XSHE", "XSHG"]})
    redis_server.seed({"cv1-daily-202401": january, "cv1-daily-202403": march, "cv1-instruments": table})
    monkeypatch.chdir(tmp_path)

    client = CVClient.CorvaneClient(ACCOUNT, TOKEN, s3_root)
    assert f"Creating Saving Dir: {s3_root}\n" in capsys.readouterr().out
    client.UpdatePivotParquet("daily", "2024-01-01", "2024-03-31")
    client.UpdateUnstackParquet("instruments")
    first = capsys.readouterr().out
    assert first.count(": Initializing: ") == 2 and f"{s3_root}/instruments/instruments.parquet: 初始化" in first

    client.UpdatePivotParquet("daily", "2024-01-01", "2024-03-31")
    client.UpdateUnstackParquet("instruments")
    again = capsys.readouterr().out
    assert again.count("Dataframes are identical") == 2 and "No need to combine" in again

    read = client.GetPivotCategory("daily", "2024-01-01", "2024-03-31")
    assert read.values.tolist() == pd.concat([january, march], axis=1).values.tolist()
    assert client.GetUnstackCategory("instruments").values.tolist() == table.values.tolist()
    reopened = CVClient.CorvaneClient(ACCOUNT, TOKEN, s3_root)
    assert f"Found Saving Dir: {s3_root}\n" in capsys.readouterr().out
    assert reopened.CV_db._if_exists_pivot_category("daily")
    assert list(tmp_path.iterdir()) == [tmp_path / "redis"]  # no local ./s3: directory


def test_correction_into_an_s3_store(redis_server, s3_root, capsys):
    march = month_frame(2024, 3)
    redis_server.seed({"cv1-daily-202403": march})
    client = CVClient.CorvaneClient(ACCOUNT, TOKEN, s3_root)
    client.UpdatePivotParquet("daily", "2024-03-01", "2024-03-31")
    march.iloc[1, 0] = 50.0
    redis_server.seed({"cv1-daily-202403": march})
    capsys.readouterr()
    assert client.CorrectPivotParquet("daily", "2024-03-01", "2024-03-31") == 1
    assert capsys.readouterr().out.splitlines()[-1] == f"{s3_root}/daily/daily_2024-03.parquet: 1 stored cells changed, 0 cells added"
    assert client.GetPivotCategory("daily", "2024-03-01", "2024-03-31").iloc[1, 0] == 50.0
