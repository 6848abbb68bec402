// Identical re-syncs told from a content digest recorded when the month file was written.
#include "framevault/numeric_frames.hpp"
#include "core/digest_records.hpp"

#include <string>

namespace corvane::store {

namespace {

using namespace pybind11::literals;

// The digest of a month frame whose cells and labels the native core can read; nullopt otherwise.
std::optional<native::Digest128> digest_of(const py::object &frame, const py::object &days) {
    auto cells = float_cells(frame);
    auto keys = cells ? row_keys(frame.attr("index")) : std::nullopt;
    if (!keys) {
        return std::nullopt;
    }
    std::vector<int64_t> ticks = day_ticks(days);
    py::gil_scoped_release no_gil;
    return native::month_digest(cells->view, *keys, ticks);
}

std::string path_text(const py::object &file_path) {
    return py::str(global("os").attr("fspath")(file_path)).cast<std::string>();
}

// The record of a month whose days, as the next merge reads them back, are `days`.
std::optional<native::DigestRecord> record_for(const std::string &path, const py::object &frame, const py::object &days,
                                               const py::object &date_format) {
    auto digest = digest_of(frame, days);
    auto identity = native::identity_of(path);
    if (!digest || !identity) {
        return std::nullopt;
    }
    py::ssize_t count = py::len(days);
    return native::DigestRecord{*digest,
                                *identity,
                                py::str(date_format).cast<std::string>(),
                                py::str(days.attr("__getitem__")(0)).cast<std::string>(),
                                py::str(days.attr("__getitem__")(count - 1)).cast<std::string>(),
                                py::str(frame.attr("shape")).cast<std::string>()};
}

}  // namespace

bool print_identical_from_digest(const py::object &file_path, const py::object &sub_df,
                                 const py::object &date_format) {
    // Records vouch for a local file's stat identity; objects in a bucket have none to match.
    if (!native_core_enabled() || !native::is_local(file_path)) {
        return false;
    }
    std::string path = path_text(file_path);
    auto record = native::read_digest_record(native::digest_record_path(path));
    // Cheap checks first: most merges that are not re-syncs differ in shape already.
    if (!record || record->date_format != py::str(date_format).cast<std::string>() ||
        record->shape != py::str(sub_df.attr("shape")).cast<std::string>()) {
        return false;
    }
    auto identity = native::identity_of(path);
    if (!identity || !(*identity == record->identity)) {
        return false;
    }
    auto digest = digest_of(sub_df, sub_df.attr("columns"));
    if (!digest || !(*digest == record->digest)) {
        return false;
    }
    native::print_line(native::concat(file_path, ": Dataframes are identical. From ", py::str(record->first_day),
                                      " To ", py::str(record->last_day), " Total Shape ", py::str(record->shape)));
    return true;
}


std::optional<native::FileIdentity> month_file_identity(const py::object &file_path) {
    if (!native::is_local(file_path)) {
        return std::nullopt;
    }
    return native::identity_of(path_text(file_path));
}

void record_unchanged_month(const py::object &file_path, const py::object &existing_df, const py::object &date_format,
                            const std::optional<native::FileIdentity> &read_as) {
    if (!native_core_enabled() || !read_as) {
        return;
    }
    std::string path = path_text(file_path);
    auto record = record_for(path, existing_df, existing_df.attr("columns"), date_format);
    // Another writer may have replaced the file since it was read: then the record would vouch for
    // content nobody compared.
    if (record && record->identity == *read_as) {
        native::write_digest_record(native::digest_record_path(path), *record);
    }
}

void record_month_digest(const py::object &file_path, const py::object &written, const py::object &date_format) {
    if (!native::is_local(file_path)) {
        return;
    }
    std::string path = path_text(file_path);
    std::string record_path = native::digest_record_path(path);
    if (!native_core_enabled()) {
        native::remove_digest_record(record_path);
        return;
    }
    try {
        // The days as the next merge will read them back from the text labels.
        py::object days = to_day_labels(written.attr("columns"), file_path, date_format);
        auto record = record_for(path, written, days, date_format);
        if (record && native::write_digest_record(record_path, *record)) {
            return;
        }
    } catch (py::error_already_set &) {
        // Labels that do not read back cannot be vouched for; the next merge reads the file instead.
    }
    native::remove_digest_record(record_path);
}

}  // namespace corvane::store
