// The months of a range copied into one preallocated float64 block, as pd.concat(axis=1) joins them.
#include "framevault/numeric_frames.hpp"
#include "core/block_join.hpp"

#include <numeric>
#include <utility>

namespace corvane::store {

namespace {

using namespace pybind11::literals;

// concat unions plain Index objects in first-seen order; other index types follow other rules.
bool plain_index(const py::handle &index) { return py::type::of(index).is(global("pd").attr("Index")); }

// Row placement of every month in the union; nullopt where the native join does not apply.
struct RowPlan {
    std::vector<core::Positions> months;  // empty: the month holds exactly the union's rows, in order
    py::list new_labels;                    // the labels each month adds to the union, for months adding any
    int64_t rows = 0;
    bool added_any = false;
    bool all_same = true;  // every month holds the first month's rows in its order
};

std::optional<RowPlan> plan_rows(const std::vector<py::object> &indexes) {
    RowPlan plan;
    const py::object &first = indexes.front();
    std::optional<core::RowUnion> joined;
    plan.rows = static_cast<int64_t>(py::len(first));
    for (const py::object &index : indexes) {
        if (!plain_index(index) || !index.attr("dtype").equal(first.attr("dtype")) ||
            !index.attr("name").equal(first.attr("name"))) {
            return std::nullopt;
        }
        if (index.is(first) || py::bool_(index.attr("equals")(first))) {
            plan.months.emplace_back();
            continue;
        }
        plan.all_same = false;
        if (!joined) {
            auto first_keys = row_keys(first);
            joined = first_keys ? core::RowUnion::starting_with(std::move(*first_keys)) : std::nullopt;
            if (!joined) {
                return std::nullopt;
            }
        }
        auto keys = row_keys(index);
        std::vector<int64_t> added;
        auto placed = keys ? joined->place(*keys, added) : std::nullopt;
        if (!placed) {
            return std::nullopt;
        }
        if (!added.empty()) {
            plan.added_any = true;
            plan.new_labels.append(index.attr("take")(py::array_t<int64_t>(static_cast<py::ssize_t>(added.size()),
                                                                           added.data())));
        }
        plan.months.push_back(std::move(*placed));
    }
    if (joined && joined->size() > plan.rows) {
        // Months holding the first month's rows now fill only the head of a longer union.
        core::Positions head(plan.rows);
        std::iota(head.begin(), head.end(), 0);
        for (auto &positions : plan.months) {
            if (positions.empty()) {
                positions = head;
            }
        }
        plan.rows = joined->size();
    }
    return plan;
}

}  // namespace

std::optional<py::object> join_numeric_months(std::vector<py::object> &frames) {
    if (!native_core_enabled() || frames.size() < 2) {
        return std::nullopt;
    }
    std::vector<py::object> indexes;
    std::vector<py::object> columns;
    for (const py::object &frame : frames) {
        indexes.push_back(frame.attr("index"));
        columns.push_back(frame.attr("columns"));
    }
    auto plan = plan_rows(indexes);
    // Months that share their rows are joined by pandas without copying their values: nothing to gain.
    if (!plan || plan->all_same) {
        return std::nullopt;
    }
    for (const py::object &frame : frames) {
        if (!float_cells(frame)) {
            return std::nullopt;
        }
    }
    py::object row_index = indexes.front();
    if (plan->added_any) {
        row_index = row_index.attr("append")(plan->new_labels);
    }
    py::list later_columns;
    for (size_t month = 1; month < columns.size(); ++month) {
        later_columns.append(columns[month]);
    }
    py::object day_index = columns.front().attr("append")(later_columns);
    int64_t days = static_cast<int64_t>(py::len(day_index));

    // Pages of the block are only touched as each month is copied in, and each month frame is let go
    // right after, so the months' memory can be given back while the block fills.
    py::array_t<double> block({days, plan->rows});
    core::JoinedBlock joined(block.mutable_data(), plan->rows);
    int64_t first_day = 0;
    for (size_t month = 0; month < frames.size(); ++month) {
        auto cells = float_cells(frames[month]);
        native::without_gil([&] {
            joined.copy_month(cells->view, first_day, plan->months[month]);
        });
        first_day += cells->view.days;
        cells.reset();
        frames[month] = py::none();
    }
    return global("pd").attr("DataFrame")(block.attr("T"), "index"_a = row_index, "columns"_a = day_index,
                                          "copy"_a = false);
}

}  // namespace corvane::store
