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


def test_scaling_run_measures_each_month_workload_at_each_size(tmp_path):
    figures = tmp_path / "scaling.json"
    run = subprocess.run([sys.executable, str(BENCH), "--sizes", "50x3,60x2", "--runs", "1", "--quick",
                          "--json", str(figures)], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    rows = json.loads(figures.read_text())["rows"]
    expected = [(size, name) for size in ("50x3", "60x2") for name in ("W1", "W3", "W4", "W5", "W8")]
    assert [(row["size"], row["workload"]) for row in rows] == expected
    assert all(row["corvane_s"] > 0 and row["floor_s"] > 0 and row["peak_bytes"] >= 0 for row in rows), rows
    # Each size's reads return that size's frame (the peak is set beside it).
    reads = {(row["size"], row["workload"]): row["result_bytes"] for row in rows}
    assert reads["50x3", "W4"] > reads["50x3", "W5"] > 0 and reads["60x2", "W4"] > reads["60x2", "W5"] > 0
    table = [line.split()[:2] for line in run.stdout.splitlines() if line.startswith(("50x3 ", "60x2 "))]
    assert table == [list(pair) for pair in expected]


def test_scaling_sizes_are_checked_before_anything_runs():
    run = subprocess.run([sys.executable, str(BENCH), "--sizes", "50by3"], capture_output=True, text=True, timeout=60)
    assert run.returncode != 0 and "SERIESxMONTHS" in run.stderr
