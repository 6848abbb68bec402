#include "framevault/numeric_frames.hpp"
#include "framevault/store.hpp"
#include "framevault/month_files.hpp"
#include "core/upsert_rows.hpp"

#include <pybind11/numpy.h>

#include <vector>

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
        raise_error(PyExc_KeyError, native::concat("key columns not found in ", which, ": ", missing));
    }
}

// key_columns as a list: a single column name stands for a one-element list of it.
py::list key_column_list(const py::object &key_columns) {
    if (py::isinstance<py::list>(key_columns)) {
        return py::reinterpret_borrow<py::list>(key_columns);
    }
    py::list keys;
    keys.append(key_columns);
    return keys;
}

// The positions of the columns that identify a row of `combined`: the key columns, or every column
// when there are none.
std::vector<Py_ssize_t> identity_positions(const py::object &combined, const py::list &keys) {
    std::vector<Py_ssize_t> positions;
    py::object columns = combined.attr("columns");
    if (py::len(keys) == 0) {
        for (Py_ssize_t position = 0; position < static_cast<Py_ssize_t>(py::len(columns)); ++position) {
            positions.push_back(position);
        }
        return positions;
    }
    for (py::handle position : columns.attr("get_indexer_for")(keys)) {
        positions.push_back(position.cast<Py_ssize_t>());
    }
    return positions;
}

// pandas numbers the rows of every frame built without an index from 0, so such labels say nothing
// about which row is which.
bool has_real_index(const py::object &frame) {
    return !py::isinstance(frame.attr("index"), global("pd").attr("RangeIndex"));
}

// The same decision made by pandas on the code arrays: stored rows whose identity no incoming row
// carries, and the last incoming row of each identity.
py::object upsert_keep_by_pandas(const py::list &codes, int64_t stored_rows) {
    py::object pd = global("pd");
    py::object identities = pd.attr("MultiIndex").attr("from_arrays")(codes);
    py::object stored = identities[py::slice(0, stored_rows, 1)];
    py::object incoming = identities[py::slice(stored_rows, PY_SSIZE_T_MAX, 1)];
    py::object keep_stored = stored.attr("isin")(incoming).attr("__invert__")();
    py::object keep_incoming = incoming.attr("duplicated")("keep"_a = "last").attr("__invert__")();
    return py::module_::import("numpy").attr("concatenate")(py::make_tuple(keep_stored, keep_incoming));
}

// The rows an upsert keeps, as a boolean array, decided on the code arrays with the GIL released.
py::array upsert_keep(const py::list &codes, int64_t rows, int64_t stored_rows) {
    if (!native_core_enabled() && py::len(codes) > 0) {
        return py::array::ensure(upsert_keep_by_pandas(codes, stored_rows));
    }
    std::vector<py::array_t<int64_t, py::array::c_style | py::array::forcecast>> arrays;
    std::vector<const int64_t *> columns;
    for (py::handle column : codes) {
        arrays.emplace_back(py::reinterpret_borrow<py::object>(column));
        columns.push_back(arrays.back().data());
    }
    std::vector<uint8_t> keep;
    native::without_gil([&] {
        keep = core::upsert_keep_mask(columns, rows, stored_rows);
    });
    py::array_t<bool> mask(static_cast<py::ssize_t>(keep.size()));
    std::copy(keep.begin(), keep.end(), mask.mutable_data());
    return mask;
}

}  // namespace

namespace {

// Whether `file_path` names a file of the kind the store keeps: a local file, given as text or a
// path object, or an s3:// object. Those are read as one consistent version; everything else
// pandas reads (buffers, open files, directories of parts, other URLs) goes to pandas as it is.
bool is_stored_file(const py::object &file_path) {
    py::object os = global("os");
    if (!py::isinstance<py::str>(file_path) && !py::isinstance(file_path, os.attr("PathLike"))) {
        return false;
    }
    if (!py::isinstance<py::str>(os.attr("fspath")(file_path))) {
        return false;
    }
    const native::Storage *storage = nullptr;
    try {
        storage = &native::storage_for(file_path);
    } catch (py::error_already_set &error) {
        // A URL of another scheme: pandas' business.
        if (!error.matches(PyExc_ValueError)) {
            throw;
        }
        return false;
    }
    return !storage->is_directory(file_path);
}

}  // namespace

py::object read_parquet(py::object file_path) {
    if (is_stored_file(file_path)) {
        return native::read_stored_parquet(file_path);
    }
    return global("pd").attr("read_parquet")(file_path);
}

void update_unstack_category(py::object self, py::object category, py::object sub_df,
                             py::object key_columns) {
    require_frame(sub_df, "sub_df");
    // Checked on the first write too: a table stored without its keys could never be merged.
    require_key_columns(sub_df, key_column_list(key_columns), "the new frame");
    require_storable_table(sub_df, key_column_list(key_columns), "sub_df");
    py::object file_path = self.attr("_get_unstack_file_path")(category);
    // From the existence test to the rewrite, so that no other writer's rows are lost in between.
    // Each status line follows its write: on object storage a lost race runs the body again.
    native::run_exclusively(file_path, [&] {
        if (!native::path_exists(file_path)) {
            native::write_stored_parquet(sub_df, file_path);
            native::print_status_line(native::concat(file_path, ": 初始化 Unstack Parquet"));
            return;
        }
        py::object existing_df = native::read_stored_parquet(file_path);
        if (same_content(existing_df, sub_df)) {
            native::print_status_line(
                native::concat(file_path, ": No need to combine, dataframes are identical."));
            return;
        }
        py::object merged = store_class().attr("update_unstack_df")(
            "original_df"_a = existing_df, "new_data"_a = sub_df, "key_columns"_a = key_columns);
        // A merge that gives back the stored table (the update dropped rows the store keeps) needs no
        // write; the line reports the merge all the same.
        if (!same_content(existing_df, merged)) {
            native::write_stored_parquet(merged, file_path);
        }
        native::print_status_line(native::concat(file_path, ": 更新 Unstack Parquet"));
    });
}

py::object read_unstack_category(py::object self, py::object category) {
    py::object file_path = self.attr("_get_unstack_file_path")(category);
    try {
        return native::read_stored_parquet(file_path);
    } catch (py::error_already_set &error) {
        // A category kept by month has no table file: say so rather than only that the file is missing.
        if (!error.matches(PyExc_FileNotFoundError) || native::path_exists(file_path)) {
            throw;
        }
        py::list months = stored_month_keys(self.attr("_get_category_path")(category), category);
        if (py::len(months) == 0) {
            throw;
        }
        py::object replacement = py::reinterpret_borrow<py::object>(PyExc_FileNotFoundError)(native::concat(
            py::str(error.value()), ": category ", py::repr(category), " is kept by month (", py::int_(py::len(months)),
            " month files, ", py::object(months[0]), " to ", py::object(months[py::len(months) - 1]),
            "), not as a whole table: read it with read_pivot_category"));
        native::raise_with_cause(replacement, error.value());
    }
}

py::object update_unstack_df(py::object original_df, py::object new_data, py::object key_columns) {
    py::list keys = key_column_list(key_columns);
    require_key_columns(original_df, keys, "the stored frame");
    require_key_columns(new_data, keys, "the new frame");
    py::object pd = global("pd");
    // An upsert: a stored row goes only when an incoming row carries its key; among incoming rows
    // with one key the last wins. Stored rows that merely repeat each other all stay.
    bool with_index = py::len(keys) == 0 && has_real_index(original_df) && has_real_index(new_data);
    auto stored_rows = static_cast<int64_t>(py::len(original_df));
    auto upsert = [&](const std::vector<py::object> &frames) {
        py::list stacked;
        for (const py::object &frame : frames) {
            stacked.append(frame);
        }
        py::object combined_df = pd.attr("concat")(stacked);
        py::array keep = upsert_keep(row_codes(combined_df, identity_positions(combined_df, keys), with_index),
                                     static_cast<int64_t>(py::len(combined_df)), stored_rows);
        if (py::bool_(keep.attr("all")())) {
            return combined_df;
        }
        return py::object(combined_df.attr("iloc")[keep]);
    };
    // Stacking keeps rows apart, so only a column that one frame lacks or holds as another dtype
    // passes through float64.
    return merge_keeping_integers({original_df, new_data}, upsert, false);
}

}  // namespace corvane::store
