// The multi-thread integer iteration written as plainly as it can be: the
// same calls, conversions, remainder and volatile cell accesses as
// integer_thread, without range handling. It stores the same values as
// integer_thread on threads 0 to 9, the only ones it is run on: there the
// power and the weight's logarithm stay inside the 128-bit range, and only
// an infinite log(exp(k)) and a difference that rounds up to 2^127 need the
// top of the range.
#include <cmath>
#include <cstdint>
#include <new>

#include <omp.h>

typedef __int128 i128;
typedef unsigned __int128 u128;

double minimal_results[4096];

void minimal_thread(uint64_t iterations)
{
    double c0 = omp_get_wtime();
    int t = omp_get_thread_num();
    volatile i128* cell = static_cast<i128*>(::operator new(16));
    *cell = 0;
    i128 d = static_cast<i128>(static_cast<long double>(t) + static_cast<long double>(t)) + 1;
    double power = t;
    double g = t ^ 10;
    const i128 top = static_cast<i128>((static_cast<u128>(1) << 127) - 1);
    for (i128 i = 0; i < static_cast<i128>(iterations); ++i) {
        uint64_t k = i <= 4096 ? static_cast<uint64_t>(i) : (static_cast<uint64_t>(i) & 4095);
        int64_t x = static_cast<int64_t>(*cell);
        double p = pow(power, power);
        double e = log(exp(static_cast<double>(k)));
        u128 m = x < 0 ? -static_cast<u128>(x) : static_cast<u128>(x);
        u128 a = m - 9223372036854775807u - static_cast<u128>(static_cast<i128>(p));
        u128 h = static_cast<u128>((i % d) >> t);
        u128 v = a * h + 4294967298u + static_cast<u128>(e < 0x1p127 ? static_cast<i128>(e) : top);
        double s = sin(sqrt(static_cast<double>(k * k)) * 90.0);
        double w = static_cast<double>(static_cast<i128>(log(g)));
        double f = static_cast<double>(static_cast<i128>(v)) - w * s;
        *cell = f < 0x1p127 ? static_cast<i128>(f) : top;
        (void)*cell;
    }
    double c1 = omp_get_wtime();
    minimal_results[t] = static_cast<double>(iterations) / (c1 - c0);
}
