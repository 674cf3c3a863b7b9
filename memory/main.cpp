// bench_memory: measures allocation and memory writing on one thread and on
// every processor.
#include <cstdio>
#include <iostream>

#include <unistd.h>

#include "memory.h"

#ifndef BENCH_ITERATIONS
#define BENCH_ITERATIONS memory_iterations
#endif

int main()
{
    setup_threads();
    name_results_file("results_memory_Linux_x86 @ %s time %s.txt");
    std::ostream file(nullptr);
    open_results_file(file);
    run_memory(std::cout, file, BENCH_ITERATIONS);
    // The working directory as it is at the end of the run.
    char* directory = getcwd(nullptr, 0);
    return end_of_run(std::cout, file, directory, stdin);
}
