"""Times the stores a user might pick instead of corvane, on the frame bench/run.py hands over.

Runs in bench/.peers-venv (bench/peers_env.sh), never in the package's own environment: ArcticDB needs
pandas < 3 and neither peer is a dependency of corvane.

Usage: python bench/peers.py --frame FRAME.parquet --work DIR --start DAY --end DAY [--runs N] [--series NAME]

FRAME is the pivot frame (one row per series, one "%Y-%m-%d" column per day). The stored history for
the new-day workload is FRAME without its last day, and that day is the one appended. Prints one JSON
line: per peer, the median seconds of each workload (page cache warm; untimed set-up before each run).

- ArcticDB, LMDB backend: the frame transposed, so days are its index and series its columns; `write`,
  `append`, `read` with `date_range`. Results stay in that layout (the transpose is reported apart).
  With --series, also `read_series`: that one series (one column) over the whole range.
- deltalake: a long table (series, day, value; one row per cell) partitioned by month; write,
  append, read with partition filters plus a day filter, then pivoted back to one row per series.
  The melt before a write and the pivot after a read are part of the timed work: without them the
  long table is not the frame the caller holds or wants.
"""

import argparse
import json
import os
import shutil
import statistics
import sys
import time

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc

SYMBOL = "close"
WORKLOADS = ["write", "new_day", "read_all", "read_month", "read_3_months"]


def fresh_dir(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)


def copy_tree(source, target):
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(source, target)


def median_time(setup, body, runs):
    """Median of runs of body(), each after an untimed setup() and sync. Short bodies get more runs."""

    def once():
        setup()
        # Pages a set-up copied are dirty; flushed here, they are not charged to the next fsync.
        os.sync()
        start = time.perf_counter()
        body()
        return time.perf_counter() - start

    first = once()
    runs = max(runs, min(200, int(0.5 / max(first, 1e-4))))
    return statistics.median(once() for _ in range(runs))


class Data:
    """The frame and the ranges every peer is timed on."""

    def __init__(self, frame, start, end, series=None):
        self.frame, self.series = frame, series
        self.days = pd.DatetimeIndex(pd.to_datetime(frame.columns, format="%Y-%m-%d"))
        self.months = sorted({label[:7] for label in frame.columns})
        self.first, self.last = self.days[0], self.days[-1]
        self.month_start = pd.Timestamp(self.months[-1] + "-01")
        self.start, self.end = pd.Timestamp(start), pd.Timestamp(end)
        self.range_months = [m for m in self.months if self.start.strftime("%Y-%m") <= m <= self.end.strftime("%Y-%m")]


# --- ArcticDB -------------------------------------------------------------------------------------


def time_arcticdb(data, work, runs):
    import arcticdb

    def by_day(frame):
        transposed = frame.T
        transposed.index = pd.DatetimeIndex(pd.to_datetime(transposed.index, format="%Y-%m-%d"), name="day")
        return transposed

    wide, history, new_day = by_day(data.frame), by_day(data.frame.iloc[:, :-1]), by_day(data.frame.iloc[:, -1:])
    stored, base, scratch = f"{work}/adb-stored", f"{work}/adb-base", f"{work}/adb-scratch"
    libraries = {}

    def open_library(path, create=False):
        # An Arctic instance per path, kept open: LMDB allows one environment per path per process.
        if path not in libraries:
            store = arcticdb.Arctic(f"lmdb://{path}")
            libraries[path] = (store, store.get_library("bench", create_if_missing=create))
        return libraries[path][1]

    def forget(path):
        libraries.pop(path, None)

    def prepare(path, frame):
        fresh_dir(path)
        open_library(path, create=True).write(SYMBOL, frame)

    prepare(base, history)
    times = {}
    state = {}

    def write_setup():
        forget(scratch)
        fresh_dir(scratch)
        state["lib"] = open_library(scratch, create=True)

    times["write"] = median_time(write_setup, lambda: state["lib"].write(SYMBOL, wide), runs)

    def new_day_setup():
        forget(scratch)
        copy_tree(base, scratch)
        state["lib"] = open_library(scratch)

    times["new_day"] = median_time(new_day_setup, lambda: state["lib"].append(SYMBOL, new_day), runs)
    appended = state["lib"].read(SYMBOL).data
    assert appended.shape == wide.shape and appended.index[-1] == data.last, "append did not add the day"

    prepare(stored, wide)
    lib = open_library(stored)
    read = {
        "read_all": (data.first, data.last),
        "read_month": (data.month_start, data.last),
        "read_3_months": (data.start, data.end),
    }
    results = {}
    for name, date_range in read.items():
        times[name] = median_time(lambda: None, lambda r=date_range, n=name: results.__setitem__(n, lib.read(SYMBOL, date_range=r).data), runs)
    assert results["read_all"].shape == wide.shape
    assert results["read_3_months"].index.min() >= data.start and results["read_3_months"].index.max() <= data.end
    if data.series is not None:
        times["read_series"] = median_time(
            lambda: None, lambda: results.__setitem__("read_series", lib.read(SYMBOL, columns=[data.series]).data), runs)
        assert list(results["read_series"].columns) == [data.series] and len(results["read_series"]) == len(wide)
    # Into corvane's layout (a row per series). Each column comes back as its own block, so the
    # transpose goes through one array rather than through the frame.
    whole = results["read_all"]
    times["read_all_transpose"] = median_time(
        lambda: None, lambda: pd.DataFrame(whole.to_numpy().T, index=whole.columns, columns=whole.index), runs)
    libraries.clear()
    return times


# --- deltalake ------------------------------------------------------------------------------------


def long_table(frame):
    """The pivot frame as rows of (series, day, value, month), one per cell (a missing value as null),
    day by day so that each month's rows lie together. The series column is dictionary-encoded (stored
    as plain strings): 12 million Python strings would cost more than the write itself."""
    values = frame.to_numpy(dtype="float64")
    rows = np.tile(np.arange(values.shape[0], dtype=np.int32), values.shape[1])
    columns = np.repeat(np.arange(values.shape[1], dtype=np.int32), values.shape[0])
    days = pd.to_datetime(frame.columns, format="%Y-%m-%d").values.astype("datetime64[D]")
    months = pa.array([label[:7] for label in frame.columns], pa.string())
    return pa.table(
        {
            "series": pa.DictionaryArray.from_arrays(rows, pa.array(frame.index.astype(str).tolist(), pa.string())),
            "day": pa.array(days[columns], pa.date32()),
            "value": pa.array(values.T.ravel(), pa.float64(), from_pandas=True),
            "month": pc.take(months, columns),
        }
    )


def sorted_codes(column):
    """The distinct values of an Arrow column in order, and each row's position among them."""
    distinct = pc.unique(column)
    distinct = pc.take(distinct, pc.array_sort_indices(distinct))
    return distinct, pc.index_in(column, value_set=distinct).to_numpy()


def pivot(table):
    """One row per series, one column per day, as the caller wants it back: the values scattered into
    one array by their codes (pandas' own `pivot` takes about 15 times as long on 120 months)."""
    series, rows = sorted_codes(table.column("series"))
    days, columns = sorted_codes(table.column("day"))
    values = np.full((len(series), len(days)), np.nan)
    values[rows, columns] = table.column("value").to_numpy(zero_copy_only=False)
    return pd.DataFrame(values, index=series.to_pandas(), columns=pd.DatetimeIndex(days.to_pandas(date_as_object=False)))


def time_deltalake(data, work, runs):
    from deltalake import DeltaTable, write_deltalake

    stored, base, scratch = f"{work}/delta-stored", f"{work}/delta-base", f"{work}/delta-scratch"

    def write(path, frame, mode="error"):
        write_deltalake(path, long_table(frame), partition_by=["month"], mode=mode)

    shutil.rmtree(base, ignore_errors=True)
    write(base, data.frame.iloc[:, :-1])
    times = {}
    times["write"] = median_time(lambda: shutil.rmtree(scratch, ignore_errors=True), lambda: write(scratch, data.frame), runs)
    times["new_day"] = median_time(lambda: copy_tree(base, scratch), lambda: write(scratch, data.frame.iloc[:, -1:], "append"), runs)
    appended = pivot(DeltaTable(scratch).to_pyarrow_table(filters=[("month", "=", data.months[-1])]))
    assert appended.columns[-1] == data.last, "append did not add the day"

    shutil.rmtree(stored, ignore_errors=True)
    write(stored, data.frame)

    def read(months, start=None, end=None):
        # The month filter prunes partitions before any file is opened; the day filter cuts inside them.
        filters = [("month", "in", months)]
        if start is not None:
            filters += [("day", ">=", start.date()), ("day", "<=", end.date())]
        table = DeltaTable(stored).to_pyarrow_table(filters=filters)
        return pivot(table)

    results = {}
    reads = {
        "read_all": lambda: read(data.months),
        "read_month": lambda: read([data.months[-1]]),
        "read_3_months": lambda: read(data.range_months, data.start, data.end),
    }
    for name, body in reads.items():
        times[name] = median_time(lambda: None, lambda n=name, b=body: results.__setitem__(n, b()), runs)
    assert results["read_all"].shape == data.frame.shape
    days = pd.DatetimeIndex(results["read_3_months"].columns)
    assert days.min() >= data.start and days.max() <= data.end
    return times


PEERS = {"arcticdb": time_arcticdb, "deltalake": time_deltalake}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frame", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--start", required=True, help="first day of the 3-month read")
    parser.add_argument("--end", required=True, help="last day of the 3-month read")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--peers", default=",".join(PEERS))
    parser.add_argument("--series", help="ArcticDB also reads this one series over the whole range")
    args = parser.parse_args()
    data = Data(pd.read_parquet(args.frame), args.start, args.end, args.series)
    versions = {"pandas": pd.__version__, "pyarrow": pa.__version__, "numpy": np.__version__}
    timings = {}
    for name in filter(None, args.peers.split(",")):
        module = __import__(name)
        versions[name] = module.__version__
        print(f"  timing {name}", file=sys.stderr)
        timings[name] = PEERS[name](data, args.work, args.runs)
    print(json.dumps({"versions": versions, "timings": timings}))


if __name__ == "__main__":
    main()
