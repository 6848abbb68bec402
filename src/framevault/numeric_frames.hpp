// Seams between the pandas orchestration and the numeric core (src/core/): each call either
// does the work on the frames' buffers or says it does not apply, and the caller keeps its pandas path.
#pragma once

#include "framevault/store.hpp"
#include "core/digest_records.hpp"
#include "core/month_grid.hpp"

#include <pybind11/numpy.h>

#include <optional>
#include <vector>

namespace corvane::store {

// Whether the native core may run; CORVANE_NATIVE=0 forces the pandas path. Read at every call, so
// tests can switch it per case.
bool native_core_enabled();

// float64 cells of a frame and the array that owns them.
struct FloatCells {
    py::object owner;
    core::CellView view;
};

// The frame's cells when every column is numpy float64 and it has at least one row and one day.
std::optional<FloatCells> float_cells(const py::object &frame);

// Row labels as keys when all are str or the index is numpy int64; nullopt otherwise.
std::optional<core::RowKeys> row_keys(const py::object &index);

// Day labels (datetime64 values) as their int64 ticks.
std::vector<int64_t> day_ticks(const py::object &days);

// True when `frame` is all float64 and each of its rows holds a value; false also where that is not
// known without pandas.
bool float_rows_all_have_values(const py::object &frame);
// The same for cells already taken out of a frame.
bool float_rows_all_have_values(const FloatCells &cells);

// numpy float64 array of shape (days, rows) owning `values`, handed to pandas transposed.
py::object frame_from_columns(std::vector<double> values, int64_t rows, int64_t days, const py::object &index,
                              const py::object &columns);

// month_frame_merge.cpp: the month merge of a stored and a new month frame, both with datetime day labels.
struct MergedMonth {
    bool identical = false;
    bool changed = false;  // whether `frame` differs from the stored frame
    py::object frame;      // the merged frame, datetime day labels, rows without values dropped
};
std::optional<MergedMonth> merge_numeric_months(const py::object &existing_df, const py::object &sub_df);

// month_digests.cpp: identical re-syncs decided from a recorded digest, without reading the file.
// Prints the identical line and returns true when `sub_df` (rows with values, datetime days) matches
// the record of the file as it is now; false means: read and compare. `cells` are sub_df's, taken
// once by the caller (nullopt: not float64).
bool print_identical_from_digest(const py::object &file_path, const py::object &sub_df,
                                 const py::object &date_format, const std::optional<FloatCells> &cells);
// Records the digest of `written` (text day labels in `date_format`) after it replaced the file;
// removes a record it cannot renew.
void record_month_digest(const py::object &file_path, const py::object &written, const py::object &date_format);

// The identity of the month file now, taken before a read so a record can be bound to what was read.
std::optional<core::FileIdentity> month_file_identity(const py::object &file_path);
// Records the digest of a stored month that a full comparison found unchanged, so the next re-sync of
// a store written without digests needs no read; only while the file is still the one read (`read_as`).
void record_unchanged_month(const py::object &file_path, const py::object &existing_df, const py::object &date_format,
                            const std::optional<core::FileIdentity> &read_as);

// month_frame_join.cpp: month frames (calendar order) side by side, as pd.concat(axis=1) joins them. Each
// frame is released once copied, so the months and the result are not all held at once.
std::optional<py::object> join_numeric_months(std::vector<py::object> &frames);

}  // namespace corvane::store
