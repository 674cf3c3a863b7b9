// Effective frequency: number-to-text conversions, two cell stores and a
// small allocation and release per iteration, on every thread at once.
// The rate is in giga-iterations per second.
#include <cfloat>
#include <cstdio>
#include <new>

#include <omp.h>

#include "processors.h"

double start3[max_threads], end3[max_threads], spent3[max_threads], results3[max_threads];
double results_overall3;

void effective_frequency_thread(uint64_t iterations)
{
    char buffer1[4096], buffer2[4096], buffer3[4096], buffer4[4096];

    double c0 = omp_get_wtime();
    int t = omp_get_thread_num();
    start3[t] = c0;
    volatile int64_t* integer_cell = static_cast<int64_t*>(::operator new(8));
    volatile long double* extended_cell = static_cast<long double*>(::operator new(16));
    for (uint64_t i = 0; i < iterations; ++i) {
        *integer_cell = 9223372036854775807;
        std::snprintf(buffer1, sizeof buffer1, "%LA", static_cast<long double>(DBL_MAX));
        *extended_cell = 9223372036854775807.0L;
        std::snprintf(buffer2, sizeof buffer2, "%llu", 18446744073709551615ULL);
        std::snprintf(buffer3, sizeof buffer3, "%llo", 18446744073709551615ULL);
        std::snprintf(buffer4, sizeof buffer4, "%llX", 18446744073709551615ULL);
        // The zeroing stores are volatile: stores just before a release
        // would otherwise be dropped as dead.
        volatile uint64_t* scratch = static_cast<uint64_t*>(::operator new(16));
        scratch[0] = 0;
        scratch[1] = 0;
        ::operator delete(const_cast<uint64_t*>(scratch), 16);
    }
    double c1 = omp_get_wtime();
    end3[t] = c1;

    spent3[t] = end3[t] - start3[t];
    results3[t] = ((static_cast<double>(iterations) / spent3[t]) / 1000000.0) / 1000.0;
}
