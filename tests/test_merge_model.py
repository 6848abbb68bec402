"""Random sequences of writes and reads checked against a small model of the merge rules.

Monthly categories: stored values win, new cells fill holes, new rows and days are added, rows
without any value are never stored; an overwrite lets new values win; deletes of days or rows take
them out, and a month left without days or rows loses its file. Whole tables: an upsert by key (or by all values without key
columns), the last of equal incoming rows winning, other stored rows kept as they were.
"""

import tempfile

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvane.FrameVault as FrameVault

BIG = 2**53 + 1
DAYS = ["2023-12-30", "2023-12-31", "2024-01-01", "2024-01-31", "2024-02-01", "2024-02-29"]
ROWS = ["r1", "r2", "r3"]
VALUES = st.one_of(st.none(), st.sampled_from([0, 1, 7, BIG, -BIG - 2]))


def column(values):
    """A column as a caller would build it: int64 when complete, Int64 when large integers have gaps,
    float64 otherwise."""
    if None not in values:
        return pd.array(values, dtype="int64")
    if any(v is not None and abs(v) > 2**53 for v in values):
        return pd.array(values, dtype="Int64")
    return np.array([np.nan if v is None else float(v) for v in values])


@st.composite
def pivot_frames(draw):
    rows = draw(st.lists(st.sampled_from(ROWS), min_size=1, max_size=3, unique=True))
    days = sorted(draw(st.lists(st.sampled_from(DAYS), min_size=1, max_size=4, unique=True)))
    return {row: {day: draw(VALUES) for day in days} for row in rows}


@st.composite
def table_frames(draw):
    return draw(st.lists(st.tuples(st.sampled_from("abc"), VALUES), min_size=1, max_size=4))


@st.composite
def reads(draw):
    if draw(st.booleans()):
        return None
    start, end = sorted(draw(st.lists(st.sampled_from(DAYS), min_size=2, max_size=2)))
    return start, end


OPERATIONS = st.one_of(
    st.tuples(st.just("update_pivot"), pivot_frames()),
    st.tuples(st.just("overwrite_pivot"), pivot_frames()),
    st.tuples(st.just("delete_days"), st.lists(st.sampled_from(DAYS), min_size=2, max_size=2).map(sorted)),
    st.tuples(st.just("delete_rows"), st.lists(st.sampled_from(ROWS), min_size=1, max_size=2, unique=True)),
    st.tuples(st.just("update_table"), st.sampled_from([["k"], []]), table_frames()),
    st.tuples(st.just("read_pivot"), reads()),
)


def value_of(cell):
    return None if pd.isna(cell) else cell


class Model:
    def __init__(self):
        self.months = {}  # "YYYY-MM" -> {"days": set, "cells": {(row, day): value}, "rows": set}
        self.tables = {}  # key columns as a tuple -> [(label, k, v)]

    def update_pivot(self, cells_by_row):
        days = sorted({day for cells in cells_by_row.values() for day in cells})
        for month in sorted({day[:7] for day in days}):
            month_days = [day for day in days if day[:7] == month]
            stored = self.months.setdefault(month, {"days": set(), "cells": {}, "rows": set()})
            stored["days"].update(month_days)
            for row, cells in cells_by_row.items():
                filled = {day: cells[day] for day in month_days if cells[day] is not None}
                if filled:
                    stored["rows"].add(row)
                for day, value in filled.items():
                    stored["cells"].setdefault((row, day), value)

    def overwrite_pivot(self, cells_by_row):
        days = sorted({day for cells in cells_by_row.values() for day in cells})
        for month in sorted({day[:7] for day in days}):
            month_days = [day for day in days if day[:7] == month]
            filled = {(row, day): cells[day] for row, cells in cells_by_row.items() for day in month_days
                      if cells[day] is not None}
            if month not in self.months and not filled:
                continue  # nothing to write, and no file is made for it
            stored = self.months.setdefault(month, {"days": set(), "cells": {}, "rows": set()})
            stored["days"].update(month_days)
            stored["cells"].update(filled)
            stored["rows"].update(row for row, _ in filled)

    def delete_days(self, first, last):
        for month in list(self.months):
            stored = self.months[month]
            doomed = {day for day in stored["days"] if first <= day <= last}
            if not doomed:
                continue
            stored["days"] -= doomed
            stored["cells"] = {cell: value for cell, value in stored["cells"].items() if cell[1] not in doomed}
            stored["rows"] = {row for row, _ in stored["cells"]}
            if not stored["days"]:
                del self.months[month]

    def delete_rows(self, rows):
        for month in list(self.months):
            stored = self.months[month]
            if not stored["rows"] & set(rows):
                continue
            stored["rows"] -= set(rows)
            stored["cells"] = {cell: value for cell, value in stored["cells"].items() if cell[0] not in rows}
            if not stored["rows"]:
                del self.months[month]

    def read_pivot(self, span):
        if span is None:
            month = max(self.months)
            span = (f"{month}-01", (pd.Timestamp(month) + pd.offsets.MonthEnd(0)).strftime("%Y-%m-%d"))
        start, end = span
        read = [m for m in sorted(self.months) if start[:7] <= m <= end[:7]]
        rows = sorted(set().union(*(self.months[m]["rows"] for m in read)))
        days = sorted(day for m in read for day in self.months[m]["days"] if start <= day <= end)
        cells = {}
        for m in read:
            cells.update(self.months[m]["cells"])
        return rows, days, {(row, day): cells.get((row, day)) for row in rows for day in days}

    def update_table(self, keys, incoming, identical):
        rows = [(label, k, v) for label, (k, v) in enumerate(incoming)]
        stored = self.tables.get(tuple(keys))
        if stored is None:
            self.tables[tuple(keys)] = rows
            return
        if identical:
            return

        def identity(row):
            return row[1] if keys else row[1:]

        new_ids = [identity(row) for row in rows]
        survivors = [row for row in stored if identity(row) not in new_ids]
        last_of_each = [row for position, row in enumerate(rows) if identity(row) not in new_ids[position + 1:]]
        self.tables[tuple(keys)] = survivors + last_of_each


def pivot_frame(cells_by_row):
    days = sorted({day for cells in cells_by_row.values() for day in cells})
    return pd.DataFrame({day: column([cells_by_row[row][day] for row in cells_by_row]) for day in days}, index=list(cells_by_row))


def table_name(keys):
    return "keyed" if keys else "plain"


def check_pivot_read(store, model, span):
    if not model.months:
        return
    args = (None, None) if span is None else span
    result = store.read_pivot_category("monthly", *args)
    rows, days, cells = model.read_pivot(span)
    assert sorted(result.index) == rows
    assert result.columns.tolist() == days
    for (row, day), expected in cells.items():
        assert value_of(result.loc[row, day]) == expected, (row, day)


def check_table(store, model, keys):
    result = store.read_unstack_category(table_name(keys))
    actual = [(label, k, value_of(v)) for label, k, v in zip(result.index, result["k"], result["v"])]
    assert actual == model.tables[tuple(keys)]


@pytest.mark.filterwarnings("ignore::tqdm.TqdmWarning")
@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(OPERATIONS, min_size=1, max_size=8))
def test_store_follows_the_merge_model(operations):
    with tempfile.TemporaryDirectory() as root:
        store = FrameVault.ParquetDataManager(root, max_workers=2)
        model = Model()
        for operation in operations:
            kind = operation[0]
            if kind in ("update_pivot", "overwrite_pivot"):
                write = store.update_pivot_category if kind == "update_pivot" else store.overwrite_pivot_category
                write(pivot_frame(operation[1]), "monthly")
                getattr(model, kind)(operation[1])
                check_pivot_read(store, model, None)
            elif kind == "delete_days":
                store.delete_pivot_days("monthly", *operation[1])
                model.delete_days(*operation[1])
                assert store.list_pivot_months("monthly") == sorted(model.months)
                check_pivot_read(store, model, None)
            elif kind == "delete_rows":
                store.delete_pivot_rows("monthly", operation[1])
                model.delete_rows(operation[1])
                assert store.list_pivot_months("monthly") == sorted(model.months)
                check_pivot_read(store, model, None)
            elif kind == "update_table":
                keys, incoming = operation[1], operation[2]
                frame = pd.DataFrame({"k": [k for k, _ in incoming], "v": column([v for _, v in incoming])})
                identical = False
                if store._if_exists_unstack_category(table_name(keys)):
                    identical = bool(store.read_unstack_category(table_name(keys)).equals(frame))
                store.update_unstack_category(table_name(keys), frame, list(keys))
                model.update_table(keys, incoming, identical)
                check_table(store, model, keys)
            else:
                check_pivot_read(store, model, operation[1])
