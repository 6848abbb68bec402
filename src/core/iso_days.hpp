// Day labels in the store's default form, "YYYY-MM-DD", read without pandas: every month file of a
// read or a merge carries a few dozen of them, and inferring their format costs more than the rest
// of the label work.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace corvane::native {

// Microseconds since 1970-01-01 of the day that `text` names as "YYYY-MM-DD" (years 1 to 9999, a
// real day of its month); nothing for any other text.
std::optional<int64_t> iso_day_micros(std::string_view text);

}  // namespace corvane::native
