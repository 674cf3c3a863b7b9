// The three memory workloads: allocate and release a 16-byte block,
// allocate and keep one, and fill a large array, each writing the loop index
// as a 16-byte value.
#include <new>

#include <omp.h>

#include "memory.h"

double start_single3, end_single3, spent_single3, result_single3;
double start3[max_threads], end3[max_threads], spent3[max_threads], results3[max_threads];
double results_overall3, results_f3;
double start_single, end_single, spent_single, result_single;
double start1[max_threads], end1[max_threads], spent1[max_threads], results1[max_threads];
double results_overall;
double start_single1, end_single1, spent_single1, result_single1;
double start0[max_threads], end0[max_threads], spent0[max_threads], results0[max_threads];
double results_overall0;
alignas(16) uint64_t low_speed_sink[2], high_speed_sink[2];

// A 16-byte value moved by one SSE load or store; volatile accesses of it
// are single 16-byte instructions.
typedef long long index_vector __attribute__((vector_size(16), may_alias));

// The loop index is a 128-bit value incremented with carry. The empty asm
// hides its value from the optimiser, which would otherwise see that the
// high half stays 0 and count with 64 bits only.
static inline void opaque_index(u128& i)
{
    asm("" : "+r"(i));
}

// Writes i as two 8-byte stores, low half first.
static inline void write_index(void* where, u128 i)
{
    volatile uint64_t* halves = static_cast<volatile uint64_t*>(where);
    halves[0] = static_cast<uint64_t>(i);
    halves[1] = static_cast<uint64_t>(i >> 64);
}

// Reads an index value back with one 16-byte load.
static inline index_vector read_index(const void* where)
{
    return *static_cast<const volatile index_vector*>(where);
}

// Stores a value read back with one 16-byte store.
static inline void store_index(void* where, index_vector value)
{
    *static_cast<volatile index_vector*>(where) = value;
}

// The allocation loop, the same in both versions: allocate a block, write
// the index into it, release it.
static inline void allocation_loop(uint64_t iterations)
{
    for (u128 i = 0; i != iterations; ++i) {
        opaque_index(i);
        void* block = ::operator new(16);
        write_index(block, i);
        ::operator delete(block, 16);
    }
}

void allocation_single(uint64_t iterations)
{
    start_single3 = omp_get_wtime();
    allocation_loop(iterations);
    double e = omp_get_wtime();
    close_pass(e, start_single3, end_single3, spent_single3, result_single3, iterations);
}

void allocation_thread(uint64_t iterations)
{
    double s = omp_get_wtime();
    int t = omp_get_thread_num();
    start3[t] = s;
    allocation_loop(iterations);
    double e = omp_get_wtime();
    close_pass(e, start3[t], end3[t], spent3[t], results3[t], iterations);
}

void low_speed_single(uint64_t iterations)
{
    write_index(&low_speed_sink, 0);
    start_single = omp_get_wtime();
    for (u128 i = 0; i != iterations; ++i) {
        opaque_index(i);
        void* block = ::operator new(16);
        write_index(block, i);
        write_index(&low_speed_sink, i);
    }
    double e = omp_get_wtime();
    close_pass(e, start_single, end_single, spent_single, result_single, iterations);
}

void low_speed_thread(uint64_t iterations)
{
    double s = omp_get_wtime();
    int t = omp_get_thread_num();
    start1[t] = s;
    for (u128 i = 0; i != iterations; ++i) {
        opaque_index(i);
        void* block = ::operator new(16);
        write_index(block, i);
        (void)read_index(block);
    }
    double e = omp_get_wtime();
    close_pass(e, start1[t], end1[t], spent1[t], results1[t], iterations);
}

void high_speed_single(uint64_t iterations)
{
    char* array = static_cast<char*>(::operator new[](iterations * 16));
    write_index(&high_speed_sink, 0);
    start_single1 = omp_get_wtime();
    for (u128 i = 0; i != iterations; ++i) {
        opaque_index(i);
        char* element = array + static_cast<uint64_t>(i) * 16;
        write_index(element, i);
        store_index(&high_speed_sink, read_index(element));
    }
    double e = omp_get_wtime();
    close_pass(e, start_single1, end_single1, spent_single1, result_single1, iterations);
}

void high_speed_thread(uint64_t iterations)
{
    char* array = static_cast<char*>(::operator new[](iterations * 16));
    double s = omp_get_wtime();
    int t = omp_get_thread_num();
    start0[t] = s;
    for (u128 i = 0; i != iterations; ++i) {
        opaque_index(i);
        char* element = array + static_cast<uint64_t>(i) * 16;
        write_index(element, i);
        (void)read_index(element);
    }
    double e = omp_get_wtime();
    close_pass(e, start0[t], end0[t], spent0[t], results0[t], iterations);
}
