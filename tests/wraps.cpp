#include "wraps.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include <omp.h>

std::atomic<long> calls[wrapped_count];
std::atomic<bool> counting;
std::atomic<int> forced_num_procs;
std::atomic<int> forced_thread_num{-1};
void* first_new[4096][2];
long double last_powl_exponent[4096];
void* last_new[4096];
std::atomic<size_t> last_array_size;
void** recorded_blocks;
size_t recorded_capacity;
std::atomic<size_t> recorded_count;
std::atomic<long> zeroed_releases;
long double forced_sine;
std::atomic<long> allocations_left{-1};
std::atomic<long> heap_allocations;
std::atomic<bool> counting_heap;
char event_log[log_threads][log_length + 1];

#ifdef __SANITIZE_ADDRESS__
// The workloads keep cells and blocks that are never released, by design.
extern "C" const char* __asan_default_options() {
    return "detect_leaks=0";
}
#endif

void start_counting() {
    for (auto& c : calls)
        c = 0;
    for (int t = 0; t < 4096; ++t)
        first_new[t][0] = first_new[t][1] = last_new[t] = nullptr;
    last_array_size = 0;
    recorded_count = 0;
    zeroed_releases = 0;
    counting = true;
}

void stop_counting() {
    counting = false;
}

extern "C" int __real_omp_get_thread_num();

static std::atomic<bool> logging;
static int log_used[log_threads];
static bool cell_taken[log_threads];
static unsigned char* cell[log_threads];
static size_t cell_size[log_threads];
static unsigned char* sink;
static size_t sink_size;

static bool written(const unsigned char* p, size_t size) {
    return std::any_of(p, p + size, [](unsigned char c) { return c != unwritten; });
}

static void append_event(int t, char event) {
    if (log_used[t] < log_length)
        event_log[t][log_used[t]++] = event;
}

static void look_for_stores(int t) {
    if (cell[t] && written(cell[t], cell_size[t])) {
        append_event(t, 'w');
        cell[t] = nullptr;
    }
    if (t == 0 && sink && written(sink, sink_size)) {
        append_event(t, 'z');
        sink = nullptr;
    }
}

// Logs `event` on the calling thread; returns the thread, or -1 when not
// logging.
static int log_event(char event) {
    if (!logging)
        return -1;
    int t = __real_omp_get_thread_num();
    if (t >= log_threads)
        return -1;
    look_for_stores(t);
    append_event(t, event);
    return t;
}

static void log_allocation(char event, void* p, size_t size) {
    int t = log_event(event);
    if (t < 0 || cell_taken[t])
        return;
    cell_taken[t] = true;
    cell[t] = static_cast<unsigned char*>(p);
    cell_size[t] = std::min<size_t>(size, 16);
    std::memset(p, unwritten, cell_size[t]);
}

void start_logging(void* watched_sink, size_t watched_size) {
    std::memset(event_log, 0, sizeof event_log);
    for (int t = 0; t < log_threads; ++t) {
        log_used[t] = 0;
        cell_taken[t] = false;
        cell[t] = nullptr;
    }
    sink = static_cast<unsigned char*>(watched_sink);
    sink_size = watched_size;
    logging = true;
}

void stop_logging() {
    logging = false;
    for (int t = 0; t < log_threads; ++t)
        look_for_stores(t);
}

// An allocation the test has declared failed.
static void fail_if_exhausted() {
    if (allocations_left >= 0 && allocations_left-- == 0) {
        allocations_left = 0;
        throw std::bad_alloc();
    }
}

static void count(wrapped_call c) {
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
double __real_omp_get_wtime();
void* __real__Znwm(size_t);
void __real__ZdlPvm(void*, size_t);
void* __real__Znam(size_t);

long double __wrap_powl(long double x, long double y) {
    if (counting) {
        ++calls[call_powl];
        last_powl_exponent[__real_omp_get_thread_num()] = y;
    }
    return __real_powl(x, y);
}
long double __wrap_expl(long double x) {
    count(call_expl);
    return __real_expl(x);
}
long double __wrap_logl(long double x) {
    count(call_logl);
    return __real_logl(x);
}
long double __wrap_sinl(long double x) {
    count(call_sinl);
    return forced_sine != 0 ? forced_sine : __real_sinl(x);
}
double __wrap_exp(double x) {
    count(call_exp);
    return __real_exp(x);
}
double __wrap_log(double x) {
    count(call_log);
    return __real_log(x);
}
double __wrap_sin(double x) {
    count(call_sin);
    return forced_sine != 0 ? static_cast<double>(forced_sine) : __real_sin(x);
}
double __wrap_pow(double x, double y) {
    count(call_pow);
    return __real_pow(x, y);
}

int __wrap_omp_get_num_procs() {
    count(call_num_procs);
    log_event('P');
    int forced = forced_num_procs;
    return forced ? forced : __real_omp_get_num_procs();
}

double __wrap_omp_get_wtime() {
    log_event('C');
    return __real_omp_get_wtime();
}

int __wrap_omp_get_thread_num() {
    count(call_thread_num);
    log_event('T');
    int forced = forced_thread_num;
    return forced >= 0 ? forced : __real_omp_get_thread_num();
}

__int128 __real___modti3(__int128, __int128);
__int128 __real___fixdfti(double);
__int128 __real___fixxfti(long double);
double __real___floattidf(__int128);

__int128 __wrap___modti3(__int128 a, __int128 b) {
    count(call_modti3);
    return __real___modti3(a, b);
}
__int128 __wrap___fixdfti(double x) {
    count(call_fixdfti);
    return __real___fixdfti(x);
}
__int128 __wrap___fixxfti(long double x) {
    count(call_fixxfti);
    return __real___fixxfti(x);
}
double __wrap___floattidf(__int128 v) {
    count(call_floattidf);
    return __real___floattidf(v);
}

int __wrap_snprintf(char* buf, size_t size, const char* format, ...) {
    count(call_snprintf);
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buf, size, format, args);
    va_end(args);
    return n;
}

// What snprintf becomes where the toolchain fortifies by default: counted
// as the same call, so the counts mean the same on every toolchain.
int __wrap___snprintf_chk(char* buf, size_t size, int, size_t, const char* format, ...) {
    count(call_snprintf);
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buf, size, format, args);
    va_end(args);
    return n;
}

void* __wrap__Znwm(size_t size) {
    fail_if_exhausted();
    void* p = __real__Znwm(size);
    log_allocation('n', p, size);
    if (counting) {
        if (size == 16)
            std::memset(p, unwritten, 16);
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

void __wrap__ZdlPvm(void* p, size_t size) {
    int t = log_event('d');
    if (t >= 0 && cell[t] == p)
        cell[t] = nullptr;
    count(size == 16 ? call_delete16 : call_delete_other);
    if (counting && size == 16) {
        const unsigned char* bytes = static_cast<const unsigned char*>(p);
        if (std::all_of(bytes, bytes + 16, [](unsigned char c) { return c == 0; }))
            ++zeroed_releases;
    }
    __real__ZdlPvm(p, size);
}

void* __wrap__Znam(size_t size) {
    fail_if_exhausted();
    void* p = __real__Znam(size);
    log_allocation('a', p, size);
    if (counting) {
        count(call_new_array);
        last_array_size = size;
        last_new[__real_omp_get_thread_num()] = p;
    }
    return p;
}
}

#ifndef __SANITIZE_ADDRESS__
// The process's heap functions, counting and handing on to the C library's
// own allocator; operator new and the libraries' internal allocations reach
// them too. The aligned allocation functions stay the C library's own.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);

static void count_heap() {
    if (counting_heap)
        ++heap_allocations;
}

void* malloc(size_t size) noexcept {
    count_heap();
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) noexcept {
    count_heap();
    return __libc_calloc(count, size);
}
void* realloc(void* p, size_t size) noexcept {
    count_heap();
    return __libc_realloc(p, size);
}
void free(void* p) noexcept {
    __libc_free(p);
}
}
#endif
