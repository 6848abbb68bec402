"""Corrections, deletes, the catalog and row reads on local disk: what they change on disk, the
lines they print, and that refused or absent work leaves every file as it was."""

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from corvane.FrameVault import ParquetDataManager


def frame(rows, days, values):
    return pd.DataFrame(np.array(values, dtype=float), index=rows, columns=list(days))


def stamps(root):
    return {str(p): p.stat().st_mtime_ns for p in Path(root).rglob("*.parquet")}


@pytest.fixture
def seeded(store, root):
    """Two months of three series (a, b, c), a few gaps, and a keyed table."""
    store.update_pivot_category(frame(["a", "b", "c"], ["2024-01-30", "2024-01-31", "2024-02-01"],
                                      [[1, 2, 3], [4, np.nan, 6], [7, 8, 9]]), "close")
    store.update_unstack_category("table", pd.DataFrame({"id": [1, 2, 3], "v": ["x", "y", "z"]}), key_columns=["id"])
    return store


def test_overwrite_replaces_stored_cells_and_leaves_unchanged_months_alone(seeded, root, capsys):
    capsys.readouterr()
    before = stamps(root)
    new = frame(["a", "b", "d"], ["2024-01-31", "2024-02-01", "2024-02-02"],
                [[20, np.nan, np.nan], [5, 6, np.nan], [np.nan, np.nan, 1]])
    labels = list(new.columns)
    assert seeded.overwrite_pivot_category(new, "close") == 1  # a's 2024-01-31: 2 -> 20
    assert list(new.columns) == labels  # the caller's frame is left as it was
    lines = sorted(capsys.readouterr().out.splitlines())
    assert lines == [f"{root}/close/close_2024-01.parquet: 1 stored cells changed, 1 cells added",
                     f"{root}/close/close_2024-02.parquet: 0 stored cells changed, 1 cells added"]
    got = seeded.read_pivot_category("close", "2024-01-01", "2024-02-29")
    assert got.loc["a"].tolist()[:3] == [1, 20, 3] and got.loc["b", "2024-01-31"] == 5  # filled gap
    assert got.loc["c"].tolist()[:3] == [7, 8, 9] and got.loc["d", "2024-02-02"] == 1

    # Re-sending the same correction changes nothing: no month is written, each line says so.
    after = stamps(root)
    assert seeded.overwrite_pivot_category(new, "close") == 0
    assert all(line.endswith("0 stored cells changed, 0 cells added; nothing written")
               for line in capsys.readouterr().out.splitlines())
    assert stamps(root) == after != before

    # Refused input raises before any month is touched.
    for bad in (frame(["a"], ["not a day"], [[1]]), frame(["a", "a"], ["2024-01-31"], [[1], [2]])):
        with pytest.raises(ValueError):
            seeded.overwrite_pivot_category(bad, "close")
    assert stamps(root) == after


def test_overwrite_of_a_table_replaces_rows_by_key(seeded, root, capsys):
    capsys.readouterr()
    path = f"{root}/table/table.parquet"
    assert seeded.overwrite_unstack_category("table", pd.DataFrame({"id": [2, 3, 4], "v": ["Y", "z", "w"]}), ["id"]) == 1
    assert capsys.readouterr().out == f"{path}: 1 stored rows changed, 1 rows added\n"
    table = seeded.read_unstack_category("table")
    assert sorted(zip(table["id"], table["v"])) == [(1, "x"), (2, "Y"), (3, "z"), (4, "w")]
    mtime = os.stat(path).st_mtime_ns
    assert seeded.overwrite_unstack_category("table", pd.DataFrame({"id": [4], "v": ["w"]}), "id") == 0
    assert capsys.readouterr().out.endswith("; nothing written\n") and os.stat(path).st_mtime_ns == mtime
    for keys in (None, []):
        with pytest.raises(ValueError, match="needs key_columns"):
            seeded.overwrite_unstack_category("table", pd.DataFrame({"id": [9], "v": ["q"]}), keys)
    with pytest.raises(KeyError):
        seeded.overwrite_unstack_category("table", pd.DataFrame({"v": ["q"]}), ["id"])
    assert os.stat(path).st_mtime_ns == mtime


def test_deletes_remove_what_they_name_and_say_so_when_it_is_absent(seeded, root, capsys):
    capsys.readouterr()
    month = f"{root}/close/close_2024-02.parquet"
    # February holds one day: deleting it removes the file; January keeps its other days.
    assert seeded.delete_pivot_days("close", "2024-01-31", "2024-02-15") == 5
    assert sorted(capsys.readouterr().out.splitlines()) == [
        f"{root}/close/close_2024-01.parquet: removed 1 days (2 cells)",
        f"{month}: removed 1 days (3 cells); nothing left, file removed"]
    assert not os.path.exists(month) and seeded.list_pivot_months("close") == ["2024-01"]
    assert seeded.delete_pivot_rows("close", "b") == 1
    assert seeded.read_pivot_category("close", "2024-01-01", "2024-01-31").index.tolist() == ["a", "c"]
    assert seeded.delete_unstack_rows("table", pd.DataFrame({"id": [1, 3, 7]})) == 2
    assert seeded.read_unstack_category("table")["id"].tolist() == [2]
    capsys.readouterr()

    before = stamps(root)
    absent = [seeded.delete_pivot_days("close", "2023-01-01", "2023-03-01"), seeded.delete_pivot_rows("close", ["zz"]),
              seeded.delete_unstack_rows("table", pd.DataFrame({"id": [99]})), seeded.delete_category("never")]
    assert absent == [0, 0, 0, 0] and stamps(root) == before
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 4 and all(line.endswith("; nothing removed") for line in lines)
    assert not os.path.exists(f"{root}/never")

    with pytest.raises(ValueError):
        seeded.delete_pivot_days("close", "2024-02-01", "2024-01-01")
    with pytest.raises(KeyError):
        seeded.delete_unstack_rows("table", pd.DataFrame({"nope": [1]}))

    (Path(root) / "close" / "notes.txt").write_text("kept by hand")
    assert seeded.delete_category("close") == 1
    assert os.listdir(f"{root}/close") == ["notes.txt"]  # a file the store did not write stays
    assert not any("close" in os.listdir(f"{root}/.corvane/{kind}") for kind in ("locks", "digests")
                   if os.path.isdir(f"{root}/.corvane/{kind}"))
    assert seeded.delete_category("table") == 1 and not os.path.exists(f"{root}/table")


def test_catalog_lists_what_the_reads_see(seeded, root):
    seeded.read_pivot_category("empty", "2024-01-01", "2024-01-31")  # leaves an empty directory behind
    Path(root, "close", "other_2023-05.parquet").write_bytes(b"")  # a stray name, not a month of close
    Path(root, "close", "close_2023-07.parquet").mkdir()  # a directory is no month
    Path(root, "stray.parquet").write_bytes(b"")
    seeded.update_unstack_category("close", pd.DataFrame({"id": [1]}))  # both layouts in one category
    assert seeded.list_categories() == [("close", "pivot"), ("close", "unstack"), ("table", "unstack")]
    assert seeded.list_pivot_months("close") == ["2024-01", "2024-02"]
    assert seeded.list_pivot_months("missing") == [] and not os.path.exists(f"{root}/missing")
    with pytest.raises(ValueError):
        seeded.list_pivot_months("../x")


@pytest.mark.parametrize("native, strf", [("1", "%Y-%m-%d"), ("0", "%Y-%m-%d"), ("1", "%Y%m%d")])
@pytest.mark.parametrize("column_type", ["str", "datetime"])
def test_row_reads_match_the_full_read(store, capsys, monkeypatch, column_type, native, strf):
    """The page reader, Arrow's own decode, and labels the page reader leaves to Arrow."""
    monkeypatch.setenv("CORVANE_NATIVE", native)
    days = pd.bdate_range("2023-11-01", "2024-02-29")
    values = np.arange(4 * len(days), dtype=float).reshape(4, len(days))
    values[1, 3] = np.nan
    store.update_pivot_category(pd.DataFrame(values, index=["a", "b", "c", "d"], columns=days), "close", strf)
    capsys.readouterr()
    full = store.read_pivot_category("close", "2023-11-15", "2024-02-10", column_type=column_type)
    got = store.read_pivot_rows("close", ["c", "zz", "b"], "2023-11-15", "2024-02-10", column_type=column_type)
    pd.testing.assert_frame_equal(got, full.loc[["c", "b"]])
    assert capsys.readouterr().out.splitlines()[-1] == "close: rows not stored from 2023-11-15 to 2024-02-10: ['zz']"
    latest = store.read_pivot_rows("close", "a", column_type=column_type)
    pd.testing.assert_frame_equal(latest, store.read_pivot_category("close", column_type=column_type).loc[["a"]])


@pytest.mark.parametrize("native", ["1", "0"])
@pytest.mark.parametrize("column_type", ["str", "datetime"])
@pytest.mark.parametrize("labels", [["a", "b"], [10, 20]], ids=["text rows", "integer rows"])
@pytest.mark.parametrize("asked, start, end", [
    ("absent", "2024-01-15", "2024-02-10"),  # no asked row stored: the range's days stay
    ("first", "2024-01-06", "2024-01-07"),  # a weekend: no day in range, the stored row stays
    ("both", "2024-01-27", "2024-02-02"),  # January holds no day of the range, February does
])
def test_row_reads_that_find_nothing_keep_the_other_axis(store, monkeypatch, native, column_type, labels,
                                                         asked, start, end):
    monkeypatch.setenv("CORVANE_NATIVE", native)
    days = pd.bdate_range("2024-01-01", "2024-02-29")
    days = days[(days <= "2024-01-26") | (days >= "2024-02-01")]
    rows = pd.Index(labels, name="code")
    store.update_pivot_category(pd.DataFrame(np.ones((2, len(days))), index=rows, columns=days), "close")
    wanted = {"absent": ["zz"], "first": [labels[0], "zz"], "both": labels}[asked]
    full = store.read_pivot_category("close", start, end, column_type=column_type)
    got = store.read_pivot_rows("close", wanted, start, end, column_type=column_type)
    pd.testing.assert_frame_equal(got, full.loc[[row for row in wanted if row in labels]])


def test_row_reads_of_files_without_a_stored_index(store, root):
    """Frames with a plain range index keep no index column in the file: such months are read whole."""
    store.update_pivot_category(pd.DataFrame({"2024-03-01": [1.0, 2.0], "2024-03-04": [3.0, 4.0]}), "plain")
    got = store.read_pivot_rows("plain", [1], "2024-03-01", "2024-03-31")
    assert got.index.tolist() == [1] and got.values.tolist() == [[2.0, 4.0]]


# Month files as other writers and older builds lay them out: the page reader must give what a full
# read gives, or leave the file to pyarrow.
WRITER_LAYOUTS = {
    "dictionary floats": dict(use_dictionary=True),
    "small pages": dict(use_dictionary=False, max_rows_per_page=700, write_batch_size=100),
    "uncompressed": dict(use_dictionary=False, compression="none", max_rows_per_page=1000),
    "dictionary, small pages": dict(use_dictionary=True, max_rows_per_page=500, write_batch_size=100),
    "row groups": dict(use_dictionary=False, row_group_size=1000),
    "data pages v2": dict(use_dictionary=False, data_page_version="2.0"),
}


@pytest.mark.parametrize("layout", list(WRITER_LAYOUTS))
def test_row_reads_of_month_files_laid_out_otherwise(store, root, capsys, layout):
    rng = np.random.default_rng(5)
    rows = [f"s{n:04d}" for n in range(3000)]
    for month, order in (("2024-01", rows), ("2024-02", rows[::-1])):  # one month stores the rows reversed
        days = [d for d in pd.bdate_range(f"{month}-01", periods=6).strftime("%Y-%m-%d") if d.startswith(month)]
        values = np.round(rng.random((len(rows), len(days))) * 3)  # few distinct values: Snappy back-references
        values[rng.random(values.shape) < 0.3] = np.nan
        values[:, 1] = np.nan  # a day without any value
        values[:, 2] = 1.5  # a day without nulls, every value repeated
        table = pa.Table.from_pandas(pd.DataFrame(values, index=order, columns=days))
        os.makedirs(f"{root}/close", exist_ok=True)
        pq.write_table(table, f"{root}/close/close_{month}.parquet", **WRITER_LAYOUTS[layout])
    wanted = ["s2999", "s0000", "s1500", "s0701", "nope", "s0699"]
    full = store.read_pivot_category("close", "2024-01-02", "2024-02-06")
    got = store.read_pivot_rows("close", wanted, "2024-01-02", "2024-02-06")
    pd.testing.assert_frame_equal(got, full.loc[[r for r in wanted if r != "nope"]])
    assert capsys.readouterr().out.splitlines()[-1].endswith("2024-02-06: ['nope']")
    many = rows[::3]  # enough rows per page that whole pages are read
    pd.testing.assert_frame_equal(store.read_pivot_rows("close", many, "2024-01-02", "2024-02-06"), full.loc[many])


@pytest.mark.parametrize("damage", ["cut in the footer", "cut in half", "page header zeroed", "empty"])
def test_row_reads_of_damaged_month_files_fail_as_the_full_decode_does(store, root, monkeypatch, damage):
    store.update_pivot_category(frame([f"r{n}" for n in range(1000)], ["2024-03-04", "2024-03-05"],
                                      np.arange(2000.0).reshape(1000, 2)), "close")
    path = Path(root, "close", "close_2024-03.parquet")
    good = path.read_bytes()
    path.write_bytes({"cut in the footer": good[:-20], "cut in half": good[:len(good) // 2],
                      "page header zeroed": good[:4] + bytes(16) + good[20:], "empty": b""}[damage])
    errors = []
    for native in ("1", "0"):
        monkeypatch.setenv("CORVANE_NATIVE", native)
        with pytest.raises(Exception) as raised:
            store.read_pivot_rows("close", ["r5"], "2024-03-01", "2024-03-31")
        errors.append((type(raised.value), str(raised.value)))
    assert errors[0] == errors[1]


KILLED_DELETES = """
import sys, pandas as pd
from corvane.FrameVault import ParquetDataManager
store = ParquetDataManager(sys.argv[1])
day = pd.DataFrame({"2024-03-05": [5.0] * 2000}, index=[f"s{n}" for n in range(2000)])
print("ready", flush=True)
while True:
    store.delete_pivot_days("close", "2024-03-05", "2024-03-05")
    store.overwrite_pivot_category(day.copy(), "close")
"""


def test_a_killed_delete_leaves_the_month_whole(tmp_path):
    root = tmp_path / "store"
    store = ParquetDataManager(str(root))
    days = pd.bdate_range("2024-03-01", "2024-03-29")
    store.update_pivot_category(pd.DataFrame(1.0, index=[f"s{n}" for n in range(2000)], columns=days), "close")
    full, without = len(days), len(days) - 1
    for delay in (0.3, 0.6, 0.9, 1.2, 1.5):
        with subprocess.Popen([sys.executable, "-c", KILLED_DELETES, str(root)], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True) as child:
            assert child.stdout.readline() == "ready\n"
            time.sleep(delay)
            child.send_signal(signal.SIGKILL)
        month = pd.read_parquet(root / "close" / "close_2024-03.parquet")
        assert month.shape in ((2000, full), (2000, without))
        assert not month.isna().any().any()


class Listing(list):
    def close(self):
        pass


class DeletingAfterListing:
    """os as the store sees it, with a delete of one month landing right after each listing."""

    def __init__(self, doomed):
        self.doomed = doomed

    def __getattr__(self, name):
        return getattr(os, name)

    def scandir(self, path):
        with os.scandir(path) as listing:
            entries = list(listing)
        if os.path.exists(self.doomed):
            os.remove(self.doomed)
        return Listing(entries)


READS_RACING_A_DELETE = {
    "read_pivot_rows": lambda store: store.read_pivot_rows("close", ["a", "c"], "2024-01-01", "2024-02-29"),
    "read_pivot_category": lambda store: store.read_pivot_category("close", "2024-01-01", "2024-02-29"),
    "get_download_days": lambda store: store.get_download_days(
        "close", list(pd.to_datetime(["2024-01-01", "2024-01-31", "2024-02-01"])))[0],
}


@pytest.mark.parametrize("native", ["1", "0"])
@pytest.mark.parametrize("read", READS_RACING_A_DELETE.values(), ids=READS_RACING_A_DELETE.keys())
@pytest.mark.parametrize("vanished", ["2024-01", "2024-02", "both"])
def test_a_month_deleted_between_listing_and_reading_is_absent(seeded, root, monkeypatch, read, vanished, native):
    import corvane.FrameVault as FrameVault
    monkeypatch.setenv("CORVANE_NATIVE", native)
    months = ["2024-01", "2024-02"] if vanished == "both" else [vanished]
    paths = [f"{root}/close/close_{month}.parquet" for month in months]
    kept = [month for month in ["2024-01", "2024-02"] if month not in months]
    expected = read(seeded).loc[:, [str(day).startswith(tuple(kept)) for day in read(seeded).columns]] if kept else None
    for path in paths[1:]:
        os.remove(path)
    monkeypatch.setattr(FrameVault, "os", DeletingAfterListing(paths[0]))
    result = read(seeded)
    if expected is None:
        assert result.empty
    else:
        pd.testing.assert_frame_equal(result, expected)
