// Month files of float64 cells read into one block and written from a frame's buffers, with pyarrow
// doing the Parquet work through Arrow's C data interface: no pandas frame per month.
#pragma once

#include "framevault/store.hpp"

#include <optional>
#include <utility>

namespace corvane::store {

// The month files at `paths` (one task each on the store's runner, labelled `task_desc`) side by side
// in one float64 block: {frame, days}, the frame's columns the stored labels in calendar order of
// their months, its rows the union of the months' rows as pd.concat(axis=1) orders them, and `days`
// the days the labels stand for. nullopt, having read at most the first month, where the months' shape
// rules the block out (another dtype, labels it cannot key, frame attributes). Called where
// month_readers chose the block.
std::optional<std::pair<py::object, py::object>> read_month_block(const py::object &self, const py::list &paths,
                                                                  const py::object &task_desc);

// The month file at `path` read into a block, as a frame with its stored labels, on the calling thread;
// nullopt, having read at most the month's first rows, where its shape rules the block out (as for
// read_month_block).
std::optional<py::object> read_stored_month_block(const py::object &path);

// month_writes.cpp: replaces the month file at `path` with `frame` (text day labels). float64 frames
// are encoded from their buffers (plain uncompressed pages), other frames as pandas writes them.
void write_month_file(const py::object &frame, const py::object &path);

}  // namespace corvane::store
