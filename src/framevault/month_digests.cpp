// Identical re-syncs told from a content digest recorded when the month file was written.
#include "framevault/numeric_frames.hpp"
#include "core/digest_records.hpp"

#include <string>

namespace corvane::store {

namespace {

using namespace pybind11::literals;

// The digest of a month frame whose cells (`cells`, taken from it) and labels the native core can
// read; nullopt otherwise.
std::optional<core::Digest128> digest_of(const py::object &frame, const py::object &days,
                                           const std::optional<FloatCells> &cells) {
    auto keys = cells ? row_keys(frame.attr("index")) : std::nullopt;
    if (!keys) {
        return std::nullopt;
    }
    std::vector<int64_t> ticks = day_ticks(days);
    return native::without_gil([&] { return core::month_digest(cells->view, *keys, ticks); });
}

// The record of a month whose days, as the next merge reads them back, are `days`; its identity is
// left for the caller to bind.
std::optional<core::DigestRecord> unbound_record(const py::object &frame, const py::object &days,
                                                   const py::object &date_format) {
    auto digest = digest_of(frame, days, float_cells(frame));
    if (!digest) {
        return std::nullopt;
    }
    py::ssize_t count = py::len(days);
    return core::DigestRecord{*digest,
                                core::FileIdentity{},
                                py::str(date_format).cast<std::string>(),
                                py::str(days.attr("__getitem__")(0)).cast<std::string>(),
                                py::str(days.attr("__getitem__")(count - 1)).cast<std::string>(),
                                py::str(frame.attr("shape")).cast<std::string>()};
}

}  // namespace

bool print_identical_from_digest(const py::object &file_path, const py::object &sub_df,
                                 const py::object &date_format, const std::optional<FloatCells> &cells) {
    if (!native_core_enabled()) {
        return false;
    }
    // The storage vouches that the record describes the file as it is now.
    auto record = native::storage_for(file_path).read_digest_record(file_path);
    // Cheap checks first: most merges that are not re-syncs differ in shape already.
    if (!record || record->date_format != py::str(date_format).cast<std::string>() ||
        record->shape != py::str(sub_df.attr("shape")).cast<std::string>()) {
        return false;
    }
    auto digest = digest_of(sub_df, sub_df.attr("columns"), cells);
    if (!digest || !(*digest == record->digest)) {
        return false;
    }
    native::print_status_line(native::concat(file_path, ": Dataframes are identical. From ",
                                             py::str(record->first_day), " To ", py::str(record->last_day),
                                             " Total Shape ", py::str(record->shape)));
    return true;
}

std::optional<core::FileIdentity> month_file_identity(const py::object &file_path) {
    return native::storage_for(file_path).version_before_read(file_path);
}

void record_unchanged_month(const py::object &file_path, const py::object &existing_df, const py::object &date_format,
                            const std::optional<core::FileIdentity> &read_as) {
    if (!native_core_enabled() || !read_as) {
        return;
    }
    // Another writer may have replaced the file since it was read: then the record would vouch for
    // content nobody compared, and the storage records nothing.
    if (auto record = unbound_record(existing_df, existing_df.attr("columns"), date_format)) {
        native::storage_for(file_path).write_digest_record(file_path, *record, read_as);
    }
}

void record_month_digest(const py::object &file_path, const py::object &written, const py::object &date_format) {
    const native::Storage &storage = native::storage_for(file_path);
    if (!native_core_enabled()) {
        storage.forget_digest_record(file_path);
        return;
    }
    try {
        // The days as the next merge will read them back from the text labels.
        py::object days = to_day_labels(written.attr("columns"), file_path, date_format);
        auto record = unbound_record(written, days, date_format);
        if (record && storage.write_digest_record(file_path, *record, std::nullopt)) {
            return;
        }
    } catch (py::error_already_set &) {
        // Labels that do not read back cannot be vouched for; the next merge reads the file instead.
    }
    storage.forget_digest_record(file_path);
}

}  // namespace corvane::store
