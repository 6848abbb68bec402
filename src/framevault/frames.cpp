#include "framevault/store.hpp"

namespace corvane::store {

namespace {

using namespace pybind11::literals;

bool is_str_dtype(const py::handle &dtype) {
    return py::isinstance(dtype, global("pd").attr("StringDtype"));
}

// The frame with every pandas str column and label axis turned to object; the frame itself when it
// has none.
py::object strings_as_object(const py::object &frame) {
    py::object out = frame;
    py::list dtypes = py::list(frame.attr("dtypes"));
    for (size_t position = 0; position < dtypes.size(); ++position) {
        if (is_str_dtype(dtypes[position])) {
            if (out.is(frame)) {
                out = frame.attr("copy")("deep"_a = false);
            }
            py::object column = out.attr("iloc")[py::make_tuple(py::slice(0, PY_SSIZE_T_MAX, 1), position)];
            out.attr("isetitem")(position, column.attr("astype")(py::module_::import("builtins").attr("object")));
        }
    }
    for (const char *axis : {"index", "columns"}) {
        py::object labels = out.attr(axis);
        if (is_str_dtype(labels.attr("dtype"))) {
            if (out.is(frame)) {
                out = frame.attr("copy")("deep"_a = false);
            }
            out.attr(axis) = labels.attr("astype")(py::module_::import("builtins").attr("object"));
        }
    }
    return out;
}

}  // namespace

void require_frame(const py::handle &value, const char *argument) {
    if (!py::isinstance(value, global("pd").attr("DataFrame"))) {
        throw py::type_error(std::string(argument) + " must be a pandas DataFrame, not " +
                             py::str(py::type::of(value).attr("__name__")).cast<std::string>());
    }
}

bool same_content(const py::object &stored, const py::object &incoming) {
    if (py::bool_(stored.attr("equals")(incoming))) {
        return true;
    }
    if (!stored.attr("shape").equal(incoming.attr("shape"))) {
        return false;
    }
    py::object plain_stored = strings_as_object(stored);
    py::object plain_incoming = strings_as_object(incoming);
    if (plain_stored.is(stored) && plain_incoming.is(incoming)) {
        return false;
    }
    return py::bool_(plain_stored.attr("equals")(plain_incoming));
}

}  // namespace corvane::store
