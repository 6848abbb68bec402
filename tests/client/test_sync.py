import os

import pandas as pd
import pytest


class StoreRecorder:
    """Stands in for the store to show exactly what the client hands it."""

    def __init__(self, latest=None):
        self.calls = []
        self.latest = latest

    def __getattr__(self, name):
        def record(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return self.latest

        return record


def month_files(root, category):
    directory = os.path.join(root, category)
    return sorted(name for name in os.listdir(directory) if name.endswith(".parquet")) if os.path.isdir(directory) else []


@pytest.fixture
def daily(server, month_frame):
    """The server holds January and March 2024 of category daily, not February."""
    frames = {"202401": month_frame(2024, 1), "202403": month_frame(2024, 3)}
    server.seed({f"cv1-daily-{month}": frame for month, frame in frames.items()})
    return frames


class TestUpdatePivotArguments:
    class Text(str):
        pass

    @pytest.mark.parametrize("start, end, message", [
        (None, "2024-03-31", "Argument 'start_date' has incorrect type (expected str, got NoneType)"),
        (Text("2024-01-01"), None, "Argument 'start_date' has incorrect type (expected str, got Text)"),
        ("2024-01-01", pd.Timestamp("2024-03-31"), "Argument 'end_date' has incorrect type (expected str, got Timestamp)"),
        ("2024-01-01", b"2024-03-31", "Argument 'end_date' has incorrect type (expected str, got bytes)"),
    ])
    def test_dates_must_be_exactly_str_before_anything_runs(self, server, make_client, start, end, message):
        client = make_client()
        client.r = client.CV_db = None  # any server or store call would fail differently
        with pytest.raises(TypeError) as caught:
            client.UpdatePivotParquet("daily", start, end)
        assert str(caught.value) == message

    def test_keywords_and_default_strf(self, daily, make_client):
        client = make_client()
        client.CV_db = recorder = StoreRecorder()
        client.UpdatePivotParquet(category="daily", end_date="2024-01-31", start_date="2024-01-01")
        [(name, args, kwargs)] = recorder.calls
        assert (name, args, list(kwargs)) == ("update_pivot_category", (), ["df", "category", "strf"])
        assert (kwargs["category"], kwargs["strf"]) == ("daily", "%Y-%m-%d")


class TestMonthSelection:
    @pytest.mark.parametrize("start, end, months", [
        ("2024-01-01", "2024-03-31", ["202401", "202403"]),
        # A range starting inside a month still covers that month.
        ("2024-01-15", "2024-03-31", ["202401", "202403"]),
        ("2024-01-31", "2024-03-01", ["202401", "202403"]),
        ("2024-02-10", "2024-03-05", ["202403"]),
        ("2024-03-10", "2024-03-20", ["202403"]),
        ("2023-11-20", "2024-01-02", ["202401"]),
    ])
    def test_every_overlapping_month_on_the_server_is_loaded(self, daily, make_client, capsys, start, end, months):
        client = make_client()
        client.CV_db = recorder = StoreRecorder()
        client.UpdatePivotParquet("daily", start, end, "%Y%m%d")
        [(_, _, kwargs)] = recorder.calls
        expected = pd.concat([daily[month] for month in months], axis=1)
        pd.testing.assert_frame_equal(kwargs["df"], expected)
        assert kwargs["strf"] == "%Y%m%d"
        captured = capsys.readouterr()
        assert captured.out == "" and f"{len(months)}/{len(months)}" in captured.err

    @pytest.mark.parametrize("start, end", [("2024-02-01", "2024-02-29"), ("2024-03-20", "2024-03-10")])
    def test_nothing_on_the_server_reports_the_latest_stored_day(self, daily, make_client, capsys, start, end):
        client = make_client()
        client.CV_db = recorder = StoreRecorder(latest=pd.DataFrame(columns=["2024-03-28", "2024-03-29"]))
        client.UpdatePivotParquet("daily", start, end)
        assert recorder.calls == [("read_pivot_category", ("daily", None, None), {})]
        assert capsys.readouterr().out == "daily are Latest Date: 2024-03-29\n"

    def test_months_reaching_the_server_after_auth_are_not_seen(self, daily, server, make_client, month_frame):
        client = make_client()
        server.seed({"cv1-daily-202402": month_frame(2024, 2)})
        client.CV_db = recorder = StoreRecorder()
        client.UpdatePivotParquet("daily", "2024-02-01", "2024-03-31")
        [(_, _, kwargs)] = recorder.calls
        assert list(kwargs["df"].columns) == list(daily["202403"].columns)


def test_reads_pass_their_arguments_on_by_position(server, make_client):
    client = make_client()
    client.CV_db = recorder = StoreRecorder(latest="frame")
    assert client.GetPivotCategory("daily", "2024-01-01", "2024-02-15") == "frame"
    assert client.GetUnstackCategory("instruments") == "frame"
    assert recorder.calls == [("read_pivot_category", ("daily", "2024-01-01", "2024-02-15"), {}),
                              ("read_unstack_category", ("instruments",), {})]


class TestIntoARealStore:
    def test_whole_category_table(self, server, make_client, instruments_frame, capsys):
        table = instruments_frame(("000001.XSHE", "600000.XSHG", "300750.XSHE"))
        server.seed({"cv1-instruments": table})
        client = make_client()
        path = os.path.join(client.save_path, "instruments") + "/instruments.parquet"
        client.UpdateUnstackParquet("instruments")
        assert capsys.readouterr().out == f"{path}: 初始化 Unstack Parquet\n"
        stamp = os.stat(path).st_mtime_ns
        client.UpdateUnstackParquet("instruments")
        assert capsys.readouterr().out == f"{path}: No need to combine, dataframes are identical.\n"
        assert os.stat(path).st_mtime_ns == stamp
        stored = client.GetUnstackCategory("instruments")
        assert stored["order_book_id"].tolist() == table["order_book_id"].tolist()
        assert stored[["start_date", "end_date"]].astype(str).values.tolist() == table[["start_date", "end_date"]].values.tolist()

    def test_monthly_category_written_read_and_not_rewritten(self, daily, make_client, capsys):
        client = make_client()
        client.UpdatePivotParquet("daily", "2024-01-15", "2024-03-31")
        assert month_files(client.save_path, "daily") == ["daily_2024-01.parquet", "daily_2024-03.parquet"]
        first = capsys.readouterr().out
        assert first.count("Initializing") == 2

        paths = [os.path.join(client.save_path, "daily", name) for name in month_files(client.save_path, "daily")]
        stamps = [os.stat(path).st_mtime_ns for path in paths]
        client.UpdatePivotParquet("daily", "2024-01-15", "2024-03-31")
        again = capsys.readouterr().out
        assert again.count("Dataframes are identical") == 2 and "Initializing" not in again
        assert [os.stat(path).st_mtime_ns for path in paths] == stamps

        read = client.GetPivotCategory("daily", "2024-01-01", "2024-02-15")
        january = daily["202401"]
        assert list(read.columns) == list(january.columns)
        assert read.loc[january.index].values.tolist() == january.values.tolist()

    def test_range_without_server_months_prints_latest_stored_day(self, daily, make_client, capsys):
        client = make_client()
        client.UpdatePivotParquet("daily", "2024-03-01", "2024-03-31")
        capsys.readouterr()
        client.UpdatePivotParquet("daily", "2024-04-01", "2024-05-31")
        assert capsys.readouterr().out == "daily are Latest Date: 2024-03-29\n"
        assert month_files(client.save_path, "daily") == ["daily_2024-03.parquet"]

    def test_download_days_past_the_stored_data(self, daily, make_client):
        client = make_client()
        client.UpdatePivotParquet("daily", "2024-03-01", "2024-03-31")
        calendar = pd.bdate_range("2024-03-25", "2024-04-03")
        stored, missing = client.CV_db.get_download_days("daily", calendar)
        assert list(stored.columns) == ["2024-03-25", "2024-03-26", "2024-03-27", "2024-03-28", "2024-03-29"]
        assert missing == list(pd.bdate_range("2024-04-01", "2024-04-03"))


CLIENT_CALLS = {
    "UpdateUnstackParquet": lambda client, c: client.UpdateUnstackParquet(c),
    "UpdatePivotParquet": lambda client, c: client.UpdatePivotParquet(c, "2024-01-01", "2024-03-31"),
    "GetUnstackCategory": lambda client, c: client.GetUnstackCategory(c),
    "GetPivotCategory": lambda client, c: client.GetPivotCategory(c, "2024-01-01", "2024-03-31"),
}


@pytest.mark.parametrize("command", CLIENT_CALLS.values(), ids=CLIENT_CALLS.keys())
@pytest.mark.parametrize("name", ["../planted", "", "..", "/abs"])
def test_commands_refuse_a_category_that_is_no_path_component(server, make_client, month_frame, tmp_path,
                                                               command, name):
    server.seed({f"cv1-{name}": month_frame(2024, 1), f"cv1-{name}-202401": month_frame(2024, 1)})
    client = make_client(save_path=tmp_path / "save" / "store")
    with pytest.raises(ValueError, match="category"):
        command(client, name)
    assert sorted(p.relative_to(tmp_path).as_posix() for p in tmp_path.rglob("*")) == ["save", "save/store"]


@pytest.mark.parametrize("start, end, argument", [("", "2024-03-31", "start_date"), ("2024-01-01", "soon", "end_date"),
                                                  ("0001-01-01", "2024-03-31", "start_date")])
def test_pivot_update_dates_that_are_no_dates(server, make_client, start, end, argument):
    client = make_client()
    with pytest.raises(ValueError, match=argument):
        client.UpdatePivotParquet("daily", start, end)
