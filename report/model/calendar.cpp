#include "model/calendar.h"

#include <fmt/format.h>

namespace report {

namespace {

// The number `digits` decimal digits spell from `at`; absent when any is not
// a digit. By hand rather than through a general parser: a year of nightly
// runs reads hundreds of thousands of dates, and no sign or space may pass.
std::optional<int> digits_at(std::string_view text, std::size_t at, std::size_t digits) {
    int v = 0;
    for (std::size_t i = at; i < at + digits; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        v = v * 10 + (text[i] - '0');
    }
    return v;
}

constexpr long long seconds_a_day = 24 * 60 * 60;

}  // namespace

std::optional<long> calendar_days(std::string_view date) {
    if (date.size() != 10 || date[4] != '-' || date[7] != '-')
        return std::nullopt;
    std::optional<int> y = digits_at(date, 0, 4), m = digits_at(date, 5, 2),
                       d = digits_at(date, 8, 2);
    if (!y || !m || !d)
        return std::nullopt;
    std::chrono::year_month_day day{std::chrono::year{*y},
                                    std::chrono::month{static_cast<unsigned>(*m)},
                                    std::chrono::day{static_cast<unsigned>(*d)}};
    if (!day.ok())
        return std::nullopt;
    return std::chrono::sys_days(day).time_since_epoch().count();
}

std::string calendar_date(long days) {
    std::chrono::year_month_day day{std::chrono::sys_days(std::chrono::days(days))};
    return fmt::format("{:04}-{:02}-{:02}", static_cast<int>(day.year()),
                       static_cast<unsigned>(day.month()), static_cast<unsigned>(day.day()));
}

namespace {

// `t` in UTC, cut to the second, the date's and time's parts apart by `dash`
// and `colon`.
std::string stamp(std::chrono::system_clock::time_point t, std::string_view dash,
                  std::string_view colon) {
    auto second = std::chrono::floor<std::chrono::seconds>(t);
    auto day = std::chrono::floor<std::chrono::days>(second);
    std::chrono::year_month_day date{day};
    std::chrono::hh_mm_ss time{second - day};
    return fmt::format("{:04}{}{:02}{}{:02}T{:02}{}{:02}{}{:02}Z", static_cast<int>(date.year()),
                       dash, static_cast<unsigned>(date.month()), dash,
                       static_cast<unsigned>(date.day()), time.hours().count(), colon,
                       time.minutes().count(), colon, time.seconds().count());
}

}  // namespace

std::string utc_stamp(std::chrono::system_clock::time_point t) {
    return stamp(t, "-", ":");
}

std::string utc_compact_stamp(std::chrono::system_clock::time_point t) {
    return stamp(t, "", "");
}

std::optional<int> day_seconds(std::string_view text) {
    if (text.size() != 8 || text[2] != ':' || text[5] != ':')
        return std::nullopt;
    std::optional<int> h = digits_at(text, 0, 2), m = digits_at(text, 3, 2),
                       s = digits_at(text, 6, 2);
    if (!h || !m || !s || *h > 23 || *m > 59 || *s > 60)
        return std::nullopt;
    return *h * 3600 + *m * 60 + *s;
}

std::optional<long long> utc_seconds(std::string_view stamp) {
    if (stamp.size() != 20 || stamp[10] != 'T' || stamp[19] != 'Z')
        return std::nullopt;
    std::optional<long> day = calendar_days(stamp.substr(0, 10));
    std::optional<int> second = day_seconds(stamp.substr(11, 8));
    if (!day || !second)
        return std::nullopt;
    return *day * seconds_a_day + *second;
}

}  // namespace report
