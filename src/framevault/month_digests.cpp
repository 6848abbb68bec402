// Identical re-syncs told from a content digest recorded when the month file was written.
#include "framevault/numeric_frames.hpp"
#include "core/digest_records.hpp"

#include <string>

namespace corvane::store {

namespace {

using namespace pybind11::literals;

// The digest of a month frame whose cells (`cells`, taken from it) and labels the native core can
// read; nullopt otherwise.
std::optional<native::Digest128> digest_of(const py::object &frame, const py::object &days,
                                           const std::optional<FloatCells> &cells) {
    auto keys = cells ? row_keys(frame.attr("index")) : std::nullopt;
    if (!keys) {
        return std::nullopt;
    }
    std::vector<int64_t> ticks = day_ticks(days);
    py::gil_scoped_release no_gil;
    return native::month_digest(cells->view, *keys, ticks);
}

// Record files are read, written and removed without the GIL: the other months' threads go on meanwhile.
bool write_record(const std::string &record_path, const native::DigestRecord &record) {
    return native::without_gil([&] { return native::write_digest_record(record_path, record); });
}

void remove_record(const std::string &record_path) {
    native::without_gil([&] { native::remove_digest_record(record_path); });
}

std::string path_text(const py::object &file_path) {
    return py::str(global("os").attr("fspath")(file_path)).cast<std::string>();
}

// The record of a month whose days, as the next merge reads them back, are `days`; its identity is
// left for the caller to bind.
std::optional<native::DigestRecord> unbound_record(const py::object &frame, const py::object &days,
                                                   const py::object &date_format) {
    auto digest = digest_of(frame, days, float_cells(frame));
    if (!digest) {
        return std::nullopt;
    }
    py::ssize_t count = py::len(days);
    return native::DigestRecord{*digest,
                                native::FileIdentity{},
                                py::str(date_format).cast<std::string>(),
                                py::str(days.attr("__getitem__")(0)).cast<std::string>(),
                                py::str(days.attr("__getitem__")(count - 1)).cast<std::string>(),
                                py::str(frame.attr("shape")).cast<std::string>()};
}

// The same, bound to the identity of the local file at `path` now.
std::optional<native::DigestRecord> record_for(const std::string &path, const py::object &frame, const py::object &days,
                                               const py::object &date_format) {
    auto record = unbound_record(frame, days, date_format);
    auto identity = native::without_gil([&] { return native::identity_of(path); });
    if (!record || !identity) {
        return std::nullopt;
    }
    record->identity = *identity;
    return record;
}

// Object storage keeps a record as text fields bound (by the storage seam) to the object's ETag.
void record_object_month(const py::object &file_path, const py::object &frame, const py::object &days,
                         const py::object &date_format) {
    auto record = unbound_record(frame, days, date_format);
    if (!record) {
        return;
    }
    py::dict fields("digest"_a = record->digest.hex(), "date_format"_a = record->date_format,
                    "first_day"_a = record->first_day, "last_day"_a = record->last_day, "shape"_a = record->shape);
    native::write_object_digest_record(file_path, fields);
}

// The record of the object at `file_path` when it describes the version the running update sees.
std::optional<native::DigestRecord> object_record(const py::object &file_path) {
    py::object fields = native::read_object_digest_record(file_path);
    if (fields.is_none()) {
        return std::nullopt;
    }
    try {
        auto text = [&](const char *name) { return fields[name].cast<std::string>(); };
        std::string hex = text("digest");
        if (hex.size() != 32 || hex.find_first_not_of("0123456789abcdef") != std::string::npos) {
            return std::nullopt;
        }
        native::Digest128 digest{std::stoull(hex.substr(0, 16), nullptr, 16), std::stoull(hex.substr(16), nullptr, 16)};
        return native::DigestRecord{digest, native::FileIdentity{}, text("date_format"), text("first_day"),
                                    text("last_day"), text("shape")};
    } catch (py::error_already_set &) {
        return std::nullopt;  // a record of another shape vouches for nothing
    } catch (py::cast_error &) {
        return std::nullopt;
    }
}

}  // namespace

bool print_identical_from_digest(const py::object &file_path, const py::object &sub_df,
                                 const py::object &date_format, const std::optional<FloatCells> &cells) {
    if (!native_core_enabled()) {
        return false;
    }
    // A local record vouches for a file's stat identity, an object's for its ETag (checked by the seam).
    bool local = native::is_local(file_path);
    std::string path = path_text(file_path);
    auto record = local ? native::without_gil([&] { return native::read_digest_record(native::digest_record_path(path)); })
                        : object_record(file_path);
    // Cheap checks first: most merges that are not re-syncs differ in shape already.
    if (!record || record->date_format != py::str(date_format).cast<std::string>() ||
        record->shape != py::str(sub_df.attr("shape")).cast<std::string>()) {
        return false;
    }
    auto identity = local ? native::without_gil([&] { return native::identity_of(path); }) : std::nullopt;
    if (local && (!identity || !(*identity == record->identity))) {
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


std::optional<native::FileIdentity> month_file_identity(const py::object &file_path) {
    if (!native::is_local(file_path)) {
        return std::nullopt;
    }
    std::string path = path_text(file_path);
    return native::without_gil([&] { return native::identity_of(path); });
}

void record_unchanged_month(const py::object &file_path, const py::object &existing_df, const py::object &date_format,
                            const std::optional<native::FileIdentity> &read_as) {
    if (!native_core_enabled()) {
        return;
    }
    if (!native::is_local(file_path)) {
        // Bound to the ETag of the version that was read and compared.
        record_object_month(file_path, existing_df, existing_df.attr("columns"), date_format);
        return;
    }
    if (!read_as) {
        return;
    }
    std::string path = path_text(file_path);
    auto record = record_for(path, existing_df, existing_df.attr("columns"), date_format);
    // Another writer may have replaced the file since it was read: then the record would vouch for
    // content nobody compared.
    if (record && record->identity == *read_as) {
        write_record(native::digest_record_path(path), *record);
    }
}

void record_month_digest(const py::object &file_path, const py::object &written, const py::object &date_format) {
    if (!native::is_local(file_path)) {
        // A record left from an older version names that version's ETag, so it needs no removal.
        if (native_core_enabled()) {
            try {
                record_object_month(file_path, written, to_day_labels(written.attr("columns"), file_path, date_format),
                                    date_format);
            } catch (py::error_already_set &) {
                // Labels that do not read back get no record; the next merge reads the object.
            }
        }
        return;
    }
    std::string path = path_text(file_path);
    std::string record_path = native::digest_record_path(path);
    if (!native_core_enabled()) {
        remove_record(record_path);
        return;
    }
    try {
        // The days as the next merge will read them back from the text labels.
        py::object days = to_day_labels(written.attr("columns"), file_path, date_format);
        auto record = record_for(path, written, days, date_format);
        if (record && write_record(record_path, *record)) {
            return;
        }
    } catch (py::error_already_set &) {
        // Labels that do not read back cannot be vouched for; the next merge reads the file instead.
    }
    remove_record(record_path);
}

}  // namespace corvane::store
