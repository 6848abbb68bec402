#include "native/names.hpp"

#include "native/pyglue.hpp"

namespace corvane::native {

bool is_category_name(const py::handle &category) {
    if (!PyUnicode_Check(category.ptr())) {
        return false;
    }
    py::str name = py::reinterpret_borrow<py::str>(category);
    if (py::len(name) == 0 || name.equal(py::str(".")) || name.equal(py::str(".."))) {
        return false;
    }
    py::object os = global("os");
    py::list separators;
    separators.append(py::str("/"));
    separators.append(py::str(std::string(1, '\0')));
    separators.append(os.attr("sep"));
    if (!os.attr("altsep").is_none()) {
        separators.append(os.attr("altsep"));
    }
    for (py::handle separator : separators) {
        if (PySequence_Contains(name.ptr(), separator.ptr()) == 1) {
            return false;
        }
    }
    return true;
}

void require_category_name(const py::handle &category) {
    if (!is_category_name(category)) {
        PyErr_SetObject(PyExc_ValueError,
                        concat("invalid category ", py::repr(category),
                               ": a category must be one non-empty path component (not '.' or '..', no "
                               "path separator, no NUL)")
                            .ptr());
        throw py::error_already_set();
    }
}

}  // namespace corvane::native
