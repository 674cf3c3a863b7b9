#include "analysis/change_points.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <random>
#include <set>
#include <string_view>
#include <tuple>


#include "analysis/comparison.h"
#include "analysis/drift.h"
#include "analysis/energy_split.h"
#include "model/parallel.h"
#include "analysis/stats.h"
#include "machine/record.h"
#include "model/catalogue.h"

namespace report {

namespace {

// The buffers one search reuses from stretch to stretch and window to window,
// so that testing a window allocates nothing.
struct Workspace {
    std::vector<double> ranks;
    std::vector<std::size_t> order;
    SplitWork split;
};

// The test's statistic over ranks of `n` days: the largest standardised rank
// sum of the days before a split, over every split leaving `min` days a side.
struct RankStatistic {
    std::size_t n = 0, min = 0;
    double mean = 0;
    std::vector<double> scale;
    RankStatistic() = default;
    RankStatistic(std::size_t n, std::size_t min) { reset(n, min); }
    void reset(std::size_t days, std::size_t least) {
        n = days;
        min = least;
        mean = (static_cast<double>(n) + 1) / 2;
        scale.assign(n + 1, 0);
        for (std::size_t t = min; t + min <= n; ++t)
            scale[t] = 1 / std::sqrt(static_cast<double>(t) * static_cast<double>(n - t));
    }
    double operator()(const std::vector<double>& r) const {
        double sum = 0, best = 0;
        for (std::size_t t = 1; t + min <= n; ++t) {
            sum += r[t - 1] - mean;
            if (t >= min)
                best = std::max(best, std::fabs(sum) * scale[t]);
        }
        return best;
    }
    // Whether the statistic of `r` is at least `level`: the same answer as
    // (*this)(r) >= level, given at the first split that reaches it.
    bool reaches(const std::vector<double>& r, double level) const {
        if (level <= 0)
            return true;
        double sum = 0;
        for (std::size_t t = 1; t + min <= n; ++t) {
            sum += r[t - 1] - mean;
            if (t >= min && std::fabs(sum) * scale[t] >= level)
                return true;
        }
        return false;
    }
    // The same of r in the order `order`: r[order[0]], r[order[1]], ...
    bool reaches(const std::vector<double>& r, const std::uint16_t* order, double level) const {
        if (level <= 0)
            return true;
        double sum = 0;
        for (std::size_t t = 1; t + min <= n; ++t) {
            sum += r[order[t - 1]] - mean;
            if (t >= min && std::fabs(sum) * scale[t] >= level)
                return true;
        }
        return false;
    }
};

// The generator of a stretch's permutations, seeded from its length alone,
// so that the same history always gives the same answer.
std::mt19937_64 permutations_of(std::size_t n) {
    return std::mt19937_64(0x9e3779b97f4a7c15ULL ^ n);
}

// The orders a stretch of `n` days is shuffled into by its test: every
// stretch of that length draws from the same generator and seed, so the k-th
// shuffle puts the same place's rank at each place whatever the ranks are.
// They are drawn once per length for every thread, as places (after k
// shuffles, place i holds the rank first at place at(k)[i]), and replayed: a
// stretch then sees the very draws that shuffling its own ranks would give,
// at the cost of reading them. They are drawn `batch` at a time under the
// table's lock into blocks that never move, so a thread reads the blocks it
// has been given without a lock.
class Permutations {
public:
    static constexpr std::size_t batch = 32;
    explicit Permutations(std::size_t n) : n_(n), rng_(permutations_of(n)), current_(n) {
        std::iota(current_.begin(), current_.end(), std::uint16_t{0});
    }
    std::size_t length() const { return n_; }
    // The blocks drawn so far, with block `b` among them when the room kept
    // allows: `blocks` gets those it did not hold yet. False when block `b`
    // will never be drawn; `going_on` then gets the generator and order
    // after the last block, to go on from.
    bool give(std::size_t b, std::vector<const std::uint16_t*>& blocks,
              std::optional<std::pair<std::mt19937_64, std::vector<std::uint16_t>>>& going_on);

private:
    std::mutex guard_;
    std::size_t n_;
    std::mt19937_64 rng_;
    std::vector<std::uint16_t> current_;
    std::vector<std::unique_ptr<std::uint16_t[]>> blocks_;
    bool full_ = false;  // no more room: no further block is drawn
};

// Places are kept as 16-bit numbers, for stretches up to this long; a longer
// one is shuffled as it is.
constexpr std::size_t longest_replayed = 65535;
// The orders kept at most, in bytes, for every length and thread: past it, a
// test goes on shuffling from the last kept order.
constexpr std::size_t kept_orders_bytes = std::size_t{64} << 20;
std::atomic<std::size_t> kept_bytes{0};

bool Permutations::give(
    std::size_t b, std::vector<const std::uint16_t*>& blocks,
    std::optional<std::pair<std::mt19937_64, std::vector<std::uint16_t>>>& going_on) {
    std::lock_guard<std::mutex> lock(guard_);
    const std::size_t bytes = batch * n_ * sizeof(std::uint16_t);
    while (blocks_.size() <= b && !full_) {
        if (kept_bytes.fetch_add(bytes) + bytes > kept_orders_bytes) {
            kept_bytes.fetch_sub(bytes);
            full_ = true;
            break;
        }
        auto block = std::make_unique<std::uint16_t[]>(batch * n_);
        for (std::size_t k = 0; k < batch; ++k) {
            std::shuffle(current_.begin(), current_.end(), rng_);
            std::copy(current_.begin(), current_.end(), block.get() + k * n_);
        }
        blocks_.push_back(std::move(block));
    }
    for (std::size_t i = blocks.size(); i < blocks_.size(); ++i)
        blocks.push_back(blocks_[i].get());
    if (b < blocks_.size())
        return true;
    going_on.emplace(rng_, current_);
    return false;
}

// Every length's table, made on first use and kept for every later search.
Permutations& permutations_table(std::size_t n) {
    static std::mutex guard;
    static std::map<std::size_t, Permutations> tables;
    std::lock_guard<std::mutex> lock(guard);
    return tables.try_emplace(n, n).first->second;
}

// The blocks of each length a thread has been given.
struct GivenBlocks {
    Permutations* table = nullptr;
    std::vector<const std::uint16_t*> blocks;
};
thread_local std::map<std::size_t, GivenBlocks> given_blocks;

// The successive shuffled orders of one test of a stretch of `n` days.
class Draws {
public:
    explicit Draws(std::size_t n) : n_(n), given_(given_blocks[n]) {
        if (!given_.table)
            given_.table = &permutations_table(n);
    }
    const std::uint16_t* next() {
        if (!going_on_) {
            std::size_t b = k_ / Permutations::batch, at = k_ % Permutations::batch;
            if (b < given_.blocks.size() || given_.table->give(b, given_.blocks, going_on_)) {
                ++k_;
                return given_.blocks[b] + at * n_;
            }
        }
        std::shuffle(going_on_->second.begin(), going_on_->second.end(), going_on_->first);
        ++k_;
        return going_on_->second.data();
    }

private:
    std::size_t n_, k_ = 0;
    GivenBlocks& given_;
    std::optional<std::pair<std::mt19937_64, std::vector<std::uint16_t>>> going_on_;
};

// Whether values[s, e) holds a change anywhere, as a permutation test of the
// rank statistic: its maximum over the splits makes the p-value account for
// the split having been chosen as the best. Ranks make it distribution-free
// and let one disturbed run move the statistic by one rank at most.
// Permutations stop once `enough` of them reach the statistic (Besag and
// Clifford's sequential test), or once so many have that p cannot be at most
// `level`; at most `most`, enough to resolve that level.
double segment_p(std::span<const double> x, std::size_t s, std::size_t e, std::size_t min,
                 double level, std::size_t most, Workspace& work, RankStatistic& statistic) {
    std::size_t n = e - s;
    std::vector<double>& ranks = work.ranks;
    if (!mid_ranks(x.subspan(s, n), ranks, work.order))
        return 1;  // one value throughout: no change
    if (statistic.n != n || statistic.min != min)
        statistic.reset(n, min);
    const double observed = statistic(ranks) * (1 - 1e-12);
    constexpr std::size_t enough = 10;
    std::size_t reached = 0, drawn = 0;
    // Past this many, p is above the level whatever the draws still to come.
    const double hopeless = level * static_cast<double>(most + 1) * (1 + 1e-9);
    auto going = [&] {
        return drawn < most && reached < enough && static_cast<double>(reached + 1) <= hopeless;
    };
    if (n <= longest_replayed) {
        Draws draws(n);
        while (going()) {
            const std::uint16_t* order = draws.next();
            ++drawn;
            reached += statistic.reaches(ranks, order, observed);
        }
    } else {
        std::mt19937_64 rng = permutations_of(n);
        while (going()) {
            std::shuffle(ranks.begin(), ranks.end(), rng);
            ++drawn;
            reached += statistic.reaches(ranks, observed);
        }
    }
    return reached >= enough ? static_cast<double>(reached) / static_cast<double>(drawn)
                             : static_cast<double>(reached + 1) / static_cast<double>(drawn + 1);
}

// The statistic's distribution for windows of one length: `draws`
// permutations of the ranks 1..n, sorted, with the statistic they were drawn
// with.
struct WindowNull {
    RankStatistic statistic;
    std::vector<double> sorted;
};

// The null of windows of `n` days, drawn on first use and kept for every
// later search, of this series or another, on any thread: an entry is filled
// under the lock before any search sees it, and never changed after.
const WindowNull& window_null(std::size_t n, std::size_t min, std::size_t draws) {
    static std::mutex guard;
    static std::map<std::tuple<std::size_t, std::size_t, std::size_t>, WindowNull> nulls;
    std::lock_guard<std::mutex> lock(guard);
    WindowNull& null = nulls[{n, min, draws}];
    if (null.sorted.empty()) {
        null.statistic.reset(n, min);
        std::vector<double> r(n);
        std::iota(r.begin(), r.end(), 1.0);
        std::mt19937_64 rng = permutations_of(n);
        null.sorted.reserve(draws);
        for (std::size_t d = 0; d < draws; ++d) {
            std::shuffle(r.begin(), r.end(), rng);
            null.sorted.push_back(null.statistic(r));
        }
        std::sort(null.sorted.begin(), null.sorted.end());
    }
    return null;
}

// The same test for a window: every window has one of a few lengths, so the
// statistic's distribution is drawn once per length and kept (window_null),
// and each window's p is where its statistic falls in it. Ties only narrow a
// window's statistic, so the test errs towards no change.
double window_p(std::span<const double> x, std::size_t s, std::size_t e, const WindowNull& null,
                Workspace& work) {
    std::vector<double>& ranks = work.ranks;
    if (!mid_ranks(x.subspan(s, e - s), ranks, work.order))
        return 1;
    const double observed = null.statistic(ranks) * (1 - 1e-12);
    auto reached = static_cast<std::size_t>(
        null.sorted.end() - std::lower_bound(null.sorted.begin(), null.sorted.end(), observed));
    return static_cast<double>(reached + 1) / static_cast<double>(null.sorted.size() + 1);
}

// Permutations enough to show p at the level `significance` with one draw
// reaching the statistic: 999 at 0.01 and above.
std::size_t permutations_for(double significance) {
    return std::max<std::size_t>(999, static_cast<std::size_t>(std::ceil(2 / significance)) - 1);
}

// Whether the split of values[s, e) at t moves the level by the minimum
// effect or more: the medians of the (logarithmic) values either side.
bool moves(std::span<const double> x, std::size_t s, std::size_t t, std::size_t e,
           const ChangePointSettings& settings) {
    double before = *stats::median(x.subspan(s, t - s));
    double after = *stats::median(x.subspan(t, e - t));
    return std::fabs(after - before) >= std::log1p(settings.minimum_effect) * (1 - 1e-9);
}

// Binary segmentation of each stretch of `todo`: its best split stands when
// the stretch's test says it holds a change of at least the minimum effect;
// both sides are searched again.
void segment(std::span<const double> values, std::vector<std::pair<std::size_t, std::size_t>> todo,
             const ChangePointSettings& settings, std::size_t min,
             std::vector<SeriesChange>& found, Workspace& work, RankStatistic& statistic) {
    std::size_t most = permutations_for(settings.significance);
    while (!todo.empty()) {
        auto [s, e] = todo.back();
        todo.pop_back();
        // The test first: most stretches hold no change, and it costs less
        // than finding the best split.
        if (e - s < 2 * min)
            continue;
        double p =
            segment_p(values, s, e, min, settings.significance, most, work, statistic);
        if (p > settings.significance)
            continue;
        std::optional<std::size_t> t = best_split(values, s, e, min, work.split);
        if (!moves(values, s, *t, e, settings))
            continue;
        found.push_back({*t, p, e - s});
        todo.push_back({s, *t});
        todo.push_back({*t, e});
    }
}

}  // namespace

bool mid_ranks(std::span<const double> x, std::vector<double>& ranks,
               std::vector<std::size_t>& order) {
    std::size_t n = x.size();
    ranks.resize(n);
    if (n == 0)
        return false;
    // A window's few values: each one's place counted against all the others
    // costs less than sorting them. A tie of `equal` values from place
    // `less` shares the mean of places less + 1 .. less + equal.
    constexpr std::size_t counted = 64;
    if (n <= counted) {
        // Two values a step (the processor's pairs of doubles): a comparison
        // gives -1 where it holds.
        using Pair = double __attribute__((vector_size(16)));
        using Counts = long __attribute__((vector_size(16)));
        bool varied = false;
        for (std::size_t i = 0; i < n; ++i) {
            const Pair v = {x[i], x[i]};
            Counts below = {0, 0}, same = {0, 0}, below_next = {0, 0}, same_next = {0, 0};
            std::size_t j = 0;
            for (; j + 4 <= n; j += 4) {
                Pair a, b;
                std::memcpy(&a, x.data() + j, sizeof a);
                std::memcpy(&b, x.data() + j + 2, sizeof b);
                below -= a < v;
                same -= a == v;
                below_next -= b < v;
                same_next -= b == v;
            }
            below += below_next;
            same += same_next;
            auto less = static_cast<std::size_t>(below[0] + below[1]);
            auto equal = static_cast<std::size_t>(same[0] + same[1]);
            for (; j < n; ++j) {
                less += x[j] < x[i];
                equal += x[j] == x[i];
            }
            ranks[i] = static_cast<double>(2 * less + equal - 1) / 2 + 1;
            varied = varied || equal != n;
        }
        return varied;
    }
    order.resize(n);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return x[a] < x[b]; });
    for (std::size_t i = 0; i < n;) {
        std::size_t j = i;
        while (j + 1 < n && x[order[j + 1]] == x[order[i]])
            ++j;
        for (std::size_t k = i; k <= j; ++k)
            ranks[order[k]] = (static_cast<double>(i + j) / 2) + 1;
        i = j + 1;
    }
    return x[order.front()] != x[order.back()];
}

namespace {

// The windows' pass over one series: within each level, the window whose
// split is surest stands when its p is at most the windows' level.
class WindowSearch {
public:
    WindowSearch(std::span<const double> values, const ChangePointSettings& settings,
                 std::size_t min, Workspace& work)
        : values_(values),
          settings_(settings),
          min_(min),
          // Each window's p is resolved to a quarter of the windows' level.
          draws_(std::max<std::size_t>(
              999, static_cast<std::size_t>(std::ceil(4 / settings.window_significance)) - 1)),
          nulls_(settings.windows.size(), nullptr),
          work_(work) {}

    // The surest window's split of the level [s, e) that stands, if any;
    // each level is searched once while it stands.
    const std::optional<SeriesChange>& surest(std::size_t s, std::size_t e) {
        auto it = surest_.find({s, e});
        if (it == surest_.end())
            it = surest_.emplace(std::pair{s, e}, search(s, e)).first;
        return it->second;
    }

private:
    std::optional<SeriesChange> search(std::size_t s, std::size_t e) {
        std::optional<SeriesChange> best;
        for (std::size_t l = 0; l < settings_.windows.size(); ++l) {
            std::size_t length = settings_.windows[l];
            if (length < 2 * min_ || e - s <= length)
                continue;  // a level no longer than the window was searched whole
            if (!nulls_[l])
                nulls_[l] = &window_null(length, min_, draws_);
            slide(s, e, length, *nulls_[l], best);
        }
        return best;
    }

    // Windows of `length` over [s, e), each moved by a quarter of it, the
    // last ending at e.
    void slide(std::size_t s, std::size_t e, std::size_t length, const WindowNull& null,
               std::optional<SeriesChange>& best) {
        std::size_t step = std::max<std::size_t>(length / 4, 1);
        for (std::size_t w = s;; w = std::min(w + step, e - length)) {
            double p = window_p(values_, w, w + length, null, work_);
            if (p <= settings_.window_significance && (!best || p < best->p)) {
                std::size_t t = *best_split(values_, w, w + length, min_, work_.split);
                if (moves(values_, w, t, w + length, settings_))
                    best = SeriesChange{t, p, length, true};
            }
            if (w + length == e)
                break;
        }
    }

    std::span<const double> values_;
    const ChangePointSettings& settings_;
    std::size_t min_, draws_;
    std::vector<const WindowNull*> nulls_;  // each window length's, looked up once per series
    std::map<std::pair<std::size_t, std::size_t>, std::optional<SeriesChange>> surest_;
    Workspace& work_;
};

// The level (between change points found, in order) whose surest window is
// the surest of all, with that window's split.
struct SurestLevel {
    SeriesChange change;
    std::size_t first = 0, end = 0;
};
std::optional<SurestLevel> surest_level(const std::vector<SeriesChange>& found, std::size_t size,
                                        WindowSearch& windows) {
    std::optional<SurestLevel> best;
    for (std::size_t k = 0; k <= found.size(); ++k) {
        std::size_t first = k == 0 ? 0 : found[k - 1].index;
        std::size_t end = k == found.size() ? size : found[k].index;
        const std::optional<SeriesChange>& here = windows.surest(first, end);
        if (here && (!best || here->p < best->change.p))
            best = SurestLevel{*here, first, end};
    }
    return best;
}

}  // namespace

std::vector<SeriesChange> series_change_points(std::span<const double> values,
                                               const ChangePointSettings& settings) {
    std::size_t min = std::max<std::size_t>(settings.min_segment, 1);
    Workspace work;
    RankStatistic statistic;
    std::vector<SeriesChange> found;
    segment(values, {{0, values.size()}}, settings, min, found, work, statistic);
    auto by_index = [](const SeriesChange& a, const SeriesChange& b) { return a.index < b.index; };
    std::sort(found.begin(), found.end(), by_index);
    // The windows' pass: the surest window of all levels splits its level,
    // both sides are segmented again, and the pass goes on until no window
    // of any level stands.
    WindowSearch windows(values, settings, min, work);
    while (std::optional<SurestLevel> best = surest_level(found, values.size(), windows)) {
        found.push_back(best->change);
        segment(values, {{best->first, best->change.index}, {best->change.index, best->end}},
                settings, min, found, work, statistic);
        std::sort(found.begin(), found.end(), by_index);
    }
    return found;
}

const char* figure_name(bool overall) {
    return figure_kind(overall ? FigureId::overall_rate : FigureId::single_rate).name;
}

namespace {

// The figures of a history's series, in the order they are listed: the
// geometric means of the single and overall rates, then each test's single
// rate (when it has one) and overall rate, in catalogue order.
struct FigureOf {
    std::string key;  // a test key, or "geomean"
    bool overall = false;
    std::size_t test = 0;  // index into the catalogue of the program, for a test
};
std::vector<FigureOf> figures_of(Program program) {
    std::vector<FigureOf> figures{{"geomean", false, 0}, {"geomean", true, 0}};
    std::span<const TestInfo> tests = catalogue(program);
    for (std::size_t i = 0; i < tests.size(); ++i) {
        if (tests[i].has_single())
            figures.push_back({std::string(tests[i].key), false, i});
        figures.push_back({std::string(tests[i].key), true, i});
    }
    return figures;
}

// The buffers run_figures reuses from run to run: a fleet-year is read a
// run at a time, and none of them allocates once they have grown.
struct RunFigures {
    std::vector<double> single, overall, all, out;
    std::vector<TestRates> rates;
    std::vector<bool> seen;
};

// A run's figures into `f.out`, in the order of figures_of: each test's is
// its first test of that key's; a geometric mean is over every test of the
// program that has the figure, only when the run has them all. Absent
// figures are NaN.
void run_figures(const Run& run, std::span<const TestInfo> tests, RunFigures& f) {
    constexpr double none = std::numeric_limits<double>::quiet_NaN();
    f.single.assign(tests.size(), none);
    f.overall.assign(tests.size(), none);
    f.seen.assign(tests.size(), false);
    // A run read for its figures has its rates; one parsed, its tests.
    if (!run.tests.empty())
        f.rates = test_rates(run);
    for (const TestRates& t : run.tests.empty() ? run.rates : f.rates) {
        if (t.test >= tests.size() || f.seen[t.test])
            continue;
        f.seen[t.test] = true;
        auto value = [&](const std::optional<double>& v, bool whole) {
            // An overall rate summed over fewer threads than ran is no rate of the machine.
            return !v || !std::isfinite(*v) || *v <= 0 || (whole && t.incomplete_threads) ? none
                                                                                          : *v;
        };
        f.single[t.test] = value(t.single, false);
        f.overall[t.test] = value(t.overall, true);
    }
    auto geomean = [&](const std::vector<double>& rates, bool whole) {
        f.all.clear();
        for (std::size_t i = 0; i < tests.size(); ++i) {
            if (!whole && !tests[i].has_single())
                continue;
            if (std::isnan(rates[i]))
                return none;
            f.all.push_back(rates[i]);
        }
        std::optional<double> g = stats::geometric_mean(f.all);
        return g ? *g : none;
    };
    f.out.clear();
    f.out.push_back(geomean(f.single, false));
    f.out.push_back(geomean(f.overall, true));
    for (std::size_t i = 0; i < tests.size(); ++i) {
        if (tests[i].has_single())
            f.out.push_back(f.single[i]);
        f.out.push_back(f.overall[i]);
    }
}

// The machine of the last run with machine.json on days[0, upto], or of the
// first on days[from, end).
const MachineRecord* last_machine(const History& h, std::size_t upto) {
    for (std::size_t d = upto + 1; d-- > 0;)
        for (auto r = h.days[d].runs.rbegin(); r != h.days[d].runs.rend(); ++r)
            if ((*r)->machine)
                return (*r)->machine.get();
    return nullptr;
}
const MachineRecord* first_machine(const History& h, std::size_t from) {
    for (std::size_t d = from; d < h.days.size(); ++d)
        for (const Run* r : h.days[d].runs)
            if (r->machine)
                return r->machine.get();
    return nullptr;
}

using CauseKey = std::tuple<std::string, std::string, std::string>;

bool shares_cause(const ChangePoint& x, const ChangePoint& y) {
    for (const ContextDifference& c : x.causes)
        for (const ContextDifference& d : y.causes)
            if (c.field == d.field && c.first == d.first && c.second == d.second)
                return true;
    return false;
}

// The change points that make one rollout: one day apart at most, or a week
// with a cause in common, in one direction and of one program. Each group's
// members earliest first, the groups by their root's index.
std::map<std::size_t, std::vector<std::size_t>> rollouts(const std::vector<ChangePoint>& cps) {
    std::vector<std::size_t> parent(cps.size());
    std::iota(parent.begin(), parent.end(), 0);
    auto root = [&](std::size_t i) {
        while (parent[i] != i)
            i = parent[i] = parent[parent[i]];
        return i;
    };
    std::vector<std::size_t> order(cps.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t x, std::size_t y) { return cps[x].days < cps[y].days; });
    for (std::size_t u = 0; u < order.size(); ++u)
        for (std::size_t v = u + 1; v < order.size(); ++v) {
            const ChangePoint& x = cps[order[u]];
            const ChangePoint& y = cps[order[v]];
            long apart = y.days - x.days;
            if (apart > 7)
                break;
            bool worse = x.change_percent < 0;
            if (worse != (y.change_percent < 0) || x.program != y.program)
                continue;
            if (apart <= 1 || shares_cause(x, y))
                parent[root(order[u])] = root(order[v]);
        }
    std::map<std::size_t, std::vector<std::size_t>> groups;
    for (std::size_t i : order)
        groups[root(i)].push_back(i);
    return groups;
}

// The machine changes of an event's change points, each with the labels
// that had it, the most shared first (in the order first seen on a tie).
std::vector<FleetEvent::Cause> shared_causes(const std::vector<ChangePoint>& cps,
                                             const std::vector<std::size_t>& members) {
    std::map<CauseKey, std::set<std::string>> holders;
    std::vector<CauseKey> seen;
    for (std::size_t i : members)
        for (const ContextDifference& d : cps[i].causes) {
            CauseKey k{d.field, d.first, d.second};
            if (holders.find(k) == holders.end())
                seen.push_back(k);
            holders[k].insert(cps[i].label);
        }
    std::vector<FleetEvent::Cause> causes;
    for (const CauseKey& k : seen)
        causes.push_back({{std::get<0>(k), std::get<1>(k), std::get<2>(k)}, holders[k].size()});
    std::stable_sort(causes.begin(), causes.end(),
                     [](const auto& x, const auto& y) { return x.labels > y.labels; });
    return causes;
}

void group_fleet_events(HistoryAnalysis& a) {
    const std::vector<ChangePoint>& cps = a.change_points;
    for (auto& [r, members] : rollouts(cps)) {
        std::set<std::string> labels;
        for (std::size_t i : members)
            labels.insert(cps[i].label);
        if (labels.size() < 2)
            continue;
        FleetEvent e;
        e.date = cps[members.front()].date;
        e.last_date = cps[members.back()].date;
        e.worse = cps[members.front()].change_percent < 0;
        e.labels.assign(labels.begin(), labels.end());
        e.change_points = members;
        std::sort(e.change_points.begin(), e.change_points.end());
        e.causes = shared_causes(cps, members);
        a.fleet_events.push_back(std::move(e));
    }
    std::stable_sort(a.fleet_events.begin(), a.fleet_events.end(),
                     [](const FleetEvent& x, const FleetEvent& y) { return x.date < y.date; });
}

// What the analysis finds in one history; its change points' `series` count
// from the history's first series.
struct HistoryFindings {
    std::vector<HistorySeries> series;
    std::vector<ChangePoint> change_points;
    std::vector<Drift> drifts;
    std::vector<QuietMachineChange> quiet;
};

// Every series of a history, each day's median of its runs' figure, on the
// days that have it.
std::vector<HistorySeries> day_series(const History& h, std::size_t hi) {
    std::span<const TestInfo> tests = catalogue(h.program);
    const std::vector<FigureOf> figures = figures_of(h.program);
    std::vector<HistorySeries> all(figures.size());
    for (std::size_t f = 0; f < figures.size(); ++f) {
        all[f].history = hi;
        all[f].test = figures[f].key;
        all[f].overall = figures[f].overall;
        all[f].days.reserve(h.days.size());
        all[f].values.reserve(h.days.size());
    }
    // Each day's figures of its runs, then their medians.
    std::vector<std::vector<double>> day(figures.size());
    RunFigures of_run;
    for (std::size_t d = 0; d < h.days.size(); ++d) {
        for (std::vector<double>& v : day)
            v.clear();
        for (const Run* r : h.days[d].runs) {
            run_figures(*r, tests, of_run);
            for (std::size_t f = 0; f < figures.size(); ++f)
                if (!std::isnan(of_run.out[f]))
                    day[f].push_back(of_run.out[f]);
        }
        for (std::size_t f = 0; f < figures.size(); ++f) {
            if (day[f].empty())
                continue;
            all[f].days.push_back(d);
            all[f].values.push_back(day[f].size() == 1 ? day[f][0] : *stats::median(day[f]));
        }
    }
    return all;
}

// The k-th change point of `found` in series `s` (numbered `series`): the
// levels either side of it and what changed on the machine between them.
ChangePoint change_point(const History& h, const HistorySeries& s, std::size_t series,
                         const std::vector<SeriesChange>& found, std::size_t k) {
    std::size_t from = k == 0 ? 0 : found[k - 1].index;
    std::size_t at = found[k].index;
    std::size_t to = k + 1 == found.size() ? s.values.size() : found[k + 1].index;
    std::span<const double> v(s.values);
    ChangePoint cp;
    cp.series = series;
    cp.label = h.label;
    cp.program = h.program;
    cp.test = s.test;
    cp.overall = s.overall;
    cp.date = h.days[s.days[at]].date;
    cp.days = h.days[s.days[at]].days;
    cp.last_before = h.days[s.days[at - 1]].date;
    cp.before = *stats::median(v.subspan(from, at - from));
    cp.after = *stats::median(v.subspan(at, to - at));
    cp.change_percent = (cp.after / cp.before - 1) * 100;
    cp.p = found[k].p;
    cp.p_days = found[k].span;
    cp.p_window = found[k].window;
    const MachineRecord* before = last_machine(h, s.days[at - 1]);
    const MachineRecord* after = first_machine(h, s.days[at]);
    if (before && after)
        cp.causes = context_differences(*before, *after);
    return cp;
}

// The machine changes of a history that no change point spans: `covered`
// holds each change point's (last day before, first day after).
std::vector<QuietMachineChange> quiet_changes(
    const History& h, const std::vector<std::pair<std::size_t, std::size_t>>& covered) {
    std::vector<QuietMachineChange> quiet;
    for (const History::Change& change : h.changes) {
        bool moved = std::any_of(covered.begin(), covered.end(), [&](const auto& c) {
            return c.first < change.index && change.index <= c.second;
        });
        if (!moved)
            quiet.push_back({h.label, h.program, h.days[change.index].date,
                             h.days[change.index - 1].date, change.differences});
    }
    return quiet;
}

// A drift of series `s` (numbered `series`) as a finding of one figure.
Drift drift_of(const History& h, const HistorySeries& s, std::size_t series,
               const SeriesDrift& d, const ChangePointSettings& settings) {
    Drift out;
    out.series = series;
    out.label = h.label;
    out.program = h.program;
    out.test = s.test;
    out.overall = s.overall;
    out.start = h.days[s.days[d.start]].date;
    out.end = h.days[s.days[d.end]].date;
    out.start_days = h.days[s.days[d.start]].days;
    out.end_days = h.days[s.days[d.end]].days;
    // A level after the ramp shorter than half the shortest drift does not
    // show that the drift stopped.
    out.ongoing = s.days.size() - 1 - d.end < settings.shortest_drift / 2;
    out.change_percent = std::expm1(d.log_change) * 100;
    out.low_percent = std::expm1(d.log_low) * 100;
    out.high_percent = std::expm1(d.log_high) * 100;
    out.figures = 1;
    return out;
}

// The k-th step of `found`, on top of drift `d` of series `s`: the levels
// either side measured with the ramp taken out, at the ramp's level of the
// step's day, so that the step's size is its own and not the drift's.
ChangePoint step_on_drift(const History& h, const HistorySeries& s, std::size_t series,
                          const std::vector<SeriesChange>& found, std::size_t k,
                          const SeriesDrift& d) {
    HistorySeries flat = s;
    double at = d.fitted[found[k].index];
    for (std::size_t i = 0; i < flat.values.size(); ++i)
        flat.values[i] = std::exp(std::log(s.values[i]) - d.fitted[i] + at);
    return change_point(h, flat, series, found, k);
}

// The drifts of a program's figures, one finding a direction: the first
// figure's (the geometric means come first) with the count of the others.
std::vector<Drift> group_drifts(std::vector<Drift> each, std::size_t figures) {
    std::vector<Drift> out;
    for (Drift& d : each) {
        auto same = std::find_if(out.begin(), out.end(), [&](const Drift& o) {
            return (o.change_percent < 0) == (d.change_percent < 0);
        });
        if (same != out.end())
            ++same->figures;
        else
            out.push_back(std::move(d));
    }
    for (Drift& d : out)
        d.figures_total = figures;
    return out;
}

// What the search finds in each series of a history with two days or more,
// a figure's drift told as such where its siblings drift the same way.
std::vector<SeriesFindings> search_series(std::vector<HistorySeries>& series,
                                          const ChangePointSettings& settings) {
    std::erase_if(series, [](const HistorySeries& s) { return s.values.size() < 2; });
    std::vector<SeriesFindings> found(series.size());
    std::vector<std::vector<double>> logs(series.size());
    for (std::size_t k = 0; k < series.size(); ++k) {
        const std::vector<double>& v = series[k].values;
        logs[k].resize(v.size());
        std::transform(v.begin(), v.end(), logs[k].begin(),
                       [](double x) { return std::log(x); });
        found[k] = series_findings(logs[k], settings);
    }
    adopt_sibling_drifts(found, logs, settings);
    return found;
}

HistoryFindings analyse_one(const History& h, std::size_t hi,
                            const ChangePointSettings& settings) {
    HistoryFindings out;
    std::vector<std::pair<std::size_t, std::size_t>> covered;  // (last before, first after)
    std::vector<Drift> drifts;
    out.series = day_series(h, hi);
    std::vector<SeriesFindings> all = search_series(out.series, settings);
    for (std::size_t k = 0; k < out.series.size(); ++k) {
        HistorySeries& s = out.series[k];
        const SeriesFindings& found = all[k];
        const std::vector<SeriesChange>& steps = found.steps;
        for (std::size_t c = 0; c < steps.size(); ++c) {
            out.change_points.push_back(found.drift
                                            ? step_on_drift(h, s, k, steps, c, *found.drift)
                                            : change_point(h, s, k, steps, c));
            covered.push_back({s.days[steps[c].index - 1], s.days[steps[c].index]});
        }
        if (!found.drift)
            continue;
        const SeriesDrift& d = *found.drift;
        double from = std::exp(d.fitted[d.start]);
        s.ramp = HistorySeries::Ramp{s.days[d.start], s.days[d.end], from,
                                     std::exp(d.fitted[d.end]), from * std::exp(d.log_low),
                                     from * std::exp(d.log_high)};
        drifts.push_back(drift_of(h, s, k, d, settings));
        covered.push_back({s.days[d.start], s.days[d.end]});
    }
    out.drifts = group_drifts(std::move(drifts), out.series.size());
    out.quiet = quiet_changes(h, covered);
    return out;
}

}  // namespace

namespace {

// The labels and programs of `runs` that have no history, in the order they
// first appear: each looked up once, so that a flat folder of many labels
// costs no more per label than a few.
std::vector<std::pair<std::string, Program>> without_history(const std::vector<const Run*>& runs,
                                                             const std::vector<History>& histories) {
    std::set<std::pair<std::string_view, Program>> seen;  // with a history, or listed already
    for (const History& h : histories)
        seen.emplace(h.label, h.program);
    std::vector<std::pair<std::string, Program>> out;
    for (const Run* r : runs)
        if (seen.emplace(r->label, r->program).second)
            out.emplace_back(r->label, r->program);
    return out;
}

}  // namespace

HistoryAnalysis analyse_history(const std::vector<const Run*>& runs,
                                const ChangePointSettings& settings) {
    HistoryAnalysis a;
    a.histories = histories(runs);
    std::set<std::string_view> labels;
    for (const History& h : a.histories)
        labels.insert(h.label);
    a.labels = labels.size();
    a.without_history = without_history(runs, a.histories);

    // The histories are searched at once, each into its own findings, put
    // together in their order: the same analysis whatever the threads.
    std::vector<HistoryFindings> findings(a.histories.size());
    in_parallel(a.histories.size(), settings.threads, [&](std::size_t hi) {
        findings[hi] = analyse_one(a.histories[hi], hi, settings);
    });
    for (HistoryFindings& f : findings) {
        std::size_t first = a.series.size();
        for (ChangePoint& cp : f.change_points) {
            cp.series += first;
            a.change_points.push_back(std::move(cp));
        }
        for (Drift& d : f.drifts) {
            d.series += first;
            a.drifts.push_back(std::move(d));
        }
        std::move(f.series.begin(), f.series.end(), std::back_inserter(a.series));
        std::move(f.quiet.begin(), f.quiet.end(), std::back_inserter(a.quiet_machine_changes));
    }
    group_fleet_events(a);
    return a;
}

HistorySelection select_since(const HistoryAnalysis& a, std::optional<long> since) {
    HistorySelection s;
    auto keep = [&](const std::string& date) {
        return !since || calendar_days(date).value_or(0) >= *since;
    };
    for (std::size_t i = 0; i < a.change_points.size(); ++i)
        if (keep(a.change_points[i].date))
            s.change_points.push_back(i);
    // An event that runs into the period is shown whole.
    for (std::size_t i = 0; i < a.fleet_events.size(); ++i)
        if (keep(a.fleet_events[i].last_date))
            s.fleet_events.push_back(i);
    for (std::size_t i = 0; i < a.quiet_machine_changes.size(); ++i)
        if (keep(a.quiet_machine_changes[i].date))
            s.quiet_machine_changes.push_back(i);
    // A drift that runs into the period is shown whole.
    for (std::size_t i = 0; i < a.drifts.size(); ++i)
        if (keep(a.drifts[i].end))
            s.drifts.push_back(i);
    return s;
}

namespace {

// Whether a series has min_segment days on each side of `since`, so that a
// change there could be found.
bool judges(const History& h, const HistorySeries& s, long since,
            const ChangePointSettings& settings) {
    std::size_t before = 0;
    for (std::size_t d : s.days)
        before += h.days[d].days < since;
    return before >= settings.min_segment && s.days.size() - before >= settings.min_segment;
}

}  // namespace

HistoryGate history_gate(const HistoryAnalysis& analysis, long since,
                         const ChangePointSettings& settings) {
    HistoryGate g;
    for (std::size_t i = 0; i < analysis.change_points.size(); ++i) {
        const ChangePoint& cp = analysis.change_points[i];
        if (cp.days >= since && cp.change_percent < 0)
            g.worse.push_back(i);
    }
    for (std::size_t i = 0; i < analysis.drifts.size(); ++i) {
        const Drift& d = analysis.drifts[i];
        if (d.end_days >= since && d.change_percent < 0)
            g.worse_drifts.push_back(i);
    }
    auto name = [](const std::string& label, Program p) {
        return label + " (" + program_name(p) + ")";
    };
    std::vector<bool> judged(analysis.histories.size(), false);
    for (const HistorySeries& s : analysis.series)
        if (s.history < judged.size() && !judged[s.history])
            judged[s.history] = judges(analysis.histories[s.history], s, since, settings);
    for (std::size_t hi = 0; hi < analysis.histories.size(); ++hi)
        if (!judged[hi])
            g.unjudged.push_back(name(analysis.histories[hi].label, analysis.histories[hi].program));
    for (const auto& [label, program] : analysis.without_history)
        g.unjudged.push_back(name(label, program));
    g.verdict = !g.worse.empty() || !g.worse_drifts.empty() ? HistoryGate::fail
                : !g.unjudged.empty() ? HistoryGate::too_little
                                      : HistoryGate::pass;
    return g;
}

}  // namespace report
