"""Types of the store module."""

from collections.abc import Callable, Iterable, Sequence
from typing import Any, Literal

import pandas as pd

_YearMonth = tuple[str, str] | tuple[None, None]
_Date = str | pd.Timestamp | None

class ParquetDataManager:
    """Pandas DataFrames kept as Parquet files under one root directory.

    Each category is a directory under root_dir, kept either as one whole table
    (<category>/<category>.parquet: update_unstack_category, read_unstack_category) or as one
    file per calendar month with one column per day and one row per series
    (<category>/<category>_YYYY-MM.parquet: update_pivot_category, read_pivot_category).
    Writes merge into what is stored and skip files whose content would not change; every
    file is replaced whole, so readers see the old or the new version. Monthly work runs on
    max_workers threads under a progress bar, and each file written prints one status line.

    Set CORVANE_QUIET=1 to silence the status lines and progress bars; the lines also go to
    the `corvane` logger at INFO.
    """
    root_dir: str
    max_workers: int
    def __init__(self, root_dir: str, max_workers: int = 10) -> None:
        """Initialize with the root directory to store all parquet files.

        root_dir: directory (or s3:// URL) that holds one directory per category; created when missing.
        max_workers: threads that the monthly reads and writes use at most (default 10).
        Returns None.
        """
    def _if_exists_unstack_category(self, category: str) -> bool: ...
    def _if_exists_pivot_category(self, category: str) -> bool: ...
    def _get_category_path(self, category: str) -> str:
        """Create and return the directory path for a specific category, optionally with year and month."""
    @staticmethod
    def GSOI(choice: object, df: pd.DataFrame) -> pd.Index | str:
        """One axis of a frame.

        choice: 1 for the columns, 0 for the index (compared with ==, so True counts as 1).
        df: the DataFrame.
        Returns df.columns, df.index, or for any other choice the message
        "Invalid input. Please enter 1 for columns or 0 for index." (nothing is raised).
        """
    @staticmethod
    def extract_year_month(input_string: str) -> _YearMonth:
        """The year and month in a monthly file's name.

        input_string: a file name such as daily_2024-03.parquet.
        Returns the tuple (year, month) of digit strings, ('2024', '03'), from the first
        "_YYYY-MM." in the name, or (None, None) when it holds none.
        """
    def _get_pivot_year_month(self, category: str) -> list[_YearMonth]: ...
    def _get_pivot_file_path(self, category: str, year: int | str, month: int) -> str:
        """Generate the full file path for a parquet file based on category, year, and month."""
    def _get_unstack_file_path(self, category: str) -> str:
        """Generate the full file path for a parquet file based on category."""
    def update_pivot_category(self, df: pd.DataFrame, category: str, strf: str = "%Y-%m-%d") -> None:
        """多线程更新pivot类型的数据

        df: one row per series, one column per day (labels pd.to_datetime reads); its
            column labels are replaced by the days they stand for.
        category: the category's name (its directory under root_dir).
        strf: strftime format of the day labels written to the month files (default "%Y-%m-%d").
        Returns None. Each month of df is created or merged into its file on the thread pool,
        keeping stored values, and prints one status line.
        """
    def read_pivot_category(
        self,
        category: str,
        start_date: _Date = None,
        end_date: _Date = None,
        column_type: Literal["str", "datetime"] | str = "str",
    ) -> pd.DataFrame:
        """Read all dataframes from a specific category.

        category: the category's name (its directory under root_dir).
        start_date: first day of the range ("YYYY-MM-DD" or a Timestamp); None for the first day
            of the latest stored month.
        end_date: last day of the range, included; None for the last day of the latest stored month.
        column_type: "datetime" for Timestamp day labels; any other value keeps the labels as stored.
        Returns a DataFrame with one row per stored series and one column per stored day of the
        range, ascending; an empty DataFrame when the category holds no month file (a line
        "数据不存在 ..." names the months). ValueError ("读取失败") when start_date is after end_date.
        """
    @staticmethod
    def read_parquet(file_path: str) -> pd.DataFrame:
        """One Parquet file, read whole.

        file_path: path (or s3:// URL) of the file.
        Returns the DataFrame pd.read_parquet gives, read from one version of the file.
        """
    def update_unstack_category(self, category: str, sub_df: pd.DataFrame, key_columns: list[str] = []) -> None:
        """更新unstack数据

        category: the category's name (its directory under root_dir).
        sub_df: the rows to store.
        key_columns: the columns that identify a row (default []): a stored row whose key matches a
            row of sub_df is replaced by it, the last of equal keys winning; other rows are added.
        Returns None. Creates <category>/<category>.parquet or rewrites it merged, and prints one
        status line; a table equal to sub_df is not written.
        """
    def read_unstack_category(self, category: str) -> pd.DataFrame:
        """A category's whole table.

        category: the category's name (its directory under root_dir).
        Returns the DataFrame stored in <category>/<category>.parquet. FileNotFoundError when
        there is none (saying so when the category is kept by month instead).
        """
    @staticmethod
    def update_unstack_df(original_df: pd.DataFrame, new_data: pd.DataFrame, key_columns: list[str]) -> pd.DataFrame:
        """The merge rule of whole tables.

        original_df: the stored table.
        new_data: the incoming rows.
        key_columns: the columns that identify a row (a single name counts as a list of it).
        Returns a new DataFrame: the stored rows whose key no incoming row carries, in their
        places, then the incoming rows (of equal keys, the last).
        """
    @staticmethod
    def update_pivot_parquet(file_path: str, sub_df: pd.DataFrame, date_format: str = "%Y-%m-%d") -> None:
        """更新或创建一个Parquet文件。
        针对某一分区下的Parquet数据进行更新
        参数:
        - file_path: str，Parquet文件的存储路径。
        - sub_df: pd.DataFrame，要合并或存储的新DataFrame。
        - date_format: str，日期列的格式字符串，默认为'%Y-%m-%d'。

        如果Parquet文件存在，函数会尝试合并旧数据和新数据。
        如果列名或数据有差异，合并后的数据将被存储回同一文件。
        如果文件不存在，sub_df将直接保存为新文件。

        file_path: the month file to create or merge into.
        sub_df: the month's days as columns (datetime labels), one row per series.
        date_format: strftime format of the day labels written (default "%Y-%m-%d").
        Returns None. Prints one status line: created, identical (nothing written) or updated.
        """
    @staticmethod
    def run_concurrently(
        tasks: Iterable[Sequence[Any]],
        worker_function: Callable[..., Any],
        max_workers: int = 5,
        task_desc: str = "Processing tasks",
    ) -> list[Any]:
        """One call of worker_function per task on a thread pool, under a progress bar.

        tasks: argument sequences; worker_function(*task) is called once for each.
        worker_function: the function to call.
        max_workers: threads of the pool (default 5).
        task_desc: the progress bar's label (default "Processing tasks").
        Returns the list of results in completion order; the first failure is raised after every
        call has finished.
        """
    def get_download_days(self, category: str, template_date: Iterable[pd.Timestamp]) -> list[Any]:
        """The wanted days the store does not hold yet.

        category: a category kept by month.
        template_date: the wanted days (Timestamps or date strings).
        Returns the list [exists_df, update_dates]: the stored frame over the span of the wanted
        days (string day labels), and the wanted days that it lacks, sorted.
        """
    def overwrite_pivot_category(self, df: pd.DataFrame, category: str, strf: str = "%Y-%m-%d") -> int:
        """Merge df into the monthly files with its non-missing cells replacing stored ones.

        df: one row per series, one column per day, checked as update_pivot_category checks it.
        category: the category's name.
        strf: strftime format of the day labels written (default "%Y-%m-%d").
        Returns the number of stored cells changed (int); each month prints one line.
        """
    def overwrite_unstack_category(
        self, category: str, sub_df: pd.DataFrame, key_columns: list[str] | str | None = None
    ) -> int:
        """Replace the stored rows whose key columns match a row of sub_df.

        category: the category's name.
        sub_df: the new rows; those matching no stored row are added.
        key_columns: the columns that identify a row (a name or a list); None or [] raise ValueError.
        Returns the number of stored rows changed (int).
        """
    def delete_pivot_days(self, category: str, start_date: _Date, end_date: _Date) -> int:
        """Remove the days from start_date to end_date from every monthly file.

        category: the category's name.
        start_date: first day removed (whole days).
        end_date: last day removed, included.
        Returns the number of stored cells removed (int); a month left empty loses its file.
        """
    def delete_pivot_rows(self, category: str, rows: Iterable[Any] | str) -> int:
        """Remove the given series (row labels) from every monthly file.

        category: the category's name.
        rows: a row label or a list of them.
        Returns the number of stored cells removed (int); a month left empty loses its file.
        """
    def delete_unstack_rows(self, category: str, keys: pd.DataFrame) -> int:
        """Remove the table rows whose values in the columns of keys match a row of keys.

        category: the category's name.
        keys: a DataFrame whose columns are the key columns and whose rows are the keys removed.
        Returns the number of table rows removed (int).
        """
    def delete_category(self, category: str) -> int:
        """Remove the category's files and the store's internal state for it.

        category: the category's name.
        Returns the number of files removed (int).
        """
    def list_categories(self) -> list[tuple[str, Literal["pivot", "unstack"]]]:
        """The stored categories as sorted (name, layout) pairs, layout 'pivot' or 'unstack'.

        Returns a list of (str, str) tuples; nothing is created.
        """
    def list_pivot_months(self, category: str) -> list[str]:
        """The sorted YYYY-MM keys of the category's monthly files.

        category: the category's name.
        Returns a list of str, empty when none is stored; nothing is created.
        """
    def read_pivot_rows(
        self,
        category: str,
        rows: Iterable[Any] | str,
        start_date: _Date = None,
        end_date: _Date = None,
        column_type: Literal["str", "datetime"] | str = "str",
    ) -> pd.DataFrame:
        """Read the given series over a date range, reading only their days and rows.

        category: the category's name.
        rows: a row label or a list of them, returned in that order.
        start_date: first day of the range; None for the first day of the latest stored month.
        end_date: last day of the range, included; None for the last day of the latest stored month.
        column_type: "datetime" for Timestamp day labels; any other value keeps them as stored.
        Returns the DataFrame read_pivot_category(...).loc[rows] would give, without the rows no
        month of the range holds.
        """
    def __repr__(self) -> str:
        """The store's class, root directory and worker count.

        Returns a str such as ParquetDataManager(root_dir='data', max_workers=10).
        """
