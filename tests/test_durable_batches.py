"""A full monthly write makes its months durable together: every month file is fsynced and renamed by
its own task, the category directory is fsynced once after all of them, and a month reports only once
it is durable. Checked on real processes: traced system calls, and SIGKILL at random moments.

CORVANE_CRASH_KILLS sets the number of kills (20 by default).
"""

import functools
import os
import random
import shutil
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import store_workers as workers
import syscall_trace

KILLS = int(os.environ.get("CORVANE_CRASH_KILLS", "20"))
ROUNDS_PER_EPOCH = 8  # then the store starts afresh, so files and checks stay small

# Two updates of twelve months, told apart in the trace by the marker lines printed before each.
TWO_UPDATES = """
import numpy as np, pandas as pd
from corvane.FrameVault import ParquetDataManager
days = pd.bdate_range("2023-01-01", "2023-12-31").strftime("%Y-%m-%d")
store = ParquetDataManager({root!r}, max_workers={workers})
for rows in (["a", "b"], ["a", "b", "c"]):
    print("update " + str(len(rows)))
    frame = pd.DataFrame(np.arange(len(rows) * len(days), dtype=float).reshape(len(rows), -1), index=rows, columns=days)
    store.update_pivot_category(frame, "daily")
"""


def status_lines(calls):
    """(call, text) of each status line written to standard output."""
    return [(call, call.strings()[0]) for call in calls
            if call.name == "write" and call.descriptor()[0] == "1" and call.strings()]


@pytest.mark.parametrize("max_workers", [1, 4])
def test_a_full_write_fsyncs_its_directory_once_and_reports_each_month_after_that(tmp_path, max_workers):
    root = tmp_path / "data"
    directory = root / "daily"
    calls = syscall_trace.trace(tmp_path, TWO_UPDATES.format(root=str(root), workers=max_workers),
                                ["fsync", "fdatasync", "rename", "renameat", "renameat2", "linkat", "write"])
    lines = status_lines(calls)
    markers = [call.start for call, text in lines if text.startswith("update ")] + [len(calls) * 10**6]
    assert len(markers) == 3, lines
    for first, after, outcome in [(markers[0], markers[1], "Initializing"), (markers[1], markers[2], "UpdatingDF")]:
        renames = [call for call in syscall_trace.parquet_renames(calls) if first < call.start < after]
        assert sorted(Path(call.strings()[1]).name for call in renames) == \
            [f"daily_2023-{month:02d}.parquet" for month in range(1, 13)]
        assert all(syscall_trace.fsynced_before(calls, rename) for rename in renames), calls
        syncs = [call for call in syscall_trace.directory_syncs(calls, directory) if first < call.start < after]
        assert len(syncs) == 1, syncs
        assert syncs[0].start > max(rename.end for rename in renames)
        reports = [(call, text) for call, text in lines if first < call.start < after and outcome in text]
        assert len(reports) == 12, lines
        assert all(call.start > syncs[0].end for call, _ in reports), (syncs[0], reports)


def test_a_failing_month_leaves_the_others_stored_and_reported(store, root, capsys):
    days = pd.bdate_range("2024-01-01", "2024-06-30").strftime("%Y-%m-%d")
    frame = pd.DataFrame(np.ones((2, len(days))), index=["a", "b"], columns=days)
    store.update_pivot_category(frame, "daily")
    damaged = Path(store._get_pivot_file_path("daily", 2024, 3))
    damaged.write_bytes(damaged.read_bytes()[:100])
    capsys.readouterr()

    with pytest.raises(Exception, match="daily_2024-03"):
        store.update_pivot_category(pd.DataFrame(2.0, index=["c"], columns=days), "daily")

    out = capsys.readouterr().out
    assert len(damaged.read_bytes()) == 100
    for month in [1, 2, 4, 5, 6]:
        path = store._get_pivot_file_path("daily", 2024, month)
        assert f"{path}: UpdatingDF  From " in out
        assert pd.read_parquet(path).loc["c"].eq(2.0).all()
    assert "daily_2024-03.parquet: UpdatingDF" not in out
    assert sorted(os.listdir(Path(root) / "daily")) == [f"daily_2024-{month:02d}.parquet" for month in range(1, 7)]


# --- SIGKILL during batched full writes -----------------------------------------------------------


@functools.lru_cache(maxsize=None)
def expected(rounds, month):
    return workers.expected_batch_month(rounds, month)


def progress(journal_path):
    """Rounds whose update ended, the round begun and not ended (or None), the pids that ended one."""
    done, begun, finishers = 0, None, set()
    if journal_path.exists():
        for line in journal_path.read_text().splitlines():
            event, round_, _, writer = line.split()
            if event == "end":
                done, begun = int(round_) + 1, None
                finishers.add(int(writer))
            else:
                begun = int(round_)
    return done, begun, finishers


def reported_months(lines_path, round_):
    """The months whose status line the writer printed in `round_`."""
    months, current = set(), None
    for line in lines_path.read_text().splitlines() if lines_path.exists() else []:
        if line.startswith("round "):
            current = int(line.split()[1])
        elif current == round_ and ".parquet: " in line:
            months.add(line.split(".parquet: ")[0][-7:])
    return months


def stored_month(root, month):
    path = root / "daily" / f"daily_{month}.parquet"
    return pd.read_parquet(path).sort_index() if path.exists() else None


def test_kills_during_batched_full_writes_leave_every_month_old_or_new(tmp_path, capsys):
    """Each month file reads back as before or after the interrupted update (a month that reported
    holds the new content), a later writer removes the dead ones' temporary files, and a rerun after
    the last kill completes."""
    root, journal_path = tmp_path / "store", tmp_path / "journal"
    rng = random.Random(25)
    damaged, reported_checked, months_checked = [], 0, 0
    with workers.running_zygote(root, journal_path, "batch") as zygote:
        for kill in range(KILLS):
            done, _, _ = progress(journal_path)
            if done >= ROUNDS_PER_EPOCH:
                shutil.rmtree(root)
                journal_path.unlink()
                done = 0
            lines_path = tmp_path / f"lines-{kill}"
            pid = workers.kill_writer_after(zygote, f"{done} {lines_path}", rng.uniform(0.0, 1.2))

            done, begun, finishers = progress(journal_path)
            reported = reported_months(lines_path, begun) if begun is not None else set()
            reported_checked += len(reported)
            for month in workers.BATCH_MONTHS:
                allowed = {begun + 1} if month in reported else {done} | ({begun + 1} if begun is not None else set())
                frame = stored_month(root, month)  # must read back, whatever the kill interrupted
                months_checked += 1
                if not any(workers.frames_match(frame, expected(rounds, month)) for rounds in allowed):
                    damaged.append((kill, month, sorted(allowed), None if frame is None else frame.shape))
            if pid in finishers:
                # It wrote into both directories after every earlier writer had died.
                assert all(path.name.startswith(f".corvane-write-{pid}-") for path in workers.leftovers(root)), kill

    assert damaged == []
    done, _, _ = progress(journal_path)
    workers.ParquetDataManager(str(root)).update_pivot_category(workers.batch_frame(done), "daily")
    assert workers.leftovers(root) == []
    assert all(workers.frames_match(stored_month(root, month), expected(done + 1, month)) for month in workers.BATCH_MONTHS)
    with capsys.disabled():
        print(f"\nbatched crash: {KILLS} kills, {months_checked} month files checked, {reported_checked} of them "
              f"reported by the killed writer, {len(damaged)} damaged, no temporary file left after a rerun")
