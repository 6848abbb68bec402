// Which reader reads month files: decided by month_readers alone, for the two reads of months.
#pragma once

#include "framevault/store.hpp"

namespace corvane::store {

enum class MonthReader {
    // The core's: pyarrow decodes each month on its one open handle, the cells copied into one
    // float64 block. Declines, having read at most the first month, where a month's shape rules it
    // out (another dtype, labels it cannot key, frame attributes); the fallback then reads.
    kBlock,
    // The storage's read_month: a local file's table converted as pandas converts it, without the
    // dataset scan; an object's one GET read by pandas.
    kStoredTable,
    // The storage's read_parquet: pd.read_parquet of one consistent version.
    kPandas,
    // The class's read_parquet, one task a month on its run_concurrently, as the class defines them.
    kClassHooks,
};

enum class MonthRead {
    kRange,  // read_pivot_category: months side by side
    kMerge,  // the stored month that update_pivot_parquet merges into
};

struct MonthReaders {
    MonthReader first;
    MonthReader fallback;  // where `first` is kBlock and declines
};

// The readers for the month files at `paths`:
// - CORVANE_NATIVE=0: pandas everywhere (range reads through the class's hooks);
// - a caller replaced ParquetDataManager.read_parquet or run_concurrently: a range read goes
//   through the replacements;
// - files that are not local (object storage): the storage's own reads;
// - otherwise the block, falling back to the class's hooks (range) or the stored table (merge).
MonthReaders month_readers(MonthRead read, const py::list &paths);

}  // namespace corvane::store
