"""Builds a test driver with the core's sources under AddressSanitizer and UBSan, which abort on the
first bad read; skips the test where no C++ compiler or no core sources are at hand."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
CORE = REPO / "src" / "core"


def sanitized_driver(driver, core_sources, directory):
    """The binary of tests/core/<driver>.cpp linked with src/core/<name>.cpp for each name."""
    compiler = os.environ.get("CXX") or shutil.which("g++") or shutil.which("clang++")
    if compiler is None or not CORE.is_dir():
        pytest.skip("no C++ compiler or no core sources here")
    binary = Path(directory) / driver
    sources = [Path(__file__).with_name(f"{driver}.cpp")] + [CORE / f"{name}.cpp" for name in core_sources]
    subprocess.run([compiler, "-std=c++17", "-O1", "-g", "-fsanitize=address,undefined", "-fno-sanitize-recover=all",
                    "-fno-omit-frame-pointer", f"-I{REPO / 'src'}", *map(str, sources), "-o", str(binary)],
                   check=True, capture_output=True)
    return binary
