"""Range and merge reads of month files written in every layout the store may meet, on a local root
and on an object root (the in-memory backend): the result equals what pandas reads from each month,
joined side by side as the store joins them, whichever reader decodes each month."""

import io
import itertools
import os
import sys

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

sys.path.insert(0, os.path.dirname(__file__))
from memory_storage import memory_storage  # noqa: E402

from corvane.FrameVault import ParquetDataManager  # noqa: E402

MONTHS = ["2024-01", "2024-02", "2024-03"]


def month_frame(month, rows, labels, nulls, seed):
    rng = np.random.default_rng(seed)
    days = pd.bdate_range(f"{month}-01", pd.Timestamp(f"{month}-01") + pd.offsets.MonthEnd(0)).strftime("%Y-%m-%d")
    values = rng.normal(size=(len(rows), len(days)))
    if nulls:
        values[rng.random(values.shape) < 0.2] = np.nan
        values[: len(rows) // 3, 0] = np.nan
    index = pd.Index([f"s{n:05d}" for n in rows] if labels == "text" else np.asarray(rows, dtype="int64") * 10)
    return pd.DataFrame(values, index=index, columns=days)


def month_bytes(frame, **options):
    buffer = io.BytesIO()
    pq.write_table(pa.Table.from_pandas(frame), buffer, **options)
    return buffer.getvalue()


class Roots:
    """A root of either kind with a way to put a month file's bytes in place."""

    def __init__(self, kind, tmp_path, memory):
        self.kind = kind
        self.root = str(tmp_path / "data") if kind == "local" else "mem://bucket/data"
        self.memory = memory

    def put(self, category, month, data):
        path = f"{self.root}/{category}/{category}_{month}.parquet"
        if self.kind == "local":
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as out:
                out.write(data)
        else:
            self.memory.write_bytes(path, data)


@pytest.fixture(params=["local", "mem"])
def roots(request, tmp_path):
    with memory_storage() as memory:
        yield Roots(request.param, tmp_path, memory)


def joined(frames):
    """The months side by side as the store joins them: pd.concat(axis=1), days sorted."""
    return pd.concat(frames, axis=1).sort_index(axis=1)


def read_back(roots, capsys):
    result = ParquetDataManager(roots.root).read_pivot_category("c", "2024-01-01", "2024-03-31")
    captured = capsys.readouterr()
    assert captured.out == ""
    assert captured.err.count("Reading c From 2024-01-01 To 2024-03-31: 100%") == 1  # one progress bar
    return result


LAYOUTS = list(itertools.product(["snappy", "none"], [True, False], ["1.0", "2.0"], [True, False], [None, 1024]))


@pytest.mark.parametrize("labels", ["text", "int64"])
@pytest.mark.parametrize("compression,dictionary,version,nulls,page_size", LAYOUTS)
def test_every_layout_reads_as_pandas_reads_it(roots, capsys, labels, compression, dictionary, version, nulls,
                                               page_size):
    options = {"compression": compression, "use_dictionary": dictionary, "data_page_version": version}
    if page_size:
        options["data_page_size"] = page_size
    # The first two months hold the same rows; the third drops some and adds others.
    rows = [range(300), range(300), itertools.chain(range(50, 300), range(400, 460))]
    frames = [month_frame(month, list(rows[at]), labels, nulls, seed=at) for at, month in enumerate(MONTHS)]
    for month, frame in zip(MONTHS, frames):
        roots.put("c", month, month_bytes(frame, **options))
    result = read_back(roots, capsys)
    pd.testing.assert_frame_equal(result, joined(frames))
    assert result.index.dtype == frames[0].index.dtype


def other_month(case, frame):
    """A month that the core or the block does not take, and how it is written."""
    if case == "zstd":
        return frame, {"compression": "zstd"}
    if case == "byte stream split":
        return frame, {"use_dictionary": False, "column_encoding": {frame.columns[0]: "BYTE_STREAM_SPLIT"}}
    if case == "int cells":
        return frame.fillna(0).astype("int64"), {}
    if case == "repeated label":
        return frame.set_axis([frame.index[0], *frame.index[:-1]]), {}
    if case == "attributes":
        frame = frame.copy()
        frame.attrs["source"] = "elsewhere"
        return frame, {}
    raise AssertionError(case)


ROW_LABELS = {
    "text": lambda labels: pd.Index(labels),
    "object text": lambda labels: pd.Index(labels, dtype=object),
    "named text": lambda labels: pd.Index(labels, name="sid"),
    "nullable text": lambda labels: pd.Index(labels, dtype="string"),
    "categorical": lambda labels: pd.CategoricalIndex(labels),
    "int64": lambda labels: pd.Index(np.arange(len(labels), dtype="int64") * 7 - 3),
    "named int64": lambda labels: pd.Index(np.arange(len(labels), dtype="int64"), name="id"),
    "nullable int64": lambda labels: pd.Index(np.arange(len(labels)), dtype="Int64"),
    "int32": lambda labels: pd.Index(np.arange(len(labels), dtype="int32")),
    "datetimes": lambda labels: pd.date_range("2020-01-01", periods=len(labels)),
}


@pytest.mark.parametrize("kind", ROW_LABELS)
def test_row_labels_of_every_kind_read_as_pandas_reads_them(roots, capsys, kind):
    frames = [month_frame(month, range(40), "text", True, 3) for month in MONTHS]
    for month, frame in zip(MONTHS, frames):
        frame.index = ROW_LABELS[kind](list(frame.index))
        roots.put("c", month, month_bytes(frame))
    expected = joined([pd.read_parquet(io.BytesIO(month_bytes(frame))) for frame in frames])

    got = read_back(roots, capsys)
    pd.testing.assert_frame_equal(got, expected, check_exact=True)
    pd.testing.assert_index_equal(got.index, expected.index, exact=True)
    assert got.index.name == expected.index.name


@pytest.mark.parametrize("case", ["zstd", "byte stream split", "int cells", "repeated label", "attributes"])
def test_months_the_block_does_not_take_still_read(roots, capsys, case):
    frames = [month_frame(month, list(range(40)), "text", True, seed=at) for at, month in enumerate(MONTHS)]
    frames[1], options = other_month(case, frames[1])
    for at, (month, frame) in enumerate(zip(MONTHS, frames)):
        if at == 1 and case == "attributes":
            buffer = io.BytesIO()
            frame.to_parquet(buffer)
            data = buffer.getvalue()
        else:
            data = month_bytes(frame, **(options if at == 1 else {}))
        roots.put("c", month, data)
    if case == "repeated label":
        # pandas cannot join a month that repeats a label to months that do not: the read says so too.
        with pytest.raises(pd.errors.InvalidIndexError):
            joined(frames)
        with pytest.raises(pd.errors.InvalidIndexError):
            read_back(roots, capsys)
        return
    pd.testing.assert_frame_equal(read_back(roots, capsys), joined([pd.read_parquet(io.BytesIO(month_bytes(frames[0]))),
                                                                    *frames[1:]]),
                                  check_dtype=case != "int cells", check_flags=False)


def test_a_damaged_month_is_named_in_the_error(roots):
    frame = month_frame("2024-01", list(range(20)), "text", False, seed=1)
    roots.put("c", "2024-01", month_bytes(frame))
    roots.put("c", "2024-02", month_bytes(month_frame("2024-02", list(range(20)), "text", False, seed=2))[:-40])
    with pytest.raises(Exception, match="c_2024-02.parquet"):
        ParquetDataManager(roots.root).read_pivot_category("c", "2024-01-01", "2024-02-29")


def test_the_merge_reads_the_stored_month_it_extends(roots, capsys):
    stored = month_frame("2024-03", list(range(30)), "int64", True, seed=5)
    roots.put("c", "2024-03", month_bytes(stored, use_dictionary=False, data_page_version="2.0"))
    extra = pd.DataFrame(np.full((2, 1), 7.0), index=[stored.index[0], 999], columns=["2024-03-29"])
    store = ParquetDataManager(roots.root)
    store.update_pivot_category(extra.copy(), "c")
    capsys.readouterr()
    result = store.read_pivot_category("c", "2024-03-01", "2024-03-31")
    extra.columns = pd.to_datetime(extra.columns)
    stored.columns = pd.to_datetime(stored.columns)
    want = stored.combine_first(extra)
    want = want[want.notnull().sum(axis=1) > 0]
    want.columns = want.columns.strftime("%Y-%m-%d")
    pd.testing.assert_frame_equal(result, want, check_names=False)


row_sets = st.lists(st.integers(0, 60), min_size=1, max_size=40, unique=True)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(months=st.lists(st.tuples(row_sets, st.floats(0, 1), st.booleans(), st.sampled_from(["1.0", "2.0"]),
                                 st.sampled_from(["snappy", "none"]), st.sampled_from([64, 1 << 20])),
                       min_size=1, max_size=4),
       labels=st.sampled_from(["text", "int64"]))
def test_any_months_read_as_pandas_joins_them(tmp_path_factory, months, labels):
    root = tmp_path_factory.mktemp("store")
    frames = []
    for at, (rows, holes, dictionary, version, compression, page_size) in enumerate(months):
        month = f"2023-{at + 1:02d}"
        frame = month_frame(month, rows, labels, False, seed=at)
        frame = frame.mask(np.random.default_rng(at).random(frame.shape) < holes)
        path = root / "c" / f"c_{month}.parquet"
        path.parent.mkdir(exist_ok=True)
        pq.write_table(pa.Table.from_pandas(frame), path, use_dictionary=dictionary, data_page_version=version,
                       compression=compression, data_page_size=page_size)
        frames.append(pd.read_parquet(path))
    last = f"2023-{len(months):02d}"
    end = (pd.Timestamp(f"{last}-01") + pd.offsets.MonthEnd(0)).strftime("%Y-%m-%d")
    result = ParquetDataManager(str(root)).read_pivot_category("c", "2023-01-01", end)
    pd.testing.assert_frame_equal(result, joined(frames))
