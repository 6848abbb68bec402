// Which categories and months a store holds, read from the listings the reads use.
#include "framevault/month_files.hpp"
#include "bindings/names.hpp"
#include "core/store_layout.hpp"

namespace corvane::store {

using namespace pybind11::literals;

py::object category_directory(const py::object &self, const py::object &category) {
    native::require_category_name(category);
    return global("os").attr("path").attr("join")(self.attr("root_dir"), category);
}

py::list stored_month_keys(const py::object &directory, const py::object &category) {
    py::list months;
    if (!native::path_exists(directory)) {
        return months;
    }
    py::object pattern = month_file_regex(category);
    for (py::handle name : native::list_regular_files(directory)) {
        py::object match = pattern.attr("fullmatch")(name);
        if (py::bool_(match)) {
            months.append(native::concat(match.attr("group")(1), "-", match.attr("group")(2)));
        }
    }
    months.attr("sort")();
    return months;
}

py::str table_file_name(const py::handle &category) {
    return py::str(core::layout::table_file_name(py::str(category).cast<std::string>()));
}

py::str month_file_name(const py::handle &category, const py::handle &month_key) {
    return py::str(
        core::layout::month_file_name(py::str(category).cast<std::string>(), py::str(month_key).cast<std::string>()));
}

py::object month_file_regex(const py::handle &category) {
    py::object re = global("re");
    return re.attr("compile")(native::concat(re.attr("escape")(category), core::layout::month_file_pattern));
}

py::str month_file_path(const py::object &directory, const py::object &category, const py::handle &month_key) {
    return native::concat(directory, "/", month_file_name(category, month_key));
}

py::list month_path_tasks(const py::object &directory, const py::object &category, const py::list &months) {
    py::list tasks;
    for (py::handle month : months) {
        py::list task;
        task.append(month_file_path(directory, category, month));
        tasks.append(task);
    }
    return tasks;
}

py::str table_file_path(const py::object &directory, const py::object &category) {
    return native::concat(directory, "/", table_file_name(category));
}

std::map<std::string, std::vector<Py_ssize_t>> columns_by_month_key(const py::object &days) {
    py::list keys = days.attr("strftime")("%Y-%m").attr("tolist")();
    std::map<std::string, std::vector<Py_ssize_t>> positions;
    for (size_t position = 0; position < keys.size(); ++position) {
        positions[keys[position].cast<std::string>()].push_back(static_cast<Py_ssize_t>(position));
    }
    return positions;
}

py::object columns_at(const py::object &frame, const std::vector<Py_ssize_t> &positions) {
    py::list listed;
    for (Py_ssize_t position : positions) {
        listed.append(position);
    }
    py::object all_rows = py::reinterpret_steal<py::object>(PySlice_New(nullptr, nullptr, nullptr));
    return frame.attr("iloc")[py::make_tuple(all_rows, listed)];
}

py::list as_label_list(const py::object &values) {
    if (py::isinstance<py::str>(values) || py::isinstance<py::bytes>(values) ||
        !py::bool_(global("pd").attr("api").attr("types").attr("is_list_like")(values))) {
        py::list one;
        one.append(values);
        return one;
    }
    return py::list(values);
}

py::list list_categories(py::object self) {
    py::object root = self.attr("root_dir");
    py::list found;
    if (!native::path_exists(root)) {
        return found;
    }
    py::object os_path = global("os").attr("path");
    py::list names = native::list_directory(root);
    names.attr("sort")();
    for (py::handle name : names) {
        // Store-internal state (.corvane) and hidden names are never categories.
        std::string text = py::str(name).cast<std::string>();
        if (text.empty() || text[0] == '.' || !native::is_category_name(name)) {
            continue;
        }
        py::object category = py::reinterpret_borrow<py::object>(name);
        py::object directory = os_path.attr("join")(root, category);
        py::list files;
        try {
            files = native::list_regular_files(directory);
        } catch (py::error_already_set &error) {
            // A file or a dangling link beside the categories holds none.
            if (!error.matches(PyExc_NotADirectoryError) && !error.matches(PyExc_FileNotFoundError)) {
                throw;
            }
            continue;
        }
        if (py::len(stored_month_keys(directory, category)) > 0) {
            found.append(py::make_tuple(category, "pivot"));
        }
        if (files.contains(table_file_name(category))) {
            found.append(py::make_tuple(category, "unstack"));
        }
    }
    return found;
}

py::list list_pivot_months(py::object self, py::object category) {
    return stored_month_keys(category_directory(self, category), category);
}

}  // namespace corvane::store
