// Which wanted days of a category kept by month the store does not hold yet.
#include "framevault/store.hpp"
#include "native/names.hpp"

namespace corvane::store {

using namespace pybind11::literals;

py::list get_download_days(py::object self, py::object category, py::object template_date) {
    native::require_category_name(category);
    py::object builtins = py::module_::import("builtins");
    py::object exists_df = self.attr("read_pivot_category")("category"_a = category,
                                                            "start_date"_a = builtins.attr("min")(template_date),
                                                            "end_date"_a = builtins.attr("max")(template_date));
    // One unit for the stored days, whatever unit the wanted Timestamps carry.
    py::set stored(stored_label_days(exists_df.attr("columns"), py::str(category)));
    py::list update_dates;
    for (py::handle day : py::set(template_date)) {
        if (!stored.contains(day)) {
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
