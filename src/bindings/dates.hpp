// Date arguments and the calendar span the store can keep, shared by the store and the client.
#pragma once

#include <pybind11/pybind11.h>

namespace corvane::native {

namespace py = pybind11;

// Month files carry a four-digit year in their names; other years could not be read back.
constexpr long first_storable_year = 1000;
constexpr long last_storable_year = 9999;

// `value` as a pandas Timestamp. ValueError naming `argument` when it is not a date: None, a number
// (pandas would read it as an offset from 1970), text that does not parse (the empty text included),
// or a day outside the storable years.
py::object require_date(const py::handle &value, const char *argument);

// ValueError naming `source` when a day of `days` (a DatetimeIndex) lies outside the storable years.
void require_storable_years(const py::object &days, const py::handle &source);

}  // namespace corvane::native
