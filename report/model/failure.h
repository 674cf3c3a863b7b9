// How a step fails, in every layer: one value, the exit status the failure
// ends bench_report with and the message that says why, returned from where
// it is found up to the command, and from the command up to main. A step
// that gives a value returns an Expected<T>: the value, or the failure that
// left it without one; one that gives none, an optional Failed (Result in
// the commands, cli/failure.h): nothing when it did all it was asked.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace report {

// The exit status of bench_report.
enum class Exit : int {
    ok = 0,
    write_failed = 1,  // the output could not be written
    bad_input = 2,     // usage error, unreadable or unrecognised input, or nothing to work on
    gate = 3,          // compare --fail-if-worse found a figure worse than allowed, or
                       // history --fail-on-change-since a change point for the worse
    no_verdict = 4,    // either gate could not decide: the repetitions cannot tell, a
                       // repetition did not complete, too little history
};

// A failure: how it exits, and why.
struct Failed {
    int status = 0;  // an Exit code, or 128+N for `run` stopped by signal N
    // Said on standard error as "bench_report: MESSAGE" once the failure
    // reaches main; empty when what went wrong was said as it was found
    // (the notes of loading, the gate's lines, run's progress). Below the
    // commands, the reason alone ("a FIFO, not a regular file"), which the
    // caller puts in its own words.
    std::string message;

    // Explicit: a number is no failure until it is made one.
    explicit Failed(int exit_status, std::string text = {})
        : status(exit_status), message(std::move(text)) {}
    explicit Failed(Exit exit_status, std::string text = {})
        : Failed(static_cast<int>(exit_status), std::move(text)) {}
};

// A step's result: its value, or the failure that left it without one. The
// failure is a Failed but where a step's caller wants it in parts (the
// parser's ParseError: the line, what was looked for, what was found).
template <class T, class E = Failed>
class Expected {
public:
    Expected(T value) : held_(std::in_place_index<0>, std::move(value)) {}
    Expected(E failure) : held_(std::in_place_index<1>, std::move(failure)) {}

    explicit operator bool() const { return held_.index() == 0; }
    T& operator*() { return std::get<0>(held_); }
    const T& operator*() const { return std::get<0>(held_); }
    T* operator->() { return &std::get<0>(held_); }
    const T* operator->() const { return &std::get<0>(held_); }
    const E& failure() const { return std::get<1>(held_); }

private:
    std::variant<T, E> held_;
};

}  // namespace report
