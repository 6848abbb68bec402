"""CORVANE_QUIET, the `corvane` logger, and status lines that cannot be printed."""

import io
import logging
import os
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

DAYS = pd.date_range("2024-01-01", "2024-02-29")


def month_frame(days=DAYS, value=1.0):
    return pd.DataFrame(np.full((2, len(days)), value), index=["a", "b"], columns=days)


def write_and_read(store):
    store.update_pivot_category(month_frame(), "daily")
    store.update_unstack_category("instruments", pd.DataFrame({"order_book_id": ["a"]}), ["order_book_id"])
    return store.read_pivot_category("daily", "2024-01-01", "2024-02-29")


@pytest.mark.parametrize("setting, silent", [(None, False), ("0", False), ("", False), ("1", True), ("yes", True)])
def test_quiet_silences_lines_and_bars(store, capfd, monkeypatch, setting, silent):
    if setting is None:
        monkeypatch.delenv("CORVANE_QUIET", raising=False)
    else:
        monkeypatch.setenv("CORVANE_QUIET", setting)
    result = write_and_read(store)
    assert result.shape == (2, len(DAYS))  # the work itself is the same
    captured = capfd.readouterr()
    if silent:
        assert captured.out == "" and captured.err == ""
    else:
        assert ": Initializing: Shape " in captured.out and ": 初始化 Unstack Parquet" in captured.out
        assert "Reading daily From 2024-01-01 To 2024-02-29: 100%" in captured.err


@pytest.mark.parametrize("quiet", [False, True], ids=["printed", "quiet"])
def test_lines_go_to_the_corvane_logger(store, capsys, caplog, monkeypatch, quiet):
    if quiet:
        monkeypatch.setenv("CORVANE_QUIET", "1")
    else:
        monkeypatch.delenv("CORVANE_QUIET", raising=False)
    caplog.set_level(logging.INFO, logger="corvane")
    write_and_read(store)
    logged = [record.getMessage() for record in caplog.records if record.name == "corvane"]
    assert all(record.levelno == logging.INFO for record in caplog.records if record.name == "corvane")
    printed = capsys.readouterr().out.splitlines()
    assert len(logged) == 3 and logged[2].endswith(": 初始化 Unstack Parquet")
    # Pool threads log and print the month lines each in its own order.
    assert printed == [] if quiet else sorted(printed) == sorted(logged)


def test_lines_are_not_logged_unless_asked(store, caplog, capsys, monkeypatch):
    monkeypatch.delenv("CORVANE_QUIET", raising=False)
    write_and_read(store)
    assert [record for record in caplog.records if record.name == "corvane"] == []
    assert capsys.readouterr().out.count("\n") == 3


def test_a_closed_stdout_does_not_fail_a_stored_write(store, monkeypatch):
    monkeypatch.delenv("CORVANE_QUIET", raising=False)
    closed = io.StringIO()
    closed.close()
    monkeypatch.setattr(sys, "stdout", closed)
    write_and_read(store)  # raised ValueError (I/O operation on closed file) before
    monkeypatch.undo()
    assert store.read_pivot_category("daily", "2024-01-01", "2024-02-29").shape == (2, len(DAYS))


WRITER = textwrap.dedent("""
    import os, sys
    import pandas as pd
    from corvane.FrameVault import ParquetDataManager

    store = ParquetDataManager(sys.argv[1])
    rounds = int(sys.argv[2])
    with open(sys.argv[3], "w", buffering=1) as log:
        for n in range(rounds):
            day = pd.Timestamp("2024-01-01") + pd.Timedelta(days=n)
            store.update_pivot_category(pd.DataFrame({day: [float(n)]}, index=["a"]), "daily")
            log.write(f"round {n} stored\\n")
        try:
            os.write(1, b"x")
            log.write("pipe still open\\n")
        except BrokenPipeError:
            log.write("pipe was broken\\n")
""")


@pytest.mark.parametrize("streams", ["stdout", "stdout and stderr"])
def test_a_reader_going_away_does_not_fail_stored_writes(tmp_path, streams):
    root, rounds, log = str(tmp_path / "data"), 40, tmp_path / "writer.log"
    env = {**os.environ, "CORVANE_QUIET": "0"}
    # Unbuffered, so every line meets the closed pipe at once rather than at a later flush; with
    # both streams in one pipe, the progress bars meet it too.
    child = subprocess.Popen([sys.executable, "-u", "-c", WRITER, root, str(rounds), str(log)],
                             stdout=subprocess.PIPE, env=env,
                             stderr=subprocess.STDOUT if streams == "stdout and stderr" else subprocess.PIPE)
    assert child.stdout.read(1)
    child.stdout.close()  # the reader goes away, as `| head -1` does
    _, err = child.communicate(timeout=300)
    assert child.returncode == 0, (err or b"").decode()
    assert b"Traceback" not in (err or b"")
    lines = log.read_text().splitlines()
    assert lines[-2:] == [f"round {rounds - 1} stored", "pipe was broken"]
    from corvane.FrameVault import ParquetDataManager

    stored = ParquetDataManager(root).read_pivot_category("daily", "2024-01-01", "2024-02-09")
    assert stored.loc["a"].tolist() == [float(n) for n in range(rounds)]
