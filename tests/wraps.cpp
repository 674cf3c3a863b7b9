#include "wraps.h"

#include <cstdarg>
#include <cstdio>
#include <new>

#include <omp.h>

std::atomic<long> calls[wrapped_count];
std::atomic<bool> counting;
std::atomic<int> forced_num_procs;
void* first_new[4096][2];
long double last_powl_exponent[4096];
void* last_new[4096];
std::atomic<size_t> last_array_size;
void** recorded_blocks;
size_t recorded_capacity;
std::atomic<size_t> recorded_count;

#ifdef __SANITIZE_ADDRESS__
// The workloads keep cells and blocks that are never released, by design.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
#endif

void start_counting()
{
    for (auto& c : calls)
        c = 0;
    for (int t = 0; t < 4096; ++t)
        first_new[t][0] = first_new[t][1] = last_new[t] = nullptr;
    last_array_size = 0;
    recorded_count = 0;
    counting = true;
}

void stop_counting() { counting = false; }

static void count(wrapped_call c)
{
    if (counting)
        ++calls[c];
}

extern "C" {
long double __real_powl(long double, long double);
long double __real_expl(long double);
long double __real_logl(long double);
long double __real_sinl(long double);
double __real_exp(double);
double __real_log(double);
double __real_sin(double);
double __real_pow(double, double);
int __real_omp_get_num_procs();
int __real_omp_get_thread_num();
void* __real__Znwm(size_t);
void __real__ZdlPvm(void*, size_t);
void* __real__Znam(size_t);

long double __wrap_powl(long double x, long double y)
{
    if (counting) {
        ++calls[call_powl];
        last_powl_exponent[__real_omp_get_thread_num()] = y;
    }
    return __real_powl(x, y);
}
long double __wrap_expl(long double x) { count(call_expl); return __real_expl(x); }
long double __wrap_logl(long double x) { count(call_logl); return __real_logl(x); }
long double __wrap_sinl(long double x) { count(call_sinl); return __real_sinl(x); }
double __wrap_exp(double x) { count(call_exp); return __real_exp(x); }
double __wrap_log(double x) { count(call_log); return __real_log(x); }
double __wrap_sin(double x) { count(call_sin); return __real_sin(x); }
double __wrap_pow(double x, double y) { count(call_pow); return __real_pow(x, y); }

int __wrap_omp_get_num_procs()
{
    count(call_num_procs);
    int forced = forced_num_procs;
    return forced ? forced : __real_omp_get_num_procs();
}

int __wrap_omp_get_thread_num()
{
    count(call_thread_num);
    return __real_omp_get_thread_num();
}

int __wrap_snprintf(char* buf, size_t size, const char* format, ...)
{
    count(call_snprintf);
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buf, size, format, args);
    va_end(args);
    return n;
}

void* __wrap__Znwm(size_t size)
{
    void* p = __real__Znwm(size);
    if (counting) {
        count(size == 16  ? call_new16
              : size == 8 ? call_new8
              : size == 1 ? call_new1
                          : call_new_other);
        int t = __real_omp_get_thread_num();
        if (!first_new[t][0])
            first_new[t][0] = p;
        else if (!first_new[t][1])
            first_new[t][1] = p;
        if (t == 0 && size == 16 && recorded_blocks && recorded_count < recorded_capacity)
            recorded_blocks[recorded_count++] = p;
        last_new[t] = p;
    }
    return p;
}

void __wrap__ZdlPvm(void* p, size_t size)
{
    count(size == 16 ? call_delete16 : call_delete_other);
    __real__ZdlPvm(p, size);
}

void* __wrap__Znam(size_t size)
{
    void* p = __real__Znam(size);
    if (counting) {
        count(call_new_array);
        last_array_size = size;
        last_new[__real_omp_get_thread_num()] = p;
    }
    return p;
}
}
