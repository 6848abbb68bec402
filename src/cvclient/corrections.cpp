// A vendor's restated values brought into the store: the monthly sync, with the server winning.
#include "cvclient/client.hpp"

namespace corvane::client {

using namespace pybind11::literals;

py::object correct_pivot_parquet(py::object self, py::object category, py::object start_date, py::object end_date,
                                 py::object strf) {
    py::object df = load_server_months(self, category, start_date, end_date);
    if (df.is_none()) {
        native::print_line(native::concat(category, ": the server holds no month from ", start_date, " to ", end_date,
                                          "; nothing corrected"));
        return py::int_(0);
    }
    return self.attr("CV_db").attr("overwrite_pivot_category")("df"_a = df, "category"_a = category, "strf"_a = strf);
}

}  // namespace corvane::client
