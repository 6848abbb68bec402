"""Reads of a monthly category as a Dask DataFrame, for stores that outgrow one machine.

Needs the `dask` extra (`pip install "corvane[dask]"`). Every month file is read in a Dask worker,
through a `ParquetDataManager` of the worker's own on the same root, so a local root must be a path
every worker sees (a shared disk), and an `s3://` root needs the `AWS_*` settings in the workers'
environment.
"""

from __future__ import annotations

from typing import Any

try:
    import dask
    import dask.dataframe as dd
except ImportError:  # an optional extra: say which (the original stays as the context)
    raise ImportError('corvane.dask needs Dask: pip install "corvane[dask]"')
import numpy as np
import pandas as pd

from corvane.FrameVault import ParquetDataManager

__all__ = ["read_pivot_category"]

# One store per root and worker process: the store keeps no state between calls, and this spares
# resolving the root for every month.
_stores: dict[str, ParquetDataManager] = {}


def _store(root: str) -> ParquetDataManager:
    if root not in _stores:
        _stores[root] = ParquetDataManager(root)
    return _stores[root]


def _read_month(root: str, category: str, start: str, end: str, column_type: str) -> pd.DataFrame:
    """One stored month cut to [start, end], as the store reads it, transposed: days as rows."""
    frame: pd.DataFrame = _store(root).read_pivot_category(category, start, end, column_type)
    return frame.T


def _month_outline(root: str, category: str, start: str, end: str, column_type: str) -> pd.DataFrame:
    """The month's series and dtypes without its days, so the client learns the columns cheaply."""
    return _read_month(root, category, start, end, column_type).iloc[:0]


def _month_partition(bounds: tuple[str, str], root: str, category: str, column_type: str,
                     outline: pd.DataFrame) -> pd.DataFrame:
    month = _read_month(root, category, *bounds, column_type)
    # Every partition carries every series of the range: a series a month lacks is missing there.
    month = month.reindex(columns=outline.columns)
    return month.astype(outline.dtypes.to_dict())


def _month_bounds(months: list[str], start_date: Any, end_date: Any) -> list[tuple[str, str, str]]:
    """(month, first, last) for each stored month the range overlaps: the caller's own dates in the
    range's first and last month, the month's first and last day in the others."""
    latest = pd.Timestamp(months[-1] + "-01")
    start = pd.Timestamp(start_date) if start_date is not None else latest
    end = pd.Timestamp(end_date) if end_date is not None else latest + pd.offsets.MonthEnd(0)
    first_month, last_month = start.strftime("%Y-%m"), end.strftime("%Y-%m")
    chosen = []
    for month in months:
        if first_month <= month <= last_month:
            month_end = (pd.Timestamp(month + "-01") + pd.offsets.MonthEnd(0)).strftime("%Y-%m-%d")
            low = str(start_date) if month == first_month and start_date is not None else month + "-01"
            high = str(end_date) if month == last_month and end_date is not None else month_end
            chosen.append((month, low, high))
    return chosen


def _stored_labels() -> Any:
    """Dask would turn text labels and values into its own string dtype; the frame keeps the store's."""
    return dask.config.set({"dataframe.convert-string": False})


def _common_dtype(dtypes: list[Any]) -> Any:
    """The dtype pandas gives a column joined from parts of these dtypes, for the usual cases: numbers
    widen (int and float give float), anything else that differs becomes object."""
    if all(dtype == dtypes[0] for dtype in dtypes):
        return dtypes[0]
    if all(isinstance(dtype, np.dtype) and dtype.kind in "iuf" for dtype in dtypes):
        return np.result_type(*dtypes)
    return np.dtype(object)


def _union_columns(outlines: list[pd.DataFrame]) -> pd.DataFrame:
    """An empty frame holding the series of all months, in the order the store's own read gives them,
    each with the dtype the months' values share (float where a month lacks the series)."""
    columns = pd.concat([pd.DataFrame(index=outline.columns) for outline in outlines], axis=1).index
    dtypes = []
    for label in columns:
        found = [outline.dtypes[label] for outline in outlines if label in outline.columns]
        if len(found) < len(outlines):
            found.append(np.dtype("float64"))
        dtypes.append(_common_dtype(found))
    meta = pd.DataFrame({position: pd.Series(dtype=dtype) for position, dtype in enumerate(dtypes)},
                        index=outlines[0].index)
    meta.columns = columns
    return meta


def read_pivot_category(root: str, category: str, start_date: Any = None, end_date: Any = None,
                        column_type: str = "str") -> dd.DataFrame:
    """A monthly category as a Dask DataFrame with one partition per stored month of the range.

    The frame is transposed against the store's: one row per day and one column per series, so that
    Dask can split it by months (days are rows in it, and each month's days are its own partition).
    ``read_pivot_category(root, category, start, end).compute()`` equals
    ``ParquetDataManager(root).read_pivot_category(category, start, end).T``.

    Parameters
    ----------
    root : the store's root directory (one every worker can reach) or ``s3://bucket/prefix``.
    category : the monthly category.
    start_date, end_date : the range, as for the store's read: every month it overlaps is read and
        the days are cut to it; None means the first or last day of the latest stored month.
    column_type : "datetime" gives timestamp day labels (and partition bounds Dask knows, so
        ``.loc`` on days reads only the months it needs); any other value keeps the stored labels.

    Returns a ``dask.dataframe.DataFrame``. Building it reads each month once in the workers to
    learn its series (the columns every partition must carry); computing it reads the months again,
    one task per month. With no stored month in the range, the store's own read runs on the calling
    thread and gives its result (or its error) as one partition.
    """
    store = ParquetDataManager(root)
    months = store.list_pivot_months(category)
    try:
        chosen = _month_bounds(months, start_date, end_date) if months else []
    except (ValueError, TypeError):
        chosen = []  # a date that is not one: the store's read says so in its own words below
    if not chosen:
        whole = store.read_pivot_category(category, start_date, end_date, column_type)
        with _stored_labels():
            return dd.from_pandas(whole.T, npartitions=1)
    outline_tasks = [dask.delayed(_month_outline, pure=True)(root, category, low, high, column_type)
                     for _, low, high in chosen]
    outlines: list[pd.DataFrame] = list(dask.compute(*outline_tasks))
    meta = _union_columns(outlines)
    divisions = None
    if column_type == "datetime":
        last = pd.Timestamp(chosen[-1][0] + "-01") + pd.offsets.MonthEnd(0) + pd.Timedelta(days=1)
        divisions = [pd.Timestamp(month + "-01") for month, _, _ in chosen] + [last - pd.Timedelta(1)]
    with _stored_labels():
        return dd.from_map(_month_partition, [(low, high) for _, low, high in chosen], root=root, category=category,
                           column_type=column_type, outline=meta, meta=meta, divisions=divisions,
                           label="corvane-month", enforce_metadata=False)
