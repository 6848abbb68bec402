// Which wanted days of a category kept by month the store does not hold yet.
#include "framevault/store.hpp"
#include "bindings/names.hpp"

namespace corvane::store {

using namespace pybind11::literals;

namespace {

// The day a wanted item stands for, at midnight and without a zone as stored days are; the item
// itself when it is no date, so that it matches nothing.
py::object as_day(const py::handle &item) {
    try {
        py::object day = global("pd").attr("Timestamp")(item);
        if (py::bool_(global("pd").attr("isna")(day))) {
            return py::reinterpret_borrow<py::object>(item);
        }
        if (!day.attr("tz").is_none()) {
            day = day.attr("tz_localize")(py::none());
        }
        return day.attr("normalize")();
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_TypeError)) {
            throw;
        }
        return py::reinterpret_borrow<py::object>(item);
    }
}

}  // namespace

py::list get_download_days(py::object self, py::object category, py::object template_date) {
    native::require_category_name(category);
    py::object builtins = py::module_::import("builtins");
    py::object exists_df = self.attr("read_pivot_category")("category"_a = category,
                                                            "start_date"_a = builtins.attr("min")(template_date),
                                                            "end_date"_a = builtins.attr("max")(template_date));
    // Wanted and stored days compared as days, whatever form the wanted ones take (text, datetime,
    // Timestamp, datetime64) and whatever unit they carry.
    py::set stored(stored_label_days(exists_df.attr("columns"), py::str(category)));
    py::list update_dates;
    for (py::handle day : py::set(template_date)) {
        if (!stored.contains(as_day(day))) {
            update_dates.append(day);
        }
    }
    update_dates.attr("sort")();
    py::list result;
    result.append(exists_df);
    result.append(update_dates);
    return result;
}

}  // namespace corvane::store
