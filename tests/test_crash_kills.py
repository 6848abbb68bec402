"""SIGKILL at random moments of a series of monthly and whole-table updates: every file reads back as
its content before or after the interrupted update, and dead writers' temporary files are removed.

CORVANE_CRASH_KILLS sets the number of kills (20 by default; the full run uses 200 or more).
"""

import functools
import os
import random
import shutil
from pathlib import Path

import pandas as pd

import store_workers as workers

KILLS = int(os.environ.get("CORVANE_CRASH_KILLS", "20"))
ROUNDS_PER_EPOCH = 120  # then the store starts afresh, so checks stay cheap however many kills


@functools.lru_cache(maxsize=None)
def expected(kind, rounds):
    return workers.expected_table(rounds) if kind == "table" else workers.expected_month(rounds, kind)


def progress(journal_path, since=None, pid=None):
    """Per update kind: rounds whose update ended, the round begun but not ended (or None), and
    whether writer `pid` ended an update of a round not done before `since` (so it wrote the files)."""
    done, begun, wrote = {"month": 0, "table": 0}, {"month": None, "table": None}, set()
    if journal_path.exists():
        for line in journal_path.read_text().splitlines():
            event, round_, kind, writer = line.split()
            if event == "end":
                done[kind] = max(done[kind], int(round_) + 1)
                begun[kind] = None
                if writer == str(pid) and int(round_) >= since[kind]:
                    wrote.add(kind)
            else:
                begun[kind] = int(round_)
    return done, begun, wrote


def stored(kind, root):
    path = root / ("table/table.parquet" if kind == "table" else f"daily/daily_{kind}.parquet")
    if not path.exists():
        return None
    frame = pd.read_parquet(path)
    if kind == "table":
        return frame.sort_values("id").reset_index(drop=True)
    return frame.sort_index()


def missing_rows(frame, wanted, kind):
    """Rows of completed updates that the file lacks."""
    if wanted is None:
        return 0
    labels = (lambda f: set(f["id"])) if kind == "table" else (lambda f: set(f.index))
    return len(labels(wanted) - (labels(frame) if frame is not None else set()))


def test_random_kills_leave_every_file_before_or_after_its_update(tmp_path, capsys):
    root, journal_path = tmp_path / "store", tmp_path / "journal"
    rng = random.Random(8)
    damaged, checked, lost, mid_write = [], 0, 0, 0
    with workers.running_zygote(root, journal_path) as zygote:
        for kill in range(KILLS):
            done, _, _ = progress(journal_path)
            if done["table"] >= ROUNDS_PER_EPOCH:
                shutil.rmtree(root)
                journal_path.unlink()
                done, _, _ = progress(journal_path)
            done_before = done
            # Early kills land in the first rounds, when files are created; later ones in merges.
            pid = workers.kill_writer_after(zygote, str(done["table"]), rng.uniform(0.0, 0.5))

            done, begun, wrote = progress(journal_path, done_before, pid)
            for kind, update in [("2024-01", "month"), ("2024-02", "month"), ("table", "table")]:
                allowed = {done[update]} | ({begun[update] + 1} if begun[update] is not None else set())
                frame = stored(kind, root)  # must read back, whatever the kill interrupted
                checked += frame is not None
                if not any(workers.frames_match(frame, expected(kind, rounds)) for rounds in allowed):
                    damaged.append((kill, kind, sorted(allowed), None if frame is None else frame.shape))
                lost += missing_rows(frame, expected(kind, done[update]), kind)
            # A writer that completed a write into a directory removed the files earlier writers left there.
            mid_write += any(path.name.startswith(f".corvane-write-{pid}-") for path in workers.leftovers(root))
            for path in workers.leftovers(root):
                if {"daily": "month", "table": "table"}[path.parent.name] in wrote:
                    assert path.name.startswith(f".corvane-write-{pid}-"), (kill, path.name)

    assert damaged == [] and lost == 0
    # One clean round after the last kill: everything the killed writers left is gone.
    done, _, _ = progress(journal_path)
    store_round(root, done["table"])
    assert workers.leftovers(root) == []
    with capsys.disabled():
        print(f"\ncrash: {KILLS} kills ({mid_write} in the middle of writing a file), {checked} files checked, "
              f"{len(damaged)} damaged, {lost} rows lost, no temporary file left after a write")


def store_round(root, round_):
    store = workers.ParquetDataManager(str(root))
    store.update_pivot_category(workers.crash_month_frame(round_), "daily")
    store.update_unstack_category("table", workers.crash_table_frame(round_), key_columns=["id"])
    assert workers.frames_match(stored("table", Path(root)), expected("table", round_ + 1))
