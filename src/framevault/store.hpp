// Bodies of ParquetDataManager's methods, one group per concern. module.cpp assembles them into the
// class in its definition order; everything else reaches them through Python attribute lookup.
#pragma once

#include "native/pyglue.hpp"

namespace corvane::store {

namespace py = pybind11;
using native::global;

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

// task_runner.cpp: one worker call per task on a thread pool under a progress bar.
py::list run_concurrently(py::object tasks, py::object worker_function, py::object max_workers,
                          py::object task_desc);

// unstack_table.cpp: one whole table per category.
py::object read_parquet(py::object file_path);
void update_unstack_category(py::object self, py::object category, py::object sub_df,
                             py::object key_columns);
py::object read_unstack_category(py::object self, py::object category);
py::object update_unstack_df(py::object original_df, py::object new_data, py::object key_columns);

// frames.cpp: frame checks shared by the writers.
// TypeError naming `argument` unless `value` is a pandas DataFrame.
void require_frame(const py::handle &value, const char *argument);
// DataFrame.equals, except that string columns held as object and as pandas' str dtype compare by
// value; frames read back from Parquet and frames built elsewhere differ only in that.
bool same_content(const py::object &stored, const py::object &incoming);

}  // namespace corvane::store
