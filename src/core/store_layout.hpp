// Every name the store gives its files, in one place: a category's month files and whole table, the
// patterns that find them again, the store's temporary files, and where its own state (locks,
// digest records) lives under <root>/.corvane. Plain C++; the store module hands the patterns to
// Python as FrameVault._layout, so the corvane command finds files as the store does.
#pragma once

#include <string>

namespace corvane::core::layout {

// <category>.parquet: a category's whole table.
inline constexpr const char *table_suffix = ".parquet";
// <category>_YYYY-MM.parquet: one month of a category. The pattern follows the category's escaped
// name and matches the rest of the file name; its groups are the year and the month.
inline constexpr const char *month_file_pattern = R"(_(\d{4})-(\d{2})\.parquet)";
// What extract_year_month searches a file name for, as the store has always read month keys back.
inline constexpr const char *month_key_pattern = R"(_(\d{4})-(\d{2})\.)";

// The store's temporary files: .corvane-write-<pid>-<thread>-<n>.tmp, beside their target. Hidden,
// without ".parquet" and without "_YYYY-MM.", so no listing of months or tables takes one.
inline constexpr const char *temporary_prefix = ".corvane-write-";
inline constexpr const char *temporary_suffix = ".tmp";
inline constexpr const char *temporary_file_pattern = R"(\.corvane-write-.*\.tmp)";

// The store's own state under the root; never a category.
inline constexpr const char *state_directory = ".corvane";
// Digest records: <root>/.corvane/digests/<category>/<file name>.digest.
inline constexpr const char *digest_directory = "digests";
inline constexpr const char *digest_suffix = ".digest";

// <category>_<month_key>.parquet for a month key YYYY-MM.
inline std::string month_file_name(const std::string &category, const std::string &month_key) {
    return category + "_" + month_key + ".parquet";
}
// <category>.parquet.
inline std::string table_file_name(const std::string &category) { return category + table_suffix; }

// The lock file of the stored file `data_path` (absolute, as <root>/<category>/<name>):
// <root>/.corvane/locks/<category>/<name>.lock. Kept out of the category directory so that listings
// of months and tables never see it.
std::string lock_path_for(const std::string &data_path);

// <root>/.corvane/digests/<category>/<file name>.digest for the file <root>/<category>/<file name>;
// empty when the path cannot be made absolute (the record calls then do nothing).
std::string digest_record_path(const std::string &file_path);

}  // namespace corvane::core::layout
