"""Status lines reach standard output whole, even from many threads and beside a drawing bar."""

import re
import subprocess
import sys
import textwrap

import pandas as pd
import pytest

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


WRITE_WHILE_HOLDING = """
import sys
import pandas as pd
from tqdm import tqdm
from corvane.FrameVault import ParquetDataManager

store = ParquetDataManager(sys.argv[1], max_workers=4)
frame = pd.DataFrame([[1.0] * 3], columns=["2024-01-31", "2024-02-01", "2024-03-01"])
with {holding}:
    store.update_pivot_category(frame.copy(), "close")
print("returned")
"""


@pytest.mark.parametrize("holding", ["tqdm.external_write_mode()", "tqdm.get_lock()"])
def test_months_written_while_the_caller_holds_tqdms_lock(tmp_path, holding):
    # The pool's lines must not wait for a lock that the caller, waiting for the pool, holds.
    code = WRITE_WHILE_HOLDING.format(holding=holding)
    done = subprocess.run([sys.executable, "-c", code, str(tmp_path / "store")], capture_output=True,
                          text=True, timeout=120)
    assert (done.returncode, done.stdout.count("Initializing"), done.stdout.splitlines()[-1:]) == (
        0, 3, ["returned"]), done.stderr


KILLED_MID_LINE = """
import builtins, os, signal, sys
import pandas as pd
from tqdm import tqdm
from corvane.FrameVault import ParquetDataManager

tqdm.get_lock()  # tqdm's lock, shared with forked children, exists before the fork
frame = pd.DataFrame({"2024-01-02": [1.0]})
ready_read, ready_write = os.pipe()
child = os.fork()
if child == 0:
    def stuck(*args, **kwargs):
        os.write(ready_write, b"x")
        signal.pause()
    builtins.print = stuck
    ParquetDataManager.update_pivot_parquet(sys.argv[1] + "/child.parquet", frame)
    os._exit(0)
os.read(ready_read, 1)
os.kill(child, signal.SIGKILL)
os.waitpid(child, 0)
ParquetDataManager.update_pivot_parquet(sys.argv[1] + "/parent.parquet", frame)
for _ in tqdm(range(3), desc="after the kill"):
    pass
print("returned")
"""


def test_a_child_killed_mid_line_leaves_the_parent_printing(tmp_path):
    done = subprocess.run([sys.executable, "-c", KILLED_MID_LINE, str(tmp_path)], capture_output=True,
                          text=True, timeout=120)
    assert (done.returncode, done.stdout.splitlines()) == (
        0, [f"{tmp_path}/parent.parquet: Initializing: Shape (1, 1) From 2024-01-02 To 2024-01-02",
            "returned"]), done.stderr
    assert "after the kill: 100%" in done.stderr


def test_each_line_is_one_call_of_print_with_one_string(tmp_path, monkeypatch):
    import builtins

    from corvane.FrameVault import ParquetDataManager

    calls = []

    def one_argument(text=None):
        calls.append(text)

    path = str(tmp_path / "m.parquet")
    monkeypatch.setattr(builtins, "print", one_argument)
    ParquetDataManager.update_pivot_parquet(path, pd.DataFrame({"2024-01-02": [1.0]}))
    ParquetDataManager.update_pivot_parquet(path, pd.DataFrame({"2024-01-03": [2.0]}))
    store = ParquetDataManager(str(tmp_path / "root"))
    store.update_unstack_category("t", pd.DataFrame({"k": [1]}), ["k"])
    table = str(tmp_path / "root" / "t" / "t.parquet")
    assert calls == [
        f"{path}: Initializing: Shape (1, 1) From 2024-01-02 To 2024-01-02",
        f"{path}: UpdatingDF  From 2024-01-02 To 2024-01-03 Total Shape (1, 2)",
        None,
        f"{table}: 初始化 Unstack Parquet",
    ]


BARS_COME_AND_GO = """
import sys, threading
from tqdm import tqdm
from corvane.CVClient import timing_decorator

timed = timing_decorator(lambda: None)
errors, done = [], threading.Event()

def lines():
    for _ in range(1000):
        try:
            timed()
        except Exception as error:
            errors.append(repr(error))

def bars():
    while not done.is_set():
        for bar in [tqdm(total=1) for _ in range(20)]:
            bar.close()

churn = threading.Thread(target=bars)
churn.start()
printers = [threading.Thread(target=lines) for _ in range(4)]
for thread in printers:
    thread.start()
for thread in printers:
    thread.join()
done.set()
churn.join()
# On standard output, where every status line ends its line: the bars write cursor moves to stderr.
print("errors", errors[:3])
"""


def test_lines_go_out_while_other_threads_open_and_close_bars(tmp_path):
    # Bars are cleared without tqdm's lock, so its list of bars may change under the walk.
    done = subprocess.run([sys.executable, "-c", BARS_COME_AND_GO], capture_output=True, text=True, timeout=300)
    assert (done.returncode, done.stdout.count(" Running: "), done.stdout.splitlines()[-1]) == (0, 4000, "errors []")
