// Deletes: days, series or table rows taken out of their files, or a category removed whole. Each
// file is rewritten (or removed) under its lock, durably, so a killed delete leaves it old or new.
// Lines are printed after the locked work, one per file touched.
#include "framevault/month_files.hpp"
#include "bindings/dates.hpp"
#include "core/store_layout.hpp"
#include "bindings/months.hpp"
#include "bindings/names.hpp"

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace corvane::store {

namespace {

using namespace pybind11::literals;

long count_values(const py::object &frame) {
    return py::int_(frame.attr("notna")().attr("to_numpy")().attr("sum")()).cast<long>();
}

// A digest record vouches for a file's content; a file rewritten or removed here must lose it.
void forget_digest(const py::object &path) { native::storage_for(path).forget_digest_record(path); }

// Replaces the file with `kept`, or removes it when `remove` is set.
void store_rest(const py::object &path, const py::object &kept, bool remove) {
    if (remove) {
        native::remove_stored_file(path);
    } else {
        native::write_stored_parquet(kept, path);
    }
    forget_digest(path);
}

// A date bound as day labels compare with it: without a zone, the whole day.
py::object day_bound(const py::handle &value, const char *argument) {
    py::object day = native::require_date(value, argument);
    if (!day.attr("tz").is_none()) {
        day = day.attr("tz_localize")(py::none());
    }
    return day.attr("normalize")();
}

struct Removal {
    long removed = 0;  // days, rows or files
    long cells = 0;
    bool file_removed = false;
};

// What a delete over month files did: stored cells removed, and files touched.
struct MonthsTouched {
    long cells = 0;
    long files = 0;
};

// Runs `remove_from` on each stored month on the pool, printing one line per file touched.
MonthsTouched each_month(const py::object &self, const py::object &category, const py::list &months, const char *desc,
                         const std::function<Removal(const py::object &)> &remove_from, const char *unit) {
    py::list tasks = month_path_tasks(category_directory(self, category), category, months);
    py::object worker = pool_worker("delete_from_month", [remove_from, unit](py::object path) {
        Removal done = remove_from(path);
        if (done.removed > 0) {
            py::str line = native::concat(path, ": removed ", py::int_(done.removed), " ", unit, " (",
                                          py::int_(done.cells), " cells)");
            native::print_line(done.file_removed ? native::concat(line, "; nothing left, file removed") : line);
        }
        return py::make_tuple(done.cells, done.removed > 0 ? 1 : 0);
    });
    preload_parquet_engine();
    py::list results = store_class().attr("run_concurrently")(
        tasks, worker, "max_workers"_a = self.attr("max_workers"), "task_desc"_a = native::concat(desc, category));
    MonthsTouched touched;
    for (py::handle result : results) {
        touched.cells += result[py::int_(0)].cast<long>();
        touched.files += result[py::int_(1)].cast<long>();
    }
    return touched;
}

// A removal from one stored month under its lock: `decide` fills in what goes from the month's frame
// and returns what stays, which then replaces the file (or, empty, removes it). A month without a
// file or with nothing to remove is left as it is.
Removal remove_from_month(const py::object &path, const std::function<py::object(const py::object &, Removal &)> &decide) {
    Removal done;
    native::run_exclusively(path, [&] {
        done = Removal{};
        if (!native::path_exists(path)) {
            return;
        }
        py::object kept = decide(native::read_stored_parquet(path), done);
        if (done.removed != 0) {
            store_rest(path, kept, done.file_removed);
        }
    });
    return done;
}

Removal remove_days(const py::object &path, const py::object &first, const py::object &last) {
    return remove_from_month(path, [&](const py::object &stored, Removal &done) -> py::object {
        py::object days = stored_label_days(stored.attr("columns"), path).attr("normalize")();
        py::object doomed = days.attr("__ge__")(first).attr("__and__")(days.attr("__le__")(last));
        done.removed = py::int_(doomed.attr("sum")()).cast<long>();
        if (done.removed == 0) {
            return stored;
        }
        py::object all_rows = py::reinterpret_steal<py::object>(PySlice_New(nullptr, nullptr, nullptr));
        done.cells = count_values(stored.attr("iloc")[py::make_tuple(all_rows, doomed)]);
        done.file_removed = done.removed == static_cast<long>(py::len(days));
        return rows_with_values(stored.attr("iloc")[py::make_tuple(all_rows, doomed.attr("__invert__")())]);
    });
}

Removal remove_rows(const py::object &path, const py::list &rows) {
    return remove_from_month(path, [&](const py::object &stored, Removal &done) -> py::object {
        py::object doomed = stored.attr("index").attr("isin")(rows);
        done.removed = py::int_(doomed.attr("sum")()).cast<long>();
        if (done.removed == 0) {
            return stored;
        }
        done.cells = count_values(stored[doomed]);
        done.file_removed = done.removed == static_cast<long>(py::len(stored));
        return stored[doomed.attr("__invert__")()];
    });
}

// Which stored rows carry, in the columns of `keys`, the values of one of its rows. Compared as
// drop_duplicates compares them: missing values match each other.
py::object rows_matching(const py::object &stored, const py::object &keys) {
    py::list columns = py::list(keys.attr("columns"));
    py::list stacked;
    stacked.append(stored[columns]);
    stacked.append(keys[columns]);
    py::object combined = global("pd").attr("concat")(stacked, "ignore_index"_a = true);
    std::vector<Py_ssize_t> positions;
    for (Py_ssize_t position = 0; position < static_cast<Py_ssize_t>(py::len(columns)); ++position) {
        positions.push_back(position);
    }
    py::list codes = row_codes(combined, positions, false);
    size_t stored_rows = py::len(stored);
    size_t rows = py::len(combined);
    std::vector<std::vector<int64_t>> key_of(rows);
    for (py::handle column : codes) {
        py::list values = column.attr("tolist")();
        for (size_t row = 0; row < rows; ++row) {
            key_of[row].push_back(values[row].cast<int64_t>());
        }
    }
    std::set<std::vector<int64_t>> wanted(key_of.begin() + static_cast<std::ptrdiff_t>(stored_rows), key_of.end());
    py::list mask;
    for (size_t row = 0; row < stored_rows; ++row) {
        mask.append(py::bool_(wanted.count(key_of[row]) > 0));
    }
    return py::module_::import("numpy").attr("array")(mask, "dtype"_a = "bool");
}

void say_nothing_removed(const py::object &what, const char *why) {
    native::print_line(native::concat(what, ": ", why, "; nothing removed"));
}

}  // namespace

py::int_ delete_pivot_days(py::object self, py::object category, py::object start_date, py::object end_date) {
    py::object directory = category_directory(self, category);
    py::object first = day_bound(start_date, "start_date");
    py::object last = day_bound(end_date, "end_date");
    if (py::bool_(first.attr("__gt__")(last))) {
        raise_error(PyExc_ValueError,
                    native::concat("start_date ", py::repr(start_date), " lies after end_date ", py::repr(end_date)));
    }
    py::set stored(stored_month_keys(directory, category));
    py::list months;
    for (py::handle month : native::months_overlapping(first, last, "%Y-%m")) {
        if (stored.contains(month)) {
            months.append(month);
        }
    }
    MonthsTouched touched;
    if (py::len(months) > 0) {
        touched = each_month(self, category, months, "Deleting days of ",
                             [first, last](const py::object &path) { return remove_days(path, first, last); }, "days");
    }
    if (touched.files == 0) {
        say_nothing_removed(category, native::concat("no day stored from ", first.attr("date")(), " to ",
                                                     last.attr("date")()).cast<std::string>().c_str());
    }
    return py::int_(touched.cells);
}

py::int_ delete_pivot_rows(py::object self, py::object category, py::object rows) {
    py::object directory = category_directory(self, category);
    py::list wanted = as_label_list(rows);
    if (py::len(wanted) == 0) {
        raise_error(PyExc_ValueError, "rows names no series to delete");
    }
    py::list months = stored_month_keys(directory, category);
    MonthsTouched touched;
    if (py::len(months) > 0) {
        touched = each_month(self, category, months, "Deleting rows of ",
                             [wanted](const py::object &path) { return remove_rows(path, wanted); }, "rows");
    }
    if (touched.files == 0) {
        say_nothing_removed(category, native::concat("no stored month holds the rows ", wanted).cast<std::string>().c_str());
    }
    return py::int_(touched.cells);
}

py::int_ delete_unstack_rows(py::object self, py::object category, py::object keys) {
    py::object directory = category_directory(self, category);
    require_frame(keys, "keys");
    if (py::len(keys.attr("columns")) == 0) {
        raise_error(PyExc_ValueError, "keys has no columns to match stored rows by");
    }
    py::object path = table_file_path(directory, category);
    long removed = 0;
    bool present = false;
    native::run_exclusively(path, [&] {
        removed = 0;
        present = native::path_exists(path);
        if (!present) {
            return;
        }
        py::object stored = native::read_stored_parquet(path);
        py::list missing;
        for (py::handle column : keys.attr("columns")) {
            if (!stored.attr("columns").contains(column)) {
                missing.append(column);
            }
        }
        if (py::len(missing) > 0) {
            raise_error(PyExc_KeyError, native::concat("key columns not found in the stored frame: ", missing));
        }
        py::object doomed = rows_matching(stored, keys);
        removed = py::int_(doomed.attr("sum")()).cast<long>();
        if (removed > 0) {
            native::write_stored_parquet(stored[doomed.attr("__invert__")()], path);
        }
    });
    if (!present) {
        say_nothing_removed(category, "no table stored");
    } else if (removed == 0) {
        say_nothing_removed(path, "no stored row matches keys");
    } else {
        native::print_line(native::concat(path, ": removed ", py::int_(removed), " rows"));
    }
    return py::int_(removed);
}

py::int_ delete_category(py::object self, py::object category) {
    py::object directory = category_directory(self, category);
    py::object os = global("os");
    long removed = 0;
    if (native::path_exists(directory)) {
        py::set months(stored_month_keys(directory, category));
        py::list names = native::list_regular_files(directory);
        names.attr("sort")();
        py::str table_name = table_file_name(category);
        py::object month_pattern = month_file_regex(category);
        for (py::handle name : names) {
            std::string text = py::str(name).cast<std::string>();
            bool store_file = py::str(name).equal(table_name) || py::bool_(month_pattern.attr("fullmatch")(name));
            bool leftover = text.rfind(core::layout::temporary_prefix, 0) == 0;
            if (!store_file && !leftover) {
                continue;  // a file the store did not write stays, and so does its directory
            }
            py::str path = native::concat(directory, "/", name);
            bool gone = false;
            auto remove = [&] {
                gone = false;
                if (native::path_exists(path)) {
                    native::remove_stored_file(path);
                    gone = true;
                }
            };
            if (store_file) {
                native::run_exclusively(path, remove);
            } else {
                remove();
            }
            forget_digest(path);
            if (gone) {
                ++removed;
                native::print_line(native::concat(path, ": removed"));
            }
        }
        native::storage_for(directory).remove_directory_if_empty(directory);
    }
    native::storage_for(directory).forget_category(self.attr("root_dir"), category);
    if (removed == 0) {
        say_nothing_removed(category, "nothing stored");
    }
    return py::int_(removed);
}

}  // namespace corvane::store
