"""The core's Parquet parser (footer, pages, compact protocol) on its own: damaged copies of month
files, cut at every length near their ends and on a grid between, and with bits flipped or bytes
overwritten from a fixed seed, are each described or refused, never a crash, an exception or an
out-of-bounds read. The driver is built with AddressSanitizer and UBSan, which abort on the first
bad read; it needs a C++ compiler and is skipped without one."""

import contextlib
import io
import json
import os
import subprocess

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest


from corvane.FrameVault import ParquetDataManager
from sanitized_build import sanitized_driver

SEED = 20261208
VARIANTS = 4000


@pytest.fixture(scope="module")
def fuzzer(tmp_path_factory):
    return sanitized_driver("parquet_fuzz", ("parquet_footer", "parquet_pages", "parquet_thrift", "file_bytes",
                                             "page_headers", "snappy_block", "chunk_decode"),
                            tmp_path_factory.mktemp("fuzz"))


def month_files(root):
    """Month files as the store writes them (plain uncompressed pages, nulls), as pandas writes them
    (Snappy, dictionary-encoded: older stores), uncompressed and with small v2 data pages, and one of
    text cells."""
    days = pd.bdate_range("2024-03-01", "2024-03-29").strftime("%Y-%m-%d")
    rng = np.random.default_rng(3)
    values = rng.normal(size=(60, len(days)))
    values[rng.random(values.shape) < 0.1] = np.nan
    frame = pd.DataFrame(values, index=[f"s{n:04d}" for n in range(60)], columns=days)
    with contextlib.redirect_stdout(io.StringIO()):
        ParquetDataManager(str(root / "store")).update_pivot_category(frame, "c")
    frame.to_parquet(root / "snappy.parquet")
    frame.to_parquet(root / "plain.parquet", compression=None)
    frame.to_parquet(root / "v2.parquet", data_page_version="2.0", data_page_size=2000)
    pq.write_table(pa.table({"__index_level_0__": ["a", "b", None], "2024-03-01": ["x", None, "z"]}),
                   root / "text.parquet", use_dictionary=False)
    return [root / "store" / "c" / "c_2024-03.parquet", root / "snappy.parquet", root / "plain.parquet",
            root / "v2.parquet", root / "text.parquet"]


def test_damaged_files_are_described_or_refused(fuzzer, tmp_path):
    files = month_files(tmp_path)
    result = subprocess.run([str(fuzzer), str(SEED), str(VARIANTS), *map(str, files)], capture_output=True,
                            text=True, timeout=600, env={**os.environ, "ASAN_OPTIONS": "detect_leaks=1"})
    assert result.returncode == 0, result.stderr[-4000:]
    reports = [json.loads(line) for line in result.stdout.splitlines()]
    assert len(reports) == len(files)
    for path, report in zip(files, reports):
        assert report["exceptions"] == 0, (path.name, report["first_exception"])
        assert report["intact_described"], path.name
        assert report["truncations"] > 128 and report["truncations_described"] == 0, (path.name, report)
        # The damage reached both the footer (refusals) and the pages (reads over damaged chunks).
        assert report["refused"] > report["truncations"] and report["described"] > 0, (path.name, report)
    assert reports[0]["pages_read"] > 0
    # Whole chunks were decoded from damaged pages as well as refused.
    assert all(report["chunks_decoded"] > 0 and report["chunks_refused"] > 0 for report in reports[:4])
