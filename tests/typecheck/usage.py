"""What a typed script does with corvane; `mypy --strict` must accept it as it stands."""

import pandas as pd

from corvane.CVClient import CorvaneClient, timing_decorator
from corvane.FrameVault import ParquetDataManager


@timing_decorator
def latest_close(store: ParquetDataManager, category: str) -> pd.DataFrame:
    return store.read_pivot_category(category, "2024-01-01", "2024-03-31", column_type="datetime")


def sync(client: CorvaneClient) -> int:
    client.UpdateUnstackParquet("instruments")
    client.UpdatePivotParquet("close", "2024-01-01", "2024-03-31", strf="%Y-%m-%d")
    table: pd.DataFrame = client.GetUnstackCategory("instruments")
    months: pd.DataFrame = client.GetPivotCategory("close", None, "2024-03-31")
    return len(table) + len(months.columns)


def plan(store: ParquetDataManager) -> list[object]:
    store.update_unstack_category("instruments", pd.DataFrame({"k": [1]}), key_columns=["k"])
    year, month = ParquetDataManager.extract_year_month("close_2024-03.parquet")
    path: str = store._get_pivot_file_path("close", 2024, 3)
    squares = ParquetDataManager.run_concurrently([(2,), (3,)], lambda x: x * x, max_workers=2)
    stored, missing = store.get_download_days("close", pd.bdate_range("2024-01-01", "2024-01-31"))
    return [year, month, path, squares, stored, missing, latest_close(store, "close")]


def curate(store: ParquetDataManager, client: CorvaneClient) -> list[object]:
    changed: int = store.overwrite_pivot_category(pd.DataFrame({"2024-03-04": [1.0]}, index=["a"]), "close")
    changed += store.overwrite_unstack_category("instruments", pd.DataFrame({"k": [1]}), key_columns=["k"])
    changed += client.CorrectPivotParquet("close", "2024-03-01", "2024-03-31")
    removed = store.delete_pivot_days("close", "2024-03-04", "2024-03-04") + store.delete_pivot_rows("close", ["a"])
    removed += store.delete_unstack_rows("instruments", pd.DataFrame({"k": [1]})) + store.delete_category("old")
    layouts = [layout for _, layout in store.list_categories()]
    months: list[str] = store.list_pivot_months("close")
    series: pd.DataFrame = store.read_pivot_rows("close", ["a"], "2024-01-01", None, column_type="datetime")
    return [changed, removed, layouts, months, series]
