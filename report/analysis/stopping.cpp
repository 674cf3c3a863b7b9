// The stopping rules' decision: enough repetitions, or which rule wants more.
#include "analysis/stopping.h"

namespace report {

MoreWanted more_wanted(const StoppingBounds& bounds, std::optional<double> widest_cv,
                       double widest_half_width) {
    if (bounds.until_stable && widest_cv && *widest_cv * 100 > *bounds.until_stable)
        return MoreWanted::spread;
    if (bounds.precision && widest_half_width * 100 > *bounds.precision)
        return MoreWanted::precision;
    return MoreWanted::none;
}

}  // namespace report
