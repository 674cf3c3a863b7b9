// bench_processors: result slots, workloads and the run sequence.
#pragma once

#include <cstdint>
#include <ostream>

#include "harness.h"

// Iterations of every pass of every processor workload.
constexpr uint64_t processor_iterations = 134217728;

// Effective frequency (slot 3): per-thread arrays and the sum only.
extern double start3[max_threads], end3[max_threads], spent3[max_threads],
    results3[max_threads];
extern double results_overall3;

// Float streaming (single: no suffix, multi: slot 0).
extern double start_single, end_single, spent_single, result_single;
extern double start0[max_threads], end0[max_threads], spent0[max_threads],
    results0[max_threads];
extern double results_overall, results_f;

// Integer streaming (slot 1).
extern double start_single1, end_single1, spent_single1, result_single1;
extern double start1[max_threads], end1[max_threads], spent1[max_threads],
    results1[max_threads];
extern double results_overall1, results_f1;

// Logic streaming (slot 2).
extern double start_single2, end_single2, spent_single2, result_single2;
extern double start2[max_threads], end2[max_threads], spent2[max_threads],
    results2[max_threads];
extern double results_overall2, results_f2;

// The argument index of the streaming workloads: the iteration number up to
// 4096, then the iteration number modulo 4096.
inline uint64_t argument_index(uint64_t i)
{
    return i <= 4096 ? i : (i & 4095);
}

// Workloads: a single-thread pass on the calling thread, and the per-thread
// body of a multi-thread region. Each reads its own clock and stores its
// times and rate in its slot.
void effective_frequency_thread(uint64_t iterations);
void float_single(uint64_t iterations);
void float_thread(uint64_t iterations);
void integer_single(uint64_t iterations);
void integer_thread(uint64_t iterations);
void logic_single(uint64_t iterations);
void logic_thread(uint64_t iterations);

// Banner, the four tests in order and their reports, in both streams.
void run_processors(std::ostream& con, std::ostream& file, uint64_t iterations);
