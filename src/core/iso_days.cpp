#include "core/iso_days.hpp"

#include <cstdio>

namespace corvane::core {

namespace {

constexpr int64_t micros_per_day = 86'400'000'000LL;

bool read_digits(std::string_view text, size_t first, size_t count, int &value) {
    value = 0;
    for (size_t position = first; position < first + count; ++position) {
        char digit = text[position];
        if (digit < '0' || digit > '9') {
            return false;
        }
        value = value * 10 + (digit - '0');
    }
    return true;
}

bool is_leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int year, int month) {
    static constexpr int lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : lengths[month - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (the well-known era-based conversion).
int64_t days_from_civil(int year, int month, int day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t year_of_era = year - era * 400;
    const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

struct CivilDay {
    int64_t year;
    unsigned month;
    unsigned day;
};

// The proleptic Gregorian date of a day counted since 1970-01-01 (the inverse of days_from_civil).
CivilDay civil_from_days(int64_t days) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t day_of_era = days - era * 146097;
    const int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t shifted_month = (5 * day_of_year + 2) / 153;
    const auto day = static_cast<unsigned>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
    const auto month = static_cast<unsigned>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
    return {year_of_era + era * 400 + (month <= 2), month, day};
}

}  // namespace

std::optional<std::string> iso_day_text(int64_t tick, int64_t ticks_per_day) {
    int64_t days = tick / ticks_per_day - (tick % ticks_per_day < 0 ? 1 : 0);
    CivilDay civil = civil_from_days(days);
    if (civil.year < 1000 || civil.year > 9999) {
        return std::nullopt;
    }
    char text[11];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(civil.year), civil.month, civil.day);
    return std::string(text, 10);
}

std::optional<int64_t> iso_day_micros(std::string_view text) {
    int year = 0;
    int month = 0;
    int day = 0;
    if (text.size() != 10 || text[4] != '-' || text[7] != '-' || !read_digits(text, 0, 4, year) ||
        !read_digits(text, 5, 2, month) || !read_digits(text, 8, 2, day)) {
        return std::nullopt;
    }
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) {
        return std::nullopt;
    }
    return days_from_civil(year, month, day) * micros_per_day;
}

}  // namespace corvane::core
