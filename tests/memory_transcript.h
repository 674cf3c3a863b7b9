// The expected console and results-file transcripts of bench_memory and the
// cross-checks of their figures.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "transcript.h"

inline void add_memory_region(std::vector<std::string>& v, const std::string& heading, int threads,
                              const std::string& spent_text, const std::string& unit,
                              bool megabytes) {
    v.insert(v.end(), {"Multi-Thread Enabled:", "", heading});
    for (int t = 0; t < threads; ++t) {
        v.insert(v.end(),
                 {"Thread:{t} " + spent_text + "{} Secs. ", "Thread:{t} It was: {}" + unit});
        if (megabytes)
            v.push_back("Conventionally, it was: {} MB/sec.");
    }
}

// `console` adds the notice and support lines and the console's texts.
inline std::vector<std::string> memory_transcript(int threads, bool console) {
    const std::string allocations = " Millions Allocations/sec.";
    const std::string executions = " Millions Executions/sec.";
    std::vector<std::string> v;
    if (console)
        v = {"",
             "Velotrix :: Ombrelune Benchmark MultiProcessor Memory for Linux on x86 64bit system "
             "2025.02.06.",
             "Copyright (C) Velotrix. All rights reserved.",
             "For Support: support@velotrix.example",
             "",
             "",
             ""};
    else
        v = {
            "Velotrix :: Ombrelune Benchmark MultiProcessor Memory for Linux on x86 64it system "
            "2025.02.06.",
            ""};
    v.insert(v.end(), {"Thread(s): {}", "", "Force to be single thread.", "",
                       "Power of Memory Allocation.", "The system spent: {} Secs. ",
                       "It was: {}" + allocations, "", "Low speeds:", "The system spent: {} Secs. ",
                       "It was: {}" + executions, "Conventionally, it was: {} MB/sec.", "",
                       "High speeds:", "The system spent: {} Secs. ", "It was: {}" + executions,
                       "Conventionally, it was: {} MB/sec.", "", ""});
    add_memory_region(v, "Power of Memory Allocation.", threads, "The system spent: ", allocations,
                      false);
    v.insert(v.end(),
             {"", "Overall, it was: {}" + allocations, "Multi-Thread Improvements: {} times.", ""});
    add_memory_region(v, "Low speeds:", threads,
                      console ? "The system spent: " : "The spent: ", executions, true);
    v.insert(v.end(), {"", "Overall, It was: {}" + executions, "Conventionally, it was: {} MB/sec.",
                       "Multi-Thread Improvements: {} times.", "", ""});
    add_memory_region(v, "High speeds:", threads, "The system spent: ", executions, true);
    v.insert(v.end(), {"", "Overall, It was: {}" + executions, "Conventionally, it was: {} MB/sec.",
                       "Multi-Thread Improvements: {} times.", ""});
    return v;
}

// A megabytes figure against the rate (in millions) printed before it.
inline void expect_megabytes(double mb, double rate_millions, double bytes) {
    EXPECT_TRUE(close_to(mb, rate_millions * 1e6 * bytes / 1048576))
        << mb << " MB/sec. after " << rate_millions << " millions";
}

// Checks the numbers of a matched transcript in the order they appear.
// Returns the figures a reader quotes: per test single, overall and
// improvement.
inline std::vector<double> check_memory_figures(const std::vector<double>& v, int threads,
                                                double iterations) {
    std::vector<double> quoted;
    size_t p = 0;
    EXPECT_EQ(v.at(p++), threads);
    const double bytes[3] = {0, 32, 16};
    double single[3];
    for (int test = 0; test < 3; ++test) {
        double spent = v.at(p++);
        single[test] = v.at(p++);
        EXPECT_TRUE(close_to(single[test], iterations / spent / 1e6));
        if (bytes[test] > 0)
            expect_megabytes(v.at(p++), single[test], bytes[test]);
    }
    for (int test = 0; test < 3; ++test) {
        std::set<int> seen;
        double sum = 0;
        for (int t = 0; t < threads; ++t) {
            int number = static_cast<int>(v.at(p++));
            double spent = v.at(p++);
            EXPECT_EQ(v.at(p++), number) << "a block names two threads";
            double rate = v.at(p++);
            EXPECT_TRUE(close_to(rate, iterations / spent / 1e6));
            if (bytes[test] > 0)
                expect_megabytes(v.at(p++), rate, bytes[test]);
            EXPECT_TRUE(seen.insert(number).second);
            sum += rate;
        }
        EXPECT_EQ(seen.size(), static_cast<size_t>(threads));
        EXPECT_EQ(*seen.rbegin(), threads - 1);
        double overall = v.at(p++);
        EXPECT_TRUE(close_to(overall, sum)) << overall << " vs sum " << sum;
        if (bytes[test] > 0)
            expect_megabytes(v.at(p++), overall, bytes[test]);
        double improvement = v.at(p++);
        EXPECT_TRUE(close_to(improvement, overall / single[test]));
        quoted.insert(quoted.end(), {single[test], overall, improvement});
    }
    EXPECT_EQ(p, v.size());
    return quoted;
}
