// Dates and UTC stamps: the days of the calendar read and written back, and
// every text that is no date of the calendar refused.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "model/calendar.h"

using namespace report;

namespace {

TEST(Calendar, DatesReadAsDaysAndBack) {
    struct Case {
        const char* date;
        std::optional<long> days;
    };
    const Case cases[] = {
        {"1970-01-01", 0},
        {"1969-12-31", -1},
        {"2000-02-29", 11016},
        {"2024-02-29", 19782},
        {"2026-12-08", 20795},
        {"0000-03-01", -719468},
        {"9999-12-31", 2932896},
        {"2023-02-29", std::nullopt},
        {"1900-02-29", std::nullopt},
        {"2026-04-31", std::nullopt},
        {"2026-13-01", std::nullopt},
        {"2026-00-10", std::nullopt},
        {"2026-12-00", std::nullopt},
        {"2026-1-08", std::nullopt},
        {"+026-12-08", std::nullopt},
        {"2026-12- 8", std::nullopt},
        {"2026/12/08", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(calendar_days(c.date), c.days) << c.date;
        if (c.days) {
            EXPECT_EQ(calendar_date(*c.days), c.date);
        }
    }
}

TEST(Calendar, UtcStampsWrittenAndRead) {
    using namespace std::chrono;
    struct Case {
        system_clock::time_point at;
        const char* stamp;
        const char* compact;
    };
    const Case cases[] = {
        {system_clock::time_point{}, "1970-01-01T00:00:00Z", "19700101T000000Z"},
        {sys_days{2026y / 12 / 8} + 10h + 39min + 33s + 999ms, "2026-12-08T10:39:33Z",
         "20261208T103933Z"},
        {sys_days{2024y / 2 / 29} + 23h + 59min + 59s, "2024-02-29T23:59:59Z", "20240229T235959Z"},
        {sys_days{1969y / 12 / 31} + 12h + 500ms, "1969-12-31T12:00:00Z", "19691231T120000Z"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(utc_stamp(c.at), c.stamp);
        EXPECT_EQ(utc_compact_stamp(c.at), c.compact);
        EXPECT_EQ(report::utc_seconds(c.stamp), floor<seconds>(c.at).time_since_epoch().count())
            << c.stamp;
    }
    // A leap second reads; a local time (no zone) and a time of no day do not.
    EXPECT_EQ(report::utc_seconds("2016-12-31T23:59:60Z"), 1483228800);
    for (const char* refused :
         {"2026-12-08T10:39:33", "2026-12-08T24:00:00Z", "2026-12-08T10:60:00Z",
          "2026-12-08 10:39:33Z", "2026-12-08T10:39: 3Z", "2026-02-30T10:39:33Z"})
        EXPECT_EQ(report::utc_seconds(refused), std::nullopt) << refused;
    EXPECT_EQ(day_seconds("10:39:33"), 38373);
    EXPECT_EQ(day_seconds("10:39"), std::nullopt);
}

}  // namespace
