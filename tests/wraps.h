// Counters behind the link-time wrappers of the test executables: every call
// the workloads make into the maths library, the OpenMP runtime, the
// allocator and the compiler's 128-bit helpers passes through them while
// counting is on.
#pragma once

#include <atomic>
#include <cstddef>

enum wrapped_call {
    call_powl,
    call_expl,
    call_logl,
    call_sinl,
    call_exp,
    call_log,
    call_sin,
    call_pow,
    call_num_procs,
    call_thread_num,
    call_snprintf,
    call_new1,
    call_new8,
    call_new16,
    call_new_other,
    call_delete16,
    call_delete_other,
    call_new_array,
    // 128-bit remainder, double and extended to 128-bit, 128-bit to double.
    call_modti3,
    call_fixdfti,
    call_fixxfti,
    call_floattidf,
    wrapped_count
};

extern std::atomic<long> calls[wrapped_count];
// Calls are counted, and allocations recorded, only while this is set.
extern std::atomic<bool> counting;
// When nonzero, omp_get_num_procs answers this instead of the machine.
extern std::atomic<int> forced_num_procs;
// When nonnegative, omp_get_thread_num answers this instead of the runtime.
extern std::atomic<int> forced_thread_num;
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

// While counting, every 16-byte block is handed out with all its bytes
// nonzero (the byte `unwritten` below), and every release of a 16-byte
// block whose 16 bytes are all zero by then is counted here: a block the
// caller zeroed only in part is not.
extern std::atomic<long> zeroed_releases;

// Zeroes the counters and records, then starts counting.
void start_counting();
void stop_counting();

// When nonzero, sin and sinl answer this instead of the sine.
extern long double forced_sine;
// When nonnegative, the number of wrapped allocations that still succeed;
// the next one throws std::bad_alloc, as an exhausted heap does.
extern std::atomic<long> allocations_left;

// Heap allocations of the whole process (malloc and its relatives, which
// operator new and the C and C++ libraries use), counted while
// counting_heap is set. Not available under AddressSanitizer, which owns
// malloc there.
extern std::atomic<long> heap_allocations;
extern std::atomic<bool> counting_heap;

// Order of events in each pass, one letter per event, per thread (threads
// below log_threads, at most log_length events):
//   C clock reading            T thread-number query   P processor-count query
//   n scalar allocation        a array allocation      d release
//   w first store into the thread's first allocation of the pass (its cell,
//     block or array)
//   z first store into the sink given to start_logging (main thread only)
// A store is not a call and cannot be wrapped. So the first allocation of
// each thread is filled with a pattern as it is handed out, the sink is
// filled by the test, and every logged call first compares them with the
// pattern: a difference is logged as 'w' or 'z' just before the call that
// saw it. The letter thus stands between the last call before the store
// and the first call after it, which is all the order of a timed interval
// needs; stop_logging looks once more for stores after the last call.
constexpr int log_threads = 16;
constexpr int log_length = 32;
extern char event_log[log_threads][log_length + 1];
// The byte every watched location holds until its first store.
constexpr unsigned char unwritten = 0xA5;
void start_logging(void* sink, size_t sink_size);
void stop_logging();
