// Day labels in the store's default form, "YYYY-MM-DD", read without pandas: every month file of a
// read or a merge carries a few dozen of them, and inferring their format costs more than the rest
// of the label work.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace corvane::core {

// Microseconds since 1970-01-01 of the day that `text` names as "YYYY-MM-DD" (years 1 to 9999, a
// real day of its month); nothing for any other text.
std::optional<int64_t> iso_day_micros(std::string_view text);

// The "YYYY-MM-DD" text of the day holding `tick`, counted in units of `ticks_per_day` since
// 1970-01-01 (times within the day are dropped, as strftime drops them); nothing outside the years
// 1000 to 9999, whose text would not have four digits.
std::optional<std::string> iso_day_text(int64_t tick, int64_t ticks_per_day);

}  // namespace corvane::core
