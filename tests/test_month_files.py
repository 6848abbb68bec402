"""Month files are standard Parquet: other readers get the same values back, whichever path wrote
them, and files written by the pandas path (dictionary-encoded) read and merge as the native path's do."""

import glob
import os

import duckdb
import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from corvane.FrameVault import ParquetDataManager


def frame(rows, days, seed):
    rng = np.random.default_rng(seed)
    values = rng.lognormal(2.5, 0.4, size=(len(rows), len(days)))
    values[rng.random(values.shape) < 0.2] = np.nan
    return pd.DataFrame(values, index=rows, columns=[day.strftime("%Y-%m-%d") for day in days])


ROWS = [f"{n:06d}.XSHE" for n in range(40)]
DAYS = pd.bdate_range("2024-01-20", "2024-03-10")


@pytest.fixture(autouse=True)
def native_switch(monkeypatch):
    return lambda on: monkeypatch.setenv("CORVANE_NATIVE", "1" if on else "0")


def month_values(path):
    """The day columns of a month file as each reader sees them (missing as NaN), in label order."""
    expected = pd.read_parquet(path)
    days = list(expected.columns)
    index_field = pq.read_schema(path).pandas_metadata["index_columns"][0]
    table = pq.read_table(path).to_pandas()  # restores the index from the pandas metadata
    ducked = duckdb.sql(f"select * from read_parquet('{path}')").df().set_index(index_field)
    polled = pl.read_parquet(path).to_pandas().set_index(index_field)
    readers = {"pyarrow": table, "duckdb": ducked, "polars": polled}
    return expected, {name: got.loc[expected.index, days].to_numpy(dtype=float) for name, got in readers.items()}


@pytest.mark.parametrize("native_writer", [True, False], ids=["native writer", "pandas writer"])
def test_every_reader_gets_the_stored_values_back(root, native_switch, native_writer, capsys):
    native_switch(native_writer)
    ParquetDataManager(root).update_pivot_category(frame(ROWS, DAYS, 1), "close")
    paths = sorted(glob.glob(os.path.join(root, "close", "*.parquet")))
    assert len(paths) == 3
    for path in paths:
        expected, seen = month_values(path)
        for reader, values in seen.items():
            np.testing.assert_array_equal(values, expected.to_numpy(), err_msg=f"{reader} on {path}")
        chunk = pq.ParquetFile(path).metadata.row_group(0)
        for position in range(chunk.num_columns):
            column = chunk.column(position)
            dictionary = any("DICTIONARY" in e for e in column.encodings)
            # The native writer stores plain uncompressed pages; pandas keeps its defaults.
            assert column.compression == ("UNCOMPRESSED" if native_writer else "SNAPPY")
            assert dictionary != native_writer


def named_index(f):
    f.index.name = "code"


def named_days(f):
    f.columns.name = "day"


def with_attrs(f):
    f.attrs = {"source": "vendor", "n": 3}


def integer_rows(f):
    f.index = pd.Index(range(10, 10 + len(f)), dtype="int64")


def object_rows(f):
    f.index = pd.Index(["é"] + ROWS[1:], dtype=object)


# Object labels are left out of the merge: pandas' own reader gives them back as its text type.
@pytest.mark.parametrize(
    "shape, halves",
    [(shape, False) for shape in (named_index, named_days, with_attrs, integer_rows, object_rows)]
    + [(shape, True) for shape in (named_index, named_days, with_attrs, integer_rows)],
)
def test_month_files_carry_the_schema_and_metadata_pandas_writes(root, shape, halves, capsys):
    month = frame(ROWS, pd.bdate_range("2024-03-01", "2024-03-31"), 2)
    shape(month)
    store = ParquetDataManager(root)
    # The second half is merged into the stored first half, which the merge reads back first.
    for part in [month.iloc[:, :10], month.iloc[:, 10:]] if halves else [month]:
        store.update_pivot_category(part.copy(), "close")
    expected = pa.Schema.from_pandas(month, preserve_index=None)
    stored = pq.read_schema(os.path.join(root, "close", "close_2024-03.parquet"))
    assert stored.equals(expected, check_metadata=True), (stored.metadata, expected.metadata)
    assert store.read_pivot_category("close", "2024-03-01", "2024-03-31").attrs == month.attrs


@pytest.mark.parametrize("writer_native", [True, False], ids=["native files", "pandas files"])
def test_files_of_either_writer_read_and_merge_alike_on_either_path(root, native_switch, writer_native, capsys):
    """A store written by one path, then merged into and read by each path: the same results."""
    results = {}
    for reader_native in (True, False):
        directory = os.path.join(root, f"{writer_native}-{reader_native}")
        native_switch(writer_native)
        store = ParquetDataManager(directory)
        store.update_pivot_category(frame(ROWS[:30], DAYS[:25], 2), "close")
        native_switch(reader_native)
        # New rows, new days and refills of gaps, so months differ in their rows.
        store.update_pivot_category(frame(ROWS[10:], DAYS[20:], 3), "close")
        capsys.readouterr()
        results[reader_native] = (
            store.read_pivot_category("close", "2024-01-01", "2024-03-31"),
            store.read_pivot_category("close", "2024-02-01", "2024-03-05", column_type="datetime"),
            capsys.readouterr().out.replace(directory, "ROOT"),
        )
    for native_result, pandas_result in zip(results[True][:2], results[False][:2]):
        pd.testing.assert_frame_equal(native_result, pandas_result, check_exact=True)
    assert results[True][2] == results[False][2]
    assert results[True][0].shape == (40, len(DAYS))


@pytest.mark.parametrize("hook", ["read_parquet", "run_concurrently"])
def test_a_replaced_reader_or_runner_still_serves_every_month(root, monkeypatch, hook, capsys):
    store = ParquetDataManager(root)
    store.update_pivot_category(frame(ROWS, DAYS, 4), "close")
    expected = store.read_pivot_category("close", "2024-01-01", "2024-03-31")
    calls = []
    original = getattr(ParquetDataManager, hook)

    def spy(*args, **kwargs):
        calls.append(args[0])
        return original(*args, **kwargs)

    monkeypatch.setattr(ParquetDataManager, hook, staticmethod(spy))
    got = store.read_pivot_category("close", "2024-01-01", "2024-03-31")
    pd.testing.assert_frame_equal(got, expected, check_exact=True)
    assert len(calls) == (3 if hook == "read_parquet" else 1)


def footer_gone(path):
    with open(path, "r+b") as handle:
        handle.truncate(os.path.getsize(path) // 2)


def pages_scrambled(path):
    """Keeps the footer, so the damage shows only when the month's pages are decoded."""
    with open(path, "r+b") as handle:
        data = bytearray(handle.read())
        for offset in range(8, len(data) // 3, 7):
            data[offset] ^= 0x5A
        handle.seek(0)
        handle.write(bytes(data))


@pytest.mark.parametrize("damage", [footer_gone, pages_scrambled])
def test_a_damaged_month_is_named_in_the_error(root, damage, capsys):
    store = ParquetDataManager(root)
    store.update_pivot_category(frame(ROWS, DAYS, 5), "close")
    damaged = os.path.join(root, "close", "close_2024-02.parquet")
    damage(damaged)
    with pytest.raises(Exception) as caught:
        store.read_pivot_category("close", "2024-01-01", "2024-03-31")
    assert damaged in str(caught.value)
    assert caught.value.__cause__ is not None
