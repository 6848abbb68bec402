"""The system calls of a real process, as strace records them, for tests of what reaches the disk and
in which order. A call that another thread interrupted is joined back into one: it began at `start`
and returned at `end` (line numbers of the trace, so comparable across threads)."""

import re
import shutil
import subprocess
import sys
from dataclasses import dataclass

import pytest

START = re.compile(r"^(\d+) +(\w+)\((.*)$")
RESUMED = re.compile(r"^(\d+) +<\.\.\. (\w+) resumed>(.*)$")
UNFINISHED = " <unfinished ...>"
DESCRIPTOR = re.compile(r"^(\d+)<(.*?)>")


@dataclass
class Call:
    thread: str
    name: str
    text: str  # arguments and result
    start: int
    end: int

    def strings(self):
        """The quoted arguments: paths of a rename or linkat, the bytes of a write."""
        return self.text.split('"')[1::2]

    def descriptor(self):
        """(number, path) of the first argument when it is a descriptor (strace -y)."""
        found = DESCRIPTOR.match(self.text)
        return (found.group(1), found.group(2)) if found else (None, None)


def parse(text):
    calls, pending = [], {}
    for number, line in enumerate(text.splitlines()):
        resumed = RESUMED.match(line)
        if resumed and resumed.group(1) in pending:
            call = pending.pop(resumed.group(1))
            call.text += resumed.group(3)
            call.end = number
            continue
        started = START.match(line)
        if started is None:
            continue  # signals, exits
        thread, name, rest = started.groups()
        call = Call(thread, name, rest, number, number)
        if rest.endswith(UNFINISHED):
            call.text = rest[: -len(UNFINISHED)]
            pending[thread] = call
        calls.append(call)
    return calls


def trace(tmp_path, script, calls):
    """The calls named (strace's trace= list) of `script`, run by a fresh unbuffered interpreter, in
    the order they began."""
    if shutil.which("strace") is None:
        pytest.skip("strace is not installed")
    out = tmp_path / "trace"
    run = subprocess.run(["strace", "-f", "-y", "-qq", "-s", "400", "-o", str(out), "-e", "trace=" + ",".join(calls),
                          sys.executable, "-u", "-c", script], capture_output=True, text=True)
    if run.returncode != 0 and "ptrace" in run.stderr:
        pytest.skip(f"tracing is not allowed here: {run.stderr.strip()}")
    assert run.returncode == 0, run.stderr
    return parse(out.read_text())


SYNCS = ("fsync", "fdatasync")


def fsynced_before(calls, rename):
    """Whether the file that `rename` moves was fsynced by the renaming thread before the rename: through
    its name, or through the descriptor that a linkat gave that name (a file made unnamed, then linked)."""
    temporary = rename.strings()[0]
    for call in calls:
        if call.thread != rename.thread or call.end >= rename.start or call.name not in SYNCS:
            continue
        number, path = call.descriptor()
        if path == temporary:
            return True
        linked = [link for link in calls if link.name == "linkat" and link.thread == rename.thread
                  and link.strings()[1:2] == [temporary] and link.end < call.start]
        if any(link.strings()[0] == f"/proc/self/fd/{number}" for link in linked):
            return True
    return False


def directory_syncs(calls, directory):
    return [call for call in calls if call.name in SYNCS and call.descriptor()[1] == str(directory)]


def parquet_renames(calls):
    """Renames of the store's temporary files over Parquet files (digest records are renamed too)."""
    return [call for call in calls if call.name.startswith("rename") and len(call.strings()) >= 2
            and ".corvane-write-" in call.strings()[0] and call.strings()[1].endswith(".parquet")]
