// bench_processors: measures effective frequency and float, integer and
// logic streaming on one thread and on every processor.
#include <cstdio>
#include <iostream>

#include <unistd.h>

#include "processors.h"

#ifndef BENCH_ITERATIONS
#define BENCH_ITERATIONS processor_iterations
#endif

// The working directory as it was when the program started.
static char* newbuffer = getcwd(nullptr, 0);

int main()
{
    setup_threads();
    name_results_file("results_processors_Linux_x86 @ %s time %s.txt");
    std::ostream file(nullptr);
    open_results_file(file);
    run_processors(std::cout, file, BENCH_ITERATIONS);
    return end_of_run(std::cout, file, newbuffer, stdin);
}
