// Shared frame of both benchmark programs: thread count, the time-stamped
// results file, the line formats, the report around a single-thread pass and
// a multi-thread region, and the end of a run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ostream>

// Size of every per-thread result array; the thread team never exceeds it.
constexpr int max_threads = 4096;

// Number of processors reported by the OpenMP runtime, capped at max_threads:
// the size of every thread team of the run.
extern long long threads;
// The results file name, relative to the working directory.
extern char resultfile[1024];
// Working directory, a slash and the file name; built at the end of the run.
extern char filepath[2048];

// Set when a pass ran out of memory or the results could not be saved; the
// program then exits with status 1.
extern bool run_failed;
// Threads of the latest multi-thread region that ran out of memory.
extern int region_failures;

// Unit texts of the rate lines.
extern const char unit_executions[];
extern const char unit_allocations[];

// A timed pass: the workload with its own clock readings, given the
// iteration count.
typedef void (*pass_fn)(uint64_t iterations);

// Ends a line: newline and flush. A failed write to the results file is
// reported on standard error as soon as it is seen.
std::ostream& eol(std::ostream& os);

// Set-up, in this order.
void setup_threads();
void name_results_file(const char* pattern);
// Creates (or truncates) the results file at `resultfile` and attaches it to
// `file`. A symbolic link or anything but a regular file at that name is
// refused. On failure `file` stays without a buffer, so every write to it is
// dropped, and standard error says why.
bool open_results_file(std::ostream& file);

// Closes a pass after its second clock reading `e`: end time, seconds spent
// since the stored start, and iterations per second.
inline void close_pass(double e, double start, double& end, double& spent, double& rate,
                       uint64_t iterations) {
    end = e;
    spent = e - start;
    rate = static_cast<double>(iterations) / spent;
}

// Runs a pass; an allocation failure ends the pass and returns false.
bool run_guarded(pass_fn pass, uint64_t iterations);

// The lines of a single-thread pass, console first, then results file,
// then one empty line in each. `mb_bytes` > 0 adds the megabytes line.
void single_report(std::ostream& con, std::ostream& file, bool ok, double spent, double rate,
                   const char* unit, double mb_bytes);

// One parallel region over the default team. One thread writes the
// "Multi-Thread Enabled:" heading (and, when `heading` is not null, an empty
// line and `heading`); after the barrier every thread runs `body`, then writes
// its block inside the critical section. `file_spent_text` is the text of the
// file's per-thread spent line.
void multi_pass(std::ostream& con, std::ostream& file, const char* heading, pass_fn body,
                uint64_t iterations, const double* spent, double* results, const char* unit,
                double mb_bytes, const char* file_spent_text);

// Adds results[i] for i below omp_get_max_threads(), asked anew at each test.
double sum_rates(const double* results);

// Summary after a region: empty line, overall line, megabytes line (when
// `mb_bytes` > 0), improvement line, in both streams. Stores the sum in
// `overall` and, when `ratio` is not null, the ratio in `*ratio`.
void summary(std::ostream& con, std::ostream& file, const double* results, double& overall,
             double single_rate, bool single_ok, const char* overall_text, const char* unit,
             double mb_bytes, double* ratio);

// Text appended to a figure that lacks the passes of failed threads; empty
// when every thread of the latest region completed.
const char* incomplete_note();

// Megabytes per second for `bytes` bytes per iteration at `rate`.
double megabytes(double bytes, double rate);

// End of run: closes the results file, prints where it is (or that it could
// not be saved), asks for Enter and reads one character from `in`.
// `directory` may be null when the working directory is unknown. Returns the
// exit status.
int end_of_run(std::ostream& con, std::ostream& file, const char* directory, FILE* in);
