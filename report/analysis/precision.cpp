#include "analysis/precision.h"

#include <algorithm>
#include <cmath>

#include "analysis/paired_test.h"
#include "analysis/stats.h"

namespace report {

PassRates pass_rates(const Run& run) {
    PassRates rates;
    for (const Test& t : run.tests) {
        // "Float Streaming. Float is at: 128bits." -> "Float Streaming"
        std::string name = t.title.substr(0, t.title.find_first_of(".:"));
        if (t.single_rate && std::isfinite(t.single_rate->value) && t.single_rate->value > 0)
            rates[name + ", one thread"] = t.single_rate->value;
        if (t.overall_rate && std::isfinite(t.overall_rate->value) && t.overall_rate->value > 0)
            rates[name + ", all threads"] = t.overall_rate->value;
    }
    return rates;
}

std::optional<Variation> widest_variation(const std::vector<PassRates>& repetitions) {
    std::map<std::string, std::vector<double>> series;
    for (const PassRates& r : repetitions)
        for (const auto& [pass, value] : r)
            series[pass].push_back(value);
    std::optional<Variation> widest;
    for (const auto& [pass, values] : series) {
        auto cv = stats::coefficient_of_variation(values);
        if (!cv || (widest && *cv <= widest->cv))
            continue;
        auto range = stats::range(values);
        widest = Variation{pass, *cv, range && range->spread ? *range->spread : 1, values.size()};
    }
    return widest;
}

std::optional<double> log_time_factor(const PassRates& reference, const PassRates& repetition) {
    double sum = 0;
    std::size_t n = 0;
    for (const auto& [pass, value] : repetition)
        if (auto it = reference.find(pass); it != reference.end()) {
            sum += std::log(it->second / value);
            ++n;
        }
    if (n == 0)
        return std::nullopt;
    return sum / static_cast<double>(n);
}

std::optional<double> PrecisionInterval::half_width() const {
    if (!low || !high)
        return std::nullopt;
    return std::max(*high / estimate - 1, 1 - *low / estimate);
}

std::optional<PrecisionInterval> precision_interval(std::span<const double> log_factors) {
    // Each side is the lower bound of a one-sided test: of the factors for
    // the lower end, of their negations (the inverse factors) for the upper.
    auto lower = stats::signed_rank_slowdown(log_factors, 1, precision_alpha);
    std::vector<double> negated(log_factors.begin(), log_factors.end());
    for (double& x : negated)
        x = -x;
    auto upper = stats::signed_rank_slowdown(negated, 1, precision_alpha);
    if (!lower || !upper)
        return std::nullopt;
    PrecisionInterval p;
    p.values = log_factors.size();
    p.estimate = lower->estimate;
    if (lower->bound > 0 && upper->bound > 0) {
        p.low = lower->bound;
        p.high = 1 / upper->bound;
        p.confidence = lower->confidence + upper->confidence - 1;
    }
    return p;
}

std::vector<double> self_log_factors(const std::vector<PassRates>& repetitions) {
    std::map<std::string, std::vector<double>> series;
    for (const PassRates& r : repetitions)
        for (const auto& [pass, value] : r)
            series[pass].push_back(value);
    PassRates medians;
    for (const auto& [pass, values] : series)
        if (auto m = stats::median(values))
            medians[pass] = *m;
    std::vector<double> factors;
    for (const PassRates& r : repetitions)
        if (auto f = log_time_factor(medians, r))
            factors.push_back(*f);
    return factors;
}

}  // namespace report
