#include "native/months.hpp"

#include "native/pyglue.hpp"

namespace corvane::native {

using namespace pybind11::literals;

py::list months_overlapping(const py::object &start_date, const py::object &end_date, const char *format) {
    py::object pd = global("pd");
    py::object months = pd.attr("period_range")("start"_a = start_date, "end"_a = end_date, "freq"_a = "M");
    // Periods compare by month only, so a start later in the same month would still yield it.
    if (pd.attr("Timestamp")(start_date) > pd.attr("Timestamp")(end_date)) {
        return py::list();
    }
    return months.attr("strftime")(format).attr("tolist")();
}

}  // namespace corvane::native
