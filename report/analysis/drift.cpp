#include "analysis/drift.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "analysis/stats.h"

namespace report {

namespace {

// Sums of the values from the first to each index, for the ramp of any start
// and end in constant time: of the index, its square, the (centred) value and
// the index times the value.
struct Prefix {
    std::vector<double> i1, i2, y, iy;
    explicit Prefix(std::span<const double> yc) {
        std::size_t n = yc.size();
        i1.assign(n + 1, 0);
        i2 = y = iy = i1;
        for (std::size_t k = 0; k < n; ++k) {
            auto x = static_cast<double>(k);
            i1[k + 1] = i1[k] + x;
            i2[k + 1] = i2[k] + x * x;
            y[k + 1] = y[k] + yc[k];
            iy[k + 1] = iy[k] + x * yc[k];
        }
    }
};

// The ramp 0 up to `a`, rising linearly to 1 at `b`, 1 after: its spread
// (sum of squares about its mean), its covariance with the centred values
// and its sum.
struct RampFit {
    double spread = 0, covariance = 0, sum = 0;
    double gain() const { return spread > 0 ? covariance * covariance / spread : 0; }
};
RampFit ramp_fit(const Prefix& p, std::size_t n, std::size_t a, std::size_t b) {
    auto length = static_cast<double>(b - a), from = static_cast<double>(a);
    auto count = static_cast<double>(b - a - 1), after = static_cast<double>(n - b);
    double s1 = p.i1[b] - p.i1[a + 1], s2 = p.i2[b] - p.i2[a + 1];
    double sy = p.y[b] - p.y[a + 1], siy = p.iy[b] - p.iy[a + 1];
    double sum = (s1 - from * count) / length + after;
    double squares = (s2 - 2 * from * s1 + from * from * count) / (length * length) + after;
    double cross = (siy - from * sy) / length + (p.y[n] - p.y[b]);
    return {squares - sum * sum / static_cast<double>(n), cross, sum};
}

// The least-squares fit of the ramp (a, b) together with a step of the
// level from index `c` on (0 < c < n): the two sizes and the squares they
// explain. A drift with a step on it is fitted as both at once, so that
// neither leans the other.
struct JointFit {
    double gain = 0, ramp = 0, step = 0;
};
JointFit joint_fit(const Prefix& p, std::size_t n, std::size_t a, std::size_t b, std::size_t c) {
    RampFit r = ramp_fit(p, n, a, b);
    auto count = static_cast<double>(n), after = static_cast<double>(n - c);
    // The ramp's sum over [c, n): its rising part there, then its top.
    std::size_t from = std::max(c, a + 1);
    double rising = from < b ? (p.i1[b] - p.i1[from] - static_cast<double>(a * (b - from))) /
                                   static_cast<double>(b - a)
                             : 0;
    double ramp_after = rising + static_cast<double>(n - std::max(c, b));
    double srh = ramp_after - after * r.sum / count;
    double shh = after * static_cast<double>(c) / count;
    double shy = p.y[n] - p.y[c];
    double det = r.spread * shh - srh * srh;
    if (!(det > 1e-12 * r.spread * shh))
        return {r.gain(), r.spread > 0 ? r.covariance / r.spread : 0, 0};
    JointFit j;
    j.ramp = (shh * r.covariance - srh * shy) / det;
    j.step = (r.spread * shy - srh * r.covariance) / det;
    j.gain = j.ramp * r.covariance + j.step * shy;
    return j;
}

double ramp_at(std::size_t i, std::size_t a, std::size_t b) {
    if (i <= a)
        return 0;
    if (i >= b)
        return 1;
    return static_cast<double>(i - a) / static_cast<double>(b - a);
}

// The best (start, end) of a ramp at least `shortest` long, fitted with a
// step from index `c` on when c > 0: a grid of about sixty places each way,
// then every place within a grid step of the best.
std::pair<std::size_t, std::size_t> best_ramp(const Prefix& p, std::size_t n,
                                              std::size_t shortest, std::size_t c = 0) {
    std::size_t step = std::max<std::size_t>(1, n / 60);
    std::pair<std::size_t, std::size_t> best{0, n - 1};
    double best_gain = -1;
    auto consider = [&](std::size_t a, std::size_t b) {
        if (b >= n || b < a + shortest)
            return;
        double g = c > 0 ? joint_fit(p, n, a, b, c).gain : ramp_fit(p, n, a, b).gain();
        if (g > best_gain) {
            best_gain = g;
            best = {a, b};
        }
    };
    for (std::size_t a = 0; a + shortest < n; a += step) {
        for (std::size_t b = a + shortest; b < n; b += step)
            consider(a, b);
        consider(a, n - 1);
    }
    auto [ga, gb] = best;
    for (std::size_t a = ga > step ? ga - step : 0; a <= ga + step; ++a)
        for (std::size_t b = gb > step ? gb - step : 0; b <= gb + step; ++b)
            consider(a, b);
    return best;
}

// The size of a step from index `c` on, fitted together with the best ramp
// of `values` that goes with it.
double step_with_ramp(std::span<const double> values, std::size_t c, std::size_t shortest) {
    std::size_t n = values.size();
    double mean = 0;
    for (double v : values)
        mean += v / static_cast<double>(n);
    std::vector<double> centred(n);
    std::transform(values.begin(), values.end(), centred.begin(),
                   [&](double v) { return v - mean; });
    Prefix prefix(centred);
    auto [a, b] = best_ramp(prefix, n, shortest, c);
    return joint_fit(prefix, n, a, b, c).step;
}

// A robust scale of `e`: the median absolute deviation scaled to a standard
// deviation, which one slow night does not widen.
double robust_scale(std::span<const double> e) {
    return stats::mad_to_standard_deviation * stats::median_absolute_deviation(e).value_or(0);
}

// The mean of `values` between changes into `out` (the piecewise-constant
// fit of the steps), and the sum of squared differences from it, each at
// most `clip` squared.
double steps_fit(std::span<const double> values, const std::vector<SeriesChange>& steps,
                 std::vector<double>& out,
                 double clip = std::numeric_limits<double>::infinity()) {
    out.assign(values.size(), 0);
    double squares = 0;
    for (std::size_t k = 0; k <= steps.size(); ++k) {
        std::size_t s = k == 0 ? 0 : steps[k - 1].index;
        std::size_t e = k == steps.size() ? values.size() : steps[k].index;
        double mean = 0;
        for (std::size_t i = s; i < e; ++i)
            mean += values[i];
        mean /= static_cast<double>(std::max<std::size_t>(e - s, 1));
        for (std::size_t i = s; i < e; ++i) {
            out[i] = mean;
            squares += std::min((values[i] - mean) * (values[i] - mean), clip * clip);
        }
    }
    return squares;
}

// The Bayesian information criterion of a fit with `squares` residual sum of
// squares and `parameters` parameters, on `n` values.
double information(double squares, std::size_t parameters, std::size_t n) {
    auto size = static_cast<double>(n);
    double floor = std::numeric_limits<double>::min() * size;
    return size * std::log(std::max(squares, floor) / size) +
           static_cast<double>(parameters) * std::log(size);
}

// Whether every step of `steps` goes down (`down`) or up, each level's mean
// against the one before, but those within 2 days of a step of `exempt`.
bool steps_go(std::span<const double> values, const std::vector<SeriesChange>& steps, bool down,
              const std::vector<SeriesChange>& exempt = {}) {
    std::vector<double> levels;
    steps_fit(values, steps, levels);
    for (const SeriesChange& c : steps) {
        bool kept = std::any_of(exempt.begin(), exempt.end(), [&](const SeriesChange& e) {
            return (e.index > c.index ? e.index - c.index : c.index - e.index) <= 2;
        });
        if (!kept && (levels[c.index] < levels[c.index - 1]) != down)
            return false;
    }
    return true;
}

}  // namespace

// The ramp's change of `values` with its start and end searched (none when
// it cannot be fitted).
std::optional<double> ramp_change(std::span<const double> values, std::size_t shortest,
                                  std::vector<double>& centred) {
    std::size_t n = values.size();
    double mean = 0;
    for (double v : values)
        mean += v / static_cast<double>(n);
    centred.resize(n);
    std::transform(values.begin(), values.end(), centred.begin(),
                   [&](double v) { return v - mean; });
    Prefix prefix(centred);
    auto [a, b] = best_ramp(prefix, n, shortest);
    RampFit fit = ramp_fit(prefix, n, a, b);
    if (!(fit.spread > 0))
        return std::nullopt;
    return fit.covariance / fit.spread;
}

// A 95% interval of the ramp's change by a moving-block bootstrap of its
// residuals (blocks of a week, so that nights alike in a row stay alike),
// each resample's ramp searched again: the interval holds the uncertainty of
// where the ramp starts and ends, which the slope's standard error does not.
void bootstrap_interval(SeriesDrift& d, std::span<const double> values, std::size_t shortest) {
    constexpr std::size_t resamples = 199, block = 7;
    std::size_t n = values.size();
    std::vector<double> residuals(n), again(n), centred, changes;
    for (std::size_t i = 0; i < n; ++i)
        residuals[i] = values[i] - d.fitted[i];
    std::mt19937_64 rng(0x5851f42d4c957f2dULL ^ n);  // the same history, the same interval
    std::uniform_int_distribution<std::size_t> start(0, n - std::min(block, n));
    for (std::size_t r = 0; r < resamples; ++r) {
        for (std::size_t i = 0; i < n; i += block) {
            std::size_t from = start(rng);
            for (std::size_t k = 0; k < block && i + k < n; ++k)
                again[i + k] = d.fitted[i + k] + residuals[from + k];
        }
        if (std::optional<double> c = ramp_change(again, shortest, centred))
            changes.push_back(*c);
    }
    if (changes.size() < resamples / 2)
        return;  // the standard error's interval stays
    std::sort(changes.begin(), changes.end());
    auto at = [&](double q) {
        return changes[static_cast<std::size_t>(q * static_cast<double>(changes.size() - 1))];
    };
    // The basic bootstrap: the resamples' spread about the estimate, turned.
    d.log_low = std::min(d.log_low, 2 * d.log_change - at(0.975));
    d.log_high = std::max(d.log_high, 2 * d.log_change - at(0.025));
}

void adopt_sibling_drifts(std::vector<SeriesFindings>& figures,
                          const std::vector<std::vector<double>>& values,
                          const ChangePointSettings& settings) {
    bool slower = false, faster = false;
    for (const SeriesFindings& f : figures)
        if (f.drift)
            (f.drift->log_change < 0 ? slower : faster) = true;
    for (std::size_t k = 0; k < figures.size(); ++k) {
        SeriesFindings& f = figures[k];
        if (f.lost && (f.lost->log_change < 0 ? slower : faster)) {
            bootstrap_interval(*f.lost, values[k], settings.shortest_drift);
            f.drift = std::move(f.lost);
            f.lost.reset();
            f.steps = std::move(f.lost_steps);
        }
    }
}

std::optional<SeriesDrift> fit_ramp(std::span<const double> values, std::size_t shortest) {
    std::size_t n = values.size();
    shortest = std::max<std::size_t>(shortest, 1);
    if (n < shortest + 2)
        return std::nullopt;
    double mean = 0;
    for (double v : values)
        mean += v;
    mean /= static_cast<double>(n);
    std::vector<double> centred(n);
    std::transform(values.begin(), values.end(), centred.begin(),
                   [&](double v) { return v - mean; });
    Prefix prefix(centred);
    auto [a, b] = best_ramp(prefix, n, shortest);
    RampFit fit = ramp_fit(prefix, n, a, b);
    if (!(fit.spread > 0))
        return std::nullopt;
    SeriesDrift d;
    d.start = a;
    d.end = b;
    d.log_change = fit.covariance / fit.spread;
    double average = 0;
    for (std::size_t i = 0; i < n; ++i)
        average += ramp_at(i, a, b);
    average /= static_cast<double>(n);
    d.fitted.resize(n);
    std::vector<double> residuals(n);
    for (std::size_t i = 0; i < n; ++i) {
        d.fitted[i] = mean + d.log_change * (ramp_at(i, a, b) - average);
        residuals[i] = values[i] - d.fitted[i];
    }
    // The change's standard error given the ramp's dates, from a robust
    // scale of the residuals; the validation benchmark measures how often
    // the interval holds the drift planted.
    double error = robust_scale(residuals) / std::sqrt(fit.spread);
    d.log_low = d.log_change - 1.959964 * error;
    d.log_high = d.log_change + 1.959964 * error;
    return d;
}

namespace {

// A ramp with the steps left on top of it, and its residual sum of squares.
struct RampModel {
    SeriesDrift ramp;
    std::vector<SeriesChange> on_top;
    double squares = 0;
};

// The ramp of `values` less `shift` (a step the staircase found, taken out
// first so that it does not lean the ramp; empty: none), the steps the
// search finds in what the ramp leaves, then the ramp again of the values
// without those steps.
std::optional<RampModel> ramp_model(std::span<const double> values,
                                    const std::vector<double>& shift,
                                    const ChangePointSettings& settings, bool on_top,
                                    double clip) {
    std::size_t n = values.size();
    std::vector<double> flattened(values.begin(), values.end()), residuals(n), levels;
    for (std::size_t i = 0; i < shift.size(); ++i)
        flattened[i] -= shift[i];
    std::optional<SeriesDrift> ramp = fit_ramp(flattened, settings.shortest_drift);
    if (!ramp)
        return std::nullopt;
    for (std::size_t i = 0; i < n; ++i)
        residuals[i] = values[i] - ramp->fitted[i];
    RampModel m;
    if (on_top)
        m.on_top = series_change_points(residuals, settings);
    if (!m.on_top.empty()) {
        steps_fit(residuals, m.on_top, levels);
        for (std::size_t i = 0; i < n; ++i)
            flattened[i] = values[i] - levels[i];
        if (std::optional<SeriesDrift> again = fit_ramp(flattened, settings.shortest_drift))
            ramp = std::move(again);
        for (std::size_t i = 0; i < n; ++i)
            residuals[i] = values[i] - ramp->fitted[i];
    }
    m.squares = steps_fit(residuals, m.on_top, levels, clip);
    m.ramp = std::move(*ramp);
    return m;
}

// The staircase's steps a ramp is tried without: its largest few.
constexpr std::size_t steps_taken_out = 3;

// The shifts of the staircase's largest steps, each alone: the step's size
// fitted together with a ramp, from the day it happened on. (The staircase's
// own levels would count the drift between them as part of the step.)
std::vector<std::vector<double>> step_shifts(std::span<const double> values,
                                             const std::vector<SeriesChange>& steps,
                                             std::size_t shortest) {
    std::vector<double> levels;
    steps_fit(values, steps, levels);
    std::vector<std::size_t> order(steps.size());
    for (std::size_t k = 0; k < order.size(); ++k)
        order[k] = k;
    auto size = [&](std::size_t k) {
        return std::fabs(levels[steps[k].index] - levels[steps[k].index - 1]);
    };
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t x, std::size_t y) { return size(x) > size(y); });
    std::vector<std::vector<double>> shifts;
    for (std::size_t j = 0; j < std::min(order.size(), steps_taken_out); ++j) {
        const SeriesChange& c = steps[order[j]];
        std::vector<double> shift(values.size(), 0);
        double by = step_with_ramp(values, c.index, shortest);
        for (std::size_t i = c.index; i < values.size(); ++i)
            shift[i] = by;
        shifts.push_back(std::move(shift));
    }
    return shifts;
}

}  // namespace

SeriesFindings series_findings(std::span<const double> values,
                               const ChangePointSettings& settings) {
    SeriesFindings out;
    out.steps = series_change_points(values, settings);
    out.staircase = out.steps.size();
    if (out.steps.empty())
        return out;
    std::size_t n = values.size();
    // A staircase of k steps: a level and k places and sizes; a ramp: a
    // level, its size, its start and end, and the steps on top of it. A
    // place is picked as the best of hundreds, which buys more fit than a
    // size does: it counts as two, else a drift's noise buys its staircase
    // steps that fit better than the ramp.
    constexpr std::size_t place = 2;
    auto ramp_information = [&](const RampModel& m) {
        return information(m.squares, 2 + 2 * place + (place + 1) * m.on_top.size(), n);
    };
    // Both fits' squares clipped at three robust standard deviations of the
    // staircase's residuals: a slow night weighs as an ordinary bad night,
    // else its square swamps what tells a ramp from steps.
    std::vector<double> levels, residuals(n);
    steps_fit(values, out.steps, levels);
    for (std::size_t i = 0; i < n; ++i)
        residuals[i] = values[i] - levels[i];
    double clip = 3 * robust_scale(residuals);
    if (!(clip > 0))
        clip = std::numeric_limits<double>::infinity();
    double stairs = information(steps_fit(values, out.steps, levels, clip),
                                1 + (place + 1) * out.steps.size(), n);
    // The ramp as it is, and unless it wins clean, without each of the
    // largest steps, the best kept: a real step on top of a drift otherwise
    // leans the ramp. One step taken out leaves no staircase to weigh.
    // Against one step, only a ramp alone can win (a ramp and a step on top
    // cost more than the step), so what it leaves is not searched.
    std::optional<RampModel> best =
        ramp_model(values, {}, settings, out.steps.size() >= 2, clip);
    if (!best)
        return out;
    bool clean = best->on_top.empty() && ramp_information(*best) < stairs;
    if (!clean && out.steps.size() >= 2)
        for (const std::vector<double>& shift : step_shifts(values, out.steps, settings.shortest_drift))
            if (std::optional<RampModel> m = ramp_model(values, shift, settings, true, clip);
                m && ramp_information(*m) < ramp_information(*best))
                best = std::move(m);
    SeriesDrift& ramp = best->ramp;
    if (ramp_information(*best) >= stairs) {
        // Its interval is worked out only if its siblings drift.
        if (best->on_top.size() < out.steps.size() &&
            steps_go(values, out.steps, ramp.log_change < 0, best->on_top)) {
            out.lost = std::move(ramp);
            out.lost_steps = std::move(best->on_top);
        }
        return out;
    }
    bootstrap_interval(ramp, values, settings.shortest_drift);
    out.steps = std::move(best->on_top);
    out.drift = std::move(ramp);
    return out;
}

}  // namespace report
