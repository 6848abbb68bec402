#include "core/cell_merge.hpp"

#include <limits>
#include <string_view>
#include <unordered_map>

namespace corvane::core {

namespace {

constexpr double kHole = std::numeric_limits<double>::quiet_NaN();

// Label -> position in `labels`; nullopt when a label repeats, since then no single position exists.
template <typename Label, typename Key>
std::optional<std::unordered_map<Key, int64_t>> position_map(const std::vector<Label> &labels) {
    std::unordered_map<Key, int64_t> map;
    map.reserve(labels.size());
    for (size_t position = 0; position < labels.size(); ++position) {
        if (!map.emplace(Key(labels[position]), static_cast<int64_t>(position)).second) {
            return std::nullopt;
        }
    }
    return map;
}

template <typename Label, typename Key>
std::optional<Positions> lookup_all(const std::vector<Label> &from, const std::vector<Label> &into) {
    auto map = position_map<Label, Key>(into);
    if (!map || !position_map<Label, Key>(from)) {
        return std::nullopt;
    }
    Positions positions(from.size(), -1);
    for (size_t position = 0; position < from.size(); ++position) {
        auto found = map->find(Key(from[position]));
        if (found != map->end()) {
            positions[position] = found->second;
        }
    }
    return positions;
}

bool all_found(const Positions &positions) {
    for (int64_t position : positions) {
        if (position < 0) {
            return false;
        }
    }
    return true;
}

// Keeps only the kept rows of a column-major block, in place.
void compact_rows(std::vector<double> &values, int64_t rows, int64_t days, const std::vector<int64_t> &kept) {
    auto kept_count = static_cast<int64_t>(kept.size());
    for (int64_t day = 0; day < days; ++day) {
        for (int64_t out = 0; out < kept_count; ++out) {
            values[day * kept_count + out] = values[day * rows + kept[out]];
        }
    }
    values.resize(kept_count * days);
}

}  // namespace

std::optional<Positions> positions_in(const RowKeys &from, const RowKeys &into) {
    if (from.kind != into.kind) {
        return std::nullopt;
    }
    // Views into the keys: no copies of the label bytes for the map.
    return lookup_all<std::string, std::string_view>(from.keys, into.keys);
}

std::optional<Positions> positions_in(const std::vector<int64_t> &from, const std::vector<int64_t> &into) {
    return lookup_all<int64_t, int64_t>(from, into);
}

bool frames_identical(const CellView &stored, const CellView &incoming, const Positions &rows_in_new,
                      const Positions &days_in_new, int64_t new_rows, int64_t new_days) {
    // Unique labels on both sides: equal counts and every stored label found means equal label sets.
    if (stored.rows != new_rows || stored.days != new_days || !all_found(rows_in_new) || !all_found(days_in_new)) {
        return false;
    }
    for (int64_t day = 0; day < stored.days; ++day) {
        int64_t new_day = days_in_new[day];
        for (int64_t row = 0; row < stored.rows; ++row) {
            if (!same_cell(stored.at(row, day), incoming.at(rows_in_new[row], new_day))) {
                return false;
            }
        }
    }
    return true;
}

bool every_row_has_a_value(const CellView &cells) {
    for (int64_t row = 0; row < cells.rows; ++row) {
        bool found = false;
        for (int64_t day = 0; day < cells.days && !found; ++day) {
            found = !is_hole(cells.at(row, day));
        }
        if (!found) {
            return false;
        }
    }
    return true;
}

std::vector<int64_t> rows_with_a_value(const CellView &cells) {
    std::vector<int64_t> rows;
    rows.reserve(static_cast<size_t>(cells.rows));
    for (int64_t row = 0; row < cells.rows; ++row) {
        for (int64_t day = 0; day < cells.days; ++day) {
            if (!is_hole(cells.at(row, day))) {
                rows.push_back(row);
                break;
            }
        }
    }
    return rows;
}

std::vector<double> cells_of_rows(const CellView &cells, const std::vector<int64_t> &rows) {
    std::vector<double> values;
    values.reserve(rows.size() * static_cast<size_t>(cells.days));
    for (int64_t day = 0; day < cells.days; ++day) {
        for (int64_t row : rows) {
            values.push_back(cells.at(row, day));
        }
    }
    return values;
}

MergedCells merge_cells(const CellView &stored, const CellView &incoming, const MergePlan &plan) {
    auto rows = static_cast<int64_t>(plan.stored_rows.size());
    auto days = static_cast<int64_t>(plan.stored_days.size());
    MergedCells merged;
    merged.values.resize(rows * days);
    merged.changed = rows != stored.rows || days != stored.days;
    std::vector<char> has_value(rows, 0);
    for (int64_t day = 0; day < days; ++day) {
        int64_t stored_day = plan.stored_days[day];
        int64_t new_day = plan.new_days[day];
        double *out = merged.values.data() + day * rows;
        for (int64_t row = 0; row < rows; ++row) {
            int64_t stored_row = plan.stored_rows[row];
            double value = stored_row >= 0 && stored_day >= 0 ? stored.at(stored_row, stored_day) : kHole;
            if (is_hole(value)) {
                int64_t new_row = plan.new_rows[row];
                value = new_row >= 0 && new_day >= 0 ? incoming.at(new_row, new_day) : kHole;
                merged.changed = merged.changed || !is_hole(value);
            }
            out[row] = value;
            has_value[row] = static_cast<char>(has_value[row] | !is_hole(value));
        }
    }
    for (int64_t row = 0; row < rows; ++row) {
        if (has_value[row]) {
            merged.kept_rows.push_back(row);
        }
    }
    if (static_cast<int64_t>(merged.kept_rows.size()) != rows) {
        merged.changed = true;
        compact_rows(merged.values, rows, days, merged.kept_rows);
    }
    return merged;
}

}  // namespace corvane::core
