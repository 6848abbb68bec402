"""Status lines reach standard output whole, even from many threads and beside a drawing bar."""

import re
import subprocess
import sys
import textwrap

THREADS, CALLS = 16, 150

TIMED_FROM_THREADS = f"""
import threading
from corvane.CVClient import timing_decorator

timed = timing_decorator(lambda: None)
threads = [threading.Thread(target=lambda: [timed() for _ in range({CALLS})]) for _ in range({THREADS})]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
"""

MONTHS_UNDER_A_BAR = """
import sys
import pandas as pd
from corvane.FrameVault import ParquetDataManager

days = pd.bdate_range("2020-01-01", "2021-12-31")
frame = pd.DataFrame([[1.0] * len(days)] * 3, columns=days.strftime("%Y-%m-%d"))
store = ParquetDataManager(sys.argv[1], max_workers=8)
store.update_pivot_category(frame.copy(), "close")
store.update_pivot_category(frame.copy(), "close")
"""


def run_to_file(code, path, *args):
    with open(path, "wb") as out:
        subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], stdout=out,
                       stderr=subprocess.STDOUT, check=True)
    return path.read_text()


def test_lines_from_many_threads_never_run_together(tmp_path):
    lines = run_to_file(TIMED_FROM_THREADS, tmp_path / "out.txt").split("\n")
    assert lines[-1] == ""
    glued = [line for line in lines[:-1] if not re.fullmatch(r"<lambda> Running: \d+\.\d{3} Seconds", line)]
    assert (len(lines) - 1, glued) == (THREADS * CALLS, [])


def test_each_line_starts_fresh_beside_a_progress_bar(tmp_path):
    output = run_to_file(MONTHS_UNDER_A_BAR, tmp_path / "out.txt", tmp_path / "store")
    starts = [match.start() for match in re.finditer(re.escape(str(tmp_path / "store")), output)]
    assert len(starts) == 2 * 24
    # A status line begins at the start of the output or right after a line break or the bar's
    # carriage return, never glued to the tail of a bar.
    assert [output[start - 1] for start in starts if start > 0 and output[start - 1] not in "\r\n"] == []
    assert "Updating close: 100%" in output
