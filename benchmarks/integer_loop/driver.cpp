// Runs integer_thread and minimal_thread on a team of threads.
//   driver ours|minimal N [T]  one pass of N iterations of either loop
//   driver best N R [T]        R passes of N iterations, the two loops in
//                              turn; prints each thread's best rate of each
//   driver same N [T]          exits 1 unless both loops leave the same cell
// The best of many short passes is what a loaded machine still shows
// faithfully: interference only ever makes a pass slower.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <new>

#include <omp.h>

typedef __int128 i128;

extern double results1[4096];
extern double minimal_results[4096];
void integer_thread(uint64_t iterations);
void minimal_thread(uint64_t iterations);

// The cell is each pass's 16-byte allocation; remember the latest per thread.
static thread_local void* last_cell;
void* operator new(size_t size)
{
    void* p = std::malloc(size ? size : 1);
    if (!p)
        throw std::bad_alloc();
    if (size == 16)
        last_cell = p;
    return p;
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    const char* mode = argv[1];
    uint64_t n = std::strtoull(argv[2], nullptr, 10);
    bool best = std::strcmp(mode, "best") == 0;
    int reps = best ? std::atoi(argv[3]) : 1;
    int team = argc > (best ? 4 : 3) ? std::atoi(argv[best ? 4 : 3]) : 2;
    if (team < 1 || team > 10) {
        std::fprintf(stderr, "the minimal loop is only valid on threads 0 to 9\n");
        return 2;
    }
    double best_ours[10] = {}, best_minimal[10] = {};
    int differ = 0;
    omp_set_num_threads(team);
#pragma omp parallel reduction(+ : differ)
    {
        int t = omp_get_thread_num();
        if (std::strcmp(mode, "ours") == 0) {
            integer_thread(n);
        } else if (std::strcmp(mode, "minimal") == 0) {
            minimal_thread(n);
        } else if (std::strcmp(mode, "same") == 0) {
            integer_thread(n);
            i128 a = *static_cast<i128*>(last_cell);
            minimal_thread(n);
            differ += a != *static_cast<i128*>(last_cell);
        } else {
            for (int r = 0; r < reps; ++r) {
#pragma omp barrier
                if (r % 2) {
                    integer_thread(n);
                    if (results1[t] > best_ours[t])
                        best_ours[t] = results1[t];
                } else {
                    minimal_thread(n);
                    if (minimal_results[t] > best_minimal[t])
                        best_minimal[t] = minimal_results[t];
                }
            }
        }
    }
    if (best) {
        double sum_ours = 0, sum_minimal = 0;
        for (int t = 0; t < team; ++t) {
            std::printf("thread %d: ours %.2f M/s, minimal %.2f M/s\n", t, best_ours[t] / 1e6,
                        best_minimal[t] / 1e6);
            sum_ours += best_ours[t];
            sum_minimal += best_minimal[t];
        }
        std::printf("overall: ours %.2f M/s, minimal %.2f M/s, ours/minimal %.3f\n",
                    sum_ours / 1e6, sum_minimal / 1e6, sum_ours / sum_minimal);
    }
    if (std::strcmp(mode, "same") == 0)
        std::printf("%s\n", differ ? "the cells differ" : "same cells");
    return differ ? 1 : 0;
}
