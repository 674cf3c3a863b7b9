// bench_processors in-process: what the workloads compute, that every call
// of every iteration survives the optimised build, and the whole transcript
// of a short run.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <sstream>

#include <omp.h>

#include "int128.h"
#include "processors.h"
#include "processors_transcript.h"
#include "wraps.h"

namespace {

const long double offset = 5.28294562624475e269;

long double float_cell(int t) {
    return *static_cast<long double*>(first_new[t][0]);
}
i128 integer_cell(int t) {
    return *static_cast<i128*>(first_new[t][0]);
}

// Runs `body` on a team of `team` threads with calls counted.
void counted_region(pass_fn body, uint64_t iterations, int team) {
    omp_set_num_threads(team);
    start_counting();
#pragma omp parallel
    body(iterations);
    stop_counting();
    omp_set_num_threads(omp_get_num_procs());
}

void counted_single(pass_fn pass, uint64_t iterations, int processors) {
    forced_num_procs = processors;
    start_counting();
    pass(iterations);
    stop_counting();
    forced_num_procs = 0;
}

long count(wrapped_call c) {
    return calls[c];
}

TEST(FloatStreaming, FirstIterationLeavesTheOffsetButThread10HoldsNaN) {
    EXPECT_EQ(offset, 0x1.000001000001p+896L);
    counted_single(float_single, 1, 2);
    EXPECT_EQ(float_cell(0), offset);

    counted_region(float_thread, 1, 12);
    for (int t = 0; t < 12; ++t) {
        if (t == 10)
            EXPECT_TRUE(std::isnan(float_cell(t)));
        else
            EXPECT_EQ(float_cell(t), offset) << "thread " << t;
    }
}

TEST(FloatStreaming, ExponentIsAnIntegerQuotient) {
    counted_single(float_single, 3, 2);
    EXPECT_EQ(last_powl_exponent[0], 0);
    counted_single(float_single, 3, 1);
    EXPECT_EQ(last_powl_exponent[0], 1);
    counted_region(float_thread, 3, 4);
    EXPECT_EQ(last_powl_exponent[0], 1);
    for (int t = 1; t < 4; ++t)
        EXPECT_EQ(last_powl_exponent[t], 0);
}

TEST(FloatStreaming, SingleThreadPassStoresMinusInfinityAtIteration710) {
    for (int processors : {1, 2}) {
        counted_single(float_single, 710, processors);
        EXPECT_TRUE(std::isfinite(float_cell(0))) << processors;
        counted_single(float_single, 711, processors);
        EXPECT_EQ(float_cell(0), -INFINITY) << processors;
    }
    // The extended exponential of the multi-thread pass stays finite.
    counted_region(float_thread, 4097, 2);
    EXPECT_TRUE(std::isfinite(float_cell(1)));
}

TEST(FloatStreaming, EveryCallOfEveryIterationIsMade) {
    const long n = 5000;
    counted_single(float_single, n, 2);
    EXPECT_EQ(count(call_powl), n);
    EXPECT_EQ(count(call_exp), n);
    EXPECT_EQ(count(call_logl), n);
    EXPECT_EQ(count(call_sinl), n);
    EXPECT_EQ(count(call_num_procs), 2 * n);
    EXPECT_EQ(count(call_expl) + count(call_sin) + count(call_log) + count(call_thread_num), 0);
    EXPECT_EQ(count(call_new16), 1);

    counted_region(float_thread, n, 2);
    for (wrapped_call c : {call_powl, call_expl, call_logl, call_sin, call_log})
        EXPECT_EQ(count(c), 2 * n) << c;
    EXPECT_EQ(count(call_exp) + count(call_sinl) + count(call_num_procs), 0);
    EXPECT_EQ(count(call_thread_num), 2);
    EXPECT_EQ(count(call_new16), 2);
}

TEST(FloatStreaming, SineTermCarriesItsWeightBitExactly) {
    // A sine of 2^1000 outweighs the offset so far that the new value is
    // exactly minus the weighted sine: ln 11 rounded to double on one thread,
    // the logarithm of t XOR 10 on thread t of a region.
    forced_sine = 0x1p1000L;
    counted_single(float_single, 1, 2);
    EXPECT_EQ(float_cell(0), -0x1p1000L * static_cast<long double>(2.3978952727983707));
    counted_region(float_thread, 1, 3);
    forced_sine = 0;
    for (int t = 0; t < 3; ++t)
        EXPECT_EQ(float_cell(t), -0x1p1000L * std::log(static_cast<double>(t ^ 10))) << t;
}

TEST(Int128, ConversionsSaturateAndShiftsPastTheWidthGiveZero) {
    EXPECT_EQ(trunc128(NAN), 0);
    EXPECT_EQ(trunc128(INFINITY), i128_max);
    EXPECT_EQ(trunc128(-INFINITY), i128_min);
    EXPECT_EQ(trunc128(1e39), i128_max);
    EXPECT_EQ(trunc128(0x1p127), i128_max);
    EXPECT_EQ(trunc128(-0x1p127), i128_min);  // in range, not saturated
    EXPECT_EQ(trunc128(-0x1p127L), i128_min);
    EXPECT_EQ(trunc128(-2.9), -2);
    EXPECT_EQ(trunc128(2.9L), 2);
    EXPECT_EQ(trunc128(static_cast<long double>(NAN)), 0);
    EXPECT_EQ(trunc128(-1e300L), i128_min);
    EXPECT_EQ(trunc128(0x1.fffffffffffffffep126L), static_cast<i128>(0xffffffffffffffffULL) << 63);
    EXPECT_EQ(shift_right128(i128_max, 128), 0);
    EXPECT_EQ(shift_right128(i128_max, 4095), 0);
    EXPECT_EQ(shift_right128(9, 3), 1);
    EXPECT_EQ(add128(i128_max, 1), i128_min);
    EXPECT_EQ(sub128(i128_min, 1), i128_max);
    EXPECT_EQ(mul128(i128_max, 2), -2);
}

// The multi-thread integer iteration for thread t, written out from its
// definition, for passes short enough that the exponential stays finite.
i128 integer_thread_reference(int t, int iterations) {
    i128 cell = 0;
    i128 d = 2 * t + 1;
    for (int i = 0; i < iterations; ++i) {
        uint64_t k = argument_index(i);
        int64_t x = static_cast<int64_t>(cell);
        i128 magnitude = x < 0 ? -static_cast<i128>(x) : static_cast<i128>(x);
        i128 a = magnitude - INT64_MAX - static_cast<i128>(std::pow(t, t));
        i128 h = (i % d) >> t;
        i128 v = a * h + 4294967298 + static_cast<i128>(std::log(std::exp(k)));
        double s = std::sin(std::sqrt(static_cast<double>(k * k)) * 90.0);
        double w = static_cast<double>(trunc128(std::log(t ^ 10)));
        cell = trunc128(static_cast<double>(v) - w * s);
    }
    return cell;
}

TEST(IntegerStreaming, FirstIterationStores4294967298) {
    counted_single(integer_single, 1, 2);
    EXPECT_EQ(integer_cell(0), 4294967298);
    counted_region(integer_thread, 1, 12);
    for (int t = 0; t < 12; ++t)
        EXPECT_EQ(integer_cell(t), 4294967298) << "thread " << t;
}

TEST(IntegerStreaming, ThreadsFollowTheirDivisorShiftAndWeight) {
    for (int n : {2, 3, 5, 6, 10, 61, 700}) {
        counted_region(integer_thread, n, 12);
        for (int t : {0, 1, 2, 8, 10, 11})
            EXPECT_TRUE(integer_cell(t) == integer_thread_reference(t, n))
                << "thread " << t << " after " << n << " iterations";
        // Threads 8 and 11 have weight 0 and a product term of 0.
        EXPECT_TRUE(integer_cell(8) == 4294967298 + (n - 1));
        EXPECT_TRUE(integer_cell(11) == 4294967298 + (n - 1));
    }
}

TEST(IntegerStreaming, SingleThreadPassOnTwoProcessors) {
    // D = 5, H = (i mod 5) >> 1, P = 2^2, and the sine term is always 0.
    i128 cell = 0;
    for (int i = 0; i < 700; ++i) {
        int64_t x = static_cast<int64_t>(cell);
        i128 magnitude = x < 0 ? -static_cast<i128>(x) : static_cast<i128>(x);
        i128 a = magnitude - INT64_MAX - 4;
        cell = a * ((i % 5) >> 1) + 4294967298 + argument_index(i);
        if (i > 20 && i < 690)
            continue;  // the passes between repeat the same arithmetic
        counted_single(integer_single, i + 1, 2);
        ASSERT_TRUE(integer_cell(0) == cell) << "after " << i + 1 << " iterations";
    }
}

TEST(IntegerStreaming, InfiniteExponentialGivesADeterministicValue) {
    counted_single(integer_single, 711, 2);
    i128 first = integer_cell(0);
    counted_single(integer_single, 711, 2);
    EXPECT_TRUE(integer_cell(0) == first);
    counted_region(integer_thread, 4200, 12);
    i128 thread10 = integer_cell(10);
    counted_region(integer_thread, 4200, 12);
    EXPECT_TRUE(integer_cell(10) == thread10);
}

TEST(IntegerStreaming, EveryCallOfEveryIterationIsMade) {
    const long n = 5000;
    counted_single(integer_single, n, 2);
    for (wrapped_call c : {call_pow, call_exp, call_log, call_sin})
        EXPECT_EQ(count(c), n) << c;
    EXPECT_EQ(count(call_num_procs), 2 * n + 2);
    EXPECT_EQ(count(call_new16), 1);

    counted_region(integer_thread, n, 2);
    for (wrapped_call c : {call_pow, call_exp, call_sin})
        EXPECT_EQ(count(c), 2 * n) << c;
    EXPECT_EQ(count(call_log), 4 * n);
    EXPECT_EQ(count(call_num_procs), 0);
    EXPECT_EQ(count(call_thread_num), 2);
    EXPECT_EQ(count(call_new16), 2);
}

// The 128-bit remainder and conversions are calls into the compiler's
// helpers: one remainder per iteration on every thread, whatever the shift
// makes of it, and both conversions to double even where the weight's
// logarithm saturates. A conversion from double is a call only for a value in
// range: P saturates from thread 27 on, log(g) on thread 10.
TEST(IntegerStreaming, EveryRemainderAndConversionOfEveryIterationIsMade) {
    const long n = 6;  // covers H = 1 on threads 1 and 2
    struct {
        int thread;  // -1: the single-thread pass on two processors
        long truncations, to_double;
    } rows[] = {
        {-1, 3, 0}, {0, 4, 2},   {1, 4, 2},   {2, 4, 2},
        {10, 3, 2}, {127, 3, 2}, {128, 3, 2}, {129, 3, 2},
    };
    for (const auto& row : rows) {
        if (row.thread < 0) {
            counted_single(integer_single, n, 2);
        } else {
            // The multi-thread body on this thread, under the row's number.
            forced_thread_num = row.thread;
            counted_single(integer_thread, n, 0);
            forced_thread_num = -1;
        }
        EXPECT_EQ(count(call_modti3), n) << row.thread;
        EXPECT_EQ(count(call_fixdfti), row.truncations * n) << row.thread;
        EXPECT_EQ(count(call_fixxfti), 1) << row.thread;  // the divisor
        EXPECT_EQ(count(call_floattidf), row.to_double * n) << row.thread;
        for (wrapped_call c : {call_pow, call_exp, call_sin})
            EXPECT_EQ(count(c), n) << row.thread << " " << c;
        EXPECT_EQ(count(call_log), (row.thread < 0 ? 1 : 2) * n) << row.thread;
    }
}

TEST(LogicStreaming, OneByteCellPerPassAndThreadHoldsOne) {
    counted_single(logic_single, 5000, 2);
    EXPECT_EQ(count(call_new1), 1);
    EXPECT_EQ(*static_cast<unsigned char*>(first_new[0][0]), 1);

    std::memset(results2, 0, sizeof results2);
    counted_region(logic_thread, 5000, 3);
    EXPECT_EQ(count(call_new1), 3);
    EXPECT_EQ(count(call_thread_num), 3);
    for (int t = 0; t < 3; ++t) {
        EXPECT_EQ(*static_cast<unsigned char*>(first_new[t][0]), 1);
        EXPECT_GT(results2[t], 0);
    }
    EXPECT_EQ(results2[3], 0);
}

TEST(EffectiveFrequency, EveryIterationFormatsAllocatesAndReleases) {
    const long n = 3000;
    std::memset(results3, 0, sizeof results3);
    counted_region(effective_frequency_thread, n, 3);
    EXPECT_EQ(count(call_snprintf), 3 * 4 * n);
    EXPECT_EQ(count(call_new8), 3);
    EXPECT_EQ(count(call_new16), 3 * (n + 1));
    EXPECT_EQ(count(call_delete16), 3 * n);
    EXPECT_EQ(count(call_delete_other) + count(call_new_other), 0);
    for (int t = 0; t < 3; ++t) {
        EXPECT_EQ(*static_cast<int64_t*>(first_new[t][0]), INT64_MAX);
        EXPECT_EQ(*static_cast<long double*>(first_new[t][1]), 9223372036854775807.0L);
        EXPECT_EQ(results3[t], n / spent3[t] / 1000000.0 / 1000.0);
        EXPECT_GT(results3[t], 0);
    }
    EXPECT_EQ(results3[3], 0);
}

// The scratch block comes from the allocator with every byte nonzero: each
// release finds both of its 8-byte halves zeroed, in every iteration.
TEST(EffectiveFrequency, EveryScratchBlockIsZeroedWholeBeforeItsRelease) {
    const long n = 3000;
    counted_region(effective_frequency_thread, n, 3);
    EXPECT_EQ(count(call_delete16), 3 * n);
    EXPECT_EQ(zeroed_releases, 3 * n);
}

// What lies before, between and after the two clock readings of every pass,
// in the letters of event_log (wraps.h), for a pass of one iteration.
TEST(TimedIntervals, EveryPassReadsTheClockWhereItsWorkloadSays) {
    struct {
        const char* pass;
        pass_fn run;
        bool region;
        const char* events;
    } passes[] = {
        // Thread number, both cells and the loop timed; the cells are first
        // written in the loop, before the scratch block.
        {"effective frequency", effective_frequency_thread, true, "CTnnwndC"},
        {"float single", float_single, false, "CnwPPC"},
        {"float thread", float_thread, true, "CTnwC"},
        // The cell and both processor queries before the clock.
        {"integer single", integer_single, false, "nwPPCPPC"},
        {"integer thread", integer_thread, true, "CTnwC"},
        {"logic single", logic_single, false, "CnwC"},
        // Cell, thread number and first store before the clock.
        {"logic thread", logic_thread, true, "nTwCC"},
    };
    for (const auto& p : passes) {
        omp_set_num_threads(p.region ? 3 : 1);
        forced_num_procs = 2;
        start_logging(nullptr, 0);
        if (p.region) {
#pragma omp parallel
            p.run(1);
        } else {
            p.run(1);
        }
        stop_logging();
        forced_num_procs = 0;
        for (int t = 0; t < (p.region ? 3 : 1); ++t)
            EXPECT_STREQ(event_log[t], p.events) << p.pass << ", thread " << t;
    }
    omp_set_num_threads(omp_get_num_procs());
}

TEST(ProcessorsRun, WholeTranscriptOfBothStreams) {
    const uint64_t n = 5000;
    setup_threads();
    std::ostringstream con, file;
    run_processors(con, file, n);
    int team = static_cast<int>(threads);

    std::vector<double> values;
    ASSERT_TRUE(match_transcript(con.str(), processors_transcript(team, true), values));
    check_processors_figures(values, team, n);
    std::vector<double> file_values;
    ASSERT_TRUE(match_transcript(file.str(), processors_transcript(team, false), file_values));
    EXPECT_EQ(values, file_values);

    // The figures are the result slots, the effective frequency undivided.
    double frequency = 0;
    for (int t = 0; t < team; ++t)
        frequency += results3[t];
    EXPECT_EQ(results_overall3, frequency);
    std::ostringstream printed;
    printed << results_overall3 << " " << spent_single << " " << result_single / 1000000 << " "
            << results_f1 << " " << results_overall2 / 1000000;
    std::istringstream expected(printed.str());
    double f, s0, r0, i1, o2;
    expected >> f >> s0 >> r0 >> i1 >> o2;
    EXPECT_EQ(values[1], f);
    EXPECT_EQ(values[2], s0);
    EXPECT_EQ(values[3], r0);
    size_t per_test = 2 + 4 * team + 2;
    EXPECT_EQ(values[2 + 2 * per_test - 1], i1);
    EXPECT_EQ(values[2 + 3 * per_test - 2], o2);
}

}  // namespace
