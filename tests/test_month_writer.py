"""The store's own Parquet writer: month files it writes read back, through pandas and pyarrow, as
the files pandas writes for the same month frame do, whatever the labels and the layout of the cells."""

import glob
import os

import numpy as np
import pandas as pd
import pyarrow.parquet as pq
import pytest

from corvane.FrameVault import ParquetDataManager
from memory_storage import memory_storage

DAYS = pd.bdate_range("2024-03-01", "2024-03-29")


def cells(rows, days, seed=5, missing=0.25):
    rng = np.random.default_rng(seed)
    values = rng.lognormal(2.5, 0.4, size=(rows, days))
    values[rng.random(values.shape) < missing] = np.nan
    return values


def text_rows(count):
    return pd.Index([f"{n:06d}.XSHG" for n in range(count)])


def plain(f):
    return f


def named_labels(f):
    f.index.name = "code"
    f.columns.name = "day"
    return f


def integer_rows(f):
    f.index = pd.Index(np.arange(len(f), dtype="int64") * 7 - 20)
    return f


def named_integer_rows(f):
    f = integer_rows(f)
    f.index.name = "id"
    return f


def unicode_rows(f):
    f.index = pd.Index([f"股票{n}é" for n in range(len(f))])
    return f


def all_missing_days(f):
    f.iloc[:, [0, 5]] = np.nan
    return f


def one_row(f):
    return f.iloc[[3]]


def every_cell_missing_but_one(f):
    f.iloc[:, :] = np.nan
    f.iloc[2, 4] = 1.5
    return f


def strided_block(f):
    """Cells in row-major order: each day's values lie a row's width apart."""
    return pd.DataFrame(np.ascontiguousarray(f.to_numpy()), index=f.index, columns=f.columns)


def every_other_day(f):
    """Days taken from a wider block without a copy of the cells."""
    wide = pd.DataFrame(np.repeat(f.to_numpy(), 2, axis=1), index=f.index,
                        columns=[day for pair in zip(f.columns, f.columns) for day in pair])
    return wide.iloc[:, ::2]


def rows_without_values(f):
    """Rows the store drops, so the written rows are picked from the block."""
    f.iloc[[0, 4, 9], :] = np.nan
    return f


SHAPES = [plain, named_labels, integer_rows, named_integer_rows, unicode_rows, all_missing_days, one_row,
          every_cell_missing_but_one, strided_block, every_other_day, rows_without_values]


def written_month(root, frame):
    ParquetDataManager(root).update_pivot_category(frame.copy(), "close")
    (path,) = glob.glob(os.path.join(root, "close", "*.parquet"))
    return path


def as_pandas_writes(frame, path):
    """The month frame as pandas writes it, read back by pandas."""
    month = frame[frame.notnull().sum(axis=1) > 0].copy()
    month.columns = pd.Index([day.strftime("%Y-%m-%d") for day in month.columns], name=frame.columns.name)
    month.to_parquet(path)
    return pd.read_parquet(path)


@pytest.mark.parametrize("shape", SHAPES)
def test_the_writers_files_read_back_as_pandas_own(root, tmp_path, shape, capsys):
    frame = shape(pd.DataFrame(cells(12, len(DAYS)), index=text_rows(12), columns=DAYS))
    path = written_month(root, frame)
    reference = tmp_path / "pandas.parquet"
    expected = as_pandas_writes(frame, reference)

    assert pq.ParquetFile(path).metadata.created_by == "corvane"
    got = pd.read_parquet(path)
    pd.testing.assert_frame_equal(got, expected, check_exact=True)
    assert (got.index.name, got.columns.name) == (expected.index.name, expected.columns.name)
    assert got.index.dtype == expected.index.dtype and got.columns.dtype == expected.columns.dtype
    # Nulls stay nulls for any reader, not NaN values.
    table = pq.read_table(path)
    assert [table.column(day).null_count for day in expected.columns] == expected.isna().sum().tolist()
    # Arrow sees what pandas' own file gives it, metadata included.
    theirs = pq.read_schema(reference)
    assert pq.read_schema(path).equals(theirs, check_metadata=True)
    assert pq.read_schema(path).metadata[b"pandas"] == theirs.metadata[b"pandas"]


@pytest.mark.parametrize("shape", SHAPES)
def test_an_object_root_stores_the_bytes_of_the_local_file(root, shape, capsys):
    # One writer for every kind of root: the object is the local file, byte for byte.
    frame = shape(pd.DataFrame(cells(12, len(DAYS)), index=text_rows(12), columns=DAYS))
    with open(written_month(root, frame), "rb") as local:
        expected = local.read()
    with memory_storage() as storage:
        ParquetDataManager("mem://bucket/data").update_pivot_category(frame.copy(), "close")
    (stored,) = [data for path, (_, data) in storage.objects.items() if path.endswith(".parquet")]
    assert stored == expected


@pytest.mark.parametrize("rows", [text_rows, lambda count: pd.Index(np.arange(count, dtype="int64"))],
                         ids=["text rows", "integer rows"])
def test_a_month_of_more_rows_than_a_page_holds_reads_back_whole(root, tmp_path, rows, capsys):
    count = (1 << 17) + 1000
    frame = pd.DataFrame(cells(count, 2, seed=9), index=rows(count), columns=DAYS[:2])
    path = written_month(root, frame)
    got = pd.read_parquet(path)
    pd.testing.assert_frame_equal(got, as_pandas_writes(frame, tmp_path / "pandas.parquet"), check_exact=True)


def test_a_month_without_any_value_is_stored_as_pandas_stores_it(root, tmp_path, capsys):
    frame = pd.DataFrame(np.nan, index=text_rows(4), columns=DAYS[:3])
    path = written_month(root, frame)
    pd.testing.assert_frame_equal(pd.read_parquet(path), as_pandas_writes(frame, tmp_path / "pandas.parquet"),
                                  check_exact=True)


@pytest.mark.parametrize("shape", [plain, integer_rows, rows_without_values])
def test_merges_and_reads_of_the_writers_files_match_the_pandas_path(root, monkeypatch, shape, capsys):
    """The native writer's files, merged into and read back, give what the pandas path gives."""
    results = []
    for native in ("1", "0"):
        monkeypatch.setenv("CORVANE_NATIVE", native)
        store = ParquetDataManager(os.path.join(root, native))
        first = shape(pd.DataFrame(cells(20, len(DAYS), seed=1), index=text_rows(20), columns=DAYS))
        second = shape(pd.DataFrame(cells(20, len(DAYS), seed=2), index=text_rows(20), columns=DAYS))
        store.update_pivot_category(first.iloc[:, :12].copy(), "close")
        store.update_pivot_category(second.copy(), "close")
        results.append(store.read_pivot_category("close", "2024-03-01", "2024-03-31"))
    pd.testing.assert_frame_equal(results[0], results[1], check_exact=True)
