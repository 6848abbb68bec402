"""corvane.dask on a real LocalCluster of worker processes, over a local and an s3:// store: each
month read in a worker, and the computed frame the store's own read, transposed."""

import os

import numpy as np
import pandas as pd
import pytest

from corvane.FrameVault import ParquetDataManager

distributed = pytest.importorskip("distributed")
corvane_dask = pytest.importorskip("corvane.dask")


@pytest.fixture(scope="module")
def cluster(seaweedfs):
    # Worker processes take the S3 settings at their start, not from a test's monkeypatched environment.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                  env=seaweedfs.environment()) as local, distributed.Client(local) as client:
        yield client


def month_frame(start, end, rows, seed):
    days = pd.bdate_range(start, end).strftime("%Y-%m-%d")
    values = np.random.default_rng(seed).normal(size=(len(rows), len(days)))
    values[values > 1.5] = np.nan  # gaps, as stored data has
    return pd.DataFrame(values, index=rows, columns=days)


def seeded(root):
    store = ParquetDataManager(root)
    # Series come and go: 'c' only from February, 'a' gone in April; March is never stored.
    store.update_pivot_category(month_frame("2024-01-01", "2024-02-29", ["a", "b"], 1), "close")
    store.update_pivot_category(month_frame("2024-02-01", "2024-02-29", ["c"], 2), "close")
    store.update_pivot_category(month_frame("2024-04-01", "2024-05-31", ["b", "c"], 3), "close")
    return store


@pytest.fixture(params=["local", "s3"])
def root(request, tmp_path):
    return str(tmp_path / "data") if request.param == "local" else request.getfixturevalue("s3_root")


@pytest.mark.parametrize("start, end, column_type, months", [
    ("2024-01-15", "2024-05-10", "str", ["2024-01", "2024-02", "2024-04", "2024-05"]),
    ("2024-02-01", "2024-04-30", "datetime", ["2024-02", "2024-04"]),
    (None, None, "str", ["2024-05"]),
])
def test_a_range_reads_one_partition_per_stored_month_in_the_workers(cluster, root, capsys, start, end, column_type,
                                                                      months):
    store = seeded(root)
    capsys.readouterr()
    frame = corvane_dask.read_pivot_category(root, "close", start, end, column_type=column_type)
    assert frame.npartitions == len(months)
    with distributed.get_task_stream(cluster) as stream:
        computed = frame.compute()
    # Each month was read by a task of its own in the worker processes, none in this one.
    month_tasks = [task for task in stream.data if "corvane-month" in str(task["key"])]
    assert len(month_tasks) == len(months)
    assert {task["worker"] for task in month_tasks} <= set(cluster.scheduler_info()["workers"])
    assert os.getpid() not in cluster.run(os.getpid).values()
    assert "Reading close" not in capsys.readouterr().err
    expected = store.read_pivot_category("close", start, end, column_type)
    pd.testing.assert_frame_equal(computed, expected.T)
    partitions = [part.compute() for part in frame.partitions]
    assert [sorted({str(day)[:7] for day in part.index}) for part in partitions] == [[m] for m in months]


def test_day_lookups_use_the_month_bounds(cluster, root):
    seeded(root)
    frame = corvane_dask.read_pivot_category(root, "close", "2024-01-01", "2024-05-31", column_type="datetime")
    assert frame.known_divisions
    picked = frame.loc["2024-04-03":"2024-04-05"]
    assert picked.npartitions == 1
    expected = ParquetDataManager(root).read_pivot_category("close", "2024-04-01", "2024-04-30", "datetime").T
    pd.testing.assert_frame_equal(picked.compute(), expected.loc["2024-04-03":"2024-04-05"].reindex(
        columns=["a", "b", "c"]).astype("float64"), check_freq=False)


@pytest.mark.parametrize("start, end, error", [("2024-05-01", "2024-01-01", ValueError),
                                               ("not a date", "2024-01-01", ValueError)])
def test_a_bad_range_raises_the_stores_error(cluster, root, start, end, error):
    seeded(root)
    with pytest.raises(error) as ours:
        corvane_dask.read_pivot_category(root, "close", start, end)
    with pytest.raises(error) as stores:
        ParquetDataManager(root).read_pivot_category("close", start, end)
    assert str(ours.value) == str(stores.value)


def test_a_range_without_stored_months_gives_what_the_store_gives(cluster, root):
    seeded(root)
    for category, start, end in (("close", "2024-03-01", "2024-03-31"), ("never-written", "2024-01-01", "2024-02-29")):
        frame = corvane_dask.read_pivot_category(root, category, start, end)
        expected = ParquetDataManager(root).read_pivot_category(category, start, end)
        assert frame.npartitions == 1
        pd.testing.assert_frame_equal(frame.compute(), expected.T)
