// Names that become parts of paths in the store, checked where they enter.
#pragma once

#include <pybind11/pybind11.h>

namespace corvane::native {

namespace py = pybind11;

// Whether `category` can name a directory directly under the store's root: a non-empty str that is
// not "." or "..", and holds no "/", no os.sep (nor os.altsep) and no NUL.
bool is_category_name(const py::handle &category);

// ValueError naming the category unless is_category_name holds. Called before any path is built,
// so a bad name creates nothing.
void require_category_name(const py::handle &category);

}  // namespace corvane::native
