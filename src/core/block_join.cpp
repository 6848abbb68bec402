#include "core/block_join.hpp"

#include <algorithm>
#include <limits>
#include <utility>

namespace corvane::core {

std::optional<RowUnion> RowUnion::starting_with(RowKeys first) {
    RowUnion joined;
    joined.kind_ = first.kind;
    joined.positions_.reserve(first.keys.size());
    for (auto &key : first.keys) {
        if (!joined.positions_.emplace(std::move(key), joined.size()).second) {
            return std::nullopt;
        }
    }
    joined.placed_by_.assign(joined.positions_.size(), 0);
    return joined;
}

std::optional<Positions> RowUnion::place(const RowKeys &rows, std::vector<int64_t> &added) {
    if (rows.kind != kind_) {
        return std::nullopt;
    }
    ++month_;
    Positions placed(rows.keys.size());
    for (size_t position = 0; position < rows.keys.size(); ++position) {
        auto [entry, inserted] = positions_.emplace(rows.keys[position], size());
        if (inserted) {
            placed_by_.push_back(month_);
            added.push_back(static_cast<int64_t>(position));
        } else if (placed_by_[entry->second] == month_) {
            return std::nullopt;
        } else {
            placed_by_[entry->second] = month_;
        }
        placed[position] = entry->second;
    }
    return placed;
}

void JoinedBlock::copy_month(const CellView &cells, int64_t first_day, const Positions &rows_in_union) const {
    constexpr double hole = std::numeric_limits<double>::quiet_NaN();
    bool whole = rows_in_union.empty();
    for (int64_t day = 0; day < cells.days; ++day) {
        double *out = data_ + (first_day + day) * rows_;
        if (whole) {
            for (int64_t row = 0; row < cells.rows; ++row) {
                out[row] = cells.at(row, day);
            }
            continue;
        }
        std::fill(out, out + rows_, hole);
        for (int64_t row = 0; row < cells.rows; ++row) {
            out[rows_in_union[row]] = cells.at(row, day);
        }
    }
}

}  // namespace corvane::core
