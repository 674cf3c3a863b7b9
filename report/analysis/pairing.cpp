#include "analysis/pairing.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <string>

#include "machine/record.h"

namespace report {

namespace {

// The round of an interleaved run a repetition belongs to: its run's name
// and the round's number.
std::optional<std::pair<std::string, int>> round_of(const Run& run) {
    if (!run.machine || !run.machine->repetition.interleaved || !run.machine->repetition.round)
        return std::nullopt;
    return std::pair{*run.machine->repetition.interleaved, *run.machine->repetition.round};
}

}  // namespace

std::optional<Pairing> pair_rounds(const std::vector<const Run*>& base,
                                   const std::vector<const Run*>& run) {
    std::map<std::pair<std::string, int>, std::size_t> rounds;  // the baseline's, first of each
    std::set<std::string> names;
    for (std::size_t i = 0; i < base.size(); ++i)
        if (auto r = round_of(*base[i])) {
            rounds.try_emplace(*r, i);
            names.insert(r->first);
        }
    bool shared = std::any_of(run.begin(), run.end(), [&](const Run* r) {
        auto round = round_of(*r);
        return round && names.count(round->first);
    });
    if (!shared)
        return std::nullopt;
    Pairing p;
    std::set<std::size_t> used;
    for (std::size_t j = 0; j < run.size(); ++j) {
        auto round = round_of(*run[j]);
        auto partner = round ? rounds.find(*round) : rounds.end();
        if (partner != rounds.end() && used.insert(partner->second).second)
            p.pairs.emplace_back(partner->second, j);
        else
            p.unpaired.push_back(UnpairedRepetition{run[j], false});
    }
    for (std::size_t i = 0; i < base.size(); ++i)
        if (!used.count(i))
            p.unpaired.push_back(UnpairedRepetition{base[i], true});
    std::sort(p.pairs.begin(), p.pairs.end());
    return p;
}

std::size_t pairs_needed(double alpha) {
    std::size_t n = 1;
    while (n < 63 && std::ldexp(1.0, -static_cast<int>(n)) > alpha)
        ++n;
    return n;
}

}  // namespace report
