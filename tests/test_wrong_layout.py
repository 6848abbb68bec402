"""Reading a category by the layout it is not kept in says which layout it is kept in."""

import os

import numpy as np
import pandas as pd
import pytest


@pytest.fixture
def both_layouts(store, capsys):
    days = pd.date_range("2024-01-01", "2024-02-29")
    store.update_pivot_category(pd.DataFrame(np.ones((2, len(days))), index=["a", "b"], columns=days), "daily")
    store.update_unstack_category("instruments", pd.DataFrame({"order_book_id": ["a"], "listed": ["2010-01-04"]}),
                                  ["order_book_id"])
    capsys.readouterr()
    return store


def snapshot(root):
    return sorted((d, f, os.stat(os.path.join(d, f)).st_mtime_ns) for d, _, files in os.walk(root) for f in files)


@pytest.mark.parametrize("read, error, reason", [
    (lambda s: s.read_unstack_category("daily"), FileNotFoundError,
     r"daily\.parquet.*: category 'daily' is kept by month \(2 month files, 2024-01 to 2024-02\), "
     r"not as a whole table: read it with read_pivot_category"),
    (lambda s: s.read_pivot_category("instruments"), ValueError,
     r"category 'instruments' under '.*' is a whole table \(instruments\.parquet\), not kept by month: "
     r"read it with read_unstack_category"),
    (lambda s: s.read_pivot_category("instruments", end_date="2024-01-31"), ValueError,
     r"is a whole table \(instruments\.parquet\), not kept by month"),
    # Neither layout: the name is the likelier mistake, and the message says what is missing.
    (lambda s: s.read_pivot_category("nosuch"), ValueError, r"category 'nosuch' under '.*' holds no month files"),
], ids=["table read of a monthly category", "monthly read of a table", "monthly read of a table, one date",
        "monthly read of nothing"])
def test_the_error_names_the_layout_kept(both_layouts, root, read, error, reason):
    before = snapshot(root)
    with pytest.raises(error, match=reason):
        read(both_layouts)
    assert [entry for entry in snapshot(root) if entry[1].endswith(".parquet")] == [
        entry for entry in before if entry[1].endswith(".parquet")]


def test_a_missing_table_without_months_keeps_the_plain_error(store):
    with pytest.raises(FileNotFoundError) as raised:
        store.read_unstack_category("nosuch")
    assert "kept by month" not in str(raised.value)
