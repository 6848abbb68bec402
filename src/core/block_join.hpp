// The months of a range joined side by side into one preallocated float64 block.
#pragma once

#include "core/month_grid.hpp"

#include <optional>
#include <unordered_map>

namespace corvane::core {

// The joined frame's rows in the order a side-by-side concat gives them: the first month's rows,
// then every row not seen before, in the order the later months first show it.
class RowUnion {
public:
    // nullopt unless the first month's labels are unique.
    static std::optional<RowUnion> starting_with(RowKeys first);
    // Union positions of a later month's rows, adding those not seen yet (their month positions go to
    // `added`). nullopt when the month repeats a label or holds labels of another kind.
    std::optional<Positions> place(const RowKeys &rows, std::vector<int64_t> &added);
    int64_t size() const { return static_cast<int64_t>(positions_.size()); }

private:
    char kind_ = 's';
    std::unordered_map<std::string, int64_t> positions_;
    // The last month that placed each union row, to tell a repeated label within one month.
    std::vector<int64_t> placed_by_;
    int64_t month_ = 0;
};

// Column-major float64 block of `rows` x `days`, filled one month at a time.
class JoinedBlock {
public:
    JoinedBlock(double *data, int64_t rows) : data_(data), rows_(rows) {}
    // Copies a month's cells into days [first_day, first_day + cells.days); `rows_in_union` places each
    // month row (empty: the month holds exactly the union's rows in union order). Union rows the month
    // lacks become holes. Touches only that month's part of the block.
    void copy_month(const CellView &cells, int64_t first_day, const Positions &rows_in_union) const;

private:
    double *data_;
    int64_t rows_;
};

}  // namespace corvane::core
