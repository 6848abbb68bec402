"""The core's whole-chunk decoder on its own, against pyarrow's reading of the same files: every layout
a month file may have (codec, dictionary, data page version, nulls, pages per chunk, text or int64 row
labels) decodes to the values pyarrow reads, scattered decodes put each value in its row, and
encodings the core does not read are refused rather than misread. The driver is built with
AddressSanitizer and UBSan; it needs a C++ compiler and is skipped without one."""

import itertools
import json
import math
import subprocess

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from sanitized_build import sanitized_driver

SOURCES = ("chunk_decode", "page_headers", "snappy_block", "parquet_footer", "parquet_thrift", "file_bytes")


@pytest.fixture(scope="module")
def dump(tmp_path_factory):
    binary = sanitized_driver("chunk_decode_dump", SOURCES, tmp_path_factory.mktemp("decode"))

    def run(path):
        result = subprocess.run([str(binary), str(path)], capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr[-4000:]
        return json.loads(result.stdout)
    return run


def month_table(labels, nulls, rows=700, days=5, seed=7):
    rng = np.random.default_rng(seed)
    columns = {}
    for day in range(days):
        values = rng.normal(size=rows)
        if day == 1:
            values = np.round(values)  # few distinct values: the dictionary stays
        mask = rng.random(rows) < (0.3 if day == 2 else 0.05) if nulls else None
        if nulls and day == 3:
            mask = np.zeros(rows, dtype=bool)
            mask[100:400] = True  # one long run of nulls
        columns[f"2024-03-{day + 1:02d}"] = pa.array(values, mask=mask)
    index = [f"s{n:05d}é" for n in range(rows)] if labels == "text" else np.arange(rows, dtype="int64") * -3
    columns["__index_level_0__"] = pa.array(index)
    return pa.table(columns)


def expected(table):
    """pyarrow's values, NaN and null alike as None, as the driver prints them."""
    return {name: [None if value is None or (isinstance(value, float) and math.isnan(value)) else value
                   for value in values] for name, values in table.to_pydict().items()}


LAYOUTS = list(itertools.product(["snappy", "none"], [True, False], ["1.0", "2.0"], [True, False], [None, 512],
                                 ["text", "int64"]))


@pytest.mark.parametrize("compression,dictionary,version,nulls,page_size,labels", LAYOUTS)
def test_every_layout_decodes_as_pyarrow_reads_it(dump, tmp_path, compression, dictionary, version, nulls,
                                                  page_size, labels):
    table = month_table(labels, nulls)
    path = tmp_path / "month.parquet"
    options = {"data_page_size": page_size} if page_size else {}
    pq.write_table(table, path, compression=compression, use_dictionary=dictionary, data_page_version=version,
                   **options)
    if page_size:
        chunk = pq.ParquetFile(path).metadata.row_group(0).column(0)
        assert chunk.total_compressed_size > 4 * page_size  # several pages per chunk
    decoded = dump(path)
    assert decoded["columns"] == expected(table)
    assert decoded["scatter_agrees"]


@pytest.mark.parametrize("case", ["byte stream split", "delta integers", "delta texts", "null label", "nan values"])
def test_what_the_core_does_not_read_is_refused(dump, tmp_path, case):
    table = month_table("int64" if case == "delta integers" else "text", nulls=True, rows=200)
    options = {}
    if case == "byte stream split":
        options = {"use_dictionary": False, "column_encoding": {"2024-03-01": "BYTE_STREAM_SPLIT"}}
    elif case in ("delta integers", "delta texts"):
        options = {"use_dictionary": False,
                   "column_encoding": {"__index_level_0__": "DELTA_BINARY_PACKED" if case == "delta integers"
                                       else "DELTA_LENGTH_BYTE_ARRAY"}}
    elif case == "null label":
        labels = pa.array(["a"] * 199 + [None])
        table = table.set_column(table.num_columns - 1, "__index_level_0__", labels)
    else:
        # NaN stored as a value, not as a null: decoded as NaN like any other double.
        values = pa.array([math.nan if n % 3 == 0 else float(n) for n in range(200)], from_pandas=False)
        table = table.set_column(0, "2024-03-01", values)
    path = tmp_path / "month.parquet"
    pq.write_table(table, path, **options)
    decoded = dump(path)["columns"]
    refused = {"byte stream split": "2024-03-01", "delta integers": "__index_level_0__",
               "delta texts": "__index_level_0__", "null label": "__index_level_0__"}.get(case)
    want = expected(table)
    for name, values in decoded.items():
        assert values == (None if name == refused else want[name]), name
