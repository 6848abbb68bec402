// Plain C++ views of a month frame's cells and labels, shared by the numeric kernels. No Python here:
// the kernels run on these with the GIL released.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace corvane::core {

// float64 cells of a frame, rows x days, addressed through element strides (any numpy layout).
struct CellView {
    const double *data = nullptr;
    int64_t rows = 0;
    int64_t days = 0;
    int64_t row_stride = 0;
    int64_t day_stride = 0;

    double at(int64_t row, int64_t day) const { return data[row * row_stride + day * day_stride]; }
};

// Row labels as byte keys: text as its UTF-8 bytes, integers as their 8 bytes. `kind` ('s' or 'i')
// keeps the two apart, since the same bytes mean different labels.
struct RowKeys {
    char kind = 's';
    std::vector<std::string> keys;
};

// Position of each label of one side in the other side, or -1 where that side lacks it.
using Positions = std::vector<int64_t>;

// Missing cells are NaN in float64 frames, whatever their bit pattern; both count as a hole.
inline bool is_hole(double value) { return std::isnan(value); }

// Cells as pandas' compare sees them: equal values, or both missing.
inline bool same_cell(double left, double right) {
    return left == right || (is_hole(left) && is_hole(right));
}

}  // namespace corvane::core
