// Calendar months of a date range, shared by the store's reader and the client's sync.
#pragma once

#include <pybind11/pybind11.h>

namespace corvane::native {

namespace py = pybind11;

// Every calendar month that [start_date, end_date] overlaps, the start date's month included even
// when the range begins after its first day, each formatted with strftime(format); none when the
// start lies after the end. A missing or unreadable bound raises pandas' own error.
py::list months_overlapping(const py::object &start_date, const py::object &end_date, const char *format);

}  // namespace corvane::native
