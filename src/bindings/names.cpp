#include "bindings/names.hpp"

#include "bindings/pyglue.hpp"
#include "core/store_layout.hpp"

#include <optional>
#include <utility>

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

namespace {

// The code point that starts at `at` of valid UTF-8 text, and moves `at` past it.
char32_t next_code_point(std::string_view text, size_t &at) {
    auto byte = [&](size_t offset) { return static_cast<unsigned char>(text[at + offset]); };
    unsigned char lead = byte(0);
    size_t length = lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
    if (at + length > text.size()) {
        at = text.size();
        return 0xfffd;
    }
    char32_t point = length == 1 ? lead : length == 2 ? lead & 0x1f : length == 3 ? lead & 0x0f : lead & 0x07;
    for (size_t offset = 1; offset < length; ++offset) {
        point = (point << 6) | (byte(offset) & 0x3f);
    }
    at += length;
    return point;
}

// Unicode's format characters (general category Cf), bidi controls among them: invisible, they make
// a printed name differ from the stored one.
bool is_format_character(char32_t c) {
    static constexpr std::pair<char32_t, char32_t> ranges[] = {
        {0x00ad, 0x00ad},   {0x0600, 0x0605},   {0x061c, 0x061c},   {0x06dd, 0x06dd},   {0x070f, 0x070f},
        {0x0890, 0x0891},   {0x08e2, 0x08e2},   {0x180e, 0x180e},   {0x200b, 0x200f},   {0x202a, 0x202e},
        {0x2060, 0x2064},   {0x2066, 0x206f},   {0xfeff, 0xfeff},   {0xfff9, 0xfffb},   {0x110bd, 0x110bd},
        {0x110cd, 0x110cd}, {0x13430, 0x1343f}, {0x1bca0, 0x1bca3}, {0x1d173, 0x1d17a}, {0xe0001, 0xe0001},
        {0xe0020, 0xe007f},
    };
    for (auto [first, last] : ranges) {
        if (c >= first && c <= last) {
            return true;
        }
    }
    return false;
}

// Why printing `text` (UTF-8) would not show what it holds: a C0 or C1 control, DEL, a line or
// paragraph separator; and, when `format_characters` is set, a format or bidi control.
std::string unprintable_fault(std::string_view text, bool format_characters) {
    for (size_t at = 0; at < text.size();) {
        char32_t c = next_code_point(text, at);
        if (c < 0x20 || (c >= 0x7f && c <= 0x9f)) {
            return "a control character";
        }
        if (c == 0x2028 || c == 0x2029) {
            return "a line or paragraph separator";
        }
        if (format_characters && is_format_character(c)) {
            return "a Unicode format or bidi control character";
        }
    }
    return std::string();
}

}  // namespace

std::string category_name_fault(std::string_view name) {
    if (name.empty()) {
        return "empty";
    }
    if (name == "." || name == "..") {
        return "a relative directory";
    }
    if (name == core::layout::state_directory) {
        return "the store's own directory";
    }
    if (name.size() > longest_category_bytes) {
        return "longer than " + std::to_string(longest_category_bytes) + " bytes in UTF-8";
    }
    for (unsigned char c : name) {
        if (c == '/' || c == '\\') {
            return "a path separator";
        }
    }
    return unprintable_fault(name, true);
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
                       "characters, DEL, line separators or Unicode format and bidi controls"));
}

void require_root_name(const py::handle &root) {
    py::object text = global("os").attr("fspath")(root);
    if (!PyUnicode_Check(text.ptr())) {
        return;  // bytes: the file system takes them as they are
    }
    auto spelled = utf8_of(text);
    std::string fault = spelled ? unprintable_fault(*spelled, false) : "a lone surrogate, which has no UTF-8 spelling";
    if (!fault.empty()) {
        raise_error(PyExc_ValueError, concat("invalid root_dir ", py::repr(text), " (", py::str(fault),
                                             "): the store's root must be a path that prints as it is"));
    }
}

}  // namespace corvane::native
