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
