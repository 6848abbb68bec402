#include "framevault/month_reader.hpp"

#include "framevault/numeric_frames.hpp"

namespace corvane::store {

namespace {

// Whether the class still reads months with its own reader and runner: a caller who replaced either
// expects the months to pass through the replacement.
bool own_hooks_in_place() {
    py::object cls = store_class();
    py::object reader = cls.attr("read_parquet");
    py::object runner = cls.attr("run_concurrently");
    return reader.is(own_month_hooks().reader) && runner.is(own_month_hooks().runner);
}

}  // namespace

MonthReaders month_readers(MonthRead read, const py::list &paths) {
    if (read == MonthRead::kRange) {
        if (!native_core_enabled() || !own_hooks_in_place() || py::len(paths) == 0) {
            return {MonthReader::kClassHooks, MonthReader::kClassHooks};
        }
        return {MonthReader::kBlock, MonthReader::kClassHooks};
    }
    if (!native_core_enabled()) {
        return {MonthReader::kPandas, MonthReader::kPandas};
    }
    if (py::len(paths) == 0) {
        return {MonthReader::kStoredTable, MonthReader::kStoredTable};
    }
    return {MonthReader::kBlock, MonthReader::kStoredTable};
}

}  // namespace corvane::store
