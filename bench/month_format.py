"""The month file's format by measurement: one month of float64 series (rows x ~21 trading days, ~3%
missing) written and read by pyarrow in each candidate layout, best of N, with the file's size.

Usage: python bench/month_format.py [--series 20000] [--days 22] [--runs 25]

The candidates differ in the values' codec, whether the row labels are dictionary-encoded (the day
columns never are: doubles of many series rarely repeat) and the data page size.
"""

import argparse
import os
import tempfile
import time

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

CANDIDATES = [
    # name, codec, dictionary for the row labels, data page size in bytes
    ("snappy, dictionary rows", "snappy", True, 1 << 20),
    ("snappy, plain", "snappy", False, 1 << 20),
    ("none, dictionary rows", "none", True, 1 << 20),
    ("none, plain", "none", False, 1 << 20),
    ("none, plain, 64 KiB pages", "none", False, 1 << 16),
]


def month_table(series, days):
    rng = np.random.default_rng(25)
    values = rng.standard_normal((series, days)).cumsum(axis=1) + 100.0
    values[rng.random(values.shape) < 0.03] = np.nan
    labels = pd.bdate_range("2024-01-01", periods=days).strftime("%Y-%m-%d")
    frame = pd.DataFrame(values, index=[f"{i:06d}.XS" for i in range(series)], columns=labels)
    return pa.Table.from_pandas(frame)


def best_of(runs, work):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--series", type=int, default=20000)
    parser.add_argument("--days", type=int, default=22)
    parser.add_argument("--runs", type=int, default=25)
    args = parser.parse_args()
    table = month_table(args.series, args.days)
    row_column = table.column_names[-1]
    print(f"one month: {args.series} series x {args.days} days, best of {args.runs}")
    print("| candidate | write | read | size |\n|---|---|---|---|")
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "month.parquet")
        for name, codec, dictionary_rows, page_size in CANDIDATES:
            def write():
                pq.write_table(table, path, compression=codec, data_page_size=page_size,
                               use_dictionary=[row_column] if dictionary_rows else False)
            write_time = best_of(args.runs, write)
            read_time = best_of(args.runs, lambda: pq.read_table(path))
            assert pq.read_table(path).equals(table)
            print(f"| {name} | {write_time * 1e3:.2f} ms | {read_time * 1e3:.2f} ms | "
                  f"{os.path.getsize(path) / 1024:.0f} KiB |")


if __name__ == "__main__":
    main()
