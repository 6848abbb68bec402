// What a category holds, found without creating anything: the month files and the whole table as
// the reads see them, and the frame splitting shared by the corrections, deletes and row reads.
#pragma once

#include "framevault/store.hpp"

#include <map>
#include <string>
#include <vector>

namespace corvane::store {

// <root>/<category> for a valid category name (ValueError otherwise), without creating it: deletes
// and catalog reads must not leave empty directories behind.
py::object category_directory(const py::object &self, const py::object &category);

// Month keys (YYYY-MM) of the regular files named <category>_YYYY-MM.parquet, ascending; none when
// the directory does not exist. Other names, and directories so named, are not months.
py::list stored_month_keys(const py::object &directory, const py::object &category);

// <directory>/<category>_<YYYY-MM>.parquet, spelled as the store's path helpers spell it.
py::str month_file_path(const py::object &directory, const py::object &category, const py::handle &month_key);
// One pool task per month key, each the month file's path alone.
py::list month_path_tasks(const py::object &directory, const py::object &category, const py::list &months);

// <directory>/<category>.parquet.
py::str table_file_path(const py::object &directory, const py::object &category);
// <category>.parquet, and <category>_<YYYY-MM>.parquet: the names of core/store_layout.hpp, the
// category and the key formatted with str().
py::str table_file_name(const py::handle &category);
py::str month_file_name(const py::handle &category, const py::handle &month_key);
// The compiled pattern that fullmatches the names of the category's month files (groups: year, month).
py::object month_file_regex(const py::handle &category);

// Column positions per month key (YYYY-MM) of the days, keys ascending.
std::map<std::string, std::vector<Py_ssize_t>> columns_by_month_key(const py::object &days);

// Every row and the columns at `positions`.
py::object columns_at(const py::object &frame, const std::vector<Py_ssize_t> &positions);

// `values` as a list: a str (or any non-list-like value) stands for a one-element list of it.
py::list as_label_list(const py::object &values);

// A function the task runner can call on its pool threads, built from a C++ callable.
template <typename Func>
py::object pool_worker(const char *name, Func &&body) {
    return py::cpp_function(std::forward<Func>(body), py::name(name));
}

}  // namespace corvane::store
