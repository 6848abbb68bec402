#include "bindings/names.hpp"

#include "bindings/pyglue.hpp"

#include <optional>

namespace corvane::native {

namespace {

// The UTF-8 spelling of `category`; nullopt for anything that is not a str or has none.
std::optional<std::string> utf8_of(const py::handle &category) {
    std::optional<std::string_view> bytes = utf8_view(category);
    if (!bytes) {
        return std::nullopt;
    }
    return std::string(*bytes);
}

std::string fault_of(const py::handle &category) {
    if (!PyUnicode_Check(category.ptr())) {
        return "not a str";
    }
    auto name = utf8_of(category);
    return name ? category_name_fault(*name) : "no UTF-8 spelling";
}

}  // namespace

std::string category_name_fault(std::string_view name) {
    if (name.empty()) {
        return "empty";
    }
    if (name == "." || name == "..") {
        return "a relative directory";
    }
    if (name == ".corvane") {
        return "the store's own directory";
    }
    if (name.size() > longest_category_bytes) {
        return "longer than " + std::to_string(longest_category_bytes) + " bytes in UTF-8";
    }
    for (unsigned char c : name) {
        if (c == '/' || c == '\\') {
            return "a path separator";
        }
        if (c < 0x20 || c == 0x7f) {
            return "a control character";
        }
    }
    return std::string();
}

bool is_category_name(const py::handle &category) { return fault_of(category).empty(); }

void require_category_name(const py::handle &category) {
    std::string fault = fault_of(category);
    if (fault.empty()) {
        return;
    }
    raise_error(PyExc_ValueError,
                concat("invalid category ", py::repr(category), " (", py::str(fault),
                       "): a category must be one path component: a non-empty str of at most ",
                       py::int_(longest_category_bytes),
                       " bytes in UTF-8, not '.', '..' or '.corvane', without '/', '\\', control "
                       "characters or DEL"));
}

}  // namespace corvane::native
