import os
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow.parquet as pq
import pytest


def days_frame(days):
    df = pd.DataFrame(np.arange(2 * len(days), dtype=float).reshape(2, -1), index=["a", "b"], columns=days)
    df[days[0]] = df[days[0]].astype("int64")  # one column of its own dtype, to see dtypes kept
    return df


def month_files(root):
    directory = os.path.join(root, "daily")
    return sorted(os.listdir(directory)) if os.path.isdir(directory) else []


# Days out of order, across a year end and in the same month of two years.
DAYS = ["2024-01-02", "2023-03-31", "2023-12-31", "2024-03-01", "2023-03-30", "2024-01-03"]


def test_each_month_gets_its_own_columns_and_every_row(store, root, capsys):
    df = days_frame(DAYS)
    original = df.copy()
    store.update_pivot_category(df=df, category="daily")
    assert isinstance(df.columns, pd.DatetimeIndex)
    assert month_files(root) == [f"daily_{m}.parquet" for m in ["2023-03", "2023-12", "2024-01", "2024-03"]]
    for month in ["2023-03", "2023-12", "2024-01", "2024-03"]:
        path = f"{root}/daily/daily_{month}.parquet"
        wanted = original[[day for day in DAYS if day.startswith(month)]]
        pd.testing.assert_frame_equal(pd.read_parquet(path), wanted, check_index_type=False, check_column_type=False)
    captured = capsys.readouterr()
    assert sorted(captured.out.splitlines()) == [
        f"{root}/daily/daily_2023-03.parquet: Initializing: Shape (2, 2) From 2023-03-31 To 2023-03-30",
        f"{root}/daily/daily_2023-12.parquet: Initializing: Shape (2, 1) From 2023-12-31 To 2023-12-31",
        f"{root}/daily/daily_2024-01.parquet: Initializing: Shape (2, 2) From 2024-01-02 To 2024-01-03",
        f"{root}/daily/daily_2024-03.parquet: Initializing: Shape (2, 1) From 2024-03-01 To 2024-03-01",
    ]
    assert "Updating daily: 100%" in captured.err and "4/4" in captured.err


@pytest.mark.parametrize(
    "strf, labels",
    [("%Y/%m/%d", ["2024/03/01", "2024/03/02"]), ("%Y-%m-%d", ["2024-03-01", "2024-03-02"])],
)
def test_format_reaches_every_month_and_times_of_day_keep_the_date(store, root, strf, labels):
    df = days_frame(["2024-03-01 09:30", "2024-03-02 16:00", "2024-04-01 09:30"])
    store.update_pivot_category(df, "daily", strf)
    assert pd.read_parquet(f"{root}/daily/daily_2024-03.parquet").columns.tolist() == labels
    assert pd.read_parquet(f"{root}/daily/daily_2024-04.parquet").columns.tolist() == [labels[0].replace("03", "04", 1)]


def test_failing_month_is_raised_and_other_months_are_written(store, root):
    damaged = Path(store._get_category_path("daily"), "daily_2024-02.parquet")
    damaged.write_bytes(b"damaged")
    with pytest.raises(Exception):
        store.update_pivot_category(days_frame(["2024-01-31", "2024-02-01"]), "daily")
    assert damaged.read_bytes() == b"damaged"
    assert pd.read_parquet(f"{root}/daily/daily_2024-01.parquet").columns.tolist() == ["2024-01-31"]


def test_frame_without_days_writes_nothing(store, root, capsys):
    store.update_pivot_category(pd.DataFrame(index=["a"]), "daily")
    assert month_files(root) == []
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "days, strf, message",
    [
        (["2024-01-31", "2024-02-01", "2024-02-01"], "%Y-%m-%d", "duplicate day"),
        ([pd.Timestamp(day) for day in ["2024-01-31", "2024-02-01 09:30", "2024-02-01 16:00"]], "%Y-%m-%d", "does not give one label per day"),
        (["2024-01-01", "2024-02-01", "2024-02-02"], "%Y-%m", "does not give one label per day"),
    ],
    ids=["duplicate-day", "same-day-twice", "strf-fails-in-february-only"],
)
def test_a_month_refused_later_in_the_frame_writes_no_month(store, root, days, strf, message):
    df = pd.DataFrame([[1.0] * len(days)], index=["a"], columns=days)
    with pytest.raises(ValueError, match=message):
        store.update_pivot_category(df, "daily", strf)
    assert month_files(root) == []


def merged_after(store, root, first, then):
    store.update_pivot_category(first, "daily")
    for frame in then:
        store.update_pivot_category(frame, "daily")
    return pd.read_parquet(f"{root}/daily/daily_2024-03.parquet")


AT_0930 = pd.to_datetime(["2024-03-01 09:30"])
FRAMES_THAT_MERGE = {
    "int64 cells, then a zero-row int64 frame adding a day": (
        pd.DataFrame({"2024-03-01": [2**60, 7]}, index=["a", "b"]),
        [pd.DataFrame({"2024-03-04": pd.Series([], dtype="int64")})],
        pd.DataFrame({"2024-03-01": pd.array([2**60, 7], dtype="Int64"), "2024-03-04": [np.nan, np.nan]},
                     index=["a", "b"])),
    "days labelled with a time of day, re-sent, then a later day": (
        pd.DataFrame([[1.0]], index=["a"], columns=AT_0930),
        [pd.DataFrame([[1.0]], index=["a"], columns=AT_0930), pd.DataFrame([[1.0]], index=["a"], columns=AT_0930),
         pd.DataFrame([[2.0]], index=["a"], columns=pd.to_datetime(["2024-03-04 15:00"]))],
        pd.DataFrame({"2024-03-01": [1.0], "2024-03-04": [2.0]}, index=["a"])),
}


@pytest.mark.parametrize("native", ["1", "0"])
@pytest.mark.parametrize("first, then, stored", FRAMES_THAT_MERGE.values(), ids=FRAMES_THAT_MERGE.keys())
def test_frames_that_pandas_merges_merge_into_a_stored_month(store, root, monkeypatch, native, first, then, stored):
    monkeypatch.setenv("CORVANE_NATIVE", native)
    pd.testing.assert_frame_equal(merged_after(store, root, first, then), stored, check_column_type=False)


@pytest.mark.parametrize("native", ["1", "0"])
@pytest.mark.parametrize("stored_rows, sent_rows", [(3, 2), (2, 3), (3, 3)])
def test_range_labelled_rows_are_stored_as_pandas_merges_them(store, root, monkeypatch, native, stored_rows, sent_rows):
    """A month of range-labelled rows keeps the type of labels pandas' merge gives (a plain integer
    index where pandas 2 joins two unequal ranges), whichever path merges it."""
    monkeypatch.setenv("CORVANE_NATIVE", native)
    first = pd.DataFrame({"2024-03-01": np.arange(stored_rows, dtype=float)})
    then = pd.DataFrame({"2024-03-04": np.arange(sent_rows, dtype=float) + 10})
    expected = first.combine_first(then)  # before the write gives the callers' frames day labels
    merged_after(store, root, first, [then])
    path = f"{root}/daily/daily_2024-03.parquet"
    expected.to_parquet(f"{root}/expected.parquet")
    assert (pq.read_schema(path).pandas_metadata["index_columns"]
            == pq.read_schema(f"{root}/expected.parquet").pandas_metadata["index_columns"])
    pd.testing.assert_frame_equal(pd.read_parquet(path), expected, check_index_type=True, check_column_type=False)


@pytest.mark.parametrize("native", ["1", "0"])
def test_rows_of_another_kind_than_the_stored_ones_are_refused(store, root, monkeypatch, native):
    monkeypatch.setenv("CORVANE_NATIVE", native)
    store.update_pivot_category(pd.DataFrame({"2024-03-01": [1.0]}, index=["a"]), "daily")
    before = Path(f"{root}/daily/daily_2024-03.parquet").read_bytes()
    with pytest.raises(ValueError, match="the stored and sent row labels mix integers with other kinds"):
        store.update_pivot_category(pd.DataFrame({"2024-03-04": [2.0]}, index=[5]), "daily")
    assert Path(f"{root}/daily/daily_2024-03.parquet").read_bytes() == before


@pytest.mark.parametrize("labels", [["2024-03-01", "2024-03-04"], pd.DatetimeIndex(["2024-03-01", "2024-03-04"]).as_unit("ns"),
                                    pd.DatetimeIndex(["2024-03-01", "2024-03-04"]).as_unit("s"),
                                    pd.Index(["2024-03-01", "2024-03-04"], dtype=object)], ids=repr)
@pytest.mark.parametrize("native", ["1", "0"])
def test_the_callers_frame_gets_the_labels_pandas_parses(store, monkeypatch, native, labels):
    monkeypatch.setenv("CORVANE_NATIVE", native)
    for _ in range(2):  # a create, then a merge
        df = pd.DataFrame([[1.0, 2.0]], index=["a"], columns=labels)
        store.update_pivot_category(df, "daily")
        pd.testing.assert_index_equal(df.columns, pd.to_datetime(labels))
