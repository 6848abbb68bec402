"""Server values are loaded in a worker process: hostile values fail with an error naming their key and
change neither the store nor the client process; a dead or hung worker is replaced; the worker ends
with its client and holds nothing of the client's."""

import gc
import json
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pandas as pd
import pytest

import corvane.CVClient as CVClient

HERE = Path(__file__).resolve().parent


# Hand-built pickles, as an attacker writes them: only admitted globals, harm in the arguments.
def frame_with_column(column):
    """DataFrame({"a": column})"""
    return b"cpandas\nDataFrame\n((dVa\n" + column + b"stR."


def frame_with_cell(cell):
    """DataFrame({"a": [cell]})"""
    return b"cpandas\nDataFrame\n((dVa\n(l" + cell + b"astR."


# int64 array of 4,096 values over an 8-byte buffer: reading it reads the heap beyond.
ARRAY_OVER_SMALL_BUFFER = (
    b"cpyarrow.lib\n_restore_array\n((cpyarrow.lib\ntype_for_alias\n(Vint64\ntRI4096\nI0\nI0\n"
    b"(lNacpyarrow.lib\npy_buffer\n(c__builtin__\nbytearray\n(I8\ntRtRa(lNttR")
NESTING = 160_000  # 320 KB of nested tuples

HOSTILE = {
    "heap read through an arrow array": (
        frame_with_column(b"cpandas.arrays\nArrowExtensionArray\n(" + ARRAY_OVER_SMALL_BUFFER + b"tR"),
        "UnpicklingError", "buffers do not hold"),
    "heap read through numpy conversion": (
        frame_with_column(ARRAY_OVER_SMALL_BUFFER), "UnpicklingError", "buffers do not hold"),
    "deeply nested value": (frame_with_cell(b"(" * NESTING + b"t" * NESTING), "ValueError", "no safe format"),
    "BUILD patching pandas.Index": (
        b"\x80\x02cpandas\nIndex\nN}Vis_unique\n\x88s\x86b0cpandas\nDataFrame\n)R.",
        "UnpicklingError", "changes 'Index'"),
    "BUILD filling a rebuilder's namespace": (
        b"\x80\x02cpandas.core.indexes.base\n_new_Index\n}Vx\nI1\nsb0cpandas\nDataFrame\n)R.",
        "UnpicklingError", "changes '_new_Index'"),
    "1 GiB from 39 bytes": (b"c__builtin__\nbytearray\n(I1073741824\ntR.", "MemoryError", "MiB"),
    "frame of 10**8 rows": (
        b"cpandas\nDataFrame\n(F1.0\ncbuiltins\nrange\n(I100000000\ntR(lVa\natR.", "MemoryError", "MiB"),
}


def stored_files(root):
    return {os.path.relpath(os.path.join(d, f), root): Path(d, f).read_bytes()
            for d, _, files in os.walk(root) for f in files if ".corvane" not in d}


@pytest.mark.parametrize("value, error, says", HOSTILE.values(), ids=HOSTILE.keys())
def test_hostile_value_fails_naming_its_key_and_changes_nothing(server, make_client, instruments_frame, tmp_path,
                                                               value, error, says):
    server.seed({"cv1-instruments": instruments_frame()})
    make_client(tmp_path / "store").UpdateUnstackParquet("instruments")
    before = stored_files(tmp_path / "store")
    server.seed({"cv1-instruments": value})
    child = subprocess.run([sys.executable, str(HERE / "hostile_sync.py"), str(server.port), str(tmp_path / "store"),
                            "instruments"], capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr  # the client process survived
    outcome = json.loads(child.stdout.splitlines()[-1])
    assert (outcome["error"], outcome["message"].startswith("cv1-instruments")) == (error, True), outcome
    assert says in outcome["message"]
    assert outcome["pandas_unchanged"]
    assert outcome["resident_growth"] < 256 << 20
    assert stored_files(tmp_path / "store") == before


def worker_pid(client):
    return client._value_worker.process.pid


def is_running(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().split(") ")[1][0] not in "ZX"
    except FileNotFoundError:
        return False


@pytest.fixture
def months(server, month_frame):
    server.seed({f"cv1-daily-2024{m:02d}": month_frame(2024, m) for m in (1, 2, 3)})
    return month_frame


@pytest.mark.parametrize("fault", ["killed", "hung"])
def test_a_dead_or_hung_worker_is_replaced_for_the_next_value(months, make_client, monkeypatch, fault):
    client = make_client()
    client.load_df_from_cvdb("cv1-daily-202401")
    pid = worker_pid(client)
    if fault == "killed":
        os.kill(pid, signal.SIGKILL)
    else:
        monkeypatch.setenv("CORVANE_VALUE_TIMEOUT", "1")
        os.kill(pid, signal.SIGSTOP)
        with pytest.raises(TimeoutError, match="^cv1-daily-202402: loading the value took longer than 1 seconds"):
            client.load_df_from_cvdb("cv1-daily-202402")
        assert not is_running(pid)
        monkeypatch.delenv("CORVANE_VALUE_TIMEOUT")
    loaded = client.load_df_from_cvdb("cv1-daily-202403")
    assert loaded.equals(months(2024, 3))
    assert worker_pid(client) != pid


def test_the_worker_holds_no_credential_and_ends_with_its_client(months, make_client, monkeypatch):
    monkeypatch.setenv("CORVANE_TOKEN", "t0ken-42")
    client = make_client()
    client.load_df_from_cvdb("cv1-daily-202401")
    pid = worker_pid(client)
    for part in ("environ", "cmdline"):
        assert b"t0ken-42" not in Path(f"/proc/{pid}/{part}").read_bytes()
    assert sorted(os.listdir(f"/proc/{pid}/fd")) == ["0", "1", "2"]  # no socket, no store file
    del client
    gc.collect()
    assert not is_running(pid)


def test_the_worker_ends_at_interpreter_exit(months, server, tmp_path):
    script = (f"import sys; sys.path.insert(0, {str(HERE.parents[1] / 'tools')!r})\n"
              "from local_redis import PortRedirect\nimport corvane.CVClient as CVClient\n"
              f"CVClient.redis = PortRedirect({server.port})\n"
              f"client = CVClient.CorvaneClient('analyst', 't0ken-42', {str(tmp_path / 'store')!r})\n"
              "client.load_df_from_cvdb('cv1-daily-202401')\nprint(client._value_worker.process.pid)\n")
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert not is_running(int(child.stdout.splitlines()[-1]))


def test_one_worker_serves_every_value_of_a_client(months, make_client):
    client = make_client()
    client.UpdatePivotParquet("daily", "2024-01-01", "2024-03-31")
    pid = worker_pid(client)
    client.UpdatePivotParquet("daily", "2024-01-01", "2024-03-31")
    assert worker_pid(client) == pid


class StoreRecorder:
    def __init__(self):
        self.frames = []

    def update_pivot_category(self, df, category, strf):
        self.frames.append(df)


@pytest.mark.parametrize("hitch", ["none", "worker killed mid-sync", "loader replaced", "months larger than a pipe"])
def test_a_sync_hands_the_store_the_months_as_pickle_loads_them(server, make_client, month_frame, monkeypatch, hitch):
    # Months converted both ways (float days straight from Arrow, integer days through to_pandas),
    # with labels of more than one kind, so that a reply taken for the wrong month shows. Months of
    # 3 MB cannot wait in a pipe: the worker's reply must be taken while the next value goes.
    ids = [f"{n:06d}.XSHE" for n in range(15_000)] if hitch == "months larger than a pipe" else ["a", "b", "c"]
    named = month_frame(2024, 3, ids=ids)
    named.index.name, named.iloc[1, 2] = "order_book_id", float("nan")
    frames = {"202401": month_frame(2024, 1, ids=ids), "202402": month_frame(2024, 2, ids=ids).astype("int64"),
              "202403": named, "202404": month_frame(2024, 4, ids=ids, start=7.0), "202405": month_frame(2024, 5, ids=ids)}
    server.seed({f"cv1-daily-{month}": frame for month, frame in frames.items()})
    client = make_client()
    client.CV_db = recorder = StoreRecorder()
    loaded = []
    if hitch == "worker killed mid-sync":
        client.load_df_from_cvdb("cv1-daily-202401")
        def kill_on_the_way(keys):
            for position, key in enumerate(keys):
                if position == 2:
                    os.kill(worker_pid(client), signal.SIGKILL)
                    client._value_worker.process.wait()
                yield key
        monkeypatch.setattr(CVClient, "tqdm", kill_on_the_way)
    elif hitch == "loader replaced":
        def load_and_note(key):
            loaded.append(key)
            return CVClient.CorvaneClient.load_df_from_cvdb(client, key)
        client.load_df_from_cvdb = load_and_note
    client.UpdatePivotParquet("daily", "2024-01-01", "2024-05-31")
    pd.testing.assert_frame_equal(recorder.frames[0], pd.concat(list(frames.values()), axis=1))
    assert loaded == ([f"cv1-daily-{month}" for month in frames] if hitch == "loader replaced" else [])


def test_every_worker_wait_is_bounded_and_a_dead_worker_is_reaped(months, make_client, monkeypatch, tmp_path):
    first = make_client()  # takes any spare worker, so that the next client starts its own
    first.load_df_from_cvdb("cv1-daily-202401")
    # A worker that dies while its client is idle is reaped then, not at the client's next value.
    pid = worker_pid(first)
    os.kill(pid, signal.SIGKILL)
    for _ in range(600):
        if not os.path.exists(f"/proc/{pid}"):
            break
        time.sleep(0.05)
    assert not os.path.exists(f"/proc/{pid}"), "the dead worker stayed a zombie"
    # An interpreter that never becomes ready is given up after CORVANE_VALUE_TIMEOUT.
    # A pandas that waits while the marker exists, then hands over to the real one: the spare worker
    # started meanwhile with this path recovers once the test is over.
    marker = tmp_path / "hold"
    marker.touch()
    (tmp_path / "pandas").mkdir()
    (tmp_path / "pandas" / "__init__.py").write_text(
        "import os, sys, time\n"
        f"while os.path.exists({str(marker)!r}):\n    time.sleep(0.05)\n"
        f"sys.path.remove({str(tmp_path)!r})\ndel sys.modules['pandas']\nimport pandas\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.setenv("CORVANE_VALUE_TIMEOUT", "1")
    second = make_client()
    outcome = []

    def load():
        try:
            second.load_df_from_cvdb("cv1-daily-202402")
        except RuntimeError as error:
            outcome.append(str(error))

    loading = threading.Thread(target=load, daemon=True)
    loading.start()
    loading.join(60)  # far beyond the one second allowed; still loading then means it ignored the timeout
    assert not loading.is_alive(), "the wait for the worker's start outlasted CORVANE_VALUE_TIMEOUT"
    assert outcome and outcome[0].startswith("cv1-daily-202402: the process that loads server values did not start")
    marker.unlink()
    monkeypatch.undo()
    assert first.load_df_from_cvdb("cv1-daily-202403").equals(months(2024, 3))
