"""Writers of one file on one machine: none loses another's rows, a reader never fails or sees a mix,
and a lock held elsewhere makes a writer wait, time out naming the file, or go on once its holder dies.

CORVANE_CONCURRENCY_ROUNDS sets the rounds per writer (30 by default).
"""

import fcntl
import json
import os
import signal
import subprocess
import sys
import termios
import threading
import time

import pandas as pd
import pytest

import store_workers as workers

ROUNDS = int(os.environ.get("CORVANE_CONCURRENCY_ROUNDS", "30"))
WRITERS = ["one", "two"]


def run_worker(*args):
    return subprocess.Popen([sys.executable, workers.__file__, *map(str, args)])


@pytest.mark.parametrize("writers_are", ["processes", "threads"])
def test_two_writers_lose_no_row_and_a_reader_never_fails(tmp_path, writers_are, capsys):
    root = str(tmp_path / "store")
    workers.add_rows(workers.ParquetDataManager(root), "seed", 0)  # files exist before the reader starts
    stop, result = tmp_path / "stop", tmp_path / "reads.json"
    reader = run_worker("read", root, stop, result)
    try:
        if writers_are == "processes":
            writers = [run_worker("write", root, name, ROUNDS) for name in WRITERS]
            assert [writer.wait(timeout=600) for writer in writers] == [0, 0]
        else:
            threads = [threading.Thread(target=workers.write_rounds, args=(root, name, ROUNDS)) for name in WRITERS]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
    finally:
        stop.touch()
        assert reader.wait(timeout=600) == 0
    reads = json.loads(result.read_text())

    lost = workers.rows_lost(root, WRITERS, ROUNDS)
    assert (lost, reads["failed"], reads["problems"]) == (0, [], [])
    with capsys.disabled():
        print(f"\n{writers_are}: {2 * len(WRITERS) * ROUNDS} rows written concurrently, {lost} lost; "
              f"{reads['reads']} reads checked, {len(reads['failed'])} failed")


HOLD = "import fcntl, sys, time; f = open(sys.argv[1], 'a'); fcntl.flock(f, fcntl.LOCK_EX); print('held', flush=True); time.sleep(600)"


@pytest.fixture
def lock_holder():
    holders = []

    def hold(path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        holder = subprocess.Popen([sys.executable, "-c", HOLD, path], stdout=subprocess.PIPE, text=True)
        assert holder.stdout.readline() == "held\n"
        holders.append(holder)
        return holder

    yield hold
    for holder in holders:
        holder.kill()
        holder.wait()
        holder.stdout.close()


def lock_file(root, category, name):
    return os.path.join(root, ".corvane", "locks", category, name + ".lock")


@pytest.mark.parametrize("update", ["month", "table"])
def test_lock_held_elsewhere_times_out_naming_the_file(store, root, lock_holder, monkeypatch, update):
    if update == "month":
        name, write = "daily_2024-03.parquet", lambda: store.update_pivot_category(
            pd.DataFrame({"2024-03-04": [1.0]}, index=["a"]), "daily")
    else:
        name, write = "table.parquet", lambda: store.update_unstack_category("table", pd.DataFrame({"id": [1]}), ["id"])
    lock_holder(lock_file(root, "daily" if update == "month" else "table", name))
    monkeypatch.setenv("CORVANE_LOCK_TIMEOUT", "0.2")
    with pytest.raises(TimeoutError, match=name):
        write()
    assert os.listdir(os.path.join(root, "daily" if update == "month" else "table")) == []


def test_writer_waits_for_the_holder_and_a_killed_holder_never_blocks(store, root, lock_holder):
    store.update_unstack_category("table", pd.DataFrame({"id": [1]}), ["id"])
    holder = lock_holder(lock_file(root, "table", "table.parquet"))
    writer = threading.Thread(target=store.update_unstack_category, args=("table", pd.DataFrame({"id": [2]}), ["id"]))
    writer.start()
    writer.join(timeout=1.0)
    assert writer.is_alive(), "the writer went ahead while another process held the lock"
    assert store.read_unstack_category("table")["id"].tolist() == [1]
    holder.send_signal(signal.SIGKILL)
    writer.join(timeout=60)
    assert not writer.is_alive()
    assert store.read_unstack_category("table")["id"].tolist() == [1, 2]


@pytest.mark.parametrize("value", ["ten", "-1", "inf"])
def test_a_bad_lock_timeout_is_refused_before_anything_is_written(store, root, monkeypatch, value):
    monkeypatch.setenv("CORVANE_LOCK_TIMEOUT", value)
    with pytest.raises(ValueError, match="CORVANE_LOCK_TIMEOUT"):
        store.update_unstack_category("table", pd.DataFrame({"id": [1]}), ["id"])
    assert not os.path.exists(store._get_unstack_file_path("table"))


def test_locks_live_outside_category_directories(store, root):
    store.update_unstack_category("table", pd.DataFrame({"id": [1]}), ["id"])
    store.update_pivot_category(pd.DataFrame({"2024-03-04": [1.0]}, index=["a"]), "daily")
    assert sorted(os.listdir(root)) == [".corvane", "daily", "table"]
    assert os.listdir(os.path.join(root, "daily")) == ["daily_2024-03.parquet"]
    assert store._get_pivot_year_month("daily") == [("2024", "03")]
    with open(lock_file(root, "daily", "daily_2024-03.parquet")) as handle:
        fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)  # free once the update returned


def pipe_is_full(read_end, capacity):
    """Whether a writer of status lines into this pipe can only be waiting: not even a short line fits."""
    return int.from_bytes(fcntl.ioctl(read_end, termios.FIONREAD, b"\0\0\0\0"), "little") > capacity - 128


BLOCKED_WRITER = """
import sys, pandas as pd
from corvane.FrameVault import ParquetDataManager
store = ParquetDataManager(sys.argv[1])
for round_ in range(10**6):
    store.update_pivot_category(pd.DataFrame({"2024-03-04": [float(round_)]}, index=["blocked"]), "daily")
    store.update_unstack_category("table", pd.DataFrame({"id": ["blocked"], "round": [round_]}), key_columns=["id"])
"""


def test_a_writer_whose_output_blocks_holds_no_lock(root, monkeypatch):
    """A writer whose standard output nobody reads stops in a status line; other writers of the same
    files must go on."""
    read_end, write_end = os.pipe()
    capacity = fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, 4096)
    blocked = subprocess.Popen([sys.executable, "-u", "-c", BLOCKED_WRITER, root], stdout=write_end,
                               stderr=subprocess.DEVNULL)
    os.close(write_end)
    try:
        while not pipe_is_full(read_end, capacity):
            assert blocked.poll() is None, "the blocked writer died"
            time.sleep(0.05)
        monkeypatch.setenv("CORVANE_LOCK_TIMEOUT", "20")
        store = workers.ParquetDataManager(root)
        workers.add_rows(store, "free", 0)
        assert blocked.poll() is None and pipe_is_full(read_end, capacity)
    finally:
        blocked.kill()
        blocked.wait()
        os.close(read_end)
    month = store.read_pivot_category("daily", "2024-03-01", "2024-03-31")
    assert workers.row_label("free", 0) in month.index
    assert workers.row_label("free", 0) in set(store.read_unstack_category("table")["id"])


WAITING_WRITER = """
import sys, pandas as pd
from corvane.FrameVault import ParquetDataManager
store = ParquetDataManager(sys.argv[1])
if sys.argv[2] == "month":
    store.update_pivot_category(pd.DataFrame({"2024-03-04": [1.0]}, index=["a"]), "daily")
else:
    store.update_unstack_category("table", pd.DataFrame({"id": [1]}), ["id"])
"""


def has_open(pid, path):
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            if os.readlink(f"/proc/{pid}/fd/{fd}") == path:
                return True
        except OSError:  # closed meanwhile
            pass
    return False


@pytest.mark.parametrize("update", ["month", "table"])
def test_ctrl_c_interrupts_a_writer_waiting_for_a_lock(root, lock_holder, update):
    """Waiting on the calling thread (a table) or on a pool thread (a month): SIGINT must not wait out
    the default 600 s lock timeout."""
    lock = lock_file(root, "daily" if update == "month" else "table",
                     "daily_2024-03.parquet" if update == "month" else "table.parquet")
    lock_holder(lock)
    env = {key: value for key, value in os.environ.items() if key != "CORVANE_LOCK_TIMEOUT"}
    writer = subprocess.Popen([sys.executable, "-c", WAITING_WRITER, root, update], stderr=subprocess.PIPE,
                              stdout=subprocess.DEVNULL, text=True, env=env)
    try:
        while not has_open(writer.pid, lock):
            assert writer.poll() is None, writer.stderr.read()
            time.sleep(0.05)
        writer.send_signal(signal.SIGINT)
        writer.wait(timeout=60)
    finally:
        writer.kill()
        writer.wait()
        errors = writer.stderr.read()
        writer.stderr.close()
    assert "KeyboardInterrupt" in errors and "TimeoutError" not in errors, errors
    assert not os.path.exists(os.path.join(root, "table", "table.parquet"))
    assert not os.path.exists(os.path.join(root, "daily", "daily_2024-03.parquet"))
