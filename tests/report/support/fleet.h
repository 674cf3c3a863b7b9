// Generated fleets for the tests: results files that read back with no
// finding but the short-pass note, their rates scaled per host, written as
// one directory per host the way a fleet's results are gathered.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "model/run.h"

// The text of a results file of `program` with `threads` threads, as the
// short-pass build writes it, every rate `factor` times the rates of a real
// short-pass run with a little per-thread variation drawn from `seed`. Every
// figure agrees with the others as printed: rate x seconds is the pass's
// iteration count (2^16 processors, 2^22 memory), the overall rate is the
// sum of the printed per-thread rates, the improvement is overall / single
// and MB/s is rate x bytes / 1048576.
std::string scaled_results_file(report::Program program, double factor, int threads, unsigned seed);

// One repetition on a noisy machine: every timed pass (each single-thread
// pass, each thread's pass) at `speed` times the real run's rate times a
// log-normal factor of standard deviation `sigma` (0.02: 2% a pass), drawn
// from `seed`; the figures agree with each other as in scaled_results_file.
std::string noisy_results_file(report::Program program, double speed, double sigma, int threads,
                               unsigned seed);

// The rate factor of host number `host` (1-based) of a fleet drawn from
// `seed`: within 3% of 1, except every 25th host from the 13th on (13, 38,
// 63, ...), which is a clear outlier: 0.6 and 1.5 in turn.
double fleet_factor(int host, unsigned seed);
bool fleet_outlier(int host);

// Writes `hosts` directories host-001, host-002, ... under `dir` (created if
// needed), each with a processors and a memory results file of 4 threads
// named as the programs name them, rates scaled by fleet_factor. Returns the
// host names in order.
std::vector<std::string> write_fleet(const std::filesystem::path& dir, int hosts, unsigned seed);

// The UTC date "YYYY-MM-DD" of a day counted from 1970-01-01.
std::string date_of_day(long day);

// A host's nightly history: a run of `program` each day from `first_day`
// (days since 1970-01-01) for `days` days, in <dir>/<host>/<YYYYMMDD>T050000Z-1/
// beside a machine.json giving its start (05:00 UTC), the host and
// `kernel(day)`, its rates `factor(day)` times the fleet's (`day` counting
// from 0) with per-thread variation drawn from `seed`.
void write_host_history(const std::filesystem::path& dir, const std::string& host,
                        report::Program program, long first_day, int days,
                        const std::function<double(int)>& factor,
                        const std::function<std::string(int)>& kernel, unsigned seed);
