// bench_memory in-process: what each workload allocates, writes and leaves
// behind, that every allocation and release of every iteration survives the
// optimised build, and the whole transcript of a short run.
#include <cstring>
#include <sstream>
#include <vector>

#include <malloc.h>
#include <omp.h>

#include "memory.h"
#include "memory_transcript.h"
#include "wraps.h"

namespace {

const uint64_t n = 20000;

long count(wrapped_call c) {
    return calls[c];
}

// Bytes the heap holds, small blocks and large mapped ones together.
size_t heap_in_use() {
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

bool sanitized() {
#ifdef __SANITIZE_ADDRESS__
    return true;
#else
    return false;
#endif
}

// The low and high 8 bytes of the index value at `where`.
uint64_t low_half(const void* where) {
    return static_cast<const uint64_t*>(where)[0];
}
uint64_t high_half(const void* where) {
    return static_cast<const uint64_t*>(where)[1];
}

void counted_region(pass_fn body, int team) {
    omp_set_num_threads(team);
    start_counting();
#pragma omp parallel
    body(n);
    stop_counting();
    omp_set_num_threads(omp_get_num_procs());
}

TEST(AllocationWorkload, ReleasesEveryBlockItAllocates) {
    // The heap counts a released block that waits in its per-thread cache
    // as in use: let one block wait there before measuring.
    allocation_single(1);
    size_t before = heap_in_use();
    start_counting();
    allocation_single(n);
    stop_counting();
    EXPECT_EQ(heap_in_use(), before);
    EXPECT_EQ(count(call_new16), static_cast<long>(n));
    EXPECT_EQ(count(call_delete16), static_cast<long>(n));
    EXPECT_EQ(count(call_new_other) + count(call_delete_other) + count(call_new_array), 0);
    EXPECT_GT(result_single3, 0);

    counted_region(allocation_thread, 3);
    EXPECT_EQ(count(call_new16), 3 * static_cast<long>(n));
    EXPECT_EQ(count(call_delete16), 3 * static_cast<long>(n));
    EXPECT_EQ(count(call_thread_num), 3);
}

TEST(LowSpeedWorkload, KeepsEveryBlockHoldingItsOwnIndex) {
    std::vector<void*> blocks(n + 1);
    recorded_blocks = blocks.data();
    recorded_capacity = blocks.size();
    size_t before = heap_in_use();
    start_counting();
    low_speed_single(n);
    stop_counting();
    size_t grown = heap_in_use() - before;
    recorded_blocks = nullptr;

    EXPECT_EQ(count(call_new16), static_cast<long>(n));
    EXPECT_EQ(count(call_delete16) + count(call_delete_other), 0);
    ASSERT_EQ(recorded_count, n);
    for (uint64_t i = 0; i < n; ++i) {
        ASSERT_EQ(low_half(blocks[i]), i);
        ASSERT_EQ(high_half(blocks[i]), 0u);
    }
    EXPECT_EQ(low_half(&low_speed_sink), n - 1);
    EXPECT_EQ(high_half(&low_speed_sink), 0u);
    if (!sanitized()) {
        EXPECT_GE(grown, n * 16);
    }

    before = heap_in_use();
    counted_region(low_speed_thread, 3);
    EXPECT_EQ(count(call_new16), 3 * static_cast<long>(n));
    EXPECT_EQ(count(call_delete16), 0);
    for (int t = 0; t < 3; ++t)
        EXPECT_EQ(low_half(last_new[t]), n - 1);
    if (!sanitized()) {
        EXPECT_GE(heap_in_use() - before, 3 * n * 16);
    }
}

TEST(HighSpeedWorkload, FillsAFreshArrayWithTheIndex) {
    size_t before = heap_in_use();
    start_counting();
    high_speed_single(n);
    stop_counting();
    EXPECT_EQ(count(call_new_array), 1);
    EXPECT_EQ(last_array_size, n * 16);
    EXPECT_EQ(count(call_new16), 0);
    const char* array = static_cast<const char*>(last_new[0]);
    for (uint64_t i = 0; i < n; ++i) {
        ASSERT_EQ(low_half(array + 16 * i), i);
        ASSERT_EQ(high_half(array + 16 * i), 0u);
    }
    EXPECT_EQ(low_half(&high_speed_sink), n - 1);
    EXPECT_EQ(high_half(&high_speed_sink), 0u);
    if (!sanitized()) {
        EXPECT_GE(heap_in_use() - before, n * 16);
    }

    counted_region(high_speed_thread, 3);
    EXPECT_EQ(count(call_new_array), 3);
    for (int t = 0; t < 3; ++t) {
        const char* mine = static_cast<const char*>(last_new[t]);
        EXPECT_EQ(low_half(mine), 0u);
        EXPECT_EQ(low_half(mine + 16 * (n - 1)), n - 1);
        EXPECT_EQ(high_half(mine + 16 * (n - 1)), 0u);
        EXPECT_GT(results0[t], 0);
    }
}

// What lies before, between and after the two clock readings of every pass,
// in the letters of event_log (wraps.h), for a pass of one iteration.
TEST(TimedIntervals, EveryPassReadsTheClockWhereItsWorkloadSays) {
    struct {
        const char* pass;
        pass_fn run;
        bool region;
        uint64_t* sink;
        const char* events;
    } passes[] = {
        {"allocation single", allocation_single, false, nullptr, "CnwdC"},
        {"allocation thread", allocation_thread, true, nullptr, "CTnwdC"},
        // The sink is zeroed before the clock starts.
        {"low-speed single", low_speed_single, false, low_speed_sink, "zCnwC"},
        {"low-speed thread", low_speed_thread, true, nullptr, "CTnwC"},
        // The array is allocated, untouched, before the clock starts; its
        // first element is written inside the interval.
        {"high-speed single", high_speed_single, false, high_speed_sink, "azCwC"},
        {"high-speed thread", high_speed_thread, true, nullptr, "aCTwC"},
    };
    for (const auto& p : passes) {
        bool region = p.region;
        omp_set_num_threads(region ? 3 : 1);
        if (p.sink)
            std::memset(p.sink, unwritten, 16);
        start_logging(p.sink, 16);
        if (region) {
#pragma omp parallel
            p.run(1);
        } else {
            p.run(1);
        }
        stop_logging();
        for (int t = 0; t < (region ? 3 : 1); ++t)
            EXPECT_STREQ(event_log[t], p.events) << p.pass << ", thread " << t;
    }
    omp_set_num_threads(omp_get_num_procs());
}

TEST(MemoryCheck, WarnsWhenTheRunWillNotFit) {
    double cost = block_cost();
    if (!sanitized()) {
        EXPECT_GE(cost, 16);
        EXPECT_LE(cost, 64);
    }
    // 32 threads and the usual 32-byte block: about 25 GiB.
    EXPECT_EQ(memory_needed(32, 16777216, 32), 33.0 * 16777216 * 48);
    EXPECT_GT(memory_available(), 0);

    std::ostringstream err;
    warn_if_memory_short(err, 8.0 * 1073741824, 4.0 * 1073741824);
    EXPECT_EQ(err.str(), std::string(program_invocation_short_name) +
                             ": warning: this run keeps about 8192 MiB allocated until it ends, "
                             "but only 4096 MiB of memory is available; it may run out of "
                             "memory.\n");
    std::ostringstream quiet;
    warn_if_memory_short(quiet, 1e9, 2e9);
    warn_if_memory_short(quiet, 1e9, -1);
    EXPECT_EQ(quiet.str(), "");
}

TEST(MemoryCheck, AHeapTooShortForTheEstimateGivesNoWarningAndLeaksNothing) {
    // A team this large always needs more than the machine has.
    const long long team = 1ll << 40;
    for (long allowed : {-1l, 0l, 100l}) {
        std::ostringstream err;
        start_counting();
        allocations_left = allowed;
        EXPECT_NO_THROW(check_memory(err, team, memory_iterations)) << allowed;
        allocations_left = -1;
        stop_counting();
        if (allowed < 0) {
            EXPECT_NE(err.str().find(": warning: this run keeps about "), std::string::npos);
        } else {
            EXPECT_EQ(err.str(), "") << allowed;
            EXPECT_EQ(count(call_new16), allowed);
        }
        EXPECT_EQ(count(call_delete16), count(call_new16)) << allowed;
    }
}

TEST(MemoryRun, WholeTranscriptOfBothStreams) {
    setup_threads();
    std::ostringstream con, file;
    run_memory(con, file, n);
    int team = static_cast<int>(threads);

    std::vector<double> values, file_values;
    ASSERT_TRUE(match_transcript(con.str(), memory_transcript(team, true), values));
    check_memory_figures(values, team, n);
    ASSERT_TRUE(match_transcript(file.str(), memory_transcript(team, false), file_values));
    EXPECT_EQ(values, file_values);

    // The printed figures are the result slots.
    std::ostringstream printed;
    printed << spent_single3 << " " << result_single / 1000000 << " " << results_f3;
    std::istringstream slots(printed.str());
    double spent, low_rate, ratio;
    slots >> spent >> low_rate >> ratio;
    EXPECT_EQ(values[1], spent);
    EXPECT_EQ(values[4], low_rate);
    EXPECT_EQ(values[9 + 4 * team + 2 - 1], ratio);
}

}  // namespace
