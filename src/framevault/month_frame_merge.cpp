// The month merge on float64 buffers: same outcome, labels and cells as the pandas path.
#include "framevault/numeric_frames.hpp"
#include "core/cell_merge.hpp"

#include <algorithm>
#include <numeric>

namespace corvane::store {

namespace {

using namespace pybind11::literals;

core::Positions identity_positions(int64_t count) {
    core::Positions positions(count);
    std::iota(positions.begin(), positions.end(), 0);
    return positions;
}

// Where each label of `from` sits in `into`: the identity when pandas finds the labels equal.
std::optional<core::Positions> row_positions(const py::object &from, const py::object &into) {
    if (py::bool_(from.attr("equals")(into))) {
        return identity_positions(py::len(from));
    }
    auto from_keys = row_keys(from);
    auto into_keys = row_keys(into);
    if (!from_keys || !into_keys) {
        return std::nullopt;
    }
    return core::positions_in(*from_keys, *into_keys);
}

std::vector<int64_t> sorted_union(const std::vector<int64_t> &left, const std::vector<int64_t> &right) {
    std::vector<int64_t> all(left);
    all.insert(all.end(), right.begin(), right.end());
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    return all;
}

// Day labels as the pandas path ends up with them: the union, sorted (files keep days in order).
py::object day_index(const std::vector<int64_t> &ticks, const py::object &unit_of) {
    py::array_t<int64_t> values(static_cast<py::ssize_t>(ticks.size()), ticks.data());
    return global("pd").attr("DatetimeIndex")(values.attr("view")(unit_of.attr("dtype")));
}

// Labels pandas would put on the merged frame, only where pandas' own choice can be reproduced.
bool labels_reproducible(const py::object &existing_df, const py::object &sub_df) {
    // combine_first passes the stored frame's attrs on; the plain frame built here has none.
    return py::len(existing_df.attr("attrs")) == 0 && existing_df.attr("columns").attr("name").is_none() &&
           sub_df.attr("columns").attr("name").is_none();
}

// True when every new row is a stored row and the stored rows are sorted: the outer join is then the
// stored index itself (same labels, order, dtype and name).
bool joins_to_stored(const py::object &stored_rows, const py::object &new_rows, const core::Positions &rows_in_new) {
    auto found = std::count_if(rows_in_new.begin(), rows_in_new.end(), [](int64_t position) { return position >= 0; });
    return found == static_cast<std::ptrdiff_t>(py::len(new_rows)) &&
           stored_rows.attr("dtype").equal(new_rows.attr("dtype")) &&
           stored_rows.attr("name").equal(new_rows.attr("name")) &&
           py::bool_(stored_rows.attr("is_monotonic_increasing"));
}

// The stored rows typed as pandas' outer join types them: the same labels, but a range index can
// come out as a plain integer one (pandas 2 joins unequal ranges so), and the file keeps that type.
py::object as_pandas_joins(const py::object &stored_rows, const py::object &new_rows) {
    py::object range = global("pd").attr("RangeIndex");
    if (!py::isinstance(stored_rows, range) && !py::isinstance(new_rows, range)) {
        return stored_rows;
    }
    py::object joined = stored_rows.attr("join")(new_rows, "how"_a = "outer");
    return py::bool_(joined.attr("equals")(stored_rows)) ? joined : stored_rows;
}

}  // namespace

std::optional<MergedMonth> merge_numeric_months(const py::object &existing_df, const py::object &sub_df) {
    if (!native_core_enabled() || !labels_reproducible(existing_df, sub_df)) {
        return std::nullopt;
    }
    auto stored = float_cells(existing_df);
    auto incoming = float_cells(sub_df);
    if (!stored || !incoming) {
        return std::nullopt;
    }
    py::object stored_rows = existing_df.attr("index");
    py::object new_rows = sub_df.attr("index");
    py::object stored_days = existing_df.attr("columns");
    py::object new_days = sub_df.attr("columns");
    std::vector<int64_t> stored_ticks = day_ticks(stored_days);
    std::vector<int64_t> new_ticks = day_ticks(new_days);
    auto rows_in_new = row_positions(stored_rows, new_rows);
    auto days_in_new = core::positions_in(stored_ticks, new_ticks);
    if (!rows_in_new || !days_in_new) {
        return std::nullopt;
    }

    MergedMonth result;
    native::without_gil([&] {
        result.identical = core::frames_identical(stored->view, incoming->view, *rows_in_new, *days_in_new,
                                                    incoming->view.rows, incoming->view.days);
    });
    if (result.identical) {
        return result;
    }

    // Rows as combine_first aligns them: the stored index when pandas finds both equal or when the
    // join of sorted stored rows with a subset of them gives those rows back; else pandas' own join.
    core::MergePlan plan;
    py::object merged_rows = stored_rows;
    if (py::bool_(stored_rows.attr("equals")(new_rows)) || joins_to_stored(stored_rows, new_rows, *rows_in_new)) {
        plan.stored_rows = identity_positions(stored->view.rows);
        plan.new_rows = *rows_in_new;
        merged_rows = as_pandas_joins(stored_rows, new_rows);
    } else {
        merged_rows = stored_rows.attr("join")(new_rows, "how"_a = "outer");
        auto merged_keys = row_keys(merged_rows);
        auto stored_keys = row_keys(stored_rows);
        auto new_keys = row_keys(new_rows);
        if (!merged_keys || !stored_keys || !new_keys) {
            return std::nullopt;
        }
        auto in_stored = core::positions_in(*merged_keys, *stored_keys);
        auto in_new = core::positions_in(*merged_keys, *new_keys);
        if (!in_stored || !in_new) {
            return std::nullopt;
        }
        plan.stored_rows = std::move(*in_stored);
        plan.new_rows = std::move(*in_new);
    }
    std::vector<int64_t> merged_ticks = sorted_union(stored_ticks, new_ticks);
    plan.stored_days = *core::positions_in(merged_ticks, stored_ticks);
    plan.new_days = *core::positions_in(merged_ticks, new_ticks);

    core::MergedCells cells;
    native::without_gil([&] {
        cells = core::merge_cells(stored->view, incoming->view, plan);
    });
    auto rows = static_cast<int64_t>(plan.stored_rows.size());
    auto kept = static_cast<int64_t>(cells.kept_rows.size());
    if (kept != rows) {
        merged_rows = merged_rows.attr("take")(py::array_t<int64_t>(kept, cells.kept_rows.data()));
    }
    result.changed = cells.changed;
    result.frame = frame_from_columns(std::move(cells.values), kept, static_cast<int64_t>(merged_ticks.size()),
                                      merged_rows, day_index(merged_ticks, stored_days));
    return result;
}

}  // namespace corvane::store
