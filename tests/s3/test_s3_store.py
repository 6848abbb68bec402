"""The store on an s3:// root of a real SeaweedFS server: the same results and status lines as on
local disk, no lost update between writer processes, and clear refusals of what it cannot do safely.

CORVANE_S3_CONCURRENCY_ROUNDS sets the rounds per writer (20 by default).
"""

import json
import os
import subprocess
import sys

import pandas as pd
import pyarrow.fs
import pytest

import corvane._object_storage as object_storage
import store_workers as workers
from corvane.FrameVault import ParquetDataManager
from s3_faults import FaultyProxy

ROUNDS = int(os.environ.get("CORVANE_S3_CONCURRENCY_ROUNDS", "20"))


def days(*labels):
    return pd.to_datetime(list(labels))


def session(store):
    """Writes, re-syncs, merges and reads every kind of category; returns what each read gave."""
    march = pd.DataFrame([[1.0, 2.0], [3.0, None]], index=["a", "b"], columns=days("2024-03-04", "2024-03-05"))
    spanning = pd.DataFrame([[5.0, 6.0], [7.0, 8.0]], index=["b", "c"], columns=days("2024-03-05", "2024-04-02"))
    store.update_pivot_category(march.copy(), "daily")
    store.update_pivot_category(march.copy(), "daily")  # identical re-sync
    store.update_pivot_category(spanning.copy(), "daily")  # merge into March, create April
    store.update_unstack_category("table", pd.DataFrame({"id": [1, 2], "v": ["x", "y"]}), key_columns=["id"])
    store.update_unstack_category("table", pd.DataFrame({"id": [1, 2], "v": ["x", "y"]}), key_columns=["id"])
    store.update_unstack_category("table", pd.DataFrame({"id": [2, 3], "v": ["z", "w"]}), key_columns=["id"])
    stored, missing = store.get_download_days("daily", pd.bdate_range("2024-03-29", "2024-04-03"))
    return {
        "whole": store.read_pivot_category("daily", "2024-02-01", "2024-05-31"),
        "cut": store.read_pivot_category("daily", "2024-03-05", "2024-04-01", column_type="datetime"),
        "latest": store.read_pivot_category("daily"),
        "planned": (stored, missing),
        "table": store.read_unstack_category("table"),
        "months": sorted(store._get_pivot_year_month("daily")),
        "exists": (store._if_exists_pivot_category("daily"), store._if_exists_unstack_category("table"),
                   store._if_exists_pivot_category("other")),
    }


def test_every_method_gives_what_local_disk_gives(s3_root, tmp_path, capsys):
    local_root = str(tmp_path / "data")
    local = session(ParquetDataManager(local_root))
    local_lines = capsys.readouterr().out.replace(local_root, "ROOT")
    remote = session(ParquetDataManager(s3_root))
    remote_lines = capsys.readouterr().out.replace(s3_root, "ROOT")

    # Pool threads finish months in any order; the lines themselves must match.
    assert sorted(remote_lines.splitlines()) == sorted(local_lines.splitlines())
    assert "ROOT/daily/daily_2024-03.parquet: UpdatingDF" in remote_lines
    for name in ("whole", "cut", "latest", "table"):
        pd.testing.assert_frame_equal(remote[name], local[name])
    pd.testing.assert_frame_equal(remote["planned"][0], local["planned"][0])
    assert remote["planned"][1] == local["planned"][1] == list(days("2024-03-29", "2024-04-01", "2024-04-03"))
    assert remote["months"] == local["months"] == [("2024", "03"), ("2024", "04")]
    assert remote["exists"] == local["exists"] == (True, True, False)
    # The same layout: object keys where local disk has paths, nothing else in the categories.
    assert listing(s3_root) == sorted(os.path.relpath(os.path.join(d, f), local_root)
                                      for d, _, files in os.walk(local_root) for f in files
                                      if not os.path.relpath(d, local_root).startswith(".corvane"))


def listing(root):
    """Keys under an s3:// root, relative to it, without the store's own .corvane/ state."""
    fs = object_storage.filesystem(object_storage.Endpoint())
    base = root[len("s3://"):]
    found = fs.get_file_info(pyarrow.fs.FileSelector(base, recursive=True, allow_not_found=True))
    keys = [info.path[len(base) + 1:] for info in found if info.type == pyarrow.fs.FileType.File]
    return sorted(key for key in keys if not key.startswith(".corvane/"))


@pytest.mark.parametrize("category", ["../escape", "a/b", "", "..", "x\0y"])
def test_hostile_category_names_are_refused_and_write_nothing(s3_root, category):
    store = ParquetDataManager(s3_root)
    frame = pd.DataFrame([[1.0]], index=["a"], columns=days("2024-03-04"))
    with pytest.raises(ValueError):
        store.update_pivot_category(frame, category)
    with pytest.raises(ValueError):
        store.update_unstack_category(category, pd.DataFrame({"id": [1]}), key_columns=["id"])
    assert listing(s3_root.rsplit("/", 1)[0]) == []


def test_two_writer_processes_lose_no_row_and_a_reader_never_sees_a_part(s3_root, tmp_path, capsys):
    workers.add_rows(ParquetDataManager(s3_root), "seed", 0)
    stop, result = tmp_path / "stop", tmp_path / "reads.json"
    run = [sys.executable, workers.__file__]
    reader = subprocess.Popen([*run, "read", s3_root, stop, result])
    try:
        writers = [subprocess.Popen([*run, "write", s3_root, name, str(ROUNDS)]) for name in ("one", "two")]
        assert [writer.wait(timeout=600) for writer in writers] == [0, 0]
    finally:
        stop.touch()
        assert reader.wait(timeout=600) == 0
    reads = json.loads(result.read_text())

    lost = workers.rows_lost(s3_root, ("one", "two"), ROUNDS)
    assert (lost, reads["failed"], reads["problems"]) == (0, [], [])
    with capsys.disabled():
        print(f"\ns3 writer processes: 2 writers x {ROUNDS} rounds, {4 * ROUNDS} rows written concurrently, "
              f"{lost} lost; {reads['reads']} reads checked, {len(reads['failed'])} failed")


def seeded(root):
    store = ParquetDataManager(root)
    store.update_unstack_category("table", pd.DataFrame({"id": [1], "v": [1.0]}), key_columns=["id"])
    return store


@pytest.fixture
def proxy(seaweedfs, monkeypatch):
    """Starts a proxy in the given mode in front of the server and points the store at it."""
    started = []

    def start(mode):
        started.append(FaultyProxy(seaweedfs.s3_port, mode).start())
        monkeypatch.setenv("AWS_ENDPOINT_URL", started[-1].endpoint)
        return started[-1]

    yield start
    for running in started:
        running.stop()


def test_a_server_that_ignores_conditional_writes_is_refused(s3_root, proxy):
    proxy("strip-conditions")
    store = ParquetDataManager(s3_root)
    with pytest.raises(RuntimeError, match="ignores conditional writes"):
        store.update_unstack_category("table", pd.DataFrame({"id": [1]}), key_columns=["id"])
    assert listing(s3_root) == []


def test_a_server_gone_mid_write_gives_a_clear_error_and_keeps_the_object(s3_root, proxy, capsys):
    seeded(s3_root)
    proxy("cut-puts")
    store = ParquetDataManager(s3_root)
    capsys.readouterr()
    with pytest.raises(ConnectionError, match=f"{s3_root}/table/table.parquet: PUT failed"):
        store.update_unstack_category("table", pd.DataFrame({"id": [2], "v": [2.0]}), key_columns=["id"])
    assert capsys.readouterr().out == ""
    assert store.read_unstack_category("table")["id"].tolist() == [1]


def test_endless_conflicts_end_in_an_error_naming_the_object(s3_root, proxy, monkeypatch, capsys):
    seeded(s3_root)
    proxy("refuse-puts")
    monkeypatch.setattr(object_storage, "ATTEMPTS", 3)
    store = ParquetDataManager(s3_root)
    capsys.readouterr()
    frame = pd.DataFrame([[1.0]], index=["a"], columns=days("2024-03-04"))
    with pytest.raises(TimeoutError, match=f"{s3_root}/daily/daily_2024-03.parquet: other writers replaced"):
        store.update_pivot_category(frame, "daily")
    assert capsys.readouterr().out == ""  # no status line for a write that never happened
    assert listing(s3_root) == ["table/table.parquet"]


def test_credentials_appear_in_no_error(s3_root, seaweedfs, monkeypatch):
    monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", "not-the-" + seaweedfs.secret_key)
    store = ParquetDataManager(s3_root)
    with pytest.raises(OSError) as caught:
        store.update_unstack_category("table", pd.DataFrame({"id": [1]}), key_columns=["id"])
    assert seaweedfs.secret_key not in str(caught.value) and seaweedfs.access_key not in str(caught.value)
