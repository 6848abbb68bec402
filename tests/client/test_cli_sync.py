"""corvane sync, run as a process against a real redis-server."""

import json
import os
import subprocess
import sys

import pandas as pd
import pytest

from conftest import ACCOUNT, TOKEN
from ports import free_port


def sync(server, *args, token=TOKEN, command="sync", port=None, timeout=None):
    env = {**os.environ, "CORVANE_ACCOUNT": ACCOUNT, "CORVANE_TOKEN": token, "CORVANE_HOST": "127.0.0.1",
           "CORVANE_PORT": str(port or server.port)}
    return subprocess.run([sys.executable, "-m", "corvane", command, *map(str, args)], capture_output=True,
                          text=True, env=env, timeout=timeout)


def test_sync_fills_the_store_like_the_client_commands(server, tmp_path, month_frame, instruments_frame):
    server.seed({"cv1-instruments": instruments_frame(), "cv1-close-202402": month_frame(2024, 2),
                 "cv1-close-202403": month_frame(2024, 3)})
    root = tmp_path / "store"
    result = sync(server, root, "instruments")
    assert result.returncode == 0, result.stderr
    assert f"Auth Succeeded: {ACCOUNT}" in result.stdout
    pd.testing.assert_frame_equal(pd.read_parquet(root / "instruments" / "instruments.parquet"),
                                  instruments_frame(), check_dtype=False)

    result = sync(server, root, "close", "--start", "2024-01-01", "--end", "2024-03-31")
    assert result.returncode == 0, result.stderr
    assert sorted(os.listdir(root / "close")) == ["close_2024-02.parquet", "close_2024-03.parquet"]
    stored = pd.read_parquet(root / "close" / "close_2024-03.parquet")
    pd.testing.assert_frame_equal(stored, month_frame(2024, 3), check_like=True)


def test_sync_fails_without_credentials_or_with_wrong_ones(server, tmp_path):
    root = tmp_path / "store"
    assert sync(server, root, "instruments", token="wrong").returncode == 1
    missing = sync(server, root, "instruments", token="")
    assert missing.returncode == 1 and "CORVANE_TOKEN" in missing.stderr
    assert not root.exists()


@pytest.mark.parametrize("command, arguments", [
    ("sync", ["--start", "2024-01-01"]), ("sync", ["--end", "2024-01-31"]), ("correct", []),
    ("sync", ["--start", "2024-02-30", "--end", "2024-03-31"]), ("sync", ["--start", "2024-03-01", "--end", "2024-01-31"]),
    ("sync", ["--quiet", "--json"])])
def test_a_wrong_command_line_exits_2_before_anything_is_asked(server, tmp_path, command, arguments):
    for token in (TOKEN, ""):  # the command line is refused before the missing token is noticed
        refused = sync(server, tmp_path / "store", "close", *arguments, token=token, command=command)
        assert refused.returncode == 2 and refused.stdout == "", refused.stderr
        assert f"corvane {command}: " in refused.stderr
    assert not (tmp_path / "store").exists()


def test_sync_json_prints_one_document_of_what_it_did(server, tmp_path, month_frame, instruments_frame):
    server.seed({"cv1-instruments": instruments_frame(), "cv1-close-202402": month_frame(2024, 2),
                 "cv1-close-202403": month_frame(2024, 3)})
    root = tmp_path / "store"
    run = ["instruments", "closee", "close", "--start", "2024-02-15", "--end", "2024-04-30", "--json"]
    first = sync(server, root, *run)
    assert first.returncode == 1
    unknown = ("the server holds no category 'closee' (no key cv1-closee or cv1-closee-YYYYMM); "
               "did you mean 'close'?")
    assert first.stderr == f"corvane sync: closee: {unknown}\n"
    assert json.loads(first.stdout) == {
        "command": "sync", "root": str(root), "server": f"127.0.0.1:{server.port}", "failed": 1, "categories": [
            {"category": "instruments", "kind": "table", "written": True},
            {"category": "closee", "error": unknown},
            # --start 2024-02-15 syncs the whole of February
            {"category": "close", "kind": "monthly", "start": "2024-02-15", "end": "2024-04-30", "months_written": 2,
             "months_unchanged": 0, "missing_months": ["2024-04"]}]}
    assert pd.read_parquet(root / "close" / "close_2024-02.parquet").columns[0] == "2024-02-01"
    again = json.loads(sync(server, root, "instruments", "close", "--json", "--verbose", command="sync").stdout)
    table, monthly = again["categories"]
    assert (table["written"], monthly["months_written"], monthly["months_unchanged"]) == (False, 0, 1)
    assert any(": Dataframes are identical." in line for line in monthly["lines"]) and monthly["end"] == str(pd.Timestamp.today().date())
    corrected = json.loads(sync(server, root, "close", "--start", "2024-03-01", "--end", "2024-03-31", "--json",
                                command="correct").stdout)
    assert corrected["categories"] == [{"category": "close", "kind": "monthly", "start": "2024-03-01",
                                        "end": "2024-03-31", "months_written": 0, "stored_cells_changed": 0,
                                        "missing_months": []}]


def test_sync_into_a_closed_pipe_still_stores_everything(server, tmp_path, month_frame, instruments_frame):
    server.seed({"cv1-instruments": instruments_frame(), "cv1-close-202403": month_frame(2024, 3)})
    root = tmp_path / "store"
    env = {**os.environ, "CORVANE_ACCOUNT": ACCOUNT, "CORVANE_TOKEN": TOKEN, "CORVANE_PORT": str(server.port)}
    command = [sys.executable, "-m", "corvane", "sync", str(root), "instruments", "close", "--start", "2024-03-01",
               "--end", "2024-03-31", "--verbose"]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    process.stdout.close()  # the reader went away before the first line
    with process.stderr:
        errors = process.stderr.read()
    assert (process.wait(timeout=120), errors) == (0, "")
    pd.testing.assert_frame_equal(pd.read_parquet(root / "close" / "close_2024-03.parquet"), month_frame(2024, 3),
                                  check_like=True)
    assert (root / "instruments" / "instruments.parquet").is_file()


def test_one_run_syncs_tables_and_months_and_a_failure_stops_no_other(server, tmp_path, month_frame, instruments_frame):
    server.seed({"cv1-instruments": instruments_frame(), "cv1-close-202402": month_frame(2024, 2),
                 "cv1-close-202403": month_frame(2024, 3)})
    root = tmp_path / "store"
    run = ["instruments", "no-such", "close", "--start", "2024-02-01", "--end", "2024-04-30"]
    first = sync(server, root, *run)
    assert first.returncode == 1
    assert first.stdout.splitlines()[-2:] == [
        "instruments: table written", "close: monthly, 2 months written, 0 unchanged, missing months: 2024-04"]
    assert first.stderr.startswith("corvane sync: no-such: the server holds no category 'no-such'")
    assert "Updating" not in first.stderr  # no progress bars off a terminal
    again = sync(server, root, "instruments", "close", "--start", "2024-02-01", "--end", "2024-04-30", "--quiet")
    assert (again.returncode, again.stdout, again.stderr) == (0, "", "")

    corrected = month_frame(2024, 3)
    corrected.iloc[0, :2] = [100.0, 101.0]
    server.seed({"cv1-close-202403": corrected})
    fixed = sync(server, root, "close", "--start", "2024-02-01", "--end", "2024-03-31", command="correct")
    assert fixed.returncode == 0, fixed.stderr
    assert fixed.stdout.splitlines()[-1] == "close: monthly, 1 months written, 2 stored cells changed, missing months: none"
    stored = pd.read_parquet(root / "close" / "close_2024-03.parquet")
    assert stored.iloc[0, :2].tolist() == [100.0, 101.0]


def test_a_wrong_token_or_a_silent_server_is_named_plainly(server, tmp_path):
    import socket

    wrong = sync(server, tmp_path / "store", "close", token="wrong")
    assert wrong.returncode == 1 and "refused account 'analyst': check CORVANE_ACCOUNT and CORVANE_TOKEN" in wrong.stderr
    with socket.socket() as silent:  # accepts connections and never answers
        silent.bind(("127.0.0.1", 0))
        silent.listen()
        port = silent.getsockname()[1]
        hung = sync(server, tmp_path / "store", "close", port=port, timeout=60)
    assert hung.returncode == 1 and f"the server at 127.0.0.1:{port} did not answer within 5 s" in hung.stderr
    port = free_port()  # outside the ephemeral range: a connection there cannot meet itself
    refused = sync(server, tmp_path / "store", "close", port=port)
    assert refused.returncode == 1 and f"cannot reach the server at 127.0.0.1:{port}" in refused.stderr
    assert not (tmp_path / "store").exists()
