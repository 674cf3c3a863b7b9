// Logic streaming: complement, unsigned-to-double conversion, comparison
// and a one-byte store, once per iteration.
#include <cfloat>
#include <new>

#include <omp.h>

#include "processors.h"

double start_single2, end_single2, spent_single2, result_single2;
double start2[max_threads], end2[max_threads], spent2[max_threads], results2[max_threads];
double results_overall2, results_f2;

// One iteration: the truth of ~k < DBL_MAX, stored in the cell. The empty
// asm hands the converted value over in a register, so the comparison is
// evaluated every time although it is always true.
static inline void logic_step(uint64_t k, volatile bool* cell)
{
    uint64_t u = ~k;
    double x = static_cast<double>(u);
    asm volatile("" : "+x"(x));
    *cell = x < DBL_MAX;
}

void logic_single(uint64_t iterations)
{
    volatile uint64_t k;

    start_single2 = omp_get_wtime();
    k = 0;
    volatile bool* cell = static_cast<bool*>(::operator new(1));
    *cell = true;
    for (uint64_t i = 0; i < iterations; ++i) {
        k = argument_index(i);
        logic_step(k, cell);
    }
    double e = omp_get_wtime();

    close_pass(e, start_single2, end_single2, spent_single2, result_single2, iterations);
}

void logic_thread(uint64_t iterations)
{
    volatile bool* cell = static_cast<bool*>(::operator new(1));
    int t = omp_get_thread_num();
    *cell = true;

    start2[t] = omp_get_wtime();
    for (uint64_t i = 0; i < iterations; ++i)
        logic_step(argument_index(i), cell);
    double e = omp_get_wtime();

    close_pass(e, start2[t], end2[t], spent2[t], results2[t], iterations);
}
