#include "framevault/numeric_frames.hpp"
#include "framevault/store.hpp"

#include <string>
#include <utility>

namespace corvane::store {

namespace {

using namespace pybind11::literals;

bool matches_value_or_type_error(const py::error_already_set &error) {
    return error.matches(PyExc_ValueError) || error.matches(PyExc_TypeError);
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
        throw py::type_error(std::string(argument) + " must be a pandas DataFrame, not " +
                             py::str(py::type::of(value).attr("__name__")).cast<std::string>());
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

void raise_value_error(const py::str &message) {
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    throw py::error_already_set();
}

py::object to_day_labels(const py::object &labels, const py::handle &source, const py::handle &written_format) {
    if (py::len(labels) > 0) {
        std::string kind = py::str(labels.attr("dtype").attr("kind")).cast<std::string>();
        // pd.to_datetime reads numbers as offsets from 1970 and would invent dates for them.
        if (kind.find_first_of("biufc") != std::string::npos) {
            raise_value_error(native::concat(source, ": column labels are not dates but ",
                                             labels.attr("dtype"), " values"));
        }
    }
    py::object to_datetime = global("pd").attr("to_datetime");
    py::object days;
    if (!written_format.is_none()) {
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
        std::string message = native::concat(source, ": column labels are not dates").cast<std::string>();
        py::raise_from(error, PyExc_ValueError, message.c_str());
        throw py::error_already_set();
    }
    if (py::bool_(days.attr("hasnans"))) {
        raise_value_error(native::concat(source, ": column labels hold a missing date"));
    }
    // Labels on disk carry no time zone, so a zone would only stop them reading back equal.
    if (!days.attr("tz").is_none()) {
        days = days.attr("tz_localize")(py::none());
    }
    return days.attr("as_unit")("us");
}

py::object to_text_labels(const py::object &days, const py::handle &date_format) {
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
        raise_value_error(native::concat("date_format ", py::repr(date_format),
                                         " does not give one label per day that reads back as that day: ",
                                         text.attr("tolist")()));
    }
    return text;
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
            raise_value_error(native::concat(argument, what, repeated));
        }
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
