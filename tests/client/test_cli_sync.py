"""corvane sync, run as a process against a real redis-server."""

import os
import subprocess
import sys

import pandas as pd

from conftest import ACCOUNT, TOKEN


def sync(server, *args, token=TOKEN):
    env = {**os.environ, "CORVANE_ACCOUNT": ACCOUNT, "CORVANE_TOKEN": token, "CORVANE_HOST": "127.0.0.1",
           "CORVANE_PORT": str(server.port)}
    return subprocess.run([sys.executable, "-m", "corvane", "sync", *map(str, args)], capture_output=True,
                          text=True, env=env)


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
    half_range = sync(server, root, "close", "--start", "2024-01-01")
    assert half_range.returncode == 1 and "--end" in half_range.stderr
    assert not root.exists()
