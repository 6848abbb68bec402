import os
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

NAN = np.nan
DOC = (
    "\n        更新或创建一个Parquet文件。\n        针对某一分区下的Parquet数据进行更新\n        参数:\n"
    "        - file_path: str，Parquet文件的存储路径。\n"
    "        - sub_df: pd.DataFrame，要合并或存储的新DataFrame。\n"
    "        - date_format: str，日期列的格式字符串，默认为'%Y-%m-%d'。\n\n"
    "        如果Parquet文件存在，函数会尝试合并旧数据和新数据。\n"
    "        如果列名或数据有差异，合并后的数据将被存储回同一文件。\n"
    "        如果文件不存在，sub_df将直接保存为新文件。\n        "
)


def march(first, last):
    return [f"2024-03-{day:02d}" for day in range(first, last + 1)]


def frame(rows, days, start=0.0):
    values = np.arange(len(rows) * len(days), dtype=float).reshape(len(rows), len(days)) + start
    return pd.DataFrame(values, index=list(rows), columns=list(days))


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "daily_2024-03.parquet")


@pytest.mark.parametrize(
    "method, doc",
    [
        ("update_pivot_parquet", DOC),
        ("update_pivot_category", "\n        多线程更新pivot类型的数据\n        "),
        ("read_pivot_category", "Read all dataframes from a specific category."),
    ],
)
def test_docstrings(store_cls, method, doc):
    # The fixed text first; what each parameter means follows it.
    assert getattr(store_cls, method).__doc__.startswith(doc)


def test_create_then_identical(store_cls, path, capsys):
    new = frame("abc", march(1, 3))
    new.loc["b"] = NAN
    store_cls.update_pivot_parquet(path, new)
    assert new.columns.tolist() == march(1, 3)  # creation leaves the caller's labels alone
    pd.testing.assert_frame_equal(pd.read_parquet(path), new.loc[["a", "c"]])
    assert capsys.readouterr().out == f"{path}: Initializing: Shape (2, 3) From 2024-03-01 To 2024-03-03\n"

    before = os.stat(path).st_mtime_ns
    store_cls.update_pivot_parquet(path, new)  # its empty row is dropped again, so nothing differs
    assert isinstance(new.columns, pd.DatetimeIndex)
    assert capsys.readouterr().out == (
        f"{path}: Dataframes are identical. From 2024-03-01 00:00:00 To 2024-03-03 00:00:00 Total Shape (2, 3)\n"
    )
    assert os.stat(path).st_mtime_ns == before


def with_cells(df, cells):
    df = df.copy()
    for (row, day), value in cells.items():
        df.loc[row, day] = value
    return df


STORED = with_cells(frame("ab", march(1, 15)), {("a", "2024-03-02"): NAN, ("b", "2024-03-03"): NAN})


@pytest.mark.parametrize(
    "new, expected",
    [
        # new days, given out of order: added, and the file keeps its days in ascending order
        (frame("ab", march(16, 20)[::-1]), pd.concat([STORED, frame("ab", march(16, 20)[::-1])], axis=1)[march(1, 20)]),
        # stored days missing from the new frame count as a difference too; the stored days stay
        (STORED[march(1, 5)], STORED),
        # a stored row missing from the new frame stays
        (frame("a", march(1, 15), start=100.0), with_cells(STORED, {("a", "2024-03-02"): 101.0})),
        # new rows with the same days are added
        (STORED.loc[["b", "a"]].set_axis(["b", "c"]), pd.concat([STORED, STORED.loc[["a"]].set_axis(["c"])])),
        # the only differences are new zeros in stored holes: they still count, and fill the holes
        (with_cells(STORED, {("a", "2024-03-02"): 0.0, ("b", "2024-03-03"): 0.0}),) * 2,
    ],
    ids=["new-days", "stored-days-kept", "stored-row-kept", "new-rows", "zeros-fill-holes"],
)
def test_merge_precedence(store_cls, path, capsys, new, expected):
    STORED.to_parquet(path)
    store_cls.update_pivot_parquet(path, new.copy())
    pd.testing.assert_frame_equal(pd.read_parquet(path), expected, check_index_type=False, check_column_type=False)
    days = expected.columns
    assert capsys.readouterr().out == (
        f"{path}: UpdatingDF  From {days[0]} To {days[-1]} Total Shape {expected.shape}\n\n"
    )


@pytest.mark.parametrize(
    "same",
    [lambda df, unit=unit: df.set_axis(pd.to_datetime(df.columns).as_unit(unit), axis=1) for unit in ["s", "ms", "ns"]]
    + [lambda df: df.iloc[::-1], lambda df: df.iloc[:, ::-1], lambda df: df.set_axis(df.index.astype(object))],
    ids=["unit-s", "unit-ms", "unit-ns", "rows-reordered", "days-reordered", "object-row-labels"],
)
def test_same_content_differently_held_is_identical(store_cls, path, capsys, same):
    STORED.to_parquet(path)
    store_cls.update_pivot_parquet(path, same(STORED.copy()))
    assert "Dataframes are identical" in capsys.readouterr().out


def test_days_in_nanoseconds_merge_with_stored_days(store_cls, path):
    STORED.to_parquet(path)
    store_cls.update_pivot_parquet(path, frame("ab", march(1, 16)).set_axis(pd.date_range("2024-03-01", periods=16, unit="ns"), axis=1))
    assert pd.read_parquet(path).columns.tolist() == march(1, 16)


@pytest.mark.parametrize("first_format", ["%Y%m%d", "%Y-%m-%d", "%m/%d/%Y"])
def test_format_of_the_merge_governs_the_labels_on_disk(store_cls, path, first_format):
    store_cls.update_pivot_parquet(path, frame("a", march(1, 2)), first_format)
    store_cls.update_pivot_parquet(path, frame("a", march(3, 3)), "%Y%m%d")
    assert pd.read_parquet(path).columns.tolist() == ["20240301", "20240302", "20240303"]


def test_failure_while_merging_is_printed_and_raised(store_cls, path, capsys):
    STORED.to_parquet(path)
    before = Path(path).read_bytes()
    # every day of the month would get the same label
    with pytest.raises(ValueError, match="does not give one label per day") as raised:
        store_cls.update_pivot_parquet(path, frame("ab", march(16, 17)), "%Y-%m")
    assert capsys.readouterr().out == f"{raised.value}\n"
    assert Path(path).read_bytes() == before


def damaged(path):
    Path(path).write_bytes(b"not parquet at all")


def unparsable_labels(path):
    pd.DataFrame({"x": [1.0], "y": [2.0]}).to_parquet(path)


@pytest.mark.parametrize("prepare", [damaged, unparsable_labels])
def test_bad_stored_file_raises_and_stays_as_it_was(store_cls, path, prepare):
    prepare(path)
    before = Path(path).read_bytes()
    with pytest.raises(Exception):
        store_cls.update_pivot_parquet(path, frame("a", march(1, 2)))
    assert Path(path).read_bytes() == before


@pytest.mark.parametrize(
    "new, error, message",
    [
        ([[1.0]], TypeError, "must be a pandas DataFrame"),
        (pd.DataFrame({"abc": [1.0]}), ValueError, "not dates"),
        (pd.DataFrame([[1.0, 2.0]], columns=[0, 1]), ValueError, "not dates"),
        (pd.DataFrame([[1.0, 2.0]], columns=["2024-03-01", pd.Timestamp("2024-03-01")]), ValueError, "duplicate day"),
        (pd.DataFrame([[1.0], [2.0]], index=["a", "a"], columns=["2024-03-01"]), ValueError, "duplicate row"),
        (pd.DataFrame(index=["a"]), ValueError, "no day columns"),
        (frame("a", ["2024-03-01 10:00", "2024-03-01 12:00"]), ValueError, "one label per day"),
    ],
    ids=["not-a-frame", "text-labels", "number-labels", "duplicate-days", "duplicate-rows", "no-days", "same-day-twice"],
)
@pytest.mark.parametrize("stored", [False, True], ids=["absent", "stored"])
def test_bad_input_raises_and_leaves_the_file(store_cls, path, new, error, message, stored):
    if stored:
        STORED.to_parquet(path)
    before = Path(path).read_bytes() if stored else None
    with pytest.raises(error, match=message):
        store_cls.update_pivot_parquet(path, new)
    assert (Path(path).read_bytes() if os.path.exists(path) else None) == before


@pytest.mark.parametrize(
    "new",
    [pd.DataFrame({"2024-03-02": [1.0]}, index=["b"]), pd.DataFrame({"2024-03-01": [7.0], "2024-03-02": [NAN]}, index=["a"])],
    ids=["new-row-and-day", "stored-cell-wins"],
)
def test_large_integers_in_a_month_stay_exact(store_cls, path, new):
    pd.DataFrame({"2024-03-01": [2**53 + 1]}, index=["a"]).to_parquet(path)
    store_cls.update_pivot_parquet(path, new)
    assert int(pd.read_parquet(path).loc["a", "2024-03-01"]) == 2**53 + 1


@pytest.mark.parametrize(
    "new",
    [STORED.loc[["a"]], STORED.loc[["b"], march(1, 3)],
     with_cells(frame("ab", march(1, 5), start=-50.0), {("a", "2024-03-02"): NAN, ("b", "2024-03-03"): NAN})],
    ids=["a-stored-row-missing", "some-days-of-one-row", "only-losing-values"],
)
def test_merge_that_changes_nothing_is_not_written(store_cls, path, capsys, new):
    STORED.to_parquet(path)
    before = os.stat(path)
    store_cls.update_pivot_parquet(path, new.copy())
    after = os.stat(path)
    assert (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)
    days = STORED.columns
    assert capsys.readouterr().out == f"{path}: UpdatingDF  From {days[0]} To {days[-1]} Total Shape {STORED.shape}\n\n"
    pd.testing.assert_frame_equal(pd.read_parquet(path), STORED)


def test_fractions_that_lose_to_large_stored_integers_are_no_refusal(store_cls, path, capsys):
    stored = pd.DataFrame({"2024-03-01": [2**53 + 1, 5]}, index=["a", "b"])
    stored.to_parquet(path)
    store_cls.update_pivot_parquet(path, pd.DataFrame({"2024-03-01": [0.5]}, index=["a"]))
    pd.testing.assert_frame_equal(pd.read_parquet(path), stored)
    assert capsys.readouterr().out.startswith(f"{path}: UpdatingDF  From 2024-03-01 To 2024-03-01")
