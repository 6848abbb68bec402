// Corrections: new values that replace stored ones, month by month or row by row of a whole table.
// The same checks, locks and durable writes as the merges, with the new side winning; a month or
// table whose stored content would not change is not written.
#include "framevault/month_files.hpp"
#include "framevault/numeric_frames.hpp"
#include "bindings/dates.hpp"
#include "bindings/names.hpp"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace corvane::store {

namespace {

using namespace pybind11::literals;

// What one overwrite did to its file, printed after the write (and after the lock is released).
struct Overwrite {
    long changed = 0;  // stored cells (or rows) that now hold another value
    long added = 0;    // cells (or rows) the file did not hold
    bool created = false;
    bool written = false;
};

void print_overwrite(const py::object &path, const Overwrite &outcome, const char *unit) {
    py::str counts = native::concat(py::int_(outcome.changed), " stored ", unit, " changed, ", py::int_(outcome.added),
                                    " ", unit, " added");
    if (outcome.created) {
        native::print_line(native::concat(path, ": ", counts, " (new file)"));
    } else if (outcome.written) {
        native::print_line(native::concat(path, ": ", counts));
    } else {
        native::print_line(native::concat(path, ": ", counts, "; nothing written"));
    }
}

long count_true(const py::object &mask) { return py::int_(mask.attr("sum")()).cast<long>(); }

// The stored month with the new cells laid over it, and how many stored cells changed and how many
// were added. Column by column, so that an integer column never passes through float64.
py::object overlay_month(const py::object &stored, const py::object &incoming, Overwrite &outcome) {
    py::object rows = stored.attr("index").attr("union")(incoming.attr("index"));
    py::object days = stored.attr("columns").attr("union")(incoming.attr("columns"));
    py::dict columns;
    for (py::handle day : days) {
        bool in_stored = stored.attr("columns").contains(day);
        bool in_incoming = incoming.attr("columns").contains(day);
        py::object old_cells = in_stored ? stored[day].attr("reindex")(rows) : py::object();
        py::object new_cells = in_incoming ? incoming[day].attr("reindex")(rows) : py::object();
        if (!new_cells) {
            columns[day] = old_cells;
            continue;
        }
        py::object new_present = new_cells.attr("notna")();
        if (!old_cells) {
            outcome.added += count_true(new_present);
            columns[day] = new_cells;
            continue;
        }
        py::object old_present = old_cells.attr("notna")();
        py::object differs = old_cells.attr("ne")(new_cells);
        outcome.changed += count_true(old_present.attr("__and__")(new_present).attr("__and__")(differs));
        outcome.added += count_true(old_present.attr("__invert__")().attr("__and__")(new_present));
        columns[day] = new_cells.attr("where")(new_present, old_cells);
    }
    py::object merged = global("pd").attr("DataFrame")(columns, "index"_a = rows);
    merged.attr("columns") = days;
    return rows_with_values(merged);
}

Overwrite overwrite_month_file(const py::object &path, const py::object &sub_df, const py::object &date_format) {
    py::object incoming = rows_with_values(sub_df);
    Overwrite outcome;
    native::run_exclusively(path, [&] {
        outcome = Overwrite{};  // a lost race on object storage runs this again from a fresh read
        if (!native::path_exists(path)) {
            if (py::len(incoming) == 0) {
                return;
            }
            py::object written = incoming.attr("copy")("deep"_a = false);
            written.attr("columns") = to_text_labels(incoming.attr("columns"), date_format);
            native::write_stored_parquet(written, path);
            record_month_digest(path, written, date_format);
            outcome.added = count_true(incoming.attr("notna")().attr("sum")());
            outcome.created = outcome.written = true;
            return;
        }
        py::object stored = native::read_stored_parquet(path);
        stored.attr("columns") = to_day_labels(stored.attr("columns"), path, date_format);
        py::object merged = merge_keeping_integers({stored, incoming}, [&outcome](const std::vector<py::object> &frames) {
            return overlay_month(frames[0], frames[1], outcome);
        }, true);
        if (outcome.changed == 0 && outcome.added == 0 && py::len(merged.attr("columns")) == py::len(stored.attr("columns"))) {
            return;
        }
        merged.attr("columns") = to_text_labels(merged.attr("columns"), date_format);
        native::write_stored_parquet(merged, path);
        record_month_digest(path, merged, date_format);
        outcome.written = true;
    });
    return outcome;
}

// Key columns as a non-empty list; ValueError without them, since a row then has no identity.
py::list required_key_columns(const py::object &key_columns) {
    py::list keys;
    if (!key_columns.is_none()) {
        keys = as_label_list(key_columns);
    }
    if (py::len(keys) == 0) {
        raise_error(PyExc_ValueError, "overwrite_unstack_category needs key_columns: without them a row has no "
                                      "identity to overwrite by");
    }
    return keys;
}

void require_columns(const py::object &frame, const py::list &keys, const char *which) {
    py::list missing;
    for (py::handle key : keys) {
        if (!frame.attr("columns").contains(key)) {
            missing.append(key);
        }
    }
    if (py::len(missing) > 0) {
        raise_error(PyExc_KeyError, native::concat("key columns not found in ", which, ": ", missing));
    }
}

std::vector<std::vector<int64_t>> codes_by_row(const py::list &codes, size_t rows) {
    std::vector<std::vector<int64_t>> by_row(rows);
    for (py::handle column : codes) {
        py::list values = column.attr("tolist")();
        for (size_t row = 0; row < rows; ++row) {
            by_row[row].push_back(values[row].cast<int64_t>());
        }
    }
    return by_row;
}

// How many stored rows an upsert of `incoming` replaces by a row that differs, and how many keys
// it adds. A stored row replaced by an identical row is no change.
void count_row_changes(const py::object &stored, const py::object &incoming, const py::list &keys, Overwrite &outcome) {
    py::list stacked;
    stacked.append(stored);
    stacked.append(incoming);
    py::object combined = global("pd").attr("concat")(stacked, "ignore_index"_a = true);
    std::vector<Py_ssize_t> key_positions;
    for (py::handle position : combined.attr("columns").attr("get_indexer_for")(keys)) {
        key_positions.push_back(position.cast<Py_ssize_t>());
    }
    std::vector<Py_ssize_t> all_positions;
    for (Py_ssize_t position = 0; position < static_cast<Py_ssize_t>(py::len(combined.attr("columns"))); ++position) {
        all_positions.push_back(position);
    }
    size_t rows = py::len(combined);
    size_t stored_rows = py::len(stored);
    auto key_of = codes_by_row(row_codes(combined, key_positions, false), rows);
    auto content_of = codes_by_row(row_codes(combined, all_positions, false), rows);
    std::map<std::vector<int64_t>, std::vector<size_t>> stored_by_key;
    for (size_t row = 0; row < stored_rows; ++row) {
        stored_by_key[key_of[row]].push_back(row);
    }
    std::set<std::vector<int64_t>> seen;
    for (size_t row = rows; row-- > stored_rows;) {
        if (!seen.insert(key_of[row]).second) {
            continue;  // an earlier incoming row with this key loses to the last one
        }
        auto found = stored_by_key.find(key_of[row]);
        if (found == stored_by_key.end()) {
            ++outcome.added;
        } else if (found->second.size() != 1 || content_of[found->second[0]] != content_of[row]) {
            outcome.changed += static_cast<long>(found->second.size());
        }
    }
}

}  // namespace

py::int_ overwrite_pivot_category(py::object self, py::object df, py::object category, py::object strf) {
    native::require_category_name(category);
    require_frame(df, "df");
    // The caller's frame is left as it is; the days are checked before any month is touched.
    py::object days = to_day_labels(df.attr("columns"), py::str("df"));
    native::require_storable_years(days, py::str("df"));
    require_unique_labels(days, df.attr("index"), "df");
    to_text_labels(days, strf);
    py::object frame = df.attr("copy")("deep"_a = false);
    frame.attr("columns") = days;

    py::list tasks;
    for (const auto &[key, positions] : columns_by_month_key(days)) {
        long year = std::stol(key.substr(0, 4));
        long month = std::stol(key.substr(5, 2));
        py::list task;
        task.append(self.attr("_get_pivot_file_path")(category, year, month));
        task.append(columns_at(frame, positions));
        task.append(strf);
        tasks.append(task);
    }
    py::object worker = pool_worker("overwrite_month", [](py::object path, py::object sub_df, py::object date_format) {
        Overwrite outcome = overwrite_month_file(path, sub_df, date_format);
        print_overwrite(path, outcome, "cells");
        return outcome.changed;
    });
    preload_parquet_engine();
    py::list changed = store_class().attr("run_concurrently")(
        tasks, worker, "max_workers"_a = self.attr("max_workers"), "task_desc"_a = native::concat("Overwriting ", category));
    return py::module_::import("builtins").attr("sum")(changed);
}

py::int_ overwrite_unstack_category(py::object self, py::object category, py::object sub_df, py::object key_columns) {
    native::require_category_name(category);
    require_frame(sub_df, "sub_df");
    py::list keys = required_key_columns(key_columns);
    require_columns(sub_df, keys, "the new frame");
    py::object path = self.attr("_get_unstack_file_path")(category);
    Overwrite outcome;
    native::run_exclusively(path, [&] {
        outcome = Overwrite{};
        if (!native::path_exists(path)) {
            native::write_stored_parquet(sub_df, path);
            outcome.added = static_cast<long>(py::len(sub_df));
            outcome.created = outcome.written = true;
            return;
        }
        py::object stored = native::read_stored_parquet(path);
        require_columns(stored, keys, "the stored frame");
        count_row_changes(stored, sub_df, keys, outcome);
        if (outcome.changed == 0 && outcome.added == 0) {
            return;
        }
        py::object merged = store_class().attr("update_unstack_df")("original_df"_a = stored, "new_data"_a = sub_df,
                                                                    "key_columns"_a = keys);
        native::write_stored_parquet(merged, path);
        outcome.written = true;
    });
    print_overwrite(path, outcome, "rows");
    return py::int_(outcome.changed);
}

}  // namespace corvane::store
