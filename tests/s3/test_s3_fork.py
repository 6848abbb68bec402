"""A process that used an s3:// root and then forks (Linux's default start method, ProcessPoolExecutor's
included) gets a child whose store calls work: the parent's client threads are not in the child."""

import concurrent.futures
import multiprocessing
import os
import time

import pandas as pd
import pytest

from corvane.FrameVault import ParquetDataManager

# Far beyond what a write and a read take; a child past it is hung, not slow.
HUNG_AFTER = 120


def month(value):
    return pd.DataFrame({"2024-03-01": [value], "2024-03-04": [value + 1]}, index=["a"])


def write_and_read(root, value):
    store = ParquetDataManager(root)
    store.update_unstack_category(f"t{value}", pd.DataFrame({"id": [value]}), key_columns=["id"])
    store.update_pivot_category(month(float(value)), f"m{value}")
    return (store.read_unstack_category("seen")["id"].tolist(),
            store.read_pivot_category(f"m{value}", "2024-03-01", "2024-03-31").iloc[0].tolist())


def in_forked_child(work, *args):
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        try:
            os.write(write, repr(work(*args)).encode())
        finally:
            os._exit(0)
    os.close(write)
    deadline = time.monotonic() + HUNG_AFTER
    while os.waitpid(pid, os.WNOHANG) == (0, 0):
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            pytest.fail("the forked child hung at its first store call")
        time.sleep(0.05)
    with os.fdopen(read, "rb") as answer:
        return eval(answer.read().decode())


def in_fork_pool(work, *args):
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("fork")) as pool:
        return pool.submit(work, *args).result(timeout=HUNG_AFTER)


def and_its_child(root, value):
    # The child forks in turn after its own calls: the grandchild needs a client of its own too.
    return [write_and_read(root, value), in_forked_child(write_and_read, root, value + 1)]


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded, use of fork:DeprecationWarning")
@pytest.mark.parametrize("run", [in_forked_child, in_fork_pool])
def test_a_child_forked_after_s3_use_reads_and_writes(s3_root, run):
    parent = ParquetDataManager(s3_root)
    parent.update_unstack_category("seen", pd.DataFrame({"id": [7]}), key_columns=["id"])
    assert parent.read_unstack_category("seen")["id"].tolist() == [7]  # the parent's client is in use
    assert run(and_its_child, s3_root, 1) == [([7], [1.0, 2.0]), ([7], [2.0, 3.0])]
    assert parent.read_pivot_category("m2", "2024-03-01", "2024-03-31").iloc[0].tolist() == [2.0, 3.0]
