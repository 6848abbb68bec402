"""Child-process workers for the concurrency and crash suites: python store_workers.py <job> <args>.

Every frame a worker writes is a pure function of (writer, round), so a test can tell from the files
alone which updates reached them.
"""

import contextlib
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow.parquet  # noqa: F401

from corvane.FrameVault import ParquetDataManager

# Keeps the zygote single-threaded, as fork wants: no BLAS pool, no allocator background thread.
SINGLE_THREADED = {"OPENBLAS_NUM_THREADS": "1", "JE_ARROW_MALLOC_CONF": "background_thread:false"}

# --- concurrent writers: one new row per writer and round ---------------------------------------

MONTH_DAYS = ["2024-03-04", "2024-03-05"]


def row_label(writer, round_):
    return f"{writer}-{round_:05d}"


def rows_lost(root, writers, rounds):
    """Rows of the seed and of every writer's rounds that the month file or the table lacks; both
    must hold nothing else."""
    wanted = {row_label("seed", 0)} | {row_label(writer, r) for writer in writers for r in range(rounds)}
    store = ParquetDataManager(root)
    month = store.read_pivot_category("daily", "2024-03-01", "2024-03-31")
    table = store.read_unstack_category("table")
    assert set(month.index) <= wanted and set(table["id"]) <= wanted
    return len(wanted - set(month.index)) + len(wanted - set(table["id"]))


def add_rows(store, writer, round_):
    label = row_label(writer, round_)
    store.update_pivot_category(pd.DataFrame([[float(round_), round_ + 0.5]], index=[label], columns=MONTH_DAYS), "daily")
    store.update_unstack_category("table", pd.DataFrame({"id": [label], "round": [round_]}), key_columns=["id"])


def write_rounds(root, writer, rounds):
    store = ParquetDataManager(root)
    for round_ in range(rounds):
        add_rows(store, writer, round_)


def check_rows(labels, rounds, previous):
    """Problems of one read: rows gone since the last read, or values that are not their round's."""
    problems = [f"row {label} vanished" for label in previous - set(labels)]
    problems += [f"row {label} holds {value}" for label, value in zip(labels, rounds) if label != "seed"
                 and int(label.rsplit("-", 1)[1]) != value]
    return problems


def read_until(root, stop_path, result_path):
    """Reads the month and the table in turn until stop_path appears; every read is checked."""
    store = ParquetDataManager(root)
    reads, failed, problems = 0, [], []
    seen = {"daily": set(), "table": set()}
    while True:
        stopping = os.path.exists(stop_path)  # one more pass after the writers are done
        for what in ("daily", "table"):
            try:
                if what == "daily":
                    frame = store.read_pivot_category("daily", "2024-03-01", "2024-03-31")
                    labels, rounds = list(frame.index), [int(v) for v in frame[MONTH_DAYS[0]].tolist()]
                    problems += [f"row {label} lost its second day" for label in frame.index[frame[MONTH_DAYS[1]].isna()]]
                else:
                    frame = store.read_unstack_category("table")
                    labels, rounds = frame["id"].tolist(), frame["round"].tolist()
            except Exception as error:  # a failed read is what this worker counts
                failed.append(f"{what}: {type(error).__name__}: {error}")
                continue
            reads += 1
            problems += check_rows(labels, rounds, seen[what])
            seen[what] = set(labels)
        if stopping:
            break
    with open(result_path, "w") as handle:
        json.dump({"reads": reads, "failed": failed, "problems": problems}, handle)


# --- crash series: rounds of monthly and whole-table updates, killed at random ------------------

CRASH_ROWS = 40  # new rows per round, in both month files and in the table
CRASH_DAYS = pd.bdate_range("2024-01-01", "2024-02-29").strftime("%Y-%m-%d").tolist()


def crash_month_frame(round_):
    labels = [f"r{round_:05d}-{row:03d}" for row in range(CRASH_ROWS)]
    values = round_ * 1000.0 + np.arange(CRASH_ROWS)[:, None] + np.arange(len(CRASH_DAYS))[None, :] / 100
    return pd.DataFrame(values, index=labels, columns=CRASH_DAYS)


def crash_table_frame(round_):
    ids = [f"r{round_:05d}-{row:03d}" for row in range(CRASH_ROWS)] + ["latest"]
    return pd.DataFrame({"id": ids, "round": [round_] * (CRASH_ROWS + 1), "value": np.arange(CRASH_ROWS + 1) * 0.5})


def expected_month(rounds, month):
    """The month file after `rounds` complete rounds, as read back."""
    days = [day for day in CRASH_DAYS if day.startswith(month)]
    if rounds == 0:
        return None
    frame = pd.concat([crash_month_frame(round_)[days] for round_ in range(rounds)])
    return frame.sort_index()


def expected_table(rounds):
    """The table after `rounds` complete rounds, sorted by id (rows move when a key is replaced)."""
    if rounds == 0:
        return None
    frames = [crash_table_frame(round_) for round_ in range(rounds)]
    table = pd.concat(frames).drop_duplicates(subset=["id"], keep="last")
    return table.sort_values("id").reset_index(drop=True)


def journal(handle, text):
    os.write(handle, f"{text}\n".encode())


def crash_rounds(root, journal_path, first_round):
    """Runs rounds from first_round on until killed, noting each update's begin and end."""
    store = ParquetDataManager(root)
    handle = os.open(journal_path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    for round_ in range(first_round, 10**9):
        journal(handle, f"begin {round_} month {os.getpid()}")
        store.update_pivot_category(crash_month_frame(round_), "daily")
        journal(handle, f"end {round_} month {os.getpid()}")
        journal(handle, f"begin {round_} table {os.getpid()}")
        store.update_unstack_category("table", crash_table_frame(round_), key_columns=["id"])
        journal(handle, f"end {round_} table {os.getpid()}")


# --- batched full writes: every month of a few years in one update, killed at random ------------

BATCH_ROWS = 30  # new rows per round in every month
BATCH_DAYS = pd.bdate_range("2023-01-01", "2024-12-31").strftime("%Y-%m-%d").tolist()
BATCH_MONTHS = sorted({day[:7] for day in BATCH_DAYS})


def batch_frame(round_):
    labels = [f"b{round_:05d}-{row:03d}" for row in range(BATCH_ROWS)]
    values = round_ * 1000.0 + np.arange(BATCH_ROWS)[:, None] + np.arange(len(BATCH_DAYS))[None, :] / 1000
    return pd.DataFrame(values, index=labels, columns=BATCH_DAYS)


def expected_batch_month(rounds, month):
    """The month file after `rounds` complete rounds, as read back."""
    if rounds == 0:
        return None
    days = [day for day in BATCH_DAYS if day.startswith(month)]
    return pd.concat([batch_frame(round_)[days] for round_ in range(rounds)]).sort_index()


def batch_rounds(root, journal_path, first_round, lines_path):
    """Full writes of all BATCH_MONTHS, round after round, until killed. The status lines go to
    lines_path as they are printed, each round's after a line "round N"."""
    lines = os.open(lines_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    os.dup2(lines, 1)
    sys.stdout = open(1, "w", buffering=1, closefd=False)  # a line is on disk once printed
    store = ParquetDataManager(root, max_workers=4)
    handle = os.open(journal_path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    for round_ in range(first_round, 10**9):
        print(f"round {round_}")
        journal(handle, f"begin {round_} month {os.getpid()}")
        store.update_pivot_category(batch_frame(round_), "daily")
        journal(handle, f"end {round_} month {os.getpid()}")


def zygote(root, journal_path, series="crash"):
    """Forks one writer per line read (the round to start from; for the batch series, then the file
    for its status lines) and reports its pid and its end.

    Forking from a process that has imported everything makes a kill cycle cost milliseconds.
    """
    assert len(os.listdir("/proc/self/task")) == 1, "start the zygote with SINGLE_THREADED in its environment"
    for line in sys.stdin:
        first_round, *rest = line.split()
        pid = os.fork()
        if pid == 0:
            quiet()
            try:
                if series == "batch":
                    batch_rounds(root, journal_path, int(first_round), rest[0])
                else:
                    crash_rounds(root, journal_path, int(first_round))
            finally:
                os._exit(1)
        print(pid, flush=True)
        _, status = os.waitpid(pid, 0)
        print(os.WTERMSIG(status) if os.WIFSIGNALED(status) else -1, flush=True)


# --- what the crash suites share ---------------------------------------------------------------


def frames_match(frame, wanted):
    """Whether two stored frames (None: no file) hold the same content."""
    if frame is None or wanted is None:
        return frame is None and wanted is None
    try:
        pd.testing.assert_frame_equal(frame, wanted, check_index_type=False, check_column_type=False)
    except AssertionError:
        return False
    return True


def leftovers(root):
    """The temporary files writers left under root."""
    return list(Path(root).rglob(".corvane-write-*"))


@contextlib.contextmanager
def running_zygote(*args):
    """A zygote (python store_workers.py zygote <args>) forking one writer per request."""
    zygote = subprocess.Popen([sys.executable, __file__, "zygote", *map(str, args)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True, env={**os.environ, **SINGLE_THREADED})
    try:
        yield zygote
    finally:
        zygote.stdin.close()
        zygote.wait(timeout=60)
        zygote.stdout.close()


def kill_writer_after(zygote, request, delay):
    """Forks a writer for `request`, SIGKILLs it after `delay` seconds and returns its pid."""
    zygote.stdin.write(request + "\n")
    zygote.stdin.flush()
    pid = int(zygote.stdout.readline())
    time.sleep(delay)
    os.kill(pid, signal.SIGKILL)
    assert zygote.stdout.readline().strip() == str(int(signal.SIGKILL)), "the writer ended by itself"
    return pid


def quiet():
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.dup2(devnull, 2)


if __name__ == "__main__":
    job, args = sys.argv[1], sys.argv[2:]
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    if job == "zygote":
        zygote(*args)
    else:
        quiet()
        if job == "write":
            write_rounds(args[0], args[1], int(args[2]))
        elif job == "read":
            read_until(*args)
