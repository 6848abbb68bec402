import os
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

Q1 = pd.date_range("2024-01-01", "2024-03-31")


def span(first, last):
    return pd.date_range(first, last).strftime("%Y-%m-%d").tolist()


@pytest.fixture
def filled(store, capsys):
    store.update_pivot_category(pd.DataFrame(np.ones((2, len(Q1))), index=["a", "b"], columns=Q1), "daily")
    capsys.readouterr()
    return store


def test_defaults_read_the_latest_month(filled, root, capsys):
    result = filled.read_pivot_category("daily")
    assert result.columns.tolist() == span("2024-03-01", "2024-03-31")
    assert result.index.tolist() == ["a", "b"]
    captured = capsys.readouterr()
    assert captured.out == ""
    assert "Reading daily From 2024-03-01 To 2024-03-31: 100%" in captured.err and "1/1" in captured.err


@pytest.mark.parametrize(
    "start, end, first, last",
    [
        ("2024-01-01", "2024-02-15", "2024-01-01", "2024-02-15"),
        # the start's month is read even when the start is not its first day
        ("2024-01-15", "2024-03-10", "2024-01-15", "2024-03-10"),
        (pd.Timestamp("2023-11-20"), pd.Timestamp("2024-01-01"), "2024-01-01", "2024-01-01"),
    ],
)
@pytest.mark.parametrize("column_type", ["str", "datetime", "anything else"])
def test_range_is_cut_on_both_label_paths(filled, start, end, first, last, column_type):
    result = filled.read_pivot_category("daily", start, end, column_type)
    days = span(first, last)
    if column_type == "datetime":
        days = pd.to_datetime(days).tolist()
    assert result.columns.tolist() == days


def test_missing_months_are_reported_and_skipped(filled, capsys):
    result = filled.read_pivot_category("daily", "2024-02-01", "2024-05-31")
    assert result.columns.tolist() == span("2024-02-01", "2024-03-31")
    assert capsys.readouterr().out == "数据不存在 daily: ['2024-04', '2024-05'] 数据不存在\n"

    result = filled.read_pivot_category("daily", start_date="2024-06-01", end_date="2024-06-02")
    assert result.empty and isinstance(result, pd.DataFrame)
    assert capsys.readouterr().out == "数据不存在 daily: ['2024-06'] 数据不存在\n"


def test_never_written_category(store, root, capsys):
    result = store.read_pivot_category("daily", "2024-01-01", "2024-02-29")
    assert result.empty
    assert capsys.readouterr().out == "数据不存在 daily: ['2024-01', '2024-02'] 数据不存在\n"
    assert os.listdir(os.path.join(root, "daily")) == []
    with pytest.raises(ValueError):  # pandas' own complaint about a missing bound
        store.read_pivot_category("daily")


@pytest.mark.parametrize("start, end", [("2024-03-25", "2024-03-20"), ("2024-03-10", "2024-02-10")])
def test_start_after_end_fails_naming_both_dates(filled, start, end):
    with pytest.raises(ValueError, match=f"^读取失败: start_date {start} is after end_date {end}, so the range holds no day$"):
        filled.read_pivot_category("daily", start, end)


def test_only_month_files_of_the_category_count(filled, root, capsys):
    directory = Path(root, "daily")
    pd.DataFrame({"x": [1]}).to_parquet(directory / "daily.parquet")  # whole-category file: no month
    for stray in ("notes_2023-12.parquet", "backup-2024-06.parquet", "2024-05.parquet"):
        pd.DataFrame({"x": [1]}).to_parquet(directory / stray)
    (directory / "daily_2024-07.parquet").mkdir()
    (directory / "x_2024-08.parquet").mkdir()
    assert filled.read_pivot_category("daily").columns.tolist() == span("2024-03-01", "2024-03-31")
    capsys.readouterr()
    result = filled.read_pivot_category("daily", "2023-12-01", "2024-01-31")
    assert result.columns.tolist() == span("2024-01-01", "2024-01-31")
    assert capsys.readouterr().out == "数据不存在 daily: ['2023-12'] 数据不存在\n"
    exists, missing = filled.get_download_days("daily", list(Q1))
    assert missing == [] and exists.shape == (2, len(Q1))


def test_rows_are_the_union_of_the_months(store):
    store.update_pivot_category(pd.DataFrame([[1.0]], index=["a"], columns=["2024-01-31"]), "daily")
    store.update_pivot_category(pd.DataFrame([[2.0]], index=["b"], columns=["2024-02-01"]), "daily")
    result = store.read_pivot_category("daily", "2024-01-01", "2024-02-29")
    expected = pd.DataFrame({"2024-01-31": [1.0, np.nan], "2024-02-01": [np.nan, 2.0]}, index=["a", "b"])
    pd.testing.assert_frame_equal(result, expected, check_index_type=False, check_column_type=False)


@pytest.mark.parametrize("strf", ["%Y%m%d", "%Y/%m/%d", "%b %d %Y"])
def test_any_round_tripping_format_reads_back(store, strf):
    wanted = pd.date_range("2024-02-01", "2024-03-31")
    store.update_pivot_category(pd.DataFrame(np.ones((1, len(wanted))), index=["a"], columns=wanted), "c", strf=strf)
    result = store.read_pivot_category("c", "2024-02-10", "2024-03-05")
    assert result.columns.tolist() == pd.date_range("2024-02-10", "2024-03-05").strftime(strf).tolist()
    assert store.read_pivot_category("c").shape == (1, 31)
    exists, missing = store.get_download_days("c", list(wanted))
    assert missing == [] and exists.shape == (1, len(wanted))


def test_months_written_in_different_formats_read_in_calendar_order(store):
    store.update_pivot_category(pd.DataFrame({"2024-02-28": [1.0], "2024-02-29": [2.0]}), "c", strf="%Y%m%d")
    store.update_pivot_category(pd.DataFrame({"2024-03-01": [3.0]}), "c")
    result = store.read_pivot_category("c", "2024-02-01", "2024-03-31", "datetime")
    assert result.columns.tolist() == list(pd.to_datetime(["2024-02-28", "2024-02-29", "2024-03-01"]))
    assert result.iloc[0].tolist() == [1.0, 2.0, 3.0]


@pytest.mark.parametrize(
    "start, end, argument",
    [("", "2024-03-31", "start_date"), (20240101, "2024-03-31", "start_date"), ("2024-01-01", 1.5, "end_date"),
     ("2024-01-01", "later", "end_date"), ("0001-01-01", "2024-03-31", "start_date")],
)
def test_dates_that_are_no_dates_are_refused(filled, capsys, start, end, argument):
    with pytest.raises(ValueError, match=argument):
        filled.read_pivot_category("daily", start, end)
    assert capsys.readouterr().out == ""


def test_open_range_of_a_never_written_category_names_the_date(store):
    with pytest.raises(ValueError, match="start_date"):
        store.read_pivot_category("daily", None, "2024-03-31")


@pytest.mark.parametrize("day", ["0999-12-31", "0001-01-01"])
def test_months_outside_the_storable_years_are_refused(store, root, day):
    with pytest.raises(ValueError, match="^df: "):  # older pandas cannot even hold such days
        store.update_pivot_category(pd.DataFrame({day: [1.0]}), "daily")
    assert not os.path.exists(os.path.join(root, "daily"))


@pytest.mark.parametrize("start, end, argument", [(None, None, "start_date"), ("2024-01-01", None, "end_date")])
def test_read_without_dates_of_a_category_without_months_names_it(store, root, start, end, argument):
    with pytest.raises(ValueError) as raised:
        store.read_pivot_category("dialy", start, end)
    assert str(raised.value) == (f"category 'dialy' under {root!r} holds no month files, so {argument} cannot "
                                 "default to its latest month")


def test_a_damaged_month_in_a_range_read_is_named(filled, root):
    path = Path(root, "daily", "daily_2024-02.parquet")
    path.write_bytes(path.read_bytes()[:100])
    with pytest.raises(Exception) as raised:
        filled.read_pivot_category("daily", "2024-01-01", "2024-03-31")
    assert str(raised.value).startswith(f"{path}: ")
    assert type(raised.value) is type(raised.value.__cause__)
