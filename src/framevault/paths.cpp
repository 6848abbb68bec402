#include "framevault/month_files.hpp"
#include "core/store_layout.hpp"
#include "bindings/names.hpp"

namespace corvane::store {

void init_store(py::object self, py::object root_dir, py::object max_workers) {
    self.attr("root_dir") = root_dir;
    self.attr("max_workers") = max_workers;
    // The root's storage is picked here, from its path: a root that no storage serves fails now. Every
    // later call on a path under the root gets the same one.
    py::object root = self.attr("root_dir");
    native::storage_for(root).make_directories(root);
}

py::object get_category_path(py::object self, py::object category) {
    // Every path of a category is built here: a name that is not one path component stops before
    // anything is created.
    native::require_category_name(category);
    py::object dir_path = global("os").attr("path").attr("join")(self.attr("root_dir"), category);
    native::make_directories(dir_path);
    return dir_path;
}

py::object get_unstack_file_path(py::object self, py::object category) {
    py::object directory = self.attr("_get_category_path")(category);
    return native::concat(directory, "/", table_file_name(category));
}

py::object get_pivot_file_path(py::object self, py::object category, py::object year, py::object month) {
    py::object directory = self.attr("_get_category_path")(category);
    py::object two_digit_month = py::reinterpret_steal<py::object>(PyObject_Format(month.ptr(), py::str("02d").ptr()));
    if (!two_digit_month) {
        native::raise_pending();
    }
    return native::concat(directory, "/", month_file_name(category, native::concat(year, "-", two_digit_month)));
}

bool if_exists_unstack_category(py::object self, py::object category) {
    py::object dir_path = self.attr("_get_unstack_file_path")(category);
    return native::path_exists(dir_path);
}

// True when the category holds at least one month file.
bool if_exists_pivot_category(py::object self, py::object category) {
    for (py::handle year_month : self.attr("_get_pivot_year_month")(category)) {
        if (!py::tuple(py::reinterpret_borrow<py::object>(year_month))[0].is_none()) {
            return true;
        }
    }
    return false;
}

py::object gsoi(py::object choice, py::object df) {
    if (choice.equal(py::int_(1))) {
        return df.attr("columns");
    }
    if (choice.equal(py::int_(0))) {
        return df.attr("index");
    }
    return py::str("Invalid input. Please enter 1 for columns or 0 for index.");
}

py::tuple extract_year_month(py::object input_string) {
    py::object match = global("re").attr("search")(core::layout::month_key_pattern, input_string);
    if (py::bool_(match)) {
        return py::make_tuple(match.attr("group")(1), match.attr("group")(2));
    }
    return py::make_tuple(py::none(), py::none());
}

py::list get_pivot_year_month(py::object self, py::object category) {
    py::object directory = self.attr("_get_category_path")(category);
    py::object extract = store_class().attr("extract_year_month");
    py::list year_months;
    for (py::handle name : native::list_directory(directory)) {
        year_months.append(extract(name));
    }
    return year_months;
}

py::str repr_store(py::object self) {
    // getattr with defaults: a half-built store (a subclass failing in __init__) still shows.
    py::object none = py::none();
    return native::concat(py::type::of(self).attr("__name__"), "(root_dir=", py::repr(py::getattr(self, "root_dir", none)),
                          ", max_workers=", py::repr(py::getattr(self, "max_workers", none)), ")");
}

}  // namespace corvane::store
