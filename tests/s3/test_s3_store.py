"""The store on an s3:// root of a real SeaweedFS server: the same results and status lines as on
local disk, no lost update between writer processes, and clear refusals of what it cannot do safely.

CORVANE_S3_CONCURRENCY_ROUNDS sets the rounds per writer (20 by default).
"""

import json
import os
import subprocess
import sys
import threading

import obstore
import pandas as pd
import pytest

import corvane._object_storage as object_storage
import store_workers as workers
from corvane.FrameVault import ParquetDataManager
from memory_storage import memory_storage
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


def on_both_roots(run, local_root, s3_root, capsys):
    """run(root) on local disk, on s3:// and on a third kind of root (mem://, in memory); the status
    lines must match (pool threads finish months in any order, so as sets of lines), and so must the
    layout: object keys where local disk has paths, nothing else in the categories. The in-memory
    run must give what the s3:// run gives. Returns the local and s3:// results and the s3:// lines,
    roots shown as ROOT."""
    local = run(local_root)
    local_lines = capsys.readouterr().out.replace(local_root, "ROOT")
    remote = run(s3_root)
    remote_lines = capsys.readouterr().out.replace(s3_root, "ROOT")
    memory_root = "mem://bucket/" + s3_root.split("/", 3)[3]
    with memory_storage() as memory:
        in_memory = run(memory_root)
        memory_lines = capsys.readouterr().out.replace(memory_root, "ROOT")
        memory_keys = [key for key in memory.keys_under(memory_root) if not key.startswith(".corvane/")]
    local_files = sorted(os.path.relpath(os.path.join(d, f), local_root) for d, _, files in os.walk(local_root)
                         for f in files if not os.path.relpath(d, local_root).startswith(".corvane"))
    assert sorted(remote_lines.splitlines()) == sorted(local_lines.splitlines())
    assert sorted(memory_lines.splitlines()) == sorted(local_lines.splitlines())
    assert listing(s3_root) == memory_keys == local_files
    assert_same(in_memory, remote)
    return local, remote, remote_lines


def assert_same(ours, theirs):
    """The same results, frames compared as frames, within lists, tuples and dicts."""
    if isinstance(ours, pd.DataFrame):
        pd.testing.assert_frame_equal(ours, theirs)
    elif isinstance(ours, dict):
        assert ours.keys() == theirs.keys()
        for key in ours:
            assert_same(ours[key], theirs[key])
    elif isinstance(ours, (list, tuple)) and any(isinstance(item, (pd.DataFrame, list, tuple, dict)) for item in ours):
        assert type(ours) is type(theirs) and len(ours) == len(theirs)
        for left, right in zip(ours, theirs):
            assert_same(left, right)
    else:
        assert ours == theirs


def test_every_method_gives_what_local_disk_gives(s3_root, tmp_path, capsys):
    local_root = str(tmp_path / "data")
    local, remote, remote_lines = on_both_roots(lambda root: session(ParquetDataManager(root)), local_root, s3_root,
                                                capsys)
    assert "ROOT/daily/daily_2024-03.parquet: UpdatingDF" in remote_lines
    for name in ("whole", "cut", "latest", "table"):
        pd.testing.assert_frame_equal(remote[name], local[name])
    pd.testing.assert_frame_equal(remote["planned"][0], local["planned"][0])
    assert remote["planned"][1] == local["planned"][1] == list(days("2024-03-29", "2024-04-01", "2024-04-03"))
    assert remote["months"] == local["months"] == [("2024", "03"), ("2024", "04")]
    assert remote["exists"] == local["exists"] == (True, True, False)


def listing(root):
    """Keys under an s3:// root, relative to it, without the store's own .corvane/ state."""
    store, base = object_storage.store_for(root)
    keys = [meta["path"][len(base) + 1:] for chunk in obstore.list(store, base) for meta in chunk]
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


@pytest.mark.parametrize("mode, header", [("strip-if-match", "If-Match with a stale ETag"),
                                          ("strip-if-none-match", "If-None-Match"),
                                          ("strip-conditions", "If-None-Match")])
def test_a_server_ignoring_either_condition_is_refused_and_no_acknowledged_row_is_lost(s3_root, proxy, mode, header,
                                                                                       capsys):
    workers.add_rows(ParquetDataManager(s3_root), "seed", 0)
    before = listing(s3_root)
    proxy(mode)
    acknowledged, refusals = [], []

    def write(writer):
        store = ParquetDataManager(s3_root)
        for round_ in range(3):
            try:
                workers.add_rows(store, writer, round_)
                acknowledged.append(workers.row_label(writer, round_))
            except RuntimeError as error:
                refusals.append(str(error))

    threads = [threading.Thread(target=write, args=(name,)) for name in ("one", "two")]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    store = ParquetDataManager(s3_root)
    stored = set(store.read_pivot_category("daily", "2024-03-01", "2024-03-31").index)
    stored_table = set(store.read_unstack_category("table")["id"])
    lost = [label for label in acknowledged if label not in stored or label not in stored_table]
    assert (lost, acknowledged, listing(s3_root)) == ([], [], before)
    assert len(refusals) == 6 and all("ignores conditional writes" in r and header in r for r in refusals)
    with capsys.disabled():
        print(f"\n{mode}: {len(refusals)} writes refused, {len(acknowledged)} acknowledged, {len(lost)} rows lost")


def test_identical_re_syncs_read_no_month_and_any_doubt_reads_it(s3_root, seaweedfs, proxy, monkeypatch, capsys):
    march = pd.DataFrame([[1.0, 2.0], [3.0, 4.0]], index=["a", "b"], columns=days("2024-03-04", "2024-03-05"))
    ParquetDataManager(s3_root).update_pivot_category(march.copy(), "daily")
    month = f"{s3_root}/daily/daily_2024-03.parquet"
    record = f"{s3_root}/.corvane/digests/daily/daily_2024-03.parquet.digest"
    store, key = object_storage.store_for(month)
    record_key = object_storage.split(record)[1]
    assert json.loads(bytes(obstore.get(store, record_key).bytes()))["etag"] == obstore.head(store, key)["e_tag"]
    capsys.readouterr()

    proxy("fail-data-gets")  # a re-sync that read the month would fail
    ParquetDataManager(s3_root).update_pivot_category(march.copy(), "daily")
    assert f"{month}: Dataframes are identical" in capsys.readouterr().out
    monkeypatch.setenv("AWS_ENDPOINT_URL", seaweedfs.endpoint)

    # The object replaced behind the store's back (a blanked cell): its ETag no longer matches.
    blanked = march.copy()
    blanked.iloc[0, 0] = None
    blanked.columns = ["2024-03-04", "2024-03-05"]
    obstore.put(store, key, object_storage.frame_to_parquet_bytes(blanked))
    # A damaged record: read as no record.
    for damage in ("etag", "garbage"):
        if damage == "garbage":
            obstore.put(store, record_key, b"{not json")
        ParquetDataManager(s3_root).update_pivot_category(march.copy(), "daily")
        lines = capsys.readouterr().out
        refilled = ParquetDataManager(s3_root).read_pivot_category("daily", "2024-03-01", "2024-03-31")
        assert refilled.iloc[0, 0] == 1.0
        assert ("UpdatingDF" in lines) if damage == "etag" else ("Dataframes are identical" in lines)


def test_a_frozen_server_fails_a_read_in_bounded_time_naming_the_object(s3_root, proxy, monkeypatch):
    seeded(s3_root)
    monkeypatch.setattr(object_storage, "REQUEST_TIMEOUT", 1.0)
    monkeypatch.setattr(object_storage, "RETRY_WINDOW", 1.0)
    proxy("freeze")
    with pytest.raises(ConnectionError, match=f"{s3_root}/table(/table.parquet)?: [A-Z]+ failed"):
        ParquetDataManager(s3_root).read_unstack_category("table")


@pytest.mark.parametrize("source", ["environment", "profile"])
def test_credentials_come_from_the_environment_or_a_profile(s3_root, seaweedfs, monkeypatch, tmp_path, source):
    monkeypatch.setenv("AWS_CONFIG_FILE", str(tmp_path / "config"))
    monkeypatch.setenv("AWS_SHARED_CREDENTIALS_FILE", str(tmp_path / "credentials"))
    monkeypatch.setenv("AWS_EC2_METADATA_DISABLED", "true")
    if source == "profile":
        for name in ("AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_REGION"):
            monkeypatch.delenv(name)
        monkeypatch.setenv("AWS_PROFILE", "research")
        (tmp_path / "config").write_text("[profile research]\nregion = us-east-1\n")
        (tmp_path / "credentials").write_text(f"[research]\naws_access_key_id = {seaweedfs.access_key}\n"
                                              f"aws_secret_access_key = {seaweedfs.secret_key}\n")
    store = seeded(s3_root)
    assert store.read_unstack_category("table")["id"].tolist() == [1]
    monkeypatch.setenv("AWS_PROFILE", "nobody")
    monkeypatch.delenv("AWS_ACCESS_KEY_ID", raising=False)
    with pytest.raises(ValueError, match="settings cannot be used: .*nobody"):
        store.read_unstack_category("table")


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
