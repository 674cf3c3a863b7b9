// The split of a stretch of a series that the change-point search tries:
// the one with the largest energy statistic (E-Divisive means, alpha = 1),
// from the sums of the distances between the values on each side.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace report {

// The sums of |x - y| over the values added so far, each value added in
// O(log n): a Fenwick tree over the order of a stretch's values, of their
// counts and (centred) sums.
class PairDistances {
public:
    // Ready for the values of `x` (not empty), none of them added yet.
    void reset(std::span<const double> x);
    // The sum of |v - y| over the values y added so far; then v is added.
    double add(double v);

private:
    double centre_ = 0, total_ = 0;
    std::size_t added_ = 0;
    std::vector<double> sorted_, counts_, sums_;
};

// The buffers the split search reuses from stretch to stretch.
struct SplitWork {
    std::vector<double> left, right;
    PairDistances distances;
};

// The split of values[s, e) with the largest energy statistic, both sides at
// least `min` long; absent when the stretch is too short to split.
std::optional<std::size_t> best_split(std::span<const double> x, std::size_t s, std::size_t e,
                                      std::size_t min, SplitWork& work);

}  // namespace report
