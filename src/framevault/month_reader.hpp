// Which reader reads month files: decided by month_readers alone, for the two reads of months.
#pragma once

#include "framevault/store.hpp"

namespace corvane::store {

enum class MonthReader {
    // The core's: each month opened once through its storage (the file, or one GET), its column
    // chunks decoded into one float64 block (by pyarrow where the core does not read them). Where a
    // month's shape rules the block out (another dtype, labels it cannot key, frame attributes), a
    // range read hands back pandas' frames of the bytes it opened; a merge read declines and the
    // fallback reads.
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
// - otherwise the block, on every storage, falling back to the class's hooks (range) or the stored
//   table (merge).
MonthReaders month_readers(MonthRead read, const py::list &paths);

}  // namespace corvane::store
