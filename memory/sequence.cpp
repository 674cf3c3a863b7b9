// The run of bench_memory: banner, the three workloads on one thread, then
// each on every thread, with their megabytes-per-second figures.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <new>
#include <string>

#include <malloc.h>

#include "memory.h"

static const char title_console[] = "Velotrix :: Ombrelune Benchmark MultiProcessor Memory for "
                                    "Linux on x86 64bit system 2025.02.06.";
static const char title_file[] = "Velotrix :: Ombrelune Benchmark MultiProcessor Memory for "
                                 "Linux on x86 64it system 2025.02.06.";
static const char notice[] = "Copyright (C) Velotrix. All rights reserved.";
static const char support[] = "For Support: support@velotrix.example";

double block_cost()
{
    // The heap's own count of bytes in use, before and after 4096 blocks.
    const int count = 4096;
    static void* blocks[count];
    int made = 0;
    struct mallinfo2 before = mallinfo2();
    try {
        for (; made < count; ++made)
            blocks[made] = ::operator new(16);
    } catch (const std::bad_alloc&) {
        for (int b = 0; b < made; ++b)
            ::operator delete(blocks[b], 16);
        throw;
    }
    struct mallinfo2 after = mallinfo2();
    for (int b = 0; b < count; ++b)
        ::operator delete(blocks[b], 16);
    double cost = static_cast<double>(after.uordblks - before.uordblks) / count;
    // An allocator that keeps no statistics: assume the usual 32 bytes.
    return cost >= 16 ? cost : 32;
}

double memory_needed(long long team, uint64_t iterations, double block_bytes)
{
    // One single-thread pass and one pass per thread each keep their blocks
    // and their array until the run ends.
    return static_cast<double>(1 + team) * static_cast<double>(iterations) * (block_bytes + 16);
}

double memory_available()
{
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    double kib;
    while (meminfo >> key >> kib) {
        if (key == "MemAvailable:")
            return kib * 1024;
        meminfo.ignore(256, '\n');
    }
    return -1;
}

void warn_if_memory_short(std::ostream& err, double needed, double available)
{
    if (available < 0 || needed <= available)
        return;
    err << program_invocation_short_name << ": warning: this run keeps about "
        << static_cast<long long>(needed / 1048576) << " MiB allocated until it ends, but only "
        << static_cast<long long>(available / 1048576)
        << " MiB of memory is available; it may run out of memory." << std::endl;
}

void check_memory(std::ostream& err, long long team, uint64_t iterations)
{
    // The estimate itself needs the heap. When even that fails, the run goes
    // on without the warning; its passes report what they could not allocate.
    try {
        warn_if_memory_short(err, memory_needed(team, iterations, block_cost()),
                             memory_available());
    } catch (const std::bad_alloc&) {
    }
}

void run_memory(std::ostream& con, std::ostream& file, uint64_t iterations)
{
    check_memory(std::cerr, threads, iterations);

    con << eol << title_console << eol;
    file << title_file << eol;
    con << notice << eol << support << eol << eol << eol << eol;
    file << eol;
    con << "Thread(s): " << threads << eol << eol;
    file << "Thread(s): " << threads << eol << eol;
    con << "Force to be single thread." << eol << eol;
    file << "Force to be single thread." << eol << eol;

    con << "Power of Memory Allocation." << eol;
    file << "Power of Memory Allocation." << eol;
    bool allocation_ok = run_guarded(allocation_single, iterations);
    single_report(con, file, allocation_ok, spent_single3, result_single3, unit_allocations, 0);

    bool low_ok = run_guarded(low_speed_single, iterations);
    con << "Low speeds:" << eol;
    file << "Low speeds:" << eol;
    single_report(con, file, low_ok, spent_single, result_single, unit_executions, 32);

    bool high_ok = run_guarded(high_speed_single, iterations);
    con << "High speeds:" << eol;
    file << "High speeds:" << eol;
    single_report(con, file, high_ok, spent_single1, result_single1, unit_executions, 16);
    con << eol;
    file << eol;

    multi_pass(con, file, "Power of Memory Allocation.", allocation_thread, iterations, spent3,
               results3, unit_allocations, 0, "The system spent: ");
    summary(con, file, results3, results_overall3, result_single3, allocation_ok,
            "Overall, it was: ", unit_allocations, 0, &results_f3);
    con << eol;
    file << eol;

    multi_pass(con, file, "Low speeds:", low_speed_thread, iterations, spent1, results1,
               unit_executions, 32, "The spent: ");
    summary(con, file, results1, results_overall, result_single, low_ok, "Overall, It was: ",
            unit_executions, 32, nullptr);
    con << eol << eol;
    file << eol << eol;

    multi_pass(con, file, "High speeds:", high_speed_thread, iterations, spent0, results0,
               unit_executions, 16, "The system spent: ");
    summary(con, file, results0, results_overall0, result_single1, high_ok,
            "Overall, It was: ", unit_executions, 16, nullptr);
    con << eol;
    file << eol;
}
