// bench_memory: result slots, workloads and the run sequence.
#pragma once

#include <cstdint>
#include <ostream>

#include "harness.h"

// Iterations of every pass of every memory workload.
constexpr uint64_t memory_iterations = 16777216;

typedef unsigned __int128 u128;

// Allocation workload (slot 3).
extern double start_single3, end_single3, spent_single3, result_single3;
extern double start3[max_threads], end3[max_threads], spent3[max_threads],
    results3[max_threads];
extern double results_overall3, results_f3;

// Low-speed workload (single: no suffix, multi: slot 1).
extern double start_single, end_single, spent_single, result_single;
extern double start1[max_threads], end1[max_threads], spent1[max_threads],
    results1[max_threads];
extern double results_overall;

// High-speed workload (single: slot 1, multi: slot 0).
extern double start_single1, end_single1, spent_single1, result_single1;
extern double start0[max_threads], end0[max_threads], spent0[max_threads],
    results0[max_threads];
extern double results_overall0;

// Where the single-thread low-speed and high-speed loops put each index
// value besides the block or array: its low and high 8 bytes. The halves are
// what the 8-byte stores write, and the 16-byte store goes through a type
// that may alias them, so every access to a sink is defined.
alignas(16) extern uint64_t low_speed_sink[2], high_speed_sink[2];

// Workloads: a single-thread pass on the calling thread, and the per-thread
// body of a multi-thread region. Each reads its own clock and stores its
// times and rate in its slot. The high-speed array holds `iterations`
// 16-byte elements.
void allocation_single(uint64_t iterations);
void allocation_thread(uint64_t iterations);
void low_speed_single(uint64_t iterations);
void low_speed_thread(uint64_t iterations);
void high_speed_single(uint64_t iterations);
void high_speed_thread(uint64_t iterations);

// Bytes the allocator really takes for one 16-byte block.
double block_cost();
// Bytes a whole run keeps allocated, with `team` threads.
double memory_needed(long long team, uint64_t iterations, double block_bytes);
// MemAvailable of /proc/meminfo in bytes, or a negative value if unknown.
double memory_available();
// Warns on `err` when the run needs more memory than is available.
void warn_if_memory_short(std::ostream& err, double needed, double available);
// The three above for a run of `team` threads; writes nothing when the heap
// cannot even make the estimate.
void check_memory(std::ostream& err, long long team, uint64_t iterations);

// Banner, the six passes in order and their reports, in both streams.
void run_memory(std::ostream& con, std::ostream& file, uint64_t iterations);
