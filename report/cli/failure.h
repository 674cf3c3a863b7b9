// How a command fails: one value, the exit status and the message, returned
// from where the failure is found up to main, which says the message and
// exits with the status.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "analysis/verdict_status.h"

namespace report {

// The exit status of bench_report.
enum class Exit : int {
    ok = 0,
    write_failed = 1,  // the output could not be written
    bad_input = 2,     // usage error, unreadable or unrecognised input, or nothing to work on
    gate = verdict_fail_status,  // compare --fail-if-worse found a figure worse than allowed, or
                                 // history --fail-on-change-since a change point for the worse
    no_verdict = no_verdict_status,  // either gate could not decide: the repetitions cannot tell, a
                                     // repetition did not complete, too little history
};

// A failure of a command: how it exits, and why.
struct Failed {
    int status = 0;  // an Exit code, or 128+N for `run` stopped by signal N
    // Said on standard error as "bench_report: MESSAGE" once the failure
    // reaches main; empty when what went wrong was said as it was found
    // (the notes of loading, the gate's lines, run's progress).
    std::string message;

    // Explicit: a number is no failure until it is made one.
    explicit Failed(int exit_status, std::string text = {})
        : status(exit_status), message(std::move(text)) {}
    explicit Failed(Exit exit_status, std::string text = {})
        : Failed(static_cast<int>(exit_status), std::move(text)) {}
};

// How a command, or a step of one, ended: nothing when it did all it was
// asked, else its failure.
using Result = std::optional<Failed>;

// A step's result: its value, or the failure that left it without one.
template <class T>
class Expected {
public:
    Expected(T value) : held_(std::move(value)) {}
    Expected(Failed failure) : held_(std::move(failure)) {}

    explicit operator bool() const { return held_.index() == 0; }
    T& operator*() { return std::get<0>(held_); }
    const T& operator*() const { return std::get<0>(held_); }
    T* operator->() { return &std::get<0>(held_); }
    const T* operator->() const { return &std::get<0>(held_); }
    const Failed& failure() const { return std::get<1>(held_); }

private:
    std::variant<T, Failed> held_;
};

// Says `failure`'s message now, for a command that goes on after it (more
// lines follow that must come after this one); what is left is its status.
Failed said(Failed failure);

// The outcome of a command that went on past `earlier` and then met `later`:
// the earlier failure's status stands (an input that could not be read
// outweighs a gate's verdict on the rest); the later one's message is still
// said, now.
Result first_of(Result earlier, Result later);

}  // namespace report
