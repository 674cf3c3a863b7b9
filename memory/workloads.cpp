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
u128 low_speed_sink, high_speed_sink;

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

void allocation_single(uint64_t iterations)
{
    start_single3 = omp_get_wtime();
    for (u128 i = 0; i != iterations; ++i) {
        opaque_index(i);
        void* block = ::operator new(16);
        write_index(block, i);
        ::operator delete(block, 16);
    }
    double e = omp_get_wtime();
    end_single3 = e;
    spent_single3 = e - start_single3;
    result_single3 = static_cast<double>(iterations) / spent_single3;
}

void allocation_thread(uint64_t iterations)
{
    double s = omp_get_wtime();
    int t = omp_get_thread_num();
    start3[t] = s;
    for (u128 i = 0; i != iterations; ++i) {
        opaque_index(i);
        void* block = ::operator new(16);
        write_index(block, i);
        ::operator delete(block, 16);
    }
    double e = omp_get_wtime();
    end3[t] = e;
    spent3[t] = e - start3[t];
    results3[t] = static_cast<double>(iterations) / spent3[t];
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
    end_single = e;
    spent_single = e - start_single;
    result_single = static_cast<double>(iterations) / spent_single;
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
    end1[t] = e;
    spent1[t] = e - start1[t];
    results1[t] = static_cast<double>(iterations) / spent1[t];
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
    end_single1 = e;
    spent_single1 = e - start_single1;
    result_single1 = static_cast<double>(iterations) / spent_single1;
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
    end0[t] = e;
    spent0[t] = e - start0[t];
    results0[t] = static_cast<double>(iterations) / spent0[t];
}
