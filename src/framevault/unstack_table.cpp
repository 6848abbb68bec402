#include "framevault/store.hpp"

namespace corvane::store {

namespace {

using namespace pybind11::literals;

// KeyError listing the key columns that a frame lacks. Without the check, a new frame lacking one
// would merge as rows with missing keys, and pandas reports a frame lacking it less plainly.
void require_key_columns(const py::object &frame, const py::list &key_columns, const char *which) {
    py::list missing;
    py::object columns = frame.attr("columns");
    for (py::handle key : key_columns) {
        if (!columns.contains(key)) {
            missing.append(key);
        }
    }
    if (py::len(missing) > 0) {
        throw py::key_error(
            native::concat("key columns not found in ", which, ": ", missing).cast<std::string>());
    }
}

}  // namespace

py::object read_parquet(py::object file_path) { return native::read_parquet_snapshot(file_path); }

void update_unstack_category(py::object self, py::object category, py::object sub_df,
                             py::object key_columns) {
    require_frame(sub_df, "sub_df");
    py::object file_path = self.attr("_get_unstack_file_path")(category);
    // From the existence test to the rewrite, so that no other writer's rows are lost in between.
    native::FileLock lock = native::lock_stored_file(file_path);
    if (!py::bool_(global("os").attr("path").attr("exists")(file_path))) {
        native::write_parquet_atomically(sub_df, file_path);
        native::print_line(native::concat(file_path, ": 初始化 Unstack Parquet"));
        return;
    }
    py::object existing_df = native::read_parquet_snapshot(file_path);
    if (same_content(existing_df, sub_df)) {
        native::print_line(native::concat(file_path, ": No need to combine, dataframes are identical."));
        return;
    }
    existing_df = store_class().attr("update_unstack_df")(
        "original_df"_a = existing_df, "new_data"_a = sub_df, "key_columns"_a = key_columns);
    native::write_parquet_atomically(existing_df, file_path);
    native::print_line(native::concat(file_path, ": 更新 Unstack Parquet"));
}

py::object read_unstack_category(py::object self, py::object category) {
    py::object file_path = self.attr("_get_unstack_file_path")(category);
    return native::read_parquet_snapshot(file_path);
}

py::object update_unstack_df(py::object original_df, py::object new_data, py::object key_columns) {
    py::list keys = py::isinstance<py::list>(key_columns) ? py::reinterpret_borrow<py::list>(key_columns)
                                                            : py::list();
    if (!py::isinstance<py::list>(key_columns)) {
        keys.append(key_columns);
    }
    py::list frames;
    frames.append(original_df);
    frames.append(new_data);
    py::object combined_df = global("pd").attr("concat")(frames);
    require_key_columns(original_df, keys, "the stored frame");
    require_key_columns(new_data, keys, "the new frame");
    // No key columns: whole rows identify a row (pandas rejects an empty subset).
    py::object subset = py::len(keys) > 0 ? py::object(keys) : py::object(py::none());
    return combined_df.attr("drop_duplicates")("subset"_a = subset, "keep"_a = "last");
}

}  // namespace corvane::store
