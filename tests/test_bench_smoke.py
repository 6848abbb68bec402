"""The benchmark suite runs end to end at a small size; it reports figures, it asserts no speed."""

import json
import subprocess
import sys
from pathlib import Path

BENCH = Path(__file__).resolve().parents[1] / "bench" / "run.py"
WORKLOADS = ["W1", "W2", "W3", "W3-1", "W4", "W4-w1", "W5", "W6", "W7", "W7-re", "W8"]


def test_every_workload_is_measured_beside_its_floor(tmp_path):
    figures = tmp_path / "figures.json"
    run = subprocess.run([sys.executable, str(BENCH), "--quick", "--runs", "1", "--json", str(figures)],
                         capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    rows = json.loads(figures.read_text())["rows"]
    assert [row["workload"] for row in rows] == WORKLOADS
    for row in rows:
        assert row["corvane_s"] > 0 and row["floor_s"] > 0 and row["peak_bytes"] >= 0, row
        assert row["workload"] in run.stdout
    # Reads report the size of what they returned, for the memory bound.
    assert all(row["result_bytes"] > 0 for row in rows if row["workload"] in ("W4", "W5"))


def test_s3_workloads_are_measured_beside_local_disk(tmp_path):
    figures = tmp_path / "figures.json"
    run = subprocess.run([sys.executable, str(BENCH), "--quick", "--runs", "1", "--no-memory", "--s3",
                          "--only", "W1,W5", "--json", str(figures)], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    rows = json.loads(figures.read_text())["s3"]
    assert [row["workload"] for row in rows] == ["W1", "W2", "W3", "W4", "W4-w1", "W5"]
    assert all(row["local_s"] > 0 and row["s3_s"] > 0 for row in rows), rows
    assert "local disk and s3://" in run.stdout
