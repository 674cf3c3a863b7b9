// The expected console and results-file transcripts of bench_processors and
// the cross-checks of their figures.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "transcript.h"

inline const char processors_title[] =
    "Velotrix :: Ombrelune Benchmark MultiProcessor for Linux on x86 64bit system 2025.02.06.";

inline void add_streaming_test(std::vector<std::string>& v, const std::string& heading,
                               int threads) {
    v.insert(v.end(), {heading, "", "Force to be single thread.", "The system spent: {} Secs. ",
                       "It was: {} Millions Executions/sec.", "", "Multi-Thread Enabled:"});
    for (int t = 0; t < threads; ++t)
        v.insert(v.end(), {"Thread:{t} The system spent: {} Secs. ",
                           "Thread:{t} It was: {} Millions Executions/sec."});
    v.insert(v.end(), {"", "Overall, It was: {} Millions Executions/sec.",
                       "Multi-Thread Improvements: {} times.", "", ""});
}

// `console` adds the notice and support lines and the console's headings.
inline std::vector<std::string> processors_transcript(int threads, bool console) {
    std::vector<std::string> v;
    if (console)
        v = {"",
             processors_title,
             "Copyright (C) Velotrix. All rights reserved.",
             "For Support: support@velotrix.example",
             "",
             ""};
    else
        v = {processors_title, ""};
    v.insert(v.end(), {"Thread(s): {}", "", "", "Effective Frequency.",
                       "Effective Frequency was: {} Giga Executions/sec.", "", ""});
    add_streaming_test(v,
                       console ? "Float Streaming. Float is at: 128bits."
                               : "Float Streaming. Float is at: 128bits",
                       threads);
    add_streaming_test(v, "Integer Streaming. Integer is at: 128bits.", threads);
    add_streaming_test(v, "Logic Streaming. Logic is at: 8bits.", threads);
    return v;
}

// Checks the numbers of a matched transcript, in the order they appear:
// thread count, effective frequency, then per streaming test the single
// spent and rate, the per-thread blocks, overall and improvement. Returns
// the figures a reader quotes: single, overall and improvement per test.
// Each per-thread block gives: number, spent, number, rate.
inline std::vector<double> check_processors_figures(const std::vector<double>& v, int threads,
                                                    double iterations) {
    std::vector<double> quoted;
    size_t p = 0;
    EXPECT_EQ(v.at(p++), threads);
    double frequency = v.at(p++);
    EXPECT_GT(frequency, 0);
    quoted.push_back(frequency);
    for (int test = 0; test < 3; ++test) {
        double spent = v.at(p++), rate = v.at(p++);
        EXPECT_GT(spent, 0);
        EXPECT_TRUE(close_to(rate, iterations / spent / 1e6)) << rate << " vs " << spent;
        std::set<int> seen;
        double sum = 0;
        for (int t = 0; t < threads; ++t) {
            int number = static_cast<int>(v.at(p++));
            double t_spent = v.at(p++);
            EXPECT_EQ(v.at(p++), number) << "a block names two threads";
            double t_rate = v.at(p++);
            EXPECT_TRUE(seen.insert(number).second) << "thread " << number << " twice";
            EXPECT_TRUE(close_to(t_rate, iterations / t_spent / 1e6));
            sum += t_rate;
        }
        EXPECT_EQ(seen.size(), static_cast<size_t>(threads));
        EXPECT_EQ(*seen.rbegin(), threads - 1);
        double overall = v.at(p++), improvement = v.at(p++);
        EXPECT_TRUE(close_to(overall, sum)) << overall << " vs sum " << sum;
        EXPECT_TRUE(close_to(improvement, overall / rate)) << improvement;
        quoted.insert(quoted.end(), {rate, overall, improvement});
    }
    EXPECT_EQ(p, v.size());
    return quoted;
}
