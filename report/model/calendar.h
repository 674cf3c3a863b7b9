// Dates and times as the results, the records and the options write them:
// a day of the calendar ("2026-12-08"), counted in days from 1970-01-01, and
// a time in UTC to the second ("2026-12-08T10:39:33Z"). Every reader and
// writer of either goes through these, so a date the calendar does not have
// ("2026-02-30") is refused one way everywhere.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace report {

// The day "YYYY-MM-DD" names, in days from 1970-01-01 (before it negative);
// absent for anything else: another length, a sign or a space, a day the
// month does not have.
std::optional<long> calendar_days(std::string_view date);

// "YYYY-MM-DD" of a day counted from 1970-01-01: calendar_days read back.
std::string calendar_date(long days);

// "YYYY-MM-DDTHH:MM:SSZ": the time in UTC, to the second (cut, not rounded).
std::string utc_stamp(std::chrono::system_clock::time_point t);

// "YYYYMMDDTHHMMSSZ": utc_stamp without its separators, as the folders of
// runs and repetitions are named.
std::string utc_compact_stamp(std::chrono::system_clock::time_point t);

// Seconds into a day of "HH:MM:SS" (a leap second's 60 included); absent for
// anything else.
std::optional<int> day_seconds(std::string_view hh_mm_ss);

// Seconds from 1970-01-01T00:00:00Z of a utc_stamp; absent for anything else
// (a local time, which has no zone, included).
std::optional<long long> utc_seconds(std::string_view stamp);

}  // namespace report
