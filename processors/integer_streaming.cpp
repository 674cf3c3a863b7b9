// Integer streaming: signed 128-bit arithmetic, the 128-bit remainder and the
// conversions between floating point and 128-bit integers, chained through an
// accumulator cell on the heap.
#include <cmath>
#include <new>

#include <omp.h>

#include "int128.h"
#include "processors.h"

double start_single1, end_single1, spent_single1, result_single1;
double start1[max_threads], end1[max_threads], spent1[max_threads], results1[max_threads];
double results_overall1, results_f1;

// Subtracted from the magnitude of the accumulator's low half.
static const int64_t magnitude_offset = 9223372036854775807;
// 2^32 + 2, added to every new value.
static const i128 integer_offset = 4294967298;

void integer_single(uint64_t iterations)
{
    volatile uint64_t k;

    k = 0;
    volatile i128* cell = static_cast<i128*>(::operator new(16));
    *cell = 0;
    long double a = static_cast<long double>(omp_get_num_procs());
    long double b = static_cast<long double>(omp_get_num_procs());

    double c0 = omp_get_wtime();
    start_single1 = c0;
    i128 d = add128(trunc128(a + b), 1);
    for (i128 i = 0; i < static_cast<i128>(iterations); ++i) {
        k = argument_index(static_cast<uint64_t>(i));
        int64_t x = static_cast<int64_t>(*cell);
        int base = omp_get_num_procs();
        int exponent = omp_get_num_procs();
        double p = pow(static_cast<double>(base), static_cast<double>(exponent));
        double e = log(exp(static_cast<double>(k)));
        i128 magnitude = x < 0 ? -static_cast<i128>(x) : static_cast<i128>(x);
        i128 t = magnitude - magnitude_offset;
        i128 a_diff = sub128(t, trunc128(p));
        i128 r = i % d;
        i128 h = r >> 1;
        i128 v = add128(add128(mul128(a_diff, h), integer_offset), trunc128(e));
        double s = sin(sqrt(static_cast<double>(k * k)) * 90.0);
        i128 a_new = sub128(v, mul128(2, trunc128(s)));
        *cell = a_new;
        (void)*cell;
    }
    double c1 = omp_get_wtime();

    close_pass(c1, start_single1, end_single1, spent_single1, result_single1, iterations);
}

void integer_thread(uint64_t iterations)
{
    double c0 = omp_get_wtime();
    int t = omp_get_thread_num();
    start1[t] = c0;
    volatile i128* cell = static_cast<i128*>(::operator new(16));
    *cell = 0;
    i128 d = add128(trunc128(static_cast<long double>(t) + static_cast<long double>(t)), 1);
    double power = static_cast<double>(t);
    double g = static_cast<double>(t ^ 10);
    for (i128 i = 0; i < static_cast<i128>(iterations); ++i) {
        uint64_t k = argument_index(static_cast<uint64_t>(i));
        int64_t x = static_cast<int64_t>(*cell);
        double p = pow(power, power);
        double e = log(exp(static_cast<double>(k)));
        i128 magnitude = x < 0 ? -static_cast<i128>(x) : static_cast<i128>(x);
        i128 t_diff = magnitude - magnitude_offset;
        i128 a_diff = sub128(t_diff, trunc128(p));
        i128 r = i % d;
        i128 h = shift_right128(r, t);
        // The product and the offset before the conversion of e, so that one
        // 128-bit value instead of two is kept across its call.
        i128 product = add128(mul128(a_diff, h), integer_offset);
        i128 v = add128(product, trunc128(e));
        double s = sin(sqrt(static_cast<double>(k * k)) * 90.0);
        i128 w_whole = trunc128(log(g));
        // Converted back in every iteration: without the empty asm the
        // optimiser folds the conversion of a saturated logarithm (thread
        // 10's is -inf) into a constant.
        asm("" : "+r"(w_whole));
        double w = static_cast<double>(w_whole);
        i128 a_new = trunc128(static_cast<double>(v) - w * s);
        *cell = a_new;
        (void)*cell;
    }
    double c1 = omp_get_wtime();

    close_pass(c1, start1[t], end1[t], spent1[t], results1[t], iterations);
}
