// Frames taken apart into the plain buffers and keys the native core works on.
#include "framevault/numeric_frames.hpp"
#include "core/cell_merge.hpp"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace corvane::store {

namespace {

using namespace pybind11::literals;

py::object numpy() { return py::module_::import("numpy"); }

bool all_float64(const py::object &frame) {
    py::object float64 = numpy().attr("dtype")("float64");
    py::object dtypes = frame.attr("dtypes").attr("values");
    for (py::handle dtype : dtypes) {
        if (!dtype.equal(float64)) {
            return false;
        }
    }
    return true;
}

// Keys of an object array of labels: each must be an exact str.
std::optional<core::RowKeys> text_keys(const py::array &labels) {
    core::RowKeys keys{'s', {}};
    keys.keys.reserve(labels.size());
    for (py::handle label : labels) {
        if (!PyUnicode_CheckExact(label.ptr())) {
            return std::nullopt;
        }
        std::optional<std::string_view> text = native::utf8_view(label);
        if (!text) {
            // Lone surrogates have no UTF-8 form: the pandas path handles such labels.
            return std::nullopt;
        }
        keys.keys.emplace_back(*text);
    }
    return keys;
}

// Offsets of an Arrow string array (int32 for string, int64 for large_string) as int64.
int64_t offset_at(const py::buffer_info &offsets, bool large, int64_t position) {
    return large ? static_cast<const int64_t *>(offsets.ptr)[position]
                 : static_cast<const int32_t *>(offsets.ptr)[position];
}

// Keys of pandas str labels held by pyarrow, read from the Arrow buffers: no Python str per label.
// nullopt for other storage, and for missing labels, which only the pandas path can align.
std::optional<core::RowKeys> arrow_text_keys(const py::object &index) {
    py::object dtype = index.attr("dtype");
    if (!py::isinstance(dtype, global("pd").attr("StringDtype")) ||
        !py::str(dtype.attr("storage")).equal(py::str("pyarrow"))) {
        return std::nullopt;
    }
    py::object pa = py::module_::import("pyarrow");
    py::object array = pa.attr("array")(index.attr("array"));
    if (py::isinstance(array, pa.attr("ChunkedArray"))) {
        array = array.attr("combine_chunks")();
    }
    std::string type = py::str(array.attr("type")).cast<std::string>();
    if (array.attr("null_count").cast<int64_t>() != 0 || (type != "string" && type != "large_string")) {
        return std::nullopt;
    }
    py::list buffers = array.attr("buffers")();
    auto count = static_cast<int64_t>(py::len(array));
    auto first = array.attr("offset").cast<int64_t>();
    core::RowKeys keys{'s', {}};
    keys.keys.reserve(static_cast<size_t>(count));
    if (count == 0) {
        return keys;
    }
    py::buffer_info offsets = py::buffer(buffers[1]).request();
    const char *data = buffers[2].is_none() ? "" : static_cast<const char *>(py::buffer(buffers[2]).request().ptr);
    bool large = type == "large_string";
    for (int64_t position = first; position < first + count; ++position) {
        int64_t start = offset_at(offsets, large, position);
        keys.keys.emplace_back(data + start, static_cast<size_t>(offset_at(offsets, large, position + 1) - start));
    }
    return keys;
}

}  // namespace

bool native_core_enabled() {
    const char *setting = std::getenv("CORVANE_NATIVE");
    return setting == nullptr || std::strcmp(setting, "0") != 0;
}

std::optional<FloatCells> float_cells(const py::object &frame) {
    py::tuple shape = frame.attr("shape");
    if (shape[0].cast<int64_t>() == 0 || shape[1].cast<int64_t>() == 0 || !all_float64(frame)) {
        return std::nullopt;
    }
    auto values = py::array::ensure(frame.attr("to_numpy")());
    if (!values || values.ndim() != 2 || !values.dtype().equal(py::dtype::of<double>())) {
        return std::nullopt;
    }
    auto item = static_cast<int64_t>(sizeof(double));
    core::CellView view{static_cast<const double *>(values.data()), values.shape(0), values.shape(1),
                          values.strides(0) / item, values.strides(1) / item};
    return FloatCells{std::move(values), view};
}

std::optional<core::RowKeys> row_keys(const py::object &index) {
    py::object dtype = index.attr("dtype");
    if (dtype.equal(numpy().attr("dtype")("int64"))) {
        auto ticks = day_ticks(index.attr("to_numpy")());
        core::RowKeys keys{'i', {}};
        keys.keys.reserve(ticks.size());
        for (int64_t value : ticks) {
            keys.keys.emplace_back(reinterpret_cast<const char *>(&value), sizeof value);
        }
        return keys;
    }
    if (!py::str(dtype.attr("kind")).equal(py::str("O"))) {
        return std::nullopt;
    }
    if (auto keys = arrow_text_keys(index)) {
        return keys;
    }
    py::object builtins_object = py::module_::import("builtins").attr("object");
    return text_keys(py::array::ensure(index.attr("to_numpy")("dtype"_a = builtins_object)));
}

std::vector<int64_t> day_ticks(const py::object &days) {
    auto ticks = py::array_t<int64_t, py::array::c_style | py::array::forcecast>::ensure(
        numpy().attr("asarray")(days).attr("view")("int64"));
    return std::vector<int64_t>(ticks.data(), ticks.data() + ticks.size());
}

bool float_rows_all_have_values(const py::object &frame) {
    if (!native_core_enabled()) {
        return false;
    }
    auto cells = float_cells(frame);
    return cells && float_rows_all_have_values(*cells);
}

bool float_rows_all_have_values(const FloatCells &cells) {
    if (!native_core_enabled()) {
        return false;
    }
    return native::without_gil([&] { return core::every_row_has_a_value(cells.view); });
}

py::object frame_from_columns(std::vector<double> values, int64_t rows, int64_t days, const py::object &index,
                              const py::object &columns) {
    auto *owned = new std::vector<double>(std::move(values));
    py::capsule release(owned, [](void *pointer) { delete static_cast<std::vector<double> *>(pointer); });
    py::array_t<double> block({days, rows}, owned->data(), release);
    // The transposed view is the frame's own block layout, so pandas takes it without a copy.
    return global("pd").attr("DataFrame")(block.attr("T"), "index"_a = index, "columns"_a = columns,
                                          "copy"_a = false);
}

}  // namespace corvane::store
