// Tune and reset: writing the settings, each change named in the state file
// before it is made, and putting back what tune changed.
#include "machine/system.h"
#include "machine/system_parts.h"
#include "model/calendar.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

namespace report {

namespace fs = std::filesystem;

using namespace system_parts;

namespace {

std::string utc_now() {
    return utc_stamp(std::chrono::system_clock::now());
}

}  // namespace

int write_setting(const fs::path& file, const std::string& value) {
    // O_NONBLOCK: a FIFO in the place of a setting fails at once (ENXIO)
    // rather than waiting for a reader.
    int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int e = errno;
        ::close(fd);
        return e;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return EINVAL;
    }
    std::string line = value + "\n";
    int failure = 0;
    ssize_t n;
    do
        n = ::write(fd, line.data(), line.size());
    while (n < 0 && errno == EINTR);
    if (n < 0)
        failure = errno;
    else if (static_cast<std::size_t>(n) != line.size())
        failure = EIO;
    if (::close(fd) != 0 && !failure)
        failure = errno;
    return failure;
}

namespace {

// The state after `changes` on top of `earlier`: a file tune changed before
// keeps the value it started from, unless someone set it since (then what
// they set is what reset goes back to).
TuneState merged(const TuneState& earlier, const std::vector<Change>& changes) {
    TuneState out = earlier;
    for (const Change& c : changes) {
        auto it = std::find_if(out.changes.begin(), out.changes.end(),
                               [&](const Change& e) { return e.path == c.path; });
        if (it == out.changes.end())
            out.changes.push_back(c);
        else {
            if (c.before != it->after)
                it->before = c.before;
            it->after = c.after;
        }
    }
    if (!changes.empty())
        out.tuned_at = utc_now();
    return out;
}

// Puts the state file as `state` says, removing it when it holds nothing and
// there was none before.
std::optional<Failed> settle_state(const fs::path& file, const TuneState& state, bool existed) {
    if (state.changes.empty() && !existed) {
        std::error_code ec;
        fs::remove(file, ec);
        if (ec)
            return Failed(Exit::write_failed,
                          fmt::format("cannot remove {}: {}", file.string(), ec.message()));
        return std::nullopt;
    }
    return write_state_file(file, state);
}

// One tune: the values it changed so far, each named in the state file
// before it is written, and putting them back when a write fails.
class Tuning {
public:
    Tuning(const fs::path& root, const fs::path& state_file, const SettingWriter& write,
           TuneState earlier, bool existed)
        : root_(root),
          state_file_(state_file),
          write_(write),
          earlier_(std::move(earlier)),
          existed_(existed) {}

    // Sets one value; false when it or the state file could not be written,
    // and then what this tune changed is put back.
    bool set(const Tunable& t) {
        const std::string& path = t.value.path;
        const std::string target = t.setting->target(root_, t.value);
        auto now = setting_value_at(root_, path);
        if (!now || *now == target)
            return true;
        // The state file names the change before it is made, so a crash
        // between the two leaves nothing that reset does not know.
        done_.push_back({path, *now, target});
        if (std::optional<Failed> unwritten =
                write_state_file(state_file_, merged(earlier_, done_))) {
            done_.pop_back();
            return fail({state_file_.string(), 0, unwritten->message});
        }
        if (int e = write_(under(root_, path), target)) {
            done_.pop_back();
            return fail({path, e, ""});
        }
        // What the kernel kept, which is what reset looks for.
        if (auto kept = setting_value_at(root_, path))
            done_.back().after = *kept;
        return true;
    }

    // The state file as the tune left it; false when it could not be written.
    bool finish() {
        TuneState final_state = merged(earlier_, done_);
        if (!done_.empty())
            if (std::optional<Failed> unwritten = write_state_file(state_file_, final_state))
                return fail({state_file_.string(), 0, unwritten->message});
        result.changed = done_;
        result.state_kept = !final_state.changes.empty();
        return true;
    }

    TuneResult result;

private:
    bool fail(Failure failure) {
        result.failed = std::move(failure);
        undo();
        return false;
    }

    // Puts back, last first, what this tune changed; what cannot be put back
    // stays in the state file for reset.
    void undo() {
        for (auto it = done_.rbegin(); it != done_.rend(); ++it)
            if (int e = write_(under(root_, it->path), it->before)) {
                result.not_put_back.push_back({it->path, e, ""});
                result.left_changed.insert(result.left_changed.begin(), *it);
            } else {
                ++result.put_back;
            }
        TuneState left = merged(earlier_, result.left_changed);
        if (std::optional<Failed> unsettled = settle_state(state_file_, left, existed_))
            result.not_put_back.push_back({state_file_.string(), 0, unsettled->message});
        result.state_kept = !left.changes.empty();
    }

    const fs::path& root_;
    const fs::path& state_file_;
    const SettingWriter& write_;
    const TuneState earlier_;
    const bool existed_;
    std::vector<Change> done_;
};

// Reset's step for one change: put back when the file still holds what tune
// wrote, left as it is otherwise.
ResetStep put_back(const fs::path& root, const Change& change, const SettingWriter& write) {
    ResetStep step{change, ResetStep::Outcome::put_back, "", 0};
    fs::path file = under(root, change.path);
    auto now = read_setting(file);
    if (!now) {
        std::error_code ec;
        bool there = fs::symlink_status(file, ec).type() != fs::file_type::not_found;
        step.outcome = there ? ResetStep::Outcome::unreadable : ResetStep::Outcome::gone;
        return step;
    }
    step.now = *now;
    if (*now == change.before)
        step.outcome = ResetStep::Outcome::already;
    else if (*now != change.after)
        step.outcome = ResetStep::Outcome::changed_since;
    else if ((step.error = write(file, change.before)))
        step.outcome = ResetStep::Outcome::failed;
    return step;
}

}  // namespace

Expected<TuneResult> tune_machine(const fs::path& root, const fs::path& state_file,
                                  const SettingWriter& write) {
    remove_stale_temporaries(state_file);
    Expected<std::optional<TuneState>> had = read_state_file(state_file);
    if (!had)
        return had.failure();
    MachineSource source;
    source.root = root;
    source.live = false;
    const Machine machine = read_machine(source);
    const SettingContext context = context_of(root, machine);
    const auto settings = system_settings(context);
    const std::vector<Tunable> all = tunables(context, settings);
    if (auto refused = refused_files(machine, context); !refused.empty()) {
        TuneResult r;
        r.refused = std::move(refused);
        return r;
    }

    const bool existed = had->has_value();
    Tuning tuning(root, state_file, write, std::move(*had).value_or(TuneState{}), existed);
    tuning.result.exposed = !all.empty();
    for (const Tunable& t : all)
        if (!tuning.set(t))
            return tuning.result;
    tuning.finish();
    return tuning.result;
}

Expected<ResetResult> reset_machine(const fs::path& root, const fs::path& state_file,
                                    const SettingWriter& write) {
    remove_stale_temporaries(state_file);
    ResetResult r;
    Expected<std::optional<TuneState>> read = read_state_file(state_file);
    if (!read)
        return read.failure();
    if (!*read)
        return r;
    const TuneState& state = **read;
    r.found = true;
    std::vector<Change> kept;
    for (auto it = state.changes.rbegin(); it != state.changes.rend(); ++it) {
        r.steps.push_back(put_back(root, *it, write));
        auto outcome = r.steps.back().outcome;
        if (outcome == ResetStep::Outcome::failed || outcome == ResetStep::Outcome::unreadable)
            kept.push_back(*it);
    }
    std::reverse(kept.begin(), kept.end());
    TuneState left = state;
    left.changes = kept;
    if (std::optional<Failed> unsettled = settle_state(state_file, left, false))
        r.state_error = unsettled->message;
    return r;
}

}  // namespace report
