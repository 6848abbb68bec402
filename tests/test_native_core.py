"""The native core (numeric merge, join, digests) against the pandas path (CORVANE_NATIVE=0): the same
frames, status lines and errors, and files that read back to the same frames, over random month frames."""

import contextlib
import io
import os
import tempfile

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corvane.FrameVault import ParquetDataManager

# Days across a year boundary, weekends included, so frames fall into one or two month files.
DAYS = pd.date_range("2023-12-27", "2024-01-04")
TEXT_ROWS = [f"s{n}" for n in range(7)]
INT_ROWS = [3, 1, 4, 15, 9, 2, 6]
CELLS = {
    "float64": st.sampled_from([0.0, -0.0, 1.5, 2.0, 1e300, np.nan]),
    "int64": st.integers(-3, 3),
    "bool": st.booleans(),
    "Float64": st.sampled_from([1.5, 2.0, None]),
    "Int64": st.sampled_from([1, 2, None]),
    "boolean": st.sampled_from([True, False, None]),
    "object": st.sampled_from(["a", "b", None]),
}


# How callers label their days: text, or datetimes with a time of day or another unit, before 1970 too.
LABEL_FORMS = [
    lambda days: [day.strftime("%Y-%m-%d") for day in days],
    lambda days: pd.DatetimeIndex(days) + pd.Timedelta("9h30min"),
    lambda days: (pd.DatetimeIndex(days) - pd.DateOffset(years=60) + pd.Timedelta("23h")).as_unit("s"),
]


@st.composite
def month_frames(draw, row_pool, only_float, label_form):
    rows = draw(st.lists(st.sampled_from(row_pool), min_size=0, max_size=6, unique=True))
    days = draw(st.lists(st.sampled_from(list(DAYS)), min_size=1, max_size=5, unique=True))
    columns = {}
    for day in days:
        dtype = "float64" if only_float else draw(st.sampled_from(sorted(CELLS)))
        cells = draw(st.lists(CELLS[dtype], min_size=len(rows), max_size=len(rows)))
        columns[day.strftime("%Y-%m-%d")] = pd.Series(cells, index=rows, dtype=dtype)
    frame = pd.DataFrame(columns, index=pd.Index(rows))
    frame.columns = label_form(pd.DatetimeIndex(list(columns)))
    return frame


@st.composite
def histories(draw):
    """A stored frame, then the frames that later syncs send: the same again, then a changed one."""
    row_pool = draw(st.sampled_from([TEXT_ROWS, INT_ROWS]))
    only_float = draw(st.booleans())
    label_form = draw(st.sampled_from(LABEL_FORMS))
    stored = draw(month_frames(row_pool, only_float, label_form))
    return [stored, stored, draw(month_frames(row_pool, only_float, label_form))]


def outcome(call):
    """What a call gives: its result, or its error as type and text."""
    try:
        return "ok", call()
    except Exception as error:  # noqa: BLE001  (both paths must fail alike, whatever the error)
        return "error", type(error).__name__, str(error)


def read_back(path):
    return pd.read_parquet(path)


def run_store(history, native):
    """Syncs every frame into a fresh store, then reads the range back in both label types."""
    os.environ["CORVANE_NATIVE"] = "1" if native else "0"
    printed = io.StringIO()
    with tempfile.TemporaryDirectory() as root:
        # One worker: months then run in calendar order, so both paths meet the same first failure.
        store = ParquetDataManager(root, 1)
        steps = []
        with contextlib.redirect_stdout(printed), contextlib.redirect_stderr(io.StringIO()):
            for frame in history:
                steps.append(outcome(lambda: store.update_pivot_category(frame.copy(), "c")))
            first = min(pd.Timestamp(day) for frame in history for day in frame.columns)
            start, end = first.strftime("%Y-%m-01"), DAYS[-1].strftime("%Y-%m-%d")
            for column_type in ("str", "datetime"):
                steps.append(outcome(lambda: store.read_pivot_category("c", start, end, column_type)))
        directory = os.path.join(root, "c")
        files = {name: read_back(os.path.join(directory, name)) for name in sorted(os.listdir(directory))}
        lines = sorted(printed.getvalue().replace(root, "ROOT").splitlines())
    return steps, files, lines


def assert_same_steps(native_steps, pandas_steps):
    for native_step, pandas_step in zip(native_steps, pandas_steps, strict=True):
        assert native_step[0] == pandas_step[0], (native_step, pandas_step)
        if isinstance(native_step[1], pd.DataFrame):
            pd.testing.assert_frame_equal(native_step[1], pandas_step[1], check_exact=True, check_flags=True)
        else:
            assert native_step == pandas_step


@pytest.fixture(autouse=True)
def restore_native_switch():
    before = os.environ.get("CORVANE_NATIVE")
    yield
    if before is None:
        os.environ.pop("CORVANE_NATIVE", None)
    else:
        os.environ["CORVANE_NATIVE"] = before


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(histories())
def test_native_paths_match_the_pandas_path(history):
    native_steps, native_files, native_lines = run_store(history, native=True)
    pandas_steps, pandas_files, pandas_lines = run_store(history, native=False)
    assert_same_steps(native_steps, pandas_steps)
    # The bytes may differ (the native encoder skips dictionaries for floats); the content may not.
    assert native_files.keys() == pandas_files.keys()
    for name, frame in native_files.items():
        pd.testing.assert_frame_equal(frame, pandas_files[name], check_exact=True)
    assert native_lines == pandas_lines


# --- digests ------------------------------------------------------------------------------------


def month(rows, days, start=0.0):
    values = np.arange(len(rows) * len(days), dtype=float).reshape(len(rows), len(days)) + start
    return pd.DataFrame(values, index=rows, columns=[f"2024-03-{day:02d}" for day in days])


def rewrite_in_place(path, data):
    """Replaces the file's bytes keeping its inode, size and modification time: a reader that trusts
    the file's identity cannot tell."""
    status = os.stat(path)
    with open(path, "r+b") as handle:
        handle.write(data)
    os.utime(path, ns=(status.st_atime_ns, status.st_mtime_ns))


@pytest.mark.parametrize("written_by", ["native core", "pandas path"])
def test_an_unchanged_month_is_told_identical_from_its_digest_without_reading_it(
        root, capsys, monkeypatch, written_by):
    store = ParquetDataManager(root)
    sent = month(["a", "b"], [4, 5])
    os.environ["CORVANE_NATIVE"] = "1" if written_by == "native core" else "0"
    store.update_pivot_category(sent.copy(), "daily")
    os.environ["CORVANE_NATIVE"] = "1"
    if written_by == "pandas path":
        # Written without a digest: the first unchanged re-sync reads the month and records one.
        store.update_pivot_category(sent.copy(), "daily")
    path = os.path.join(root, "daily", "daily_2024-03.parquet")
    assert os.listdir(os.path.join(root, "daily")) == ["daily_2024-03.parquet"]
    assert os.path.isfile(os.path.join(root, ".corvane", "digests", "daily", "daily_2024-03.parquet.digest"))

    def no_read(*args, **kwargs):
        raise AssertionError("the month was read")

    monkeypatch.setattr(pd, "read_parquet", no_read)
    capsys.readouterr()
    store.update_pivot_category(sent.copy(), "daily")
    assert capsys.readouterr().out.splitlines()[0] == (
        f"{path}: Dataframes are identical. From 2024-03-04 00:00:00 To 2024-03-05 00:00:00 Total Shape (2, 2)"
    )


@pytest.mark.parametrize("edit", ["cells blanked", "footer damaged"])
def test_a_month_edited_in_place_with_size_and_mtime_restored_is_read_again(root, capsys, edit):
    """Inode, size and mtime can all be kept by an edit in place; the change time cannot."""
    store = ParquetDataManager(root)
    # Random doubles share no byte runs, so the compressed pages hold each one verbatim.
    sent = pd.DataFrame(np.random.default_rng(7).random((3, 3)) * 1000, index=["a", "b", "c"],
                        columns=["2024-03-04", "2024-03-05", "2024-03-06"])
    store.update_pivot_category(sent.copy(), "daily")
    path = os.path.join(root, "daily", "daily_2024-03.parquet")
    with open(path, "rb") as handle:
        data = bytearray(handle.read())
    if edit == "cells blanked":
        # The stored doubles appear verbatim in the file (in pages, and in statistics as minima and
        # maxima); NaN in their place blanks the cells whose page copy was hit.
        for value in sent.to_numpy().ravel()[::2]:
            at = data.rfind(np.float64(value).tobytes())
            while at >= 0:
                data[at:at + 8] = np.float64(np.nan).tobytes()
                at = data.rfind(np.float64(value).tobytes())
    else:
        data[-8:-4] = b"\xff\xff\xff\x7f"  # the footer length
    rewrite_in_place(path, bytes(data))
    if edit == "cells blanked":
        edited = pd.read_parquet(path)
        assert edited.isna().to_numpy().sum() > 0 and edited.fillna(sent).equals(sent)
        store.update_pivot_category(sent.copy(), "daily")
        assert "UpdatingDF" in capsys.readouterr().out
        pd.testing.assert_frame_equal(store.read_pivot_category("daily").set_axis(sent.columns, axis=1), sent)
    else:
        capsys.readouterr()
        with pytest.raises(Exception, match="(?i)parquet|footer|metadata"):
            store.update_pivot_category(sent.copy(), "daily")
        assert "identical" not in capsys.readouterr().out


@pytest.mark.parametrize("tamper", ["file replaced", "record garbled", "record removed", "format differs"])
def test_a_digest_that_does_not_vouch_for_the_file_falls_back_to_reading_it(root, capsys, tamper):
    store = ParquetDataManager(root)
    first = month(["a", "b"], [4, 5])
    store.update_pivot_category(first.copy(), "daily")
    path = os.path.join(root, "daily", "daily_2024-03.parquet")
    record = os.path.join(root, ".corvane", "digests", "daily", "daily_2024-03.parquet.digest")
    strf = "%Y-%m-%d"
    if tamper == "file replaced":
        month(["a", "b"], [4, 5], start=10.0).to_parquet(path)
    elif tamper == "record garbled":
        with open(record, "w") as handle:
            handle.write("corvane-digest 1\nnot a digest\n")
    elif tamper == "record removed":
        os.remove(record)
    else:
        strf = "%Y%m%d"
    # A damaged file shows the fallback: reading it fails where the digest alone would have passed.
    rewrite_in_place(path, b"\0" * 8)
    capsys.readouterr()
    with pytest.raises(Exception):
        store.update_pivot_category(first.copy(), "daily", strf=strf)
    assert "identical" not in capsys.readouterr().out
