// Bodies of ParquetDataManager's methods, one group per concern. module.cpp assembles them into the
// class in its definition order; everything else reaches them through Python attribute lookup.
#pragma once

#include "bindings/pyglue.hpp"
#include "bindings/storage.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace corvane::store {

namespace py = pybind11;
using native::global;
using native::raise_error;

// The class as currently bound in the module, so methods call the class's own static methods even
// when a subclass overrides them.
inline py::object store_class() { return global("ParquetDataManager"); }

// paths.cpp: layout and naming under the root directory.
void init_store(py::object self, py::object root_dir, py::object max_workers);
bool if_exists_unstack_category(py::object self, py::object category);
bool if_exists_pivot_category(py::object self, py::object category);
py::object get_category_path(py::object self, py::object category);
py::object gsoi(py::object choice, py::object df);
py::tuple extract_year_month(py::object input_string);
py::list get_pivot_year_month(py::object self, py::object category);
py::object get_pivot_file_path(py::object self, py::object category, py::object year, py::object month);
py::object get_unstack_file_path(py::object self, py::object category);
// ParquetDataManager(root_dir='...', max_workers=N), under the instance's own class name.
py::str repr_store(py::object self);

// task_runner.cpp: one worker call per task on a thread pool under a progress bar.
py::list run_concurrently(py::object tasks, py::object worker_function, py::object max_workers,
                          py::object task_desc);

// unstack_table.cpp: one whole table per category.
py::object read_parquet(py::object file_path);
void update_unstack_category(py::object self, py::object category, py::object sub_df,
                             py::object key_columns);
py::object read_unstack_category(py::object self, py::object category);
py::object update_unstack_df(py::object original_df, py::object new_data, py::object key_columns);

// frames.cpp: frame checks and label handling shared by the writers and readers.
// TypeError naming `argument` unless `value` is a pandas DataFrame.
void require_frame(const py::handle &value, const char *argument);
// DataFrame.equals, except that string columns held as object and as pandas' str dtype compare by
// value; frames read back from Parquet and frames built elsewhere differ only in that.
bool same_content(const py::object &stored, const py::object &incoming);
// Day labels as a DatetimeIndex of one fixed unit, so labels parsed from text and labels held in
// another unit compare and align. ValueError naming `source` for labels that are not dates.
// `written_format`, when not None, is the format the labels were probably written with: tried first.
py::object to_day_labels(const py::object &labels, const py::handle &source,
                         const py::handle &written_format = py::none());
// The labels as pd.to_datetime gives them (its unit, which differs between pandas versions), for
// the caller's frame; `days` (what to_day_labels made of them) where pandas reads them otherwise.
py::object labels_as_pandas_parses(const py::object &labels, const py::object &days);
// Text labels for the days, as written to disk. ValueError when the format maps two days onto one
// label or gives labels that do not read back as the same days: such a file could not be merged.
py::object to_text_labels(const py::object &days, const py::handle &date_format);
// The days that stored text labels stand for, in one unit. Labels of one file share a format and
// parse together; a frame joined from files of several formats is parsed label by label.
py::object stored_label_days(const py::object &labels, const py::handle &source);
// Microseconds since the epoch of a label spelled YYYY-MM-DD; nothing for any other label.
std::optional<int64_t> iso_label_micros(const py::handle &label);
// merge(inputs), with no integer beyond float precision (|v| > 2**53) rounded. Such a column stays
// as it is where the merge cannot pass it through float64: every input holds it with one integer
// dtype and, when the merge aligns rows by label (`aligns_rows`), every input holds the same rows.
// Otherwise it is merged as pandas' nullable Int64 or, beside values that are no integers, as
// Python objects, decided on the result: ValueError only where the result holds such integers
// beside fractions (no exact type holds both), else what pandas would make of the column.
py::object merge_keeping_integers(const std::vector<py::object> &inputs,
                                  const std::function<py::object(const std::vector<py::object> &)> &merge,
                                  bool aligns_rows);
// One int64 code array per identifying column of `frame` (the columns at `positions`, and the
// index with `with_index`): rows are the same row exactly when all their codes agree. Values
// compare as drop_duplicates compares them: missing values match each other.
py::list row_codes(const py::object &frame, const std::vector<Py_ssize_t> &positions, bool with_index);
// The rows holding at least one value; the frame itself when every row does.
py::object rows_with_values(const py::object &frame);
// ValueError naming `argument` when day labels or row labels repeat: pandas cannot align them.
void require_unique_labels(const py::object &days, const py::object &rows, const char *argument);
// ValueError naming `what` where `values` (labels or a column) mix integers with other kinds of
// value, as 1 and "x": Parquet cannot store them, and the write would fail only after the
// category's directory and lock were made.
void require_one_kind_of_key(const py::object &values, const py::str &what);
// ValueError naming `argument` for a table the store could not write: duplicate column labels, or
// row labels or key columns of mixed kinds (require_one_kind_of_key).
void require_storable_table(const py::object &frame, const py::list &key_columns, const char *argument);
// Imports the Parquet engine on the calling thread: its lazy first import is not safe to race
// from several pool threads.
void preload_parquet_engine();

// pivot_merge.cpp: one month file created or merged with new days.
void update_pivot_parquet(py::object file_path, py::object sub_df, py::object date_format);

// pivot_write.cpp: a frame of days split by month and merged into the month files.
void update_pivot_category(py::object self, py::object df, py::object category, py::object strf);
// Every row and the given columns, in their order: one month's frame.
py::object month_frame(const py::object &df, const std::vector<Py_ssize_t> &positions);

// pivot_split.cpp: a full write of float64 months encoded from the frame's own block.
struct PlannedMonth {
    py::object path;
    std::vector<Py_ssize_t> positions;  // the month's columns in the frame
};
struct MonthTasks {
    py::list tasks;
    py::object worker;
};
// One task per month for run_concurrently and the worker that runs them: a month without a file is
// encoded from the frame's block (`text` its days' labels), one that has a file is merged by
// update_pivot_parquet. nullopt where the frame, its storage or a replaced hook of the class rule the
// block out: the write then goes through the class's update_pivot_parquet month by month.
std::optional<MonthTasks> block_month_tasks(const py::object &df, const py::object &strf, const py::object &text,
                                            const std::vector<PlannedMonth> &months);

// month_blocks.cpp: the class's own read_parquet, run_concurrently and update_pivot_parquet, as
// the module built them.
struct MonthHooks {
    py::handle reader;
    py::handle runner;
    py::handle writer;
};
MonthHooks &own_month_hooks();

// pivot_read.cpp: the months of a date range read back side by side.
py::object read_pivot_category(py::object self, py::object category, py::object start_date,
                               py::object end_date, py::object column_type);

// download_planning.cpp: the wanted days that the store does not hold yet.
py::list get_download_days(py::object self, py::object category, py::object template_date);

// Beyond the merges: corrections, deletes, the catalog and row reads (one .cpp each).
// corrections.cpp: new values replace stored ones; each returns the stored cells (rows) changed.
py::int_ overwrite_pivot_category(py::object self, py::object df, py::object category, py::object strf);
py::int_ overwrite_unstack_category(py::object self, py::object category, py::object sub_df, py::object key_columns);
// deletions.cpp: each returns the stored cells, rows or files removed.
py::int_ delete_pivot_days(py::object self, py::object category, py::object start_date, py::object end_date);
py::int_ delete_pivot_rows(py::object self, py::object category, py::object rows);
py::int_ delete_unstack_rows(py::object self, py::object category, py::object keys);
py::int_ delete_category(py::object self, py::object category);
// catalog.cpp: what the store holds, as the reads see it.
py::list list_categories(py::object self);
py::list list_pivot_months(py::object self, py::object category);
// row_reads.cpp: some series over a date range, reading only their days and rows.
py::object read_pivot_rows(py::object self, py::object category, py::object rows, py::object start_date,
                           py::object end_date, py::object column_type);

}  // namespace corvane::store
