"""The thread-pool runner: results in completion order, failures after every call has finished."""

import threading
import time

import pytest

import corvane.FrameVault as FrameVault


@pytest.fixture
def bars(monkeypatch):
    """Every progress bar the runner opens, with the arguments it passed."""
    opened = []
    real = FrameVault.tqdm

    def recording_tqdm(iterable, **kwargs):
        opened.append(kwargs)
        return real(iterable, **kwargs)

    monkeypatch.setattr(FrameVault, "tqdm", recording_tqdm)
    return opened


@pytest.mark.parametrize(
    "tasks, kwargs, expected, bar",
    [
        ([], {}, [], {"total": 0, "desc": "Processing tasks"}),
        ([[2, 3], [3, 2]], {"task_desc": "pow"}, [8, 9], {"total": 2, "desc": "pow"}),
        ([(2, 3), (2, 3)], {"max_workers": 1}, [8, 8], {"total": 2, "desc": "Processing tasks"}),
    ],
)
def test_results_and_bar(store_cls, bars, tasks, kwargs, expected, bar):
    assert sorted(store_cls.run_concurrently(tasks, pow, **kwargs)) == expected
    assert bars == [bar]


def test_results_arrive_in_completion_order(store_cls):
    def sleep_then_return(delay, value):
        time.sleep(delay)
        return value

    tasks = [(0.3, "first"), (0.15, "second"), (0.0, "third")]
    assert store_cls.run_concurrently(tasks, sleep_then_return, max_workers=3) == ["third", "second", "first"]


def test_one_worker_runs_tasks_in_submission_order(store_cls):
    seen = []

    def record(value):
        seen.append((value, threading.get_ident()))
        return value

    store_cls.run_concurrently([(n,) for n in range(6)], record, max_workers=1)
    assert [value for value, _ in seen] == list(range(6))
    assert len({thread for _, thread in seen}) == 1


def test_failure_surfaces_after_the_other_calls_finish(store_cls):
    finished = []

    def work(n):
        if n == 0:
            raise KeyError("boom")
        time.sleep(0.1)
        finished.append(n)
        return n

    with pytest.raises(KeyError, match="boom"):
        store_cls.run_concurrently([(n,) for n in range(4)], work, max_workers=4)
    assert sorted(finished) == [1, 2, 3]
