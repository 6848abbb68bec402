// The row reads' page reader on month files: a month file's footer parsed without pyarrow, and of
// its pages only those holding the wanted rows read, from one open file (locally) or the one version
// fetched (object storage). Month files of any other shape are left to pyarrow.
#pragma once

#include "framevault/store.hpp"
#include "core/parquet_pages.hpp"

#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace corvane::store {

// The rows found in a row-label column chunk, by the chunk's exact bytes: the months of a category
// mostly hold the same series in the same order, so one search serves them all. Shared by the month
// tasks of one read.
class FoundRows {
public:
    // The rows of `chunk` holding `labels`, searched once per distinct chunk.
    std::optional<std::vector<core::RowMatch>> find(const core::ColumnChunk &chunk,
                                                      const std::vector<std::string> &labels);

private:
    std::mutex mutex_;
    std::unordered_map<std::string, std::vector<core::RowMatch>> found_;
};

// The wanted rows of the month file at `path` over the days from first_us to last_us (microseconds),
// as the row read's join takes them: ("paged", row labels, day labels, day ticks in microseconds,
// values as rows x days, index name). None when the month holds none of them; nullopt where the
// reader does not apply. `labels` are the texts of `wanted`, all of which must be str.
std::optional<py::object> paged_month(const py::object &path, const py::list &wanted,
                                      const std::vector<std::string> &labels, int64_t first_us, int64_t last_us,
                                      FoundRows &found);

}  // namespace corvane::store
