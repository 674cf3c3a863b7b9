#include "model/parallel.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace report {

std::size_t usable_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<std::size_t>(CPU_COUNT(&set));
    return std::max(1u, std::thread::hardware_concurrency());
}

void in_parallel(std::size_t count, std::size_t threads,
                 const std::function<void(std::size_t)>& work) {
    if (threads == 0)
        threads = usable_processors();
    threads = std::max<std::size_t>(1, std::min(threads, count));
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::exception_ptr failed;
    std::mutex failed_lock;
    auto take = [&] {
        for (std::size_t i; !stop.load(std::memory_order_relaxed) && (i = next++) < count;) {
            try {
                work(i);
            } catch (...) {
                std::lock_guard<std::mutex> hold(failed_lock);
                if (!failed)
                    failed = std::current_exception();
                stop = true;
            }
        }
    };
    std::vector<std::thread> helpers;
    helpers.reserve(threads - 1);
    try {
        for (std::size_t t = 1; t < threads; ++t)
            helpers.emplace_back(take);
    } catch (...) {
        // No thread to be had: the threads already started and this one do
        // the work between them.
    }
    take();
    for (std::thread& t : helpers)
        t.join();
    if (failed)
        std::rethrow_exception(failed);
}

}  // namespace report
