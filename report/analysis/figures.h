// The figures a comparison compares for each test: their names, which way is better, their pass.
#pragma once

#include <vector>

namespace report {

// Which way a figure is better: a rate higher, a time lower.
enum class Better { higher, lower };

// Which timed pass a figure measures: a slowdown of one pass shows in its
// rate, MB/s and seconds alike, and is named once.
enum class Pass { single, multi, derived };

// Which figure a row holds. Decisions ask this, never the figure's name.
enum class FigureId {
    single_rate,
    overall_rate,
    overall_per_thread,
    improvement,
    single_megabytes,
    overall_megabytes,
    single_seconds,
    thread_seconds,
};

// The figures compared for each test, in the order of the rows.
struct FigureKind {
    FigureId id;
    const char* name;  // "single rate", "overall rate", ...
    Better better;
    Pass pass;
    bool megabytes;  // only for tests that move bytes
};
const std::vector<FigureKind>& figure_kinds();
const FigureKind& figure_kind(FigureId id);

// The figures that measure a timed pass each once, the rates: what the
// geometric means, the far repetitions and the gate are over (MB/s, seconds
// and per-thread figures restate them, the improvement divides two of them).
bool pass_rate(FigureId id);

}  // namespace report
