// The month merge on float64 cells: identical test, then stored-wins merge onto the union of labels.
#pragma once

#include "core/month_grid.hpp"

#include <optional>

namespace corvane::core {

// Where each label of `from` sits in `into`; nullopt when `from` or `into` repeats a label.
std::optional<Positions> positions_in(const RowKeys &from, const RowKeys &into);
std::optional<Positions> positions_in(const std::vector<int64_t> &from, const std::vector<int64_t> &into);

// True when both frames hold the same labels on both axes and every cell matches its counterpart.
// `rows_in_new`/`days_in_new` place the stored labels in the new frame.
bool frames_identical(const CellView &stored, const CellView &incoming, const Positions &rows_in_new,
                      const Positions &days_in_new, int64_t new_rows, int64_t new_days);

// True when every row holds at least one value.
bool every_row_has_a_value(const CellView &cells);

// Positions of the rows holding at least one value, ascending.
std::vector<int64_t> rows_with_a_value(const CellView &cells);

// The cells of `rows` (in that order), days-major: rows x days with a row stride of 1.
std::vector<double> cells_of_rows(const CellView &cells, const std::vector<int64_t> &rows);

// Result layout of a merge: for each result row and day, its position in the stored and in the new
// frame (-1 where absent).
struct MergePlan {
    Positions stored_rows, new_rows, stored_days, new_days;
};

struct MergedCells {
    std::vector<double> values;  // result rows x days, column-major (one day after another)
    std::vector<int64_t> kept_rows;  // result rows holding a value; others are dropped
    bool changed = false;  // whether the merged frame differs from the stored one
};

// Stored non-null cells win; new cells fill holes; rows and days of either side are laid out as
// `plan` says. Rows left without any value are dropped, as before every write.
MergedCells merge_cells(const CellView &stored, const CellView &incoming, const MergePlan &plan);

}  // namespace corvane::core
