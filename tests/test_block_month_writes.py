"""Full writes of new float64 months, encoded from the frame's own block, against the month-by-month
write that a replaced update_pivot_parquet takes: the same files, digest records, status lines and
reads back, and a month another writer made meanwhile merged rather than overwritten."""

import os
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest

import corvane.FrameVault as FrameVault
from corvane.FrameVault import ParquetDataManager
from memory_storage import memory_storage

CATEGORY = "close"


def frame(days, rows=30, seed=3, missing=0.2, index=None):
    rng = np.random.default_rng(seed)
    values = rng.lognormal(2.0, 0.5, size=(rows, len(days)))
    values[rng.random(values.shape) < missing] = np.nan
    index = pd.Index([f"{n:06d}.XSHE" for n in range(rows)]) if index is None else index
    return pd.DataFrame(values, index=index, columns=days)


def text_rows():
    return frame(pd.bdate_range("2024-01-01", "2024-04-30")), "%Y-%m-%d"


def int64_rows():
    return frame(pd.bdate_range("2024-01-01", "2024-03-29"), index=pd.Index(np.arange(30, dtype="int64") * 11 - 50)), "%Y-%m-%d"


def named_rows_dense():
    df = frame(pd.bdate_range("2024-01-01", "2024-02-29"), missing=0.0)
    df.index.name = "code"
    return df, "%Y-%m-%d"


def rows_empty_in_one_month():
    df = frame(pd.bdate_range("2024-01-01", "2024-04-30"))
    df.loc[df.index[[2, 7, 8]], (df.columns.month == 3)] = np.nan
    df.iloc[5, :] = np.nan  # a row without any value: in no file
    return df, "%Y-%m-%d"


def month_without_values():
    df = frame(pd.bdate_range("2024-01-01", "2024-03-29"))
    df.loc[:, df.columns.month == 2] = np.nan
    return df, "%Y-%m-%d"


def single_day_month():
    days = pd.bdate_range("2024-01-01", "2024-01-31").append(pd.DatetimeIndex(["2024-02-01"]))
    return frame(days), "%Y-%m-%d"


def many_months():
    return frame(pd.bdate_range("2021-01-01", "2024-12-31"), rows=12), "%Y-%m-%d"


def custom_strf():
    return frame(pd.bdate_range("2024-01-01", "2024-03-29")), "%Y/%m/%d"


def unicode_rows():
    return frame(pd.bdate_range("2024-01-01", "2024-02-29"), rows=5, index=pd.Index([f"股票{n}é" for n in range(5)])), "%Y%m%d"


SHAPES = [text_rows, int64_rows, named_rows_dense, rows_empty_in_one_month, month_without_values,
          single_day_month, many_months, custom_strf, unicode_rows]


@pytest.fixture
def submitted(monkeypatch):
    """The arguments of every task the store's runner submits, and an action to run before the first."""
    record = {"tasks": [], "before_first": None}

    class RecordingExecutor(ThreadPoolExecutor):
        def submit(self, fn, *args):
            if record["before_first"] is not None and not record["tasks"]:
                record["before_first"]()
            record["tasks"].append(args)
            return super().submit(fn, *args)

    monkeypatch.setattr(FrameVault, "ThreadPoolExecutor", RecordingExecutor)
    return record


def month_by_month(monkeypatch):
    """The class's writer replaced by a wrapper of itself: the write goes month by month through it."""
    original = ParquetDataManager.update_pivot_parquet
    monkeypatch.setattr(ParquetDataManager, "update_pivot_parquet",
                        staticmethod(lambda file_path, sub_df, date_format: original(file_path, sub_df, date_format)))


def written(root, capsys):
    """The category's files and digest records (their file identity left out), and the status lines."""
    lines = sorted(capsys.readouterr().out.replace(root, "<root>").splitlines())
    files = {}
    for directory in (os.path.join(root, CATEGORY), os.path.join(root, ".corvane", "digests", CATEGORY)):
        for name in sorted(os.listdir(directory)):
            with open(os.path.join(directory, name), "rb") as handle:
                content = handle.read()
            files[name] = content if name.endswith(".parquet") else content.split(b"\n")[:2] + content.split(b"\n")[3:]
    return files, lines


def read_all(root):
    return ParquetDataManager(root).read_pivot_category(CATEGORY, "1900-01-01", "2100-12-31")


@pytest.mark.parametrize("shape", SHAPES, ids=lambda shape: shape.__name__)
def test_block_write_gives_the_files_and_lines_of_the_month_by_month_write(shape, tmp_path, capsys, monkeypatch,
                                                                            submitted):
    df, strf = shape()
    block_root, pandas_root = str(tmp_path / "block"), str(tmp_path / "months")
    ParquetDataManager(block_root).update_pivot_category(df.copy(), CATEGORY, strf)
    block = written(block_root, capsys)
    block_tasks = list(submitted["tasks"])
    submitted["tasks"].clear()
    with monkeypatch.context() as patch:
        month_by_month(patch)
        ParquetDataManager(pandas_root).update_pivot_category(df.copy(), CATEGORY, strf)
    by_month = written(pandas_root, capsys)

    months = len(set(zip(df.columns.year, df.columns.month)))
    assert len(block_tasks) == len(submitted["tasks"]) == months
    assert not any(isinstance(arg, pd.DataFrame) for task in block_tasks for arg in task)
    assert all(isinstance(task[1], pd.DataFrame) for task in submitted["tasks"])
    assert list(block[0]) == list(by_month[0]) and sum(name.endswith(".parquet") for name in block[0]) == months
    for name in block[0]:
        assert block[0][name] == by_month[0][name], name
    assert block[1] == by_month[1]
    pd.testing.assert_frame_equal(read_all(block_root), read_all(pandas_root))
    capsys.readouterr()
    # The records vouch for the files: a re-send is told identical from them, month by month.
    ParquetDataManager(block_root).update_pivot_category(df.copy(), CATEGORY, strf)
    resent = capsys.readouterr().out.splitlines()
    assert len(resent) == months and all(": Dataframes are identical. From " in line for line in resent)


@pytest.mark.parametrize("shape", [text_rows, rows_empty_in_one_month, custom_strf], ids=lambda shape: shape.__name__)
def test_a_block_write_to_an_object_root_stores_the_local_files(shape, tmp_path, capsys, submitted):
    df, strf = shape()
    local, remote = str(tmp_path / "local"), "mem://bucket/data"
    ParquetDataManager(local).update_pivot_category(df.copy(), CATEGORY, strf)
    files, lines = written(local, capsys)
    with memory_storage() as storage:
        ParquetDataManager(remote).update_pivot_category(df.copy(), CATEGORY, strf)
        remote_lines = sorted(capsys.readouterr().out.replace(remote, "<root>").splitlines())
        stored = {path.rsplit("/", 1)[1]: data for path, (_, data) in storage.objects.items()
                  if path.endswith(".parquet")}
        ParquetDataManager(remote).update_pivot_category(df.copy(), CATEGORY, strf)
        resent = capsys.readouterr().out.splitlines()

    assert not any(isinstance(arg, pd.DataFrame) for task in submitted["tasks"] for arg in task)
    assert stored == {name: data for name, data in files.items() if name.endswith(".parquet")}
    assert remote_lines == lines
    assert len(resent) == len(stored) and all(": Dataframes are identical. From " in line for line in resent)


def test_a_month_another_writer_made_after_planning_is_merged_not_overwritten(tmp_path, capsys, monkeypatch, submitted):
    df, strf = text_rows()
    march = df.columns[df.columns.month == 3]
    other = frame(march[:5], rows=3, seed=9, missing=0.0, index=pd.Index(["000001.XSHE", "000002.XSHE", "other"]))

    def other_writer(root):
        path = ParquetDataManager(root)._get_pivot_file_path(CATEGORY, 2024, 3)
        ParquetDataManager.update_pivot_parquet(path, other.copy(), strf)

    block_root, pandas_root = str(tmp_path / "block"), str(tmp_path / "months")
    submitted["before_first"] = lambda: other_writer(block_root)
    ParquetDataManager(block_root).update_pivot_category(df.copy(), CATEGORY, strf)
    block = written(block_root, capsys)
    assert not any(isinstance(arg, pd.DataFrame) for task in submitted["tasks"] for arg in task)
    submitted["before_first"] = None
    with monkeypatch.context() as patch:
        month_by_month(patch)
        other_writer(pandas_root)
        ParquetDataManager(pandas_root).update_pivot_category(df.copy(), CATEGORY, strf)
    by_month = written(pandas_root, capsys)

    assert block == by_month
    assert sum(": UpdatingDF  From 2024-03-01 To 2024-03-29" in line for line in block[1]) == 1
    stored = read_all(block_root)
    stored.columns = pd.to_datetime(stored.columns)
    # The other writer's cells stay where they were (stored values win); the sent ones fill the rest.
    np.testing.assert_array_equal(stored.loc[other.index, other.columns].to_numpy(), other.to_numpy())
    np.testing.assert_array_equal(stored.loc["000003.XSHE", march].to_numpy(), df.loc["000003.XSHE", march].to_numpy())


def test_a_replaced_runner_is_handed_the_month_frames_and_the_class_writer(tmp_path, capsys, monkeypatch):
    df, strf = text_rows()
    original = ParquetDataManager.run_concurrently
    handed = []

    def runner(tasks, worker_function, max_workers=5, task_desc="Processing tasks"):
        handed.append((list(tasks), worker_function, task_desc))
        return original(tasks, worker_function, max_workers, task_desc)

    monkeypatch.setattr(ParquetDataManager, "run_concurrently", staticmethod(runner))
    ParquetDataManager(str(tmp_path)).update_pivot_category(df.copy(), CATEGORY, strf)
    [(tasks, worker_function, task_desc)] = handed
    assert worker_function is ParquetDataManager.update_pivot_parquet and task_desc == f"Updating {CATEGORY}"
    assert [len(task) for task in tasks] == [3] * 4 and all(task[2] == strf for task in tasks)
    assert [list(task[1].columns) for task in tasks] == [list(df.columns[df.columns.month == m]) for m in range(1, 5)]
    assert len(capsys.readouterr().out.splitlines()) == 4
