// The change points of a plain series: the energy split's permutation test, then the windows.
#include "analysis/change_search.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <random>
#include <tuple>
#include <vector>

#include "analysis/energy_split.h"
#include "analysis/stats.h"


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
// Where a test goes on shuffling once the kept orders run out: the
// generator and the order after the last kept block.
using GoingOn = std::pair<std::mt19937_64, std::vector<std::uint16_t>>;

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
              std::unique_ptr<GoingOn>& going_on);

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

bool Permutations::give(std::size_t b, std::vector<const std::uint16_t*>& blocks,
                        std::unique_ptr<GoingOn>& going_on) {
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
    going_on = std::make_unique<GoingOn>(rng_, current_);
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
    std::unique_ptr<GoingOn> going_on_;
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

}  // namespace report
