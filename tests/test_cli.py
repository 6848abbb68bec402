"""The corvane command on a real store, run as a process."""

import os
import shutil
import signal
import subprocess
import sys
from pathlib import Path

import pandas as pd
import pytest

from corvane.FrameVault import ParquetDataManager


def corvane(*args, env=None):
    return subprocess.run([sys.executable, "-m", "corvane", *map(str, args)], capture_output=True, text=True,
                          env={**os.environ, **(env or {})})


def tree(root):
    return {str(path): (path.stat().st_size, path.stat().st_mtime_ns) if path.is_file() else "dir"
            for path in Path(root).rglob("*")}


@pytest.fixture
def store_root(tmp_path):
    root = tmp_path / "data"
    store = ParquetDataManager(str(root))
    days = pd.bdate_range("2024-01-01", "2024-03-31").strftime("%Y-%m-%d")
    store.update_pivot_category(pd.DataFrame([[1.5] * len(days)] * 4, columns=days), "close")
    store.update_unstack_category("instruments", pd.DataFrame({"order_book_id": ["a", "b"], "v": [1, 2]}))
    assert (root / ".corvane" / "locks").is_dir()  # internal state, never listed as a category
    return root


@pytest.mark.parametrize("command", [None, "ls", "info", "verify", "sync", "correct"])
def test_help_for_each_command(command):
    script = shutil.which("corvane", path=os.path.dirname(sys.executable))
    result = subprocess.run([script, *([command] if command else []), "--help"], capture_output=True, text=True)
    assert result.returncode == 0 and result.stdout.startswith("usage: corvane"), result.stderr


def test_read_only_commands_describe_the_store_and_change_nothing(store_root):
    before = tree(store_root)
    listing = corvane("ls", store_root)
    assert listing.returncode == 0, listing.stderr
    rows = [line.split() for line in listing.stdout.splitlines()]
    assert [row[:6] + row[7:] for row in rows] == [
        ["CATEGORY", "KIND", "MONTHS", "FIRST", "LAST", "ROWS"],
        ["close", "monthly", "3", "2024-01-01", "2024-03-29", "12", "KiB"],
        ["instruments", "table", "0", "-", "-", "2", "KiB"],
    ]
    info = corvane("info", store_root, "close", "--start", "2023-12-20", "--end", "2024-05-02")
    assert info.returncode == 0, info.stderr
    assert info.stdout.splitlines() == [
        "MONTH    DAYS  ROWS  FIRST       LAST",
        "2024-01  23    4     2024-01-01  2024-01-31",
        "2024-02  21    4     2024-02-01  2024-02-29",
        "2024-03  21    4     2024-03-01  2024-03-29",
        "missing months: 2023-12, 2024-04, 2024-05",
    ]
    assert corvane("verify", store_root).returncode == 0
    # 1 for what the store lacks, 2 for a wrong command line (as argparse's own refusals).
    for status, failing in ((1, ("info", store_root, "never-written")), (1, ("ls", store_root / "missing")),
                            (2, ("info", store_root, "close", "--start", "2024-13-01")),
                            (2, ("info", store_root, "close", "--start", "2024-03-01", "--end", "2024-01-31")),
                            (2, ("verify", store_root, "--json", "--quiet"))):
        result = corvane(*failing)
        assert result.returncode == status and f"corvane {failing[0]}: " in result.stderr, result.stderr
    assert tree(store_root) == before


@pytest.mark.parametrize("typed, hint", [("clsoe", "; did you mean 'close'?"), ("instrument", "; did you mean "
                                          "'instruments'?"), ("volume", "")])
def test_an_unknown_category_names_the_closest_one(store_root, typed, hint):
    result = corvane("info", store_root, typed)
    assert result.returncode == 1
    assert result.stderr == f"corvane info: {store_root / typed}: no such category{hint}\n"


# What each command prints into a pipe whose reader is gone before the first line is written.
CLOSED_PIPE_RUNS = [["ls", "{root}"], ["ls", "{root}", "--json"], ["info", "{root}", "close"],
                    ["verify", "{root}"], ["verify", "{root}", "--json"], ["--help"], ["info", "--help"]]


@pytest.mark.parametrize("arguments", CLOSED_PIPE_RUNS, ids=" ".join)
def test_a_closed_pipe_ends_the_command_quietly(store_root, arguments):
    command = [sys.executable, "-m", "corvane", *(a.format(root=store_root) for a in arguments)]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    process.stdout.close()  # the only reader: every write of the command now fails with EPIPE
    with process.stderr:
        errors = process.stderr.read()
    assert process.wait(timeout=120) in (0, -signal.SIGPIPE) and errors == ""


def test_head_takes_the_first_line_and_the_pipeline_succeeds(store_root):
    script = f"set -o pipefail; {sys.executable} -m corvane info {store_root} close | head -1"
    result = subprocess.run(["bash", "-c", script], capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stdout, result.stderr) == (0, "MONTH    DAYS  ROWS  FIRST       LAST\n", "")


def test_verify_reports_damage_strays_and_leftovers(store_root):
    close = store_root / "close"
    (close / "close_2024-02.parquet").write_bytes((close / "close_2024-02.parquet").read_bytes()[:-100])
    pd.DataFrame({"2024-05-31": [1.0]}).to_parquet(close / "close_2024-04.parquet")
    (close / "notes.txt").write_text("kept by hand")
    (close / ".corvane-write-7-8-9.tmp").write_bytes(b"")
    result = corvane("verify", store_root)
    assert result.returncode == 1
    lines = result.stdout.splitlines()
    assert [line.split(":")[0] + ":" + line.split(":")[1] for line in lines if line.startswith("damaged")] == [
        f"damaged: {close}/close_2024-02.parquet", f"damaged: {close}/close_2024-04.parquet"]
    assert f"not a table or month: {close}/notes.txt" in lines
    assert f"leftover temporary file: {close}/.corvane-write-7-8-9.tmp" in lines
    assert lines[-1] == "5 files read, 2 damaged, 1 unknown, 1 leftover"
    quiet = corvane("verify", store_root, "--quiet")
    assert (quiet.returncode, quiet.stdout.splitlines(), quiet.stderr) == (1, lines[:-1], "")
    (close / "close_2024-04.parquet").unlink(), (close / "notes.txt").unlink()
    (close / ".corvane-write-7-8-9.tmp").unlink()
    (close / "close_2024-02.parquet").unlink()
    healthy = corvane("verify", store_root, "--quiet")
    assert (healthy.returncode, healthy.stdout, healthy.stderr) == (0, "", "")


# Runs of verify on a damaged store that must all end with status 1 (never an abort at exit).
VERIFY_RUNS = int(os.environ.get("CORVANE_VERIFY_RUNS", "10"))


def test_verify_and_ls_never_abort_nor_hang(store_root):
    """A FIFO named like a month is no month (opening it would wait for a writer forever), and
    repeated runs on a damaged store end normally every time."""
    close = store_root / "close"
    os.mkfifo(close / "close_2024-04.parquet")
    (close / "close_2024-02.parquet").write_bytes((close / "close_2024-02.parquet").read_bytes()[:-100])
    for run in range(VERIFY_RUNS):
        result = subprocess.run([sys.executable, "-m", "corvane", "verify", str(store_root)], capture_output=True,
                                text=True, timeout=120)
        assert result.returncode == 1, (run, result.returncode, result.stderr)
    assert f"not a table or month: {close}/close_2024-04.parquet" in result.stdout.splitlines()
    listing = subprocess.run([sys.executable, "-m", "corvane", "ls", str(store_root)], capture_output=True, text=True,
                             timeout=120)
    assert listing.returncode == 0 and listing.stdout.splitlines()[1].split()[:3] == ["close", "monthly", "3"]


def test_json_output_and_version(store_root):
    import json

    from corvane import __version__

    version = corvane("--version")
    assert version.returncode == 0 and version.stdout.strip() == f"corvane {__version__}"
    listing = json.loads(corvane("ls", store_root, "--json").stdout)
    assert [(c["category"], c["kind"], c["months"], c["first"], c["last"], c["rows"]) for c in listing["categories"]] == [
        ("close", "monthly", 3, "2024-01-01", "2024-03-29", 12), ("instruments", "table", 0, None, None, 2)]
    info = json.loads(corvane("info", store_root, "close", "--end", "2024-04-30", "--json").stdout)
    assert [month["month"] for month in info["months"]] == ["2024-01", "2024-02", "2024-03"]
    assert info["missing_months"] == ["2024-04"] and info["table"] is None
    (store_root / "close" / "notes.txt").write_text("kept by hand")
    checked = corvane("verify", store_root, "--json")
    assert checked.returncode == 0
    assert json.loads(checked.stdout) == {"files_read": 4, "damaged": [], "leftover": [],
                                          "unknown": [str(store_root / "close" / "notes.txt")]}
