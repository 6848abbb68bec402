"""A write that fails keeps the old file byte for byte, leaves no temporary file and raises, also from
the pool; dead writers' leftovers are removed; every replace is fsynced on both sides."""

import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pandas as pd
import pyarrow.parquet
import pytest

import syscall_trace

MONTH = "2024-03"


def month_update(store, value=2.0):
    store.update_pivot_category(pd.DataFrame({"2024-03-04": [1.0], "2024-03-05": [value]}, index=["b"]), "daily")


def table_update(store, value=2.0):
    store.update_unstack_category("table", pd.DataFrame({"id": [2], "v": [value]}), ["id"])


UPDATES = {"month": month_update, "table": table_update}


def write_first_rows(store):
    store.update_pivot_category(pd.DataFrame({"2024-03-04": [1.0]}, index=["a"]), "daily")
    store.update_unstack_category("table", pd.DataFrame({"id": [1], "v": [1.0]}), ["id"])


@pytest.fixture
def stored(store):
    """Both kinds of file written once; returns {kind: (path, bytes)}."""
    write_first_rows(store)
    paths = {"month": store._get_pivot_file_path("daily", 2024, 3), "table": store._get_unstack_file_path("table")}
    return {kind: (path, Path(path).read_bytes()) for kind, path in paths.items()}


def assert_untouched(stored, kind):
    path, before = stored[kind]
    assert Path(path).read_bytes() == before
    assert os.listdir(os.path.dirname(path)) == [os.path.basename(path)]


def half_write(frame, target, *args, **kwargs):
    with open(target, "wb") as handle:
        handle.write(b"PAR1 half a file")
    raise OSError("the writer failed midway")


@pytest.mark.parametrize("kind", UPDATES)
@pytest.mark.parametrize("fault", ["writer-fails-midway", "value-pyarrow-cannot-convert"])
def test_failing_writer(store, stored, monkeypatch, kind, fault):
    if fault == "writer-fails-midway":
        # The library writers fail here; the store's own writer fails in the size-limit test below.
        monkeypatch.setenv("CORVANE_NATIVE", "0")
        monkeypatch.setattr(pd.DataFrame, "to_parquet", half_write)
        monkeypatch.setattr(pyarrow.parquet, "write_table", half_write)
        value, error = 2.0, OSError
    else:
        value, error = object(), Exception  # pyarrow's own conversion error
    with pytest.raises(error):
        UPDATES[kind](store, value)
    assert_untouched(stored, kind)


SIZE_LIMITED_UPDATE = """
import resource, signal, sys, pandas as pd
from corvane.FrameVault import ParquetDataManager
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))
frame = pd.DataFrame({"2024-03-04": [1.0, 3.0], "2024-03-05": [2.0, None]}, index=["b", "c"])
try:
    ParquetDataManager(sys.argv[1]).update_pivot_category(frame, "daily")
except OSError as error:
    print("OSError:", error)
"""


def test_the_stores_own_writer_failing_midway_leaves_the_month_as_it_was(store, stored, root):
    """Files may grow to 100 bytes only: the month file's encoder fails partway through its temporary file."""
    done = subprocess.run([sys.executable, "-c", SIZE_LIMITED_UPDATE, root], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert "OSError: cannot write" in done.stdout and "File too large" in done.stdout
    assert_untouched(stored, "month")


@pytest.fixture
def read_only_directories():
    """Makes directories refuse new entries: chmod for a user, the immutable flag for root (whom
    permissions do not stop)."""
    changed = []

    def refuse(directory):
        if os.geteuid() != 0:
            os.chmod(directory, 0o555)
        elif shutil.which("chattr") is None or subprocess.run(["chattr", "+i", directory]).returncode != 0:
            pytest.skip("root, and the file system has no immutable flag")
        changed.append(directory)

    yield refuse
    for directory in changed:
        if os.geteuid() != 0:
            os.chmod(directory, 0o755)
        else:
            subprocess.run(["chattr", "-i", directory], check=True)


@pytest.mark.parametrize("kind", UPDATES)
def test_directory_refusing_writes(store, stored, read_only_directories, kind):
    directory = os.path.dirname(stored[kind][0])
    read_only_directories(directory)
    with pytest.raises(PermissionError) as raised:
        UPDATES[kind](store)
    assert os.path.dirname(os.path.abspath(raised.value.filename)) == os.path.abspath(directory)
    assert_untouched(stored, kind)


@pytest.fixture
def small_disk(tmp_path):
    """A 1 MiB tmpfs, for a real disk-full; skipped where mounting is not allowed."""
    mount_point = tmp_path / "small"
    mount_point.mkdir()
    if shutil.which("mount") is None or subprocess.run(
            ["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(mount_point)], capture_output=True).returncode != 0:
        pytest.skip("mounting a tmpfs is not allowed here")
    yield mount_point
    subprocess.run(["umount", str(mount_point)], check=True)


@pytest.mark.parametrize("kind", UPDATES)
def test_disk_full(store_cls, small_disk, kind):
    store = store_cls(str(small_disk / "data"))
    paths = {"month": store._get_pivot_file_path("daily", 2024, 3), "table": store._get_unstack_file_path("table")}
    write_first_rows(store)
    before = Path(paths[kind]).read_bytes()
    with open(small_disk / "filler", "wb", buffering=0) as filler, pytest.raises(OSError, match="No space left"):
        while True:
            filler.write(b"\0" * 4096)
    with pytest.raises(OSError, match="No space left"):
        UPDATES[kind](store, 3.0)
    assert Path(paths[kind]).read_bytes() == before
    assert os.listdir(os.path.dirname(paths[kind])) == [os.path.basename(paths[kind])]


HOLD_LOCKS = ("import fcntl, sys, time\nfiles = [open(path, 'a') for path in sys.argv[1:]]\n"
              "for f in files: fcntl.flock(f, fcntl.LOCK_EX)\nprint('held', flush=True)\ntime.sleep(600)")


def test_leftovers_are_removed_only_when_no_writer_holds_their_lock(store, stored):
    """A live writer holds an flock on its temporary file; the pid in the name says nothing across pid
    namespaces, so a locked file named with a pid unknown here (a stand-in for a writer in a
    container) stays, and an unlocked one goes whatever pid it names."""
    directory = Path(stored["table"][0]).parent
    names = {
        "unlocked, named after a live process": f".corvane-write-{os.getpid()}-1-0.tmp",
        "unlocked, writer gone": ".corvane-write-999999999-1-0.tmp",
        "locked, pid unknown here": ".corvane-write-999999998-1-0.tmp",
        "locked but untouched for 2 days": ".corvane-write-999999997-1-0.tmp",
        "not ours": ".corvane-write-notes.txt",
    }
    for name in names.values():
        (directory / name).write_bytes(b"partial")
    stale = time.time() - 2 * 24 * 3600
    os.utime(directory / names["locked but untouched for 2 days"], (stale, stale))
    locked = [str(directory / names[key]) for key in ("locked, pid unknown here", "locked but untouched for 2 days")]
    holder = subprocess.Popen([sys.executable, "-c", HOLD_LOCKS, *locked], stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "held\n"
        table_update(store)
    finally:
        holder.kill()
        holder.wait()
        holder.stdout.close()
    assert sorted(os.listdir(directory)) == sorted([names["locked, pid unknown here"], names["not ours"],
                                                    "table.parquet"])


# In a pid namespace of its own (as in a container), a writer that has written its temporary file
# and not yet renamed it: its pid (chosen to be free on the host) names no process here.
PAUSED_WRITER = """
import os, sys, time, pandas as pd, pyarrow.parquet as pq
from corvane.FrameVault import ParquetDataManager
root, started, go = sys.argv[1:]
def then_pause(write):
    def write_then_pause(data, path, *args, **kwargs):
        write(data, path, *args, **kwargs)
        open(started, "w").close()
        while not os.path.exists(go):
            time.sleep(0.02)
    return write_then_pause
# Through pandas, whose writer can be paused here.
os.environ["CORVANE_NATIVE"] = "0"
pd.DataFrame.to_parquet = then_pause(pd.DataFrame.to_parquet)
pq.write_table = then_pause(pq.write_table)
ParquetDataManager(root).update_pivot_category(pd.DataFrame({"2024-03-04": [7.0]}, index=["c"]), "daily")
"""


def test_a_writer_in_another_pid_namespace_keeps_its_temporary_file(store, root, tmp_path):
    unshare = ["unshare", "--pid", "--fork", "--mount-proc"]
    if shutil.which("unshare") is None or subprocess.run([*unshare, "true"], capture_output=True).returncode != 0:
        pytest.skip("no new pid namespaces here (needs root); the stand-in of the leftovers test covers the cleanup")
    pid = next(pid for pid in range(30000, 4000000) if not os.path.exists(f"/proc/{pid}"))
    started, go = tmp_path / "started", tmp_path / "go"
    command = (f"echo {pid - 1} > /proc/sys/kernel/ns_last_pid; "
               f"{sys.executable} -c '{PAUSED_WRITER}' {root} {started} {go}; exit $?")
    writer = subprocess.Popen([*unshare, "sh", "-c", command], stderr=subprocess.PIPE, text=True)
    try:
        while not started.exists():
            assert writer.poll() is None, writer.stderr.read()
            time.sleep(0.02)
        directory = Path(root) / "daily"
        assert [name for name in os.listdir(directory) if name.startswith(f".corvane-write-{pid}-")]
        # Another month of the same category: its write cleans the directory up first.
        store.update_pivot_category(pd.DataFrame({"2024-04-01": [1.0]}, index=["a"]), "daily")
        go.touch()
        assert writer.wait(timeout=120) == 0, writer.stderr.read()
    finally:
        go.touch()
        writer.kill()
        writer.wait()
        writer.stderr.close()
    assert store.read_pivot_category("daily", "2024-03-01", "2024-03-31").loc["c"].tolist() == [7.0]


def test_every_replace_is_fsynced_before_and_after(tmp_path):
    """Without a power cut to hand: trace the system calls of one process that creates and merges
    a table and writes two months, and check the order fsync(temporary), rename, fsync(directory)."""
    root = tmp_path / "data"
    script = (
        "import pandas as pd; from corvane.FrameVault import ParquetDataManager as P; s = P(%r);"
        "s.update_unstack_category('t', pd.DataFrame({'k': [1]}), ['k']);"
        "s.update_unstack_category('t', pd.DataFrame({'k': [2]}), ['k']);"
        "s.update_pivot_category(pd.DataFrame({'2024-01-31': [1.0], '2024-02-01': [2.0]}), 'daily')" % str(root)
    )
    calls = syscall_trace.trace(tmp_path, script, ["fsync", "fdatasync", "rename", "renameat", "renameat2", "linkat"])
    renames = syscall_trace.parquet_renames(calls)
    assert len(renames) == 4, calls
    for rename in renames:
        target = rename.strings()[1]
        assert syscall_trace.fsynced_before(calls, rename), (rename, calls)
        assert any(sync.start > rename.end for sync in syscall_trace.directory_syncs(calls, os.path.dirname(target))), \
            (target, calls)
