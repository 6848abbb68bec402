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
    assert [row["workload"] for row in rows] == ["W1", "W2", "W3", "W4", "W4-w1", "W4-gets", "W5"]
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


def test_profile_folding_keeps_only_the_timed_runs_samples(tmp_path):
    """perf script's two layouts (a frame on the header line, or a stack below it); samples outside
    the spans that --profile prints are set-up and are left out."""
    script = tmp_path / "perf.txt"
    script.write_text(
        "python 100  10.0: 4000000 cpu-clock:ppp:  7f01 setup_work+0x1 (/lib/libpython3.12.so)\n"
        "python 100  20.5: 4000000 cpu-clock:ppp:  7f02 encode+0x2 (/lib/libparquet.so)\n"
        "python 101  20.6: 4000000 cpu-clock:ppp: \n"
        "\tffff01 fsync_wait+0x3 ([kernel.kallsyms])\n\t7f03 caller+0x4 (/lib/libc.so.6)\n\n"
        "python 101  21.0: 4000000 cpu-clock:ppp:  7f02 encode+0x9 (/lib/libparquet.so)\n"
    )
    runs = tmp_path / "runs.txt"
    runs.write_text("W1: monotonic 20.000000 to 21.000000\n")
    fold = BENCH.with_name("fold_profile.py")
    run = subprocess.run([sys.executable, str(fold), str(script), "--windows", str(runs)],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    lines = [line.strip() for line in run.stdout.splitlines()]
    assert lines[0] == "3 samples kept in 1 runs, 1.00 s in all"
    assert "calling thread 33.3%, 1 other threads 66.7%" in lines
    assert "66.7%  encode (libparquet.so)" in lines and "33.3%  fsync_wait ([kernel.kallsyms])" in lines
    assert not any("setup_work" in line for line in lines)
