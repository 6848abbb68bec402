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

bool all_local(const py::list &paths) {
    for (py::handle path : paths) {
        if (!native::storage_for(path).holds_local_files()) {
            return false;
        }
    }
    return py::len(paths) > 0;
}

}  // namespace

MonthReaders month_readers(MonthRead read, const py::list &paths) {
    if (read == MonthRead::kRange) {
        if (!native_core_enabled() || !own_hooks_in_place() || !all_local(paths)) {
            return {MonthReader::kClassHooks, MonthReader::kClassHooks};
        }
        return {MonthReader::kBlock, MonthReader::kClassHooks};
    }
    if (!native_core_enabled()) {
        return {MonthReader::kPandas, MonthReader::kPandas};
    }
    if (!all_local(paths)) {
        return {MonthReader::kStoredTable, MonthReader::kStoredTable};
    }
    return {MonthReader::kBlock, MonthReader::kStoredTable};
}

}  // namespace corvane::store
