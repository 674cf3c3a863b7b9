// The run of bench_processors: banner, then the tests in their fixed order.
#include <omp.h>

#include "processors.h"

static const char title[] =
    "Velotrix :: Ombrelune Benchmark MultiProcessor for Linux on x86 64bit system 2025.02.06.";
static const char notice[] = "Copyright (C) Velotrix. All rights reserved.";
static const char support[] = "For Support: support@velotrix.example";

// Effective frequency: one region that writes nothing, then the plain sum of
// the per-thread giga-rates.
static void effective_frequency_test(std::ostream& con, std::ostream& file,
                                     uint64_t iterations)
{
    con << "Effective Frequency." << eol;
    file << "Effective Frequency." << eol;
    region_failures = 0;
#pragma omp parallel
    {
        if (!run_guarded(effective_frequency_thread, iterations)) {
            results3[omp_get_thread_num()] = 0;
#pragma omp atomic
            ++region_failures;
        }
    }
    if (region_failures)
        run_failed = true;
    results_overall3 += sum_rates(results3);
    con << "Effective Frequency was: " << results_overall3 << " Giga Executions/sec."
        << incomplete_note() << eol << eol << eol;
    file << "Effective Frequency was: " << results_overall3 << " Giga Executions/sec."
         << incomplete_note() << eol << eol << eol;
}

// One streaming test after its heading: single-thread pass and report,
// multi-thread region, summary, two empty lines.
static void streaming_test(std::ostream& con, std::ostream& file, pass_fn single,
                           pass_fn thread, uint64_t iterations, const double& spent,
                           const double& rate, const double* spent_t, double* rate_t,
                           double& overall, double& ratio)
{
    con << eol << "Force to be single thread." << eol;
    file << eol << "Force to be single thread." << eol;
    bool ok = run_guarded(single, iterations);
    single_report(con, file, ok, spent, rate, unit_executions, 0);
    multi_pass(con, file, nullptr, thread, iterations, spent_t, rate_t, unit_executions, 0,
               "The system spent: ");
    summary(con, file, rate_t, overall, rate, ok, "Overall, It was: ", unit_executions, 0,
            &ratio);
    con << eol << eol;
    file << eol << eol;
}

void run_processors(std::ostream& con, std::ostream& file, uint64_t iterations)
{
    con << eol << title << eol;
    file << title << eol;
    con << notice << eol << support << eol << eol << eol;
    file << eol;
    con << "Thread(s): " << threads << eol << eol << eol;
    file << "Thread(s): " << threads << eol << eol << eol;

    effective_frequency_test(con, file, iterations);

    con << "Float Streaming." << " " << "Float is at: " << 128 << "bits." << eol;
    file << "Float Streaming." << " " << "Float is at: " << 128 << "bits" << eol;
    streaming_test(con, file, float_single, float_thread, iterations, spent_single,
                   result_single, spent0, results0, results_overall, results_f);

    con << "Integer Streaming." << " " << "Integer is at: " << 128 << "bits." << eol;
    file << "Integer Streaming." << " " << "Integer is at: " << 128 << "bits." << eol;
    streaming_test(con, file, integer_single, integer_thread, iterations, spent_single1,
                   result_single1, spent1, results1, results_overall1, results_f1);

    con << "Logic Streaming." << " " << "Logic is at: " << 8 << "bits." << eol;
    file << "Logic Streaming." << " " << "Logic is at: " << 8 << "bits." << eol;
    streaming_test(con, file, logic_single, logic_thread, iterations, spent_single2,
                   result_single2, spent2, results2, results_overall2, results_f2);
}
