// Counters behind the link-time wrappers of the test executables: every call
// the workloads make into the maths library, the OpenMP runtime and the
// allocator passes through them while counting is on.
#pragma once

#include <atomic>
#include <cstddef>

enum wrapped_call {
    call_powl, call_expl, call_logl, call_sinl, call_exp, call_log, call_sin, call_pow,
    call_num_procs, call_thread_num, call_snprintf,
    call_new1, call_new8, call_new16, call_new_other, call_delete16, call_delete_other, call_new_array,
    wrapped_count
};

extern std::atomic<long> calls[wrapped_count];
// Calls are counted, and allocations recorded, only while this is set.
extern std::atomic<bool> counting;
// When nonzero, omp_get_num_procs answers this instead of the machine.
extern std::atomic<int> forced_num_procs;
// First two and latest blocks each thread allocated while counting.
extern void* first_new[4096][2];
extern void* last_new[4096];
// Exponent of each thread's latest powl call while counting.
extern long double last_powl_exponent[4096];
// Size of the latest array allocation while counting.
extern std::atomic<size_t> last_array_size;

// When set, the main thread's 16-byte blocks are recorded here, in order.
extern void** recorded_blocks;
extern size_t recorded_capacity;
extern std::atomic<size_t> recorded_count;

// Zeroes the counters and records, then starts counting.
void start_counting();
void stop_counting();
