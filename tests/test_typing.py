"""The shipped stubs agree with the modules and catch a typed script's mistakes."""

import subprocess
import sys
from pathlib import Path

import pytest

USAGE = Path(__file__).parent / "typecheck" / "usage.py"

MISTAKES = """\
from corvane.CVClient import CorvaneClient
from corvane.FrameVault import ParquetDataManager

store = ParquetDataManager("data", workers=4)
rows: int = store.read_unstack_category("instruments")
CorvaneClient("a", "t", "data").UpdatePivotParquet("close", 20240101, "2024-03-31")
"""


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    cache = tmp_path_factory.mktemp("mypy-cache")

    def run(*args):
        command = [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), *args]
        return subprocess.run(command, capture_output=True, text=True, cwd=cache)

    return run


def test_stubs_match_the_runtime(tmp_path):
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "corvane"], capture_output=True,
                            text=True, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.startswith("Success: no issues found"), result.stdout


def test_typed_usage_passes_strict_checking(mypy):
    result = mypy(str(USAGE))
    assert result.returncode == 0, result.stdout + result.stderr


def test_mistakes_are_reported(mypy, tmp_path):
    script = tmp_path / "mistakes.py"
    script.write_text(MISTAKES)
    result = mypy(str(script))
    assert result.returncode == 1
    flagged = {int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line}
    assert flagged == {4, 5, 6}, result.stdout
