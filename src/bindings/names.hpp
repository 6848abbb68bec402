// Names that become parts of paths in the store, checked where they enter.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

namespace corvane::native {

namespace py = pybind11;

// The longest category name, in bytes of UTF-8: file names add "_YYYY-MM.parquet" and lock and
// digest files more, within the 255 bytes most file systems allow per name.
inline constexpr size_t longest_category_bytes = 200;

// Why the UTF-8 text `name` cannot be a category, or an empty string when it can. A category must
// name one directory directly under the store's root, on local disk and as an object key, and be
// printed as it is: non-empty, at most longest_category_bytes, not ".", ".." nor the store's own
// ".corvane", and without "/", "\" (object stores take it for a separator), C0 control
// characters (NUL included) or DEL. Plain C++, for any caller that holds the name as bytes.
std::string category_name_fault(std::string_view name);

// Whether `category` is a str that category_name_fault accepts (lone surrogates are refused: the
// name must have a UTF-8 spelling).
bool is_category_name(const py::handle &category);

// ValueError naming the category and the reason unless is_category_name holds. Called before any
// path is built, so a bad name creates nothing.
void require_category_name(const py::handle &category);

}  // namespace corvane::native
