// Month files of float64 cells read into one block (the core decodes the column chunks into it,
// pyarrow what the core does not read) and written from a frame's buffers: no pandas frame per month.
#pragma once

#include "framevault/store.hpp"
#include "core/parquet_writer.hpp"

#include <string>
#include <vector>

#include <optional>
#include <utility>

namespace corvane::store {

// A range read's months: one float64 block, or, where the months' shape rules the block out (another
// dtype, labels it cannot key or join, frame attributes), each month as pandas reads it.
struct MonthBlock {
    // {frame, days}: the frame's columns the stored labels in calendar order of their months, its rows
    // the union of the months' rows as pd.concat(axis=1) orders them, and `days` the days the labels
    // stand for.
    std::optional<std::pair<py::object, py::object>> block;
    py::list frames;  // where there is no block: one frame per month, in no particular order
};

// The month files at `paths` read, one task each on the store's runner (labelled `task_desc`): each
// opened once (the file, or one GET), its values decoded by the core into the block where it can,
// else by pyarrow. Called where month_readers chose the block.
MonthBlock read_month_block(const py::object &self, const py::list &paths, const py::object &task_desc);

// The month file at `path` read into a block, as a frame with its stored labels, on the calling thread;
// nullopt, having read at most the month's first rows, where its shape rules the block out (as for
// read_month_block).
std::optional<py::object> read_stored_month_block(const py::object &path);

// month_writes.cpp: replaces the month file at `path` with `frame` (text day labels). float64 frames
// are encoded from their buffers (plain uncompressed pages), other frames as pandas writes them.
void write_month_file(const py::object &frame, const py::object &path);

// How the core writer lays out the month files of frames like `frame` (same kinds and names of
// labels): pyarrow's description of one cell, and the row labels' column; nullopt where pandas would
// lay them out otherwise or the row labels' type does not match keys of `key_kind`.
struct MonthFileLayout {
    py::object described;
    std::string row_field;
    std::string row_type;  // pyarrow's name of the row labels' type
};
std::optional<MonthFileLayout> month_file_layout(const py::object &frame, char key_kind);
// The key-value metadata of a month file of days labelled `labels` (text), pandas' JSON given.
std::vector<std::pair<std::string, std::string>> month_file_metadata(const MonthFileLayout &layout,
                                                                     const py::list &labels,
                                                                     const py::bytes &pandas_json);
// Writes `content` with the core writer, the GIL released while encoding: through the storage's local
// temporary file, or as one object.
void write_encoded_month(const native::Storage &storage, const py::object &path,
                         const core::MonthFileContent &content);

}  // namespace corvane::store
