// Whether a label's repetitions drift with the order they ran in: Kendall's
// rank correlation of each repetition's time factor with its place in the
// order of their starts, tested two-sided, exactly (the distribution of the
// number of inversions of a random order). A drift of the machine while they
// ran shows as such a trend. Computation only.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

namespace report::stats {

struct KendallTest {
    double tau = 0;  // from -1 (falling with time) to 1 (rising)
    double p = 1;    // two-sided
};

// `in_order`: the values in the order they were measured; absent with fewer
// than 3, or with a value that is not finite. Exact up to 60 values, beyond
// that the normal approximation.
std::optional<KendallTest> kendall_trend(std::span<const double> in_order);

}  // namespace report::stats
