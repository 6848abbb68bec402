#include "bindings/dates.hpp"

#include "bindings/pyglue.hpp"

namespace corvane::native {

namespace {

[[noreturn]] void raise_not_a_date(const py::handle &value, const char *argument, const char *why) {
    raise_error(PyExc_ValueError, concat(argument, " is not a date", why, ": ", py::repr(value)));
}

bool in_storable_years(long year) { return year >= first_storable_year && year <= last_storable_year; }

}  // namespace

py::object require_date(const py::handle &value, const char *argument) {
    if (value.is_none() || py::isinstance(value, py::module_::import("numbers").attr("Number"))) {
        raise_not_a_date(value, argument, "");
    }
    if (PyUnicode_Check(value.ptr()) && py::str(value).attr("strip")().equal(py::str(""))) {
        raise_not_a_date(value, argument, "");
    }
    py::object day;
    try {
        day = global("pd").attr("Timestamp")(value);
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_TypeError) &&
            !error.matches(PyExc_OverflowError)) {
            throw;
        }
        raise_not_a_date(value, argument, "");
    }
    if (py::bool_(global("pd").attr("isna")(day))) {
        raise_not_a_date(value, argument, "");
    }
    if (!in_storable_years(day.attr("year").cast<long>())) {
        raise_not_a_date(value, argument, " of the years 1000 to 9999");
    }
    return day;
}

void require_storable_years(const py::object &days, const py::handle &source) {
    if (py::len(days) == 0) {
        return;
    }
    // The first and last days alone settle the common case; only a refusal looks at every year.
    if (in_storable_years(days.attr("min")().attr("year").cast<long>()) &&
        in_storable_years(days.attr("max")().attr("year").cast<long>())) {
        return;
    }
    py::object years = days.attr("year");
    py::object outside_years = years.attr("__lt__")(first_storable_year).attr("__or__")(years.attr("__gt__")(last_storable_year));
    py::object outside = days[outside_years];
    raise_error(PyExc_ValueError, concat(source, ": days outside the years 1000 to 9999 cannot be stored: ",
                                         outside.attr("strftime")("%Y-%m-%d").attr("tolist")()));
}

}  // namespace corvane::native
