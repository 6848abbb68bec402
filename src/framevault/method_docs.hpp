// What help() shows for the store: the class, and each method's parameters and result. Where a
// method carries a fixed docstring of its own, these lines follow it (see native::documented).
// src/corvane/FrameVault.pyi carries the same texts; tests/test_docs.py holds the two together.
#pragma once

namespace corvane::store::docs {

inline constexpr const char *store_class =
    "Pandas DataFrames kept as Parquet files under one root directory.\n"
    "\n"
    "Each category is a directory under root_dir, kept either as one whole table\n"
    "(<category>/<category>.parquet: update_unstack_category, read_unstack_category) or as one\n"
    "file per calendar month with one column per day and one row per series\n"
    "(<category>/<category>_YYYY-MM.parquet: update_pivot_category, read_pivot_category).\n"
    "Writes merge into what is stored and skip files whose content would not change; every\n"
    "file is replaced whole, so readers see the old or the new version. Monthly work runs on\n"
    "max_workers threads under a progress bar, and each file written prints one status line.\n"
    "\n"
    "Set CORVANE_QUIET=1 to silence the status lines and progress bars; the lines also go to\n"
    "the `corvane` logger at INFO.";

inline constexpr const char *init =
    "root_dir: directory (or s3:// URL) that holds one directory per category; created when missing.\n"
    "max_workers: threads that the monthly reads and writes use at most (default 10).\n"
    "Returns None.";

inline constexpr const char *gsoi =
    "One axis of a frame.\n"
    "\n"
    "choice: 1 for the columns, 0 for the index (compared with ==, so True counts as 1).\n"
    "df: the DataFrame.\n"
    "Returns df.columns, df.index, or for any other choice the message\n"
    "\"Invalid input. Please enter 1 for columns or 0 for index.\" (nothing is raised).";

inline constexpr const char *extract_year_month =
    "The year and month in a monthly file's name.\n"
    "\n"
    "input_string: a file name such as daily_2024-03.parquet.\n"
    "Returns the tuple (year, month) of digit strings, ('2024', '03'), from the first\n"
    "\"_YYYY-MM.\" in the name, or (None, None) when it holds none.";

inline constexpr const char *update_pivot_category =
    "df: one row per series, one column per day (labels pd.to_datetime reads); its\n"
    "    column labels are replaced by the days they stand for.\n"
    "category: the category's name (its directory under root_dir).\n"
    "strf: strftime format of the day labels written to the month files (default \"%Y-%m-%d\").\n"
    "Returns None. Each month of df is created or merged into its file on the thread pool,\n"
    "keeping stored values, and prints one status line.";

inline constexpr const char *read_pivot_category =
    "category: the category's name (its directory under root_dir).\n"
    "start_date: first day of the range (\"YYYY-MM-DD\" or a Timestamp); None for the first day\n"
    "    of the latest stored month.\n"
    "end_date: last day of the range, included; None for the last day of the latest stored month.\n"
    "column_type: \"datetime\" for Timestamp day labels; any other value keeps the labels as stored.\n"
    "Returns a DataFrame with one row per stored series and one column per stored day of the\n"
    "range, ascending; an empty DataFrame when the category holds no month file (a line\n"
    "\"数据不存在 ...\" names the months). ValueError (\"读取失败\") when start_date is after end_date.";

inline constexpr const char *read_parquet =
    "One Parquet file, read whole.\n"
    "\n"
    "file_path: path (or s3:// URL) of the file.\n"
    "Returns the DataFrame pd.read_parquet gives, read from one version of the file.";

inline constexpr const char *update_unstack_category =
    "category: the category's name (its directory under root_dir).\n"
    "sub_df: the rows to store.\n"
    "key_columns: the columns that identify a row (default []): a stored row whose key matches a\n"
    "    row of sub_df is replaced by it, the last of equal keys winning; other rows are added.\n"
    "Returns None. Creates <category>/<category>.parquet or rewrites it merged, and prints one\n"
    "status line; a table equal to sub_df is not written.";

inline constexpr const char *read_unstack_category =
    "A category's whole table.\n"
    "\n"
    "category: the category's name (its directory under root_dir).\n"
    "Returns the DataFrame stored in <category>/<category>.parquet. FileNotFoundError when\n"
    "there is none (saying so when the category is kept by month instead).";

inline constexpr const char *update_unstack_df =
    "The merge rule of whole tables.\n"
    "\n"
    "original_df: the stored table.\n"
    "new_data: the incoming rows.\n"
    "key_columns: the columns that identify a row (a single name counts as a list of it).\n"
    "Returns a new DataFrame: the stored rows whose key no incoming row carries, in their\n"
    "places, then the incoming rows (of equal keys, the last).";

inline constexpr const char *update_pivot_parquet =
    "file_path: the month file to create or merge into.\n"
    "sub_df: the month's days as columns (datetime labels), one row per series.\n"
    "date_format: strftime format of the day labels written (default \"%Y-%m-%d\").\n"
    "Returns None. Prints one status line: created, identical (nothing written) or updated.";

inline constexpr const char *run_concurrently =
    "One call of worker_function per task on a thread pool, under a progress bar.\n"
    "\n"
    "tasks: argument sequences; worker_function(*task) is called once for each.\n"
    "worker_function: the function to call.\n"
    "max_workers: threads of the pool (default 5).\n"
    "task_desc: the progress bar's label (default \"Processing tasks\").\n"
    "Returns the list of results in completion order; the first failure is raised after every\n"
    "call has finished.";

inline constexpr const char *get_download_days =
    "The wanted days the store does not hold yet.\n"
    "\n"
    "category: a category kept by month.\n"
    "template_date: the wanted days (Timestamps or date strings).\n"
    "Returns the list [exists_df, update_dates]: the stored frame over the span of the wanted\n"
    "days (string day labels), and the wanted days that it lacks, sorted.";

inline constexpr const char *overwrite_pivot_category =
    "Merge df into the monthly files with its non-missing cells replacing stored ones.\n"
    "\n"
    "df: one row per series, one column per day, checked as update_pivot_category checks it.\n"
    "category: the category's name.\n"
    "strf: strftime format of the day labels written (default \"%Y-%m-%d\").\n"
    "Returns the number of stored cells changed (int); each month prints one line.";

inline constexpr const char *overwrite_unstack_category =
    "Replace the stored rows whose key columns match a row of sub_df.\n"
    "\n"
    "category: the category's name.\n"
    "sub_df: the new rows; those matching no stored row are added.\n"
    "key_columns: the columns that identify a row (a name or a list); None or [] raise ValueError.\n"
    "Returns the number of stored rows changed (int).";

inline constexpr const char *delete_pivot_days =
    "Remove the days from start_date to end_date from every monthly file.\n"
    "\n"
    "category: the category's name.\n"
    "start_date: first day removed (whole days).\n"
    "end_date: last day removed, included.\n"
    "Returns the number of stored cells removed (int); a month left empty loses its file.";

inline constexpr const char *delete_pivot_rows =
    "Remove the given series (row labels) from every monthly file.\n"
    "\n"
    "category: the category's name.\n"
    "rows: a row label or a list of them.\n"
    "Returns the number of stored cells removed (int); a month left empty loses its file.";

inline constexpr const char *delete_unstack_rows =
    "Remove the table rows whose values in the columns of keys match a row of keys.\n"
    "\n"
    "category: the category's name.\n"
    "keys: a DataFrame whose columns are the key columns and whose rows are the keys removed.\n"
    "Returns the number of table rows removed (int).";

inline constexpr const char *delete_category =
    "Remove the category's files and the store's internal state for it.\n"
    "\n"
    "category: the category's name.\n"
    "Returns the number of files removed (int).";

inline constexpr const char *list_categories =
    "The stored categories as sorted (name, layout) pairs, layout 'pivot' or 'unstack'.\n"
    "\n"
    "Returns a list of (str, str) tuples; nothing is created.";

inline constexpr const char *list_pivot_months =
    "The sorted YYYY-MM keys of the category's monthly files.\n"
    "\n"
    "category: the category's name.\n"
    "Returns a list of str, empty when none is stored; nothing is created.";

inline constexpr const char *read_pivot_rows =
    "Read the given series over a date range, reading only their days and rows.\n"
    "\n"
    "category: the category's name.\n"
    "rows: a row label or a list of them, returned in that order.\n"
    "start_date: first day of the range; None for the first day of the latest stored month.\n"
    "end_date: last day of the range, included; None for the last day of the latest stored month.\n"
    "column_type: \"datetime\" for Timestamp day labels; any other value keeps them as stored.\n"
    "Returns the DataFrame read_pivot_category(...).loc[rows] would give, without the rows no\n"
    "month of the range holds.";

inline constexpr const char *repr =
    "The store's class, root directory and worker count.\n"
    "\n"
    "Returns a str such as ParquetDataManager(root_dir='data', max_workers=10).";

}  // namespace corvane::store::docs
