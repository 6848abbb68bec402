#include "framevault/numeric_frames.hpp"
#include "framevault/store.hpp"
#include "core/iso_days.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

namespace corvane::store {

std::optional<int64_t> iso_label_micros(const py::handle &label) {
    std::optional<std::string_view> text = native::utf8_view(label);
    if (!text) {
        return std::nullopt;
    }
    return core::iso_day_micros(*text);
}

namespace {

using namespace pybind11::literals;

bool matches_value_or_type_error(const py::error_already_set &error) {
    return error.matches(PyExc_ValueError) || error.matches(PyExc_TypeError);
}

// The days of labels that are all "YYYY-MM-DD" text, as pd.to_datetime would give them; nothing
// when any label is something else, which then takes pandas' own parse.
std::optional<py::object> iso_day_labels(const py::object &labels) {
    auto count = static_cast<py::ssize_t>(py::len(labels));
    if (count == 0 || !native_core_enabled()) {
        return std::nullopt;
    }
    // Only text can be ISO text. Text labels are taken out as one list: iterating pandas' Arrow-backed
    // text labels one by one costs microseconds a label.
    py::object dtype = labels.attr("dtype");
    if (!py::str(dtype.attr("kind")).equal(py::str("O")) && !py::isinstance(dtype, global("pd").attr("StringDtype"))) {
        return std::nullopt;
    }
    py::list texts = labels.attr("tolist")();
    py::array_t<int64_t> micros(count);
    int64_t *out = micros.mutable_data();
    for (py::handle label : texts) {
        std::optional<int64_t> day = iso_label_micros(label);
        if (!day) {
            return std::nullopt;
        }
        *out++ = *day;
    }
    return global("pd").attr("DatetimeIndex")(micros.attr("view")("datetime64[us]"), "name"_a = labels.attr("name"));
}

bool is_str_dtype(const py::handle &dtype) {
    return py::isinstance(dtype, global("pd").attr("StringDtype"));
}

// The frame with every pandas str column and label axis turned to object; the frame itself when it
// has none.
py::object strings_as_object(const py::object &frame) {
    py::object out = frame;
    py::list dtypes = py::list(frame.attr("dtypes"));
    for (size_t position = 0; position < dtypes.size(); ++position) {
        if (is_str_dtype(dtypes[position])) {
            if (out.is(frame)) {
                out = frame.attr("copy")("deep"_a = false);
            }
            py::object column = out.attr("iloc")[py::make_tuple(py::slice(0, PY_SSIZE_T_MAX, 1), position)];
            out.attr("isetitem")(position, column.attr("astype")(py::module_::import("builtins").attr("object")));
        }
    }
    for (const char *axis : {"index", "columns"}) {
        py::object labels = out.attr(axis);
        if (is_str_dtype(labels.attr("dtype"))) {
            if (out.is(frame)) {
                out = frame.attr("copy")("deep"_a = false);
            }
            out.attr(axis) = labels.attr("astype")(py::module_::import("builtins").attr("object"));
        }
    }
    return out;
}

}  // namespace

void require_frame(const py::handle &value, const char *argument) {
    if (!py::isinstance(value, global("pd").attr("DataFrame"))) {
        py::object type_name = py::type::of(value).attr("__name__");
        raise_error(PyExc_TypeError, native::concat(argument, " must be a pandas DataFrame, not ", type_name));
    }
}

bool same_content(const py::object &stored, const py::object &incoming) {
    if (py::bool_(stored.attr("equals")(incoming))) {
        return true;
    }
    if (!stored.attr("shape").equal(incoming.attr("shape"))) {
        return false;
    }
    py::object plain_stored = strings_as_object(stored);
    py::object plain_incoming = strings_as_object(incoming);
    if (plain_stored.is(stored) && plain_incoming.is(incoming)) {
        return false;
    }
    return py::bool_(plain_stored.attr("equals")(plain_incoming));
}

py::object to_day_labels(const py::object &labels, const py::handle &source, const py::handle &written_format) {
    if (py::len(labels) > 0) {
        std::string kind = py::str(labels.attr("dtype").attr("kind")).cast<std::string>();
        // pd.to_datetime reads numbers as offsets from 1970 and would invent dates for them.
        if (kind.find_first_of("biufc") != std::string::npos) {
            raise_error(PyExc_ValueError,
                        native::concat(source, ": column labels are not dates but ", labels.attr("dtype"), " values"));
        }
    }
    if (std::optional<py::object> days = iso_day_labels(labels)) {
        return *days;
    }
    py::object to_datetime = global("pd").attr("to_datetime");
    py::object days;
    // pd.to_datetime hands a DatetimeIndex back as it is.
    if (py::type::of(labels).is(global("pd").attr("DatetimeIndex"))) {
        days = labels;
    } else if (!written_format.is_none()) {
        // Labels written with this format were checked to read back as their days without it, so
        // parsing with it gives the same days, without inferring the format first.
        try {
            days = to_datetime(labels, "format"_a = written_format);
        } catch (py::error_already_set &error) {
            if (!matches_value_or_type_error(error)) {
                throw;
            }
        }
    }
    try {
        if (!days) {
            days = to_datetime(labels);
        }
    } catch (py::error_already_set &error) {
        if (!matches_value_or_type_error(error)) {
            throw;
        }
        py::object raised = py::handle(PyExc_ValueError)(native::concat(source, ": column labels are not dates"));
        native::raise_with_cause(raised, error.value());
    }
    if (py::bool_(days.attr("hasnans"))) {
        raise_error(PyExc_ValueError, native::concat(source, ": column labels hold a missing date"));
    }
    // Labels on disk carry no time zone, so a zone would only stop them reading back equal.
    if (!days.attr("tz").is_none()) {
        days = days.attr("tz_localize")(py::none());
    }
    return days.attr("as_unit")("us");
}

namespace {

// Ticks of a datetime64 unit in a day; 0 for units not handled here.
int64_t ticks_per_day(const std::string &unit) {
    constexpr int64_t seconds = 86'400;
    return unit == "s" ? seconds : unit == "ms" ? seconds * 1'000 : unit == "us" ? seconds * 1'000'000 : unit == "ns" ? seconds * 1'000'000'000 : 0;
}

// days.strftime("%Y-%m-%d") made here, for a DatetimeIndex without a zone or gaps whose days are
// distinct and of the years 1000 to 9999; nullopt otherwise, and then pandas formats and checks.
// strftime and the check that its labels are unique cost more than the rest of a month's labels.
std::optional<py::object> iso_text_labels(const py::object &days) {
    py::object pd = global("pd");
    if (!native_core_enabled() || !py::type::of(days).is(pd.attr("DatetimeIndex")) || !days.attr("tz").is_none() ||
        py::bool_(days.attr("hasnans"))) {
        return std::nullopt;
    }
    int64_t per_day = ticks_per_day(py::str(days.attr("unit")).cast<std::string>());
    if (per_day == 0) {
        return std::nullopt;
    }
    std::vector<int64_t> ticks = day_ticks(days);
    std::vector<std::string> texts;
    texts.reserve(ticks.size());
    for (int64_t tick : ticks) {
        std::optional<std::string> text = core::iso_day_text(tick, per_day);
        if (!text) {
            return std::nullopt;
        }
        texts.push_back(std::move(*text));
    }
    std::vector<std::string> sorted = texts;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
        return std::nullopt;
    }
    py::list labels;
    for (const std::string &text : texts) {
        labels.append(py::str(text));
    }
    // pd.Index infers from text what strftime gives: str where pandas uses its string dtype, else object.
    return pd.attr("Index")(labels, "name"_a = days.attr("name"));
}

}  // namespace

py::object to_text_labels(const py::object &days, const py::handle &date_format) {
    if (py::isinstance<py::str>(date_format) && py::str(date_format).equal(py::str("%Y-%m-%d"))) {
        if (std::optional<py::object> text = iso_text_labels(days)) {
            return *text;
        }
    }
    py::object text = days.attr("strftime")(date_format);
    bool reads_back = py::bool_(text.attr("is_unique"));
    // ISO dates always read back as themselves; only other formats need the parse.
    if (reads_back && !py::str(date_format).equal(py::str("%Y-%m-%d"))) {
        try {
            py::object parsed = global("pd").attr("to_datetime")(text).attr("as_unit")("us");
            reads_back = py::bool_(parsed.attr("normalize")().attr("equals")(days.attr("normalize")()));
        } catch (py::error_already_set &error) {
            if (!matches_value_or_type_error(error)) {
                throw;
            }
            reads_back = false;
        }
    }
    if (!reads_back) {
        raise_error(PyExc_ValueError, native::concat("date_format ", py::repr(date_format),
                                                     " does not give one label per day that reads back as that day: ",
                                                     text.attr("tolist")()));
    }
    return text;
}

py::object stored_label_days(const py::object &labels, const py::handle &source) {
    try {
        return to_day_labels(labels, source, py::str("%Y-%m-%d"));
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_ValueError) || py::len(labels) < 2) {
            throw;
        }
    }
    // Every label written by the store reads back alone as its day.
    py::list days;
    for (py::handle label : labels) {
        py::object one = global("pd").attr("Index")(py::list(py::make_tuple(label)));
        days.append(to_day_labels(one, source).attr("__getitem__")(0));
    }
    return to_day_labels(global("pd").attr("DatetimeIndex")(days), source);
}

namespace {

// Floats hold every integer up to 2**53 exactly.
constexpr long long exact_float_limit = 9007199254740992LL;

bool is_kind(const py::handle &dtype, const char *kinds) {
    std::string kind = py::str(dtype.attr("kind")).cast<std::string>();
    return kind.find_first_of(kinds) != std::string::npos;
}

// Labels of the integer columns of `frame` that hold a value floats cannot hold exactly.
py::list large_integer_columns(const py::object &frame) {
    py::list labels;
    py::list dtypes = py::list(frame.attr("dtypes"));
    py::object columns = frame.attr("columns");
    for (size_t position = 0; position < dtypes.size(); ++position) {
        if (!is_kind(dtypes[position], "iu")) {
            continue;
        }
        py::object all_rows = py::reinterpret_steal<py::object>(PySlice_New(nullptr, nullptr, nullptr));
        py::object column = frame.attr("iloc")[py::make_tuple(all_rows, py::int_(position))];
        // Compared as integers: a cast to double would round the very values looked for. A column
        // of gaps only (nullable integers) has no extremes.
        py::object top = column.attr("max")();
        if (py::bool_(global("pd").attr("isna")(top))) {
            continue;
        }
        if (py::bool_(top.attr("__gt__")(exact_float_limit)) ||
            py::bool_(column.attr("min")().attr("__lt__")(-exact_float_limit))) {
            labels.append(columns.attr("__getitem__")(position));
        }
    }
    return labels;
}

// `frame` with its column `label` converted to `dtype`, or an empty object when it cannot be.
py::object with_column_as(const py::object &frame, const py::object &label, const char *dtype) {
    py::object copy = frame.attr("copy")("deep"_a = false);
    try {
        copy.attr("__setitem__")(label, frame[label].attr("astype")(dtype));
    } catch (py::error_already_set &error) {
        if (!matches_value_or_type_error(error) && !error.matches(PyExc_OverflowError)) {
            throw;
        }
        return py::object();
    }
    return copy;
}

}  // namespace

namespace {

// Whether every input holds column `label` with one integer dtype and, where rows are aligned by
// label, with the same rows: then no cell of it goes missing, and the merge keeps the dtype.
bool stays_integer(const std::vector<py::object> &inputs, const py::object &label, bool aligns_rows) {
    py::object dtype;
    for (const py::object &frame : inputs) {
        if (!frame.attr("columns").contains(label)) {
            return false;
        }
        py::object own = frame[label].attr("dtype");
        if (!dtype) {
            dtype = own;
        } else if (!dtype.equal(own)) {
            return false;
        }
        if (aligns_rows && !inputs[0].is(frame)) {
            py::object rows = inputs[0].attr("index");
            py::object others = frame.attr("index");
            if (!py::bool_(rows.attr("equals")(others)) &&
                (py::len(rows) != py::len(others) || py::len(rows.attr("difference")(others)) > 0)) {
                return false;
            }
        }
    }
    return is_kind(dtype, "iu");
}

// What the merged object column `column` becomes: when it holds integers beyond float precision
// and nothing but integers, int64, or Int64 where cells are missing; pandas' own inference when it
// holds none.
py::object settled_column(const py::object &column, const py::object &label) {
    bool large = false;
    bool not_integer = false;
    bool gaps = false;
    for (py::handle value : column.attr("to_numpy")()) {
        if (PyBool_Check(value.ptr())) {
            not_integer = true;
        } else if (PyLong_Check(value.ptr())) {
            int overflow = 0;
            long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
            large = large || overflow != 0 || number > exact_float_limit || number < -exact_float_limit;
        } else if (PyFloat_Check(value.ptr())) {
            double number = PyFloat_AS_DOUBLE(value.ptr());
            not_integer = not_integer || (!std::isnan(number) && (!std::isfinite(number) || number != std::floor(number)));
            gaps = gaps || std::isnan(number);
        } else if (py::bool_(global("pd").attr("isna")(value))) {
            gaps = true;
        } else {
            not_integer = true;
        }
    }
    if (!large) {
        return column.attr("infer_objects")();
    }
    if (!not_integer) {
        try {
            return column.attr("astype")(gaps ? "Int64" : "int64");
        } catch (py::error_already_set &error) {
            if (!matches_value_or_type_error(error) && !error.matches(PyExc_OverflowError)) {
                throw;
            }
        }
    }
    // Fractions beside such integers have no exact common type that Parquet holds.
    raise_error(PyExc_ValueError, native::concat("column ", py::repr(label),
                                                 " mixes integers beyond float precision with values that are "
                                                 "not integers; merging them would round stored values"));
}

}  // namespace

py::object merge_keeping_integers(const std::vector<py::object> &inputs,
                                  const std::function<py::object(const std::vector<py::object> &)> &merge,
                                  bool aligns_rows) {
    py::list large;
    for (const py::object &frame : inputs) {
        if (!py::bool_(frame.attr("columns").attr("is_unique"))) {
            return merge(inputs);
        }
        for (py::handle label : large_integer_columns(frame)) {
            if (!large.contains(label)) {
                large.append(label);
            }
        }
    }
    // Aligning rows or columns passes a column through float64 wherever a cell goes missing or the
    // dtypes differ, even where the result comes back as int64.
    std::vector<py::object> exact = inputs;
    py::list as_objects;
    for (py::handle label_handle : large) {
        py::object label = py::reinterpret_borrow<py::object>(label_handle);
        if (stays_integer(inputs, label, aligns_rows)) {
            continue;
        }
        std::vector<py::object> converted = exact;
        bool all_integers = true;
        for (py::object &frame : converted) {
            if (frame.attr("columns").contains(label)) {
                frame = with_column_as(frame, label, "Int64");
                all_integers = all_integers && frame;
                if (!all_integers) {
                    break;
                }
            }
        }
        if (all_integers) {
            exact = converted;
            continue;
        }
        // Values beside them that are no integers may still lose to others in the merge: merged
        // as they are, and judged on the result.
        for (py::object &frame : exact) {
            if (frame.attr("columns").contains(label)) {
                frame = with_column_as(frame, label, "object");
            }
        }
        as_objects.append(label);
    }
    py::object merged = merge(exact);
    for (py::handle label : as_objects) {
        py::object settled = settled_column(merged[label], py::reinterpret_borrow<py::object>(label));
        for (const py::object &frame : exact) {
            if (merged.is(frame)) {
                merged = merged.attr("copy")("deep"_a = false);
            }
        }
        merged.attr("__setitem__")(label, settled);
    }
    return merged;
}

py::list row_codes(const py::object &frame, const std::vector<Py_ssize_t> &positions, bool with_index) {
    py::object factorize = global("pd").attr("factorize");
    py::list codes;
    py::object all_rows = py::reinterpret_steal<py::object>(PySlice_New(nullptr, nullptr, nullptr));
    for (Py_ssize_t position : positions) {
        py::object column = frame.attr("iloc")[py::make_tuple(all_rows, py::int_(position))];
        codes.append(factorize(column, "use_na_sentinel"_a = false)[py::int_(0)]);
    }
    if (with_index) {
        codes.append(factorize(frame.attr("index"), "use_na_sentinel"_a = false)[py::int_(0)]);
    }
    return codes;
}

py::object rows_with_values(const py::object &frame) {
    // float64 frames are checked on their buffer; most have no empty row and come back as they are.
    if (float_rows_all_have_values(frame)) {
        return frame;
    }
    // On the bare array: a month of rows costs a fraction of the frame-level reduction.
    py::object empty_rows = frame.attr("isna")().attr("to_numpy")().attr("all")("axis"_a = 1);
    if (!py::bool_(empty_rows.attr("any")())) {
        return frame;
    }
    return frame[empty_rows.attr("__invert__")()];
}

void require_unique_labels(const py::object &days, const py::object &rows, const char *argument) {
    for (auto [labels, what] : {std::pair{days, ": duplicate day labels "}, std::pair{rows, ": duplicate row labels "}}) {
        if (!py::bool_(labels.attr("is_unique"))) {
            py::object repeated = labels[labels.attr("duplicated")()].attr("unique")().attr("tolist")();
            raise_error(PyExc_ValueError, native::concat(argument, what, repeated));
        }
    }
}

void require_one_kind_of_key(const py::object &values, const py::str &what) {
    py::object kind = global("pd").attr("api").attr("types").attr("infer_dtype")(values, "skipna"_a = true);
    if (kind.equal(py::str("mixed-integer"))) {
        raise_error(PyExc_ValueError, native::concat(what, " mix integers with other kinds of value (", kind,
                                                     "): Parquet stores one kind per column"));
    }
}

void require_storable_table(const py::object &frame, const py::list &key_columns, const char *argument) {
    py::object columns = frame.attr("columns");
    if (!py::bool_(columns.attr("is_unique"))) {
        py::object repeated = columns[columns.attr("duplicated")()].attr("unique")().attr("tolist")();
        raise_error(PyExc_ValueError, native::concat(argument, ": duplicate column labels ", repeated));
    }
    require_one_kind_of_key(frame.attr("index"), native::concat(argument, ": the row labels"));
    for (py::handle key : key_columns) {
        require_one_kind_of_key(frame[key], native::concat(argument, ": the values of key column ", py::repr(key)));
    }
}

void preload_parquet_engine() {
    try {
        py::module_::import("pyarrow.parquet");
    } catch (py::error_already_set &error) {
        // Without pyarrow pandas picks another engine, or reports the missing one itself.
        if (!error.matches(PyExc_ImportError)) {
            throw;
        }
    }
}

}  // namespace corvane::store
