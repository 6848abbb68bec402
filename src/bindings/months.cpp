#include "bindings/months.hpp"

#include "bindings/pyglue.hpp"

namespace corvane::native {

using namespace pybind11::literals;

py::list months_overlapping(const py::object &start_date, const py::object &end_date, const char *format) {
    py::object pd = global("pd");
    if (start_date.is_none() || end_date.is_none()) {
        // pandas words the complaint about a missing bound.
        pd.attr("period_range")("start"_a = start_date, "end"_a = end_date, "freq"_a = "M");
    }
    py::object start = pd.attr("Timestamp")(start_date);
    py::object end = pd.attr("Timestamp")(end_date);
    py::list months;
    if (start > end) {
        return months;
    }
    // Counted in C++ and rendered through datetime.date: a period index costs more than the read
    // of a small month file.
    py::object date = py::module_::import("datetime").attr("date");
    long year = start.attr("year").cast<long>();
    long month = start.attr("month").cast<long>();
    const long last_year = end.attr("year").cast<long>();
    const long last_month = end.attr("month").cast<long>();
    while (year < last_year || (year == last_year && month <= last_month)) {
        months.append(date(year, month, 1).attr("strftime")(format));
        if (++month > 12) {
            month = 1;
            ++year;
        }
    }
    return months;
}

}  // namespace corvane::native
