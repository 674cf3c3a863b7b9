// Float streaming: extended-precision arithmetic and library calls chained
// through an accumulator cell on the heap, one value per iteration.
#include <cmath>
#include <new>

#include <omp.h>

#include "processors.h"

double start_single, end_single, spent_single, result_single;
double start0[max_threads], end0[max_threads], spent0[max_threads], results0[max_threads];
double results_overall, results_f;

// 2^896 + 2^872 + 2^848 (5.28294562624475e269), added to every new value.
static const double streaming_offset = 0x1.000001000001p+896;
// The double nearest ln 11: the sine weight of the single-thread pass.
static const double sine_weight = 2.3978952727983707;

void float_single(uint64_t iterations)
{
    volatile uint64_t k;

    double c0 = omp_get_wtime();
    k = 0;
    start_single = c0;
    volatile long double* cell = static_cast<long double*>(::operator new(16));
    *cell = 0.0L;
    for (uint64_t i = 0; i < iterations; ++i) {
        k = argument_index(i);
        int np = omp_get_num_procs();
        int q = 1 / np;
        long double a_old = *cell;
        long double e = powl(fabsl(a_old), static_cast<long double>(q));
        long double l = logl(static_cast<long double>(exp(static_cast<double>(k))));
        int n = omp_get_num_procs();
        uint64_t r = (i % (k + 1)) / 2;
        long double x = static_cast<long double>(r) * (e - l / static_cast<long double>(n)) +
                        static_cast<long double>(streaming_offset);
        double angle = sqrt(static_cast<double>(k * k)) * 90.0;
        long double s = sinl(static_cast<long double>(angle));
        long double a_new = x - s * static_cast<long double>(sine_weight);
        *cell = a_new;
        (void)*cell;
    }
    double c1 = omp_get_wtime();

    close_pass(c1, start_single, end_single, spent_single, result_single, iterations);
}

void float_thread(uint64_t iterations)
{
    double c0 = omp_get_wtime();
    int t = omp_get_thread_num();
    start0[t] = c0;
    volatile long double* cell = static_cast<long double*>(::operator new(16));
    *cell = 0.0L;
    long double q = static_cast<long double>(1 / (t + 1));
    long double d = static_cast<long double>(t + 1);
    double g = static_cast<double>(t ^ 10);
    for (uint64_t i = 0; i < iterations; ++i) {
        uint64_t k = argument_index(i);
        long double a_old = *cell;
        long double e = powl(fabsl(a_old), q);
        long double l = logl(expl(static_cast<long double>(k)));
        uint64_t r = (i % (k + 1)) / 2;
        long double x = static_cast<long double>(r) * (e - l / d) +
                        static_cast<long double>(streaming_offset);
        double angle = sqrt(static_cast<double>(k * k)) * 90.0;
        double s = sin(angle);
        double w = log(g);
        double m = s * w;
        long double a_new = x - static_cast<long double>(m);
        *cell = a_new;
        (void)*cell;
    }
    double c1 = omp_get_wtime();

    close_pass(c1, start0[t], end0[t], spent0[t], results0[t], iterations);
}
