#include "cvclient/client.hpp"
#include "bindings/dates.hpp"
#include "bindings/months.hpp"
#include "bindings/names.hpp"

namespace corvane::client {

namespace {

using namespace pybind11::literals;

// Dates must be exactly str (a subclass or None fails), checked before any server or store call.
void require_exact_str(const py::handle &value, const char *argument) {
    if (!PyUnicode_CheckExact(value.ptr())) {
        native::raise_formatted(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                                argument, PyUnicode_Type.tp_name, Py_TYPE(value.ptr())->tp_name);
    }
}

// TypeError naming the server key whose value is not a pandas DataFrame.
void require_loaded_frame(const py::handle &value, const py::handle &key) {
    if (!py::isinstance(value, global("pd").attr("DataFrame"))) {
        raise_error(PyExc_TypeError,
                    native::concat(key, " holds a ", py::type::of(value).attr("__name__"), ", not a pandas DataFrame"));
    }
}

py::list key_columns() {
    py::list columns;
    columns.append("order_book_id");
    columns.append("start_date");
    columns.append("end_date");
    return columns;
}

// The YYYYMM of the server's monthly keys cv1-<category>-YYYYMM in the key snapshot, ascending.
py::list server_month_keys(const py::object &self, const py::object &category) {
    py::str prefix = native::concat("cv1-", category, "-");
    auto prefix_length = static_cast<Py_ssize_t>(py::len(prefix));
    py::list months;
    for (py::handle key : self.attr("keys")) {
        if (!py::isinstance<py::str>(key) || !py::bool_(key.attr("startswith")(prefix))) {
            continue;
        }
        py::object month = key[py::slice(prefix_length, PY_SSIZE_T_MAX, 1)];
        if (py::len(month) == 6 && py::bool_(month.attr("isdecimal")())) {
            months.append(month);
        }
    }
    months.attr("sort")();
    return months;
}

// What the server holds of a category, for an error that says why a sync found nothing.
py::str server_holdings(const py::object &self, const py::object &category) {
    py::list months = server_month_keys(self, category);
    if (py::len(months) > 0) {
        return native::concat("category ", py::repr(category), " is kept by month on the server (",
                              py::int_(py::len(months)), " keys cv1-", category, "-YYYYMM, ", py::object(months[0]),
                              " to ", py::object(months[py::len(months) - 1]), ")");
    }
    if (self.attr("keys").contains(native::concat("cv1-", category))) {
        return native::concat("category ", py::repr(category), " is a whole table on the server (key cv1-",
                              category, "), not kept by month");
    }
    return native::concat("the server holds no category ", py::repr(category), " (no key cv1-", category,
                          " or cv1-", category, "-YYYYMM)");
}

// The complaint about a key without a value, as the own loader and pickle.loads(None) word it.
bool is_missing_value_error(py::error_already_set &error) {
    return error.matches(PyExc_TypeError) &&
           py::bool_(py::str(error.value()).attr("startswith")("a bytes-like object is required, not 'NoneType'"));
}

}  // namespace

void update_unstack_parquet(py::object self, py::object category) {
    native::require_category_name(category);
    py::object unstack_df;
    try {
        unstack_df = self.attr("load_df_from_cvdb")(native::concat("cv1-", category));
    } catch (py::error_already_set &error) {
        if (!is_missing_value_error(error)) {
            throw;
        }
        py::list months = server_month_keys(self, category);
        py::str reason = py::len(months) > 0
                             ? native::concat(server_holdings(self, category), ": sync it with UpdatePivotParquet")
                             : native::concat("the server holds no category ", py::repr(category));
        native::raise_with_cause(
            py::reinterpret_borrow<py::object>(PyExc_TypeError)(native::concat(py::str(error.value()), "; ", reason)),
            error.value());
    }
    self.attr("CV_db").attr("update_unstack_category")("category"_a = category, "sub_df"_a = unstack_df,
                                                       "key_columns"_a = key_columns());
}

py::object load_server_months(py::object self, py::object category, py::object start_date, py::object end_date) {
    require_exact_str(start_date, "start_date");
    require_exact_str(end_date, "end_date");
    native::require_category_name(category);
    native::require_date(start_date, "start_date");
    native::require_date(end_date, "end_date");
    py::list target_columns;
    for (py::handle month : native::months_overlapping(start_date, end_date, "%Y%m")) {
        py::str key = native::concat("cv1-", category, "-", month);
        if (self.attr("keys").contains(key)) {
            target_columns.append(key);
        }
    }
    if (py::len(target_columns) == 0) {
        return py::none();
    }
    // Every month is loaded before the store is called, so a failed load writes nothing.
    py::object months = global("tqdm")(target_columns, **native::bar_settings());
    py::list frames;
    if (loads_with_own_loader(self)) {
        frames = sandboxed_load_each(self, months);
    } else {
        for (py::handle column : months) {
            frames.append(self.attr("load_df_from_cvdb")(column));
        }
    }
    // A Series would join as a column and be written; anything else but a frame fails the join.
    for (size_t position = 0; position < frames.size(); ++position) {
        require_loaded_frame(frames[position], target_columns[position]);
    }
    return global("pd").attr("concat")(frames, "axis"_a = 1);
}

void update_pivot_parquet(py::object self, py::object category, py::object start_date,
                          py::object end_date, py::object strf) {
    py::object df = load_server_months(self, category, start_date, end_date);
    if (df.is_none()) {
        py::object stored;
        try {
            stored = self.attr("GetPivotCategory")(category, py::none(), py::none());
        } catch (py::error_already_set &error) {
            // The store has no latest day to show either: the server's side is the news.
            if (!error.matches(PyExc_ValueError)) {
                throw;
            }
            bool whole_table = py::len(server_month_keys(self, category)) == 0 &&
                               self.attr("keys").contains(native::concat("cv1-", category));
            py::str reason = whole_table
                                 ? native::concat(server_holdings(self, category), ": sync it with UpdateUnstackParquet")
                                 : native::concat("no month of ", py::repr(category), " from ", start_date, " to ",
                                                  end_date, " is on the server, and the store has none: ",
                                                  server_holdings(self, category));
            native::raise_with_cause(py::reinterpret_borrow<py::object>(PyExc_ValueError)(reason), error.value());
        }
        native::print_line(native::concat(category, " are Latest Date: ", stored.attr("columns")[py::int_(-1)]));
        return;
    }
    self.attr("CV_db").attr("update_pivot_category")("df"_a = df, "category"_a = category, "strf"_a = strf);
}

py::object get_unstack_category(py::object self, py::object category) {
    native::require_category_name(category);
    return self.attr("CV_db").attr("read_unstack_category")(category);
}

py::object get_pivot_category(py::object self, py::object category, py::object start_date,
                              py::object end_date) {
    native::require_category_name(category);
    return self.attr("CV_db").attr("read_pivot_category")(category, start_date, end_date);
}

}  // namespace corvane::client
