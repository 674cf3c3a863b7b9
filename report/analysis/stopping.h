// The stopping rules of `run` on the repetitions so far: whether they are
// enough, and when not, which rule wants another, so that the schedule acts
// on the decision and its view says why without judging again.
#pragma once

#include <optional>

namespace report {

// The bounds a run was given, in per cent: --until-stable's coefficient of
// variation and --precision's half width of the interval; absent: not asked.
struct StoppingBounds {
    std::optional<double> until_stable;
    std::optional<double> precision;
};

// Which rule wants another repetition: none when every rule given is met;
// the spread's when both want one.
enum class MoreWanted { none, spread, precision };

// `widest_cv`: the widest coefficient of variation of any pass of any build
// (absent with too few repetitions to have one); `widest_half_width`: the
// widest interval's half width as a fraction, infinite while an interval
// has too few values to exist.
MoreWanted more_wanted(const StoppingBounds& bounds, std::optional<double> widest_cv,
                       double widest_half_width);

}  // namespace report
