// Work spread over threads: the one way bench_report runs its own work in
// parallel (the histories' change-point searches, the store's readers).
// Plain threads, not OpenMP: an OpenMP runtime in bench_report would read the
// OMP_* variables meant for the benchmark programs it runs, and could bind
// bench_report's thread (and so every program it starts) to one processor.
#pragma once

#include <cstddef>
#include <functional>

namespace report {

// The processors this process may run on (its affinity), at least 1.
std::size_t usable_processors();

// Runs work(i) for every i below `count`, each once, on up to `threads`
// threads (0: one per usable processor), the calling thread among them;
// each thread takes the next i not yet taken. The first exception a work
// throws is thrown here once every thread has stopped; the works not yet
// begun are skipped then.
void in_parallel(std::size_t count, std::size_t threads,
                 const std::function<void(std::size_t)>& work);

}  // namespace report
