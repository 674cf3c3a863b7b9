// The parser walks the non-empty lines of a results file or console transcript
// in the order the programs write them. Empty lines carry no information and
// are skipped, so a file whose spacing was touched up still reads. A text that
// ends early yields what was read so far, marked partial.
#include "input/parse.h"
#include "input/parse_fields.h"

#include "model/catalogue.h"
#include "model/failure.h"

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace report {

namespace {

using namespace parse_fields;

constexpr std::string_view processors_title =
    "Velotrix :: Ombrelune Benchmark MultiProcessor for Linux on x86 64bit system 2025.02.06.";
constexpr std::string_view memory_title_console =
    "Velotrix :: Ombrelune Benchmark MultiProcessor Memory for Linux on x86 64bit system "
    "2025.02.06.";
constexpr std::string_view memory_title_file =
    "Velotrix :: Ombrelune Benchmark MultiProcessor Memory for Linux on x86 64it system "
    "2025.02.06.";

constexpr std::string_view out_of_memory = "Out of memory:";
constexpr std::string_view saved = "Results have been saved in a file and you can find it at: ";
constexpr std::string_view not_saved =
    "Results could not be saved in a file; it would have been at: ";

// The longest line a diagnostic quotes.
constexpr std::size_t quote_limit = 200;

struct Line {
    std::string_view text;
    int number = 0;
};

// Why reading a run stopped before its end: the input ended (no error), or a
// line is not what the layout has there (the error says which, and what was
// looked for).
struct Stop {
    std::optional<ParseError> error;
};

// How a step of the parser ended: nothing when it read all it had to.
using Step = std::optional<Stop>;

class Parser {
public:
    Parser(std::string_view text, const std::string& path, int first_line) {
        run_.path = path;
        split(text, first_line - 1);
    }

    std::variant<Run, ParseError> parse() {
        if (Step stopped = read_run()) {
            if (stopped->error)
                return std::move(*stopped->error);
            run_.partial = true;
            if (!have_title_)
                return ParseError{end_line(), "the title line of bench_processors or bench_memory",
                                  tail_};
        }
        if (tail_cut_)
            run_.partial = true;
        return std::move(run_);
    }

private:
    Run run_;
    std::vector<Line> lines_;
    std::size_t pos_ = 0;
    bool tail_cut_ = false;  // the last line has no newline: cut short while written
    std::string tail_;       // that line, for a diagnostic
    int last_number_ = 0;    // line number of the end of input
    bool have_title_ = false;

    // Keeps the non-empty lines, without trailing spaces or carriage return.
    // Diagnostics the programs write on standard error ("bench_memory: ...")
    // may be interleaved in a transcript saved with 2>&1; they are skipped.
    void split(std::string_view text, int number) {
        while (!text.empty()) {
            ++number;
            std::size_t nl = text.find('\n');
            std::string_view line = text.substr(0, nl);
            if (nl == std::string_view::npos) {
                text = {};
                tail_cut_ = true;
                tail_ = std::string(line.substr(0, quote_limit));
                last_number_ = number;
                return;
            }
            text.remove_prefix(nl + 1);
            while (!line.empty() && (line.back() == ' ' || line.back() == '\r'))
                line.remove_suffix(1);
            if (line.empty() || starts(line, "bench_processors: ") ||
                starts(line, "bench_memory: "))
                continue;
            lines_.push_back({line, number});
        }
        last_number_ = number + 1;
    }

    int end_line() const { return last_number_; }

    bool at_end() const { return pos_ >= lines_.size(); }

    // The next line, left to be taken; null at the end of the input.
    const Line* peek() const { return at_end() ? nullptr : &lines_[pos_]; }

    Expected<Line, Stop> take() {
        if (at_end())
            return ended();
        return lines_[pos_++];
    }

    static Stop ended() { return Stop{}; }

    static Stop fail(const Line& line, std::string expected) {
        return Stop{ParseError{line.number, std::move(expected),
                               std::string(line.text.substr(0, quote_limit))}};
    }

    Step expect(std::string_view text) {
        Expected<Line, Stop> line = take();
        if (!line)
            return line.failure();
        if (line->text != text)
            return fail(*line, "\"" + std::string(text) + "\"");
        return std::nullopt;
    }

    // "Thread(s): N"
    Step read_threads() {
        Expected<Line, Stop> line = take();
        if (!line)
            return line.failure();
        std::string_view s = line->text;
        std::optional<long long> n;
        if (eat(s, "Thread(s): "))
            n = take_integer<long long>(s);
        if (!n || !s.empty())
            return fail(*line, "\"Thread(s): N\"");
        run_.threads = n;
        return std::nullopt;
    }

    // Title, banner of a transcript, thread count.
    Step read_banner() {
        // A transcript saved with 2>&1 may start with a warning; split() dropped it.
        Expected<Line, Stop> title = take();
        if (!title)
            return title.failure();
        if (title->text == processors_title)
            run_.program = Program::processors;
        else if (title->text == memory_title_console || title->text == memory_title_file)
            run_.program = Program::memory;
        else
            return fail(*title, "the title line of bench_processors or bench_memory");
        have_title_ = true;
        const Line* next = peek();
        if (!next)
            return ended();
        if (!starts(next->text, "Thread(s): ")) {
            // Console only: the notice line, whatever its wording, then support.
            run_.source = Source::transcript;
            ++pos_;
            Expected<Line, Stop> support = take();
            if (!support)
                return support.failure();
            if (!starts(support->text, "For Support: "))
                return fail(*support, "\"For Support: ...\"");
        }
        return read_threads();
    }

    // The figure after `prefix` and before `suffix` on the whole of `s`, a
    // part of `line`: the figure keeps the line's number.
    std::optional<Figure> figure_line(const Line& line, std::string_view s,
                                      std::string_view prefix, std::string_view suffix) {
        if (!eat(s, prefix))
            return std::nullopt;
        auto f = take_figure(s);
        if (!f || s != suffix)
            return std::nullopt;
        f->line = line.number;
        return f;
    }

    // "Thread:N " before a per-thread line; -1 reads the single-thread pass.
    static Expected<std::string_view, Stop> thread_body(const Line& line, int thread) {
        std::string_view s = line.text;
        if (thread < 0)
            return s;
        std::string prefix = "Thread:" + std::to_string(thread) + " ";
        if (!eat(s, prefix))
            return fail(line, "\"" + prefix + "...\"");
        return s;
    }

    // The figure of the next line, between `prefix` and `suffix` (after
    // "Thread:N " for a thread); a line that holds none is refused as not
    // "PREFIX" `placeholder` "SUFFIX".
    Expected<Figure, Stop> next_figure(int thread, std::string_view prefix,
                                       std::string_view placeholder, std::string_view suffix) {
        Expected<Line, Stop> line = take();
        if (!line)
            return line.failure();
        Expected<std::string_view, Stop> s = thread_body(*line, thread);
        if (!s)
            return s.failure();
        if (std::optional<Figure> f = figure_line(*line, *s, prefix, suffix))
            return std::move(*f);
        return fail(*line, "\"" + std::string(prefix) + std::string(placeholder) +
                               std::string(suffix) + "\"");
    }

    // One pass: spent, rate and (memory speeds) megabytes lines, or the
    // out-of-memory line. Fills the figures as they are read.
    template <typename Sink>
    Step read_pass(int thread, const Test& test, Sink&& sink) {
        Expected<Line, Stop> line = take();
        if (!line)
            return line.failure();
        Expected<std::string_view, Stop> s = thread_body(*line, thread);
        if (!s)
            return s.failure();
        if (starts(*s, out_of_memory)) {
            sink.out_of_memory();
            return std::nullopt;
        }
        std::optional<Figure> seconds = figure_line(*line, *s, "The system spent: ", " Secs.");
        if (!seconds)
            seconds = figure_line(*line, *s, "The spent: ", " Secs.");
        if (!seconds)
            return fail(*line, thread < 0 ? "\"The system spent: SECONDS Secs.\""
                                          : "\"Thread:N The system spent: SECONDS Secs.\"");
        sink.seconds(std::move(*seconds));
        Expected<Figure, Stop> rate = next_figure(thread, "It was: ", "RATE", unit_text(test));
        if (!rate)
            return rate.failure();
        sink.rate(std::move(*rate));
        if (test.bytes_per_iteration > 0) {
            Expected<Figure, Stop> mb =
                next_figure(-1, "Conventionally, it was: ", "MB", " MB/sec.");
            if (!mb)
                return mb.failure();
            sink.megabytes(std::move(*mb));
        }
        return std::nullopt;
    }

    struct SingleSink {
        Test& t;
        void out_of_memory() { t.single_out_of_memory = true; }
        void seconds(Figure f) { t.single_seconds = std::move(f); }
        void rate(Figure f) { t.single_rate = std::move(f); }
        void megabytes(Figure f) { t.single_megabytes = std::move(f); }
    };
    struct ThreadSink {
        ThreadResult& r;
        void out_of_memory() { r.out_of_memory = true; }
        void seconds(Figure f) { r.seconds = std::move(f); }
        void rate(Figure f) { r.rate = std::move(f); }
        void megabytes(Figure f) { r.megabytes = std::move(f); }
    };

    // The per-thread blocks of test `index`'s region, up to its overall line.
    Step read_thread_passes(std::size_t index) {
        for (;;) {
            const Line* line = peek();
            if (!line)
                return ended();
            if (!starts(line->text, "Thread:"))
                return std::nullopt;
            std::string_view s = line->text.substr(7);
            auto n = take_integer<int>(s);
            if (!n || *n < 0 || !starts(s, " "))
                return fail(*line, "\"Thread:N ...\"");
            Test& test = run_.tests[index];
            test.threads.push_back(ThreadResult{});
            test.threads.back().thread = *n;
            if (Step stopped = read_pass(*n, test, ThreadSink{test.threads.back()}))
                return stopped;
        }
    }

    // The overall line of a region, and its megabytes line for a memory speed.
    Step read_overall(Test& test) {
        Expected<Line, Stop> line = take();
        if (!line)
            return line.failure();
        std::string_view s = line->text;
        // Either capital is read; a message quotes the one the test prints.
        const TestInfo* info = find_test_info(test.key);
        std::string overall =
            "\"" + std::string(info->overall_prefix) + "RATE" + unit_text(test) + "\"";
        if (!eat(s, "Overall, It was: ") && !eat(s, "Overall, it was: "))
            return fail(*line, "\"Thread:N ...\" or " + overall);
        int incomplete = take_incomplete(s);
        auto rate = take_figure(s);
        if (!rate || s != unit_text(test))
            return fail(*line, overall);
        rate->line = line->number;
        test.overall_rate = std::move(rate);
        test.incomplete_threads = incomplete;
        if (test.bytes_per_iteration == 0)
            return std::nullopt;
        line = take();
        if (!line)
            return line.failure();
        s = line->text;
        take_incomplete(s);
        auto mb = figure_line(*line, s, "Conventionally, it was: ", " MB/sec.");
        if (!mb)
            return fail(*line, "\"Conventionally, it was: MB MB/sec.\"");
        test.overall_megabytes = std::move(mb);
        return std::nullopt;
    }

    // The improvement line that ends a region; the test is then complete.
    Step read_improvement(Test& test) {
        Expected<Line, Stop> line = take();
        if (!line)
            return line.failure();
        std::string_view s = line->text;
        test.improvement_line = line->number;
        if (s == "Multi-Thread Improvements: not available, a pass ran out of memory.") {
            test.improvement_unavailable = true;
        } else {
            auto ratio = figure_line(*line, s, "Multi-Thread Improvements: ", " times.");
            if (!ratio)
                return fail(*line, "\"Multi-Thread Improvements: RATIO times.\"");
            test.improvement = std::move(ratio);
        }
        test.complete = true;
        return std::nullopt;
    }

    // Region heading, per-thread blocks, overall, megabytes and improvement
    // lines of test `index`; with `repeats_heading`, the test's heading again
    // after the region's.
    Step read_region(std::size_t index, bool repeats_heading = false) {
        if (Step stopped = expect("Multi-Thread Enabled:"))
            return stopped;
        if (repeats_heading)
            if (Step stopped = expect(run_.tests[index].title))
                return stopped;
        if (Step stopped = read_thread_passes(index))
            return stopped;
        if (Step stopped = read_overall(run_.tests[index]))
            return stopped;
        return read_improvement(run_.tests[index]);
    }

    Test& add_test(const Line& heading, const TestInfo& info, std::string title) {
        Test t;
        t.key = std::string(info.key);
        t.title = std::move(title);
        t.unit = std::string(info.unit);
        t.unit_scale = info.scale;
        t.bytes_per_iteration = info.bytes_per_iteration;
        t.first_line = heading.number;
        run_.tests.push_back(std::move(t));
        return run_.tests.back();
    }

    // The heading of `info`, as either the console or the results file writes it.
    Expected<Test*, Stop> read_heading(const TestInfo& info) {
        Expected<Line, Stop> line = take();
        if (!line)
            return line.failure();
        if (!is_heading(info, line->text))
            return fail(*line, "\"" + std::string(info.heading) + "\"");
        return &add_test(*line, info, std::string(line->text));
    }

    // A test of one line after its heading.
    Step read_one_line(const TestInfo& info) {
        Expected<Test*, Stop> t = read_heading(info);
        if (!t)
            return t.failure();
        Expected<Figure, Stop> f = next_figure(-1, info.figure_prefix, "RATE", unit_text(**t));
        if (!f)
            return f.failure();
        (*t)->overall_rate = std::move(*f);
        (*t)->complete = true;
        return std::nullopt;
    }

    // A test whose heading is followed by its single-thread pass and its region.
    Step read_heading_then_passes(const TestInfo& info) {
        Expected<Test*, Stop> t = read_heading(info);
        if (!t)
            return t.failure();
        if (Step stopped = expect("Force to be single thread."))
            return stopped;
        if (Step stopped = read_pass(-1, **t, SingleSink{**t}))
            return stopped;
        return read_region(run_.tests.size() - 1);
    }

    // The tests from `i` on that share one single-thread block, each heading
    // with its pass, then each one's region; `i` moves past them.
    Step read_singles_then_regions(std::span<const TestInfo> tests, std::size_t& i) {
        if (Step stopped = expect("Force to be single thread."))
            return stopped;
        std::size_t first = run_.tests.size();
        for (; i < tests.size() && tests[i].layout == Layout::singles_then_regions; ++i) {
            Expected<Test*, Stop> t = read_heading(tests[i]);
            if (!t)
                return t.failure();
            if (Step stopped = read_pass(-1, **t, SingleSink{**t}))
                return stopped;
        }
        for (std::size_t k = first; k < run_.tests.size(); ++k)
            if (Step stopped = read_region(k, true))
                return stopped;
        return std::nullopt;
    }

    // The program's tests in the catalogue's order, each read by its layout.
    Step read_tests() {
        std::span<const TestInfo> tests = catalogue(run_.program);
        for (std::size_t i = 0; i < tests.size();) {
            Step stopped;
            switch (tests[i].layout) {
                case Layout::one_line: stopped = read_one_line(tests[i++]); break;
                case Layout::heading_then_passes:
                    stopped = read_heading_then_passes(tests[i++]);
                    break;
                case Layout::singles_then_regions:
                    stopped = read_singles_then_regions(tests, i);
                    break;
            }
            if (stopped)
                return stopped;
        }
        return std::nullopt;
    }

    // Console only: where the results file went, then the prompt. The path
    // may span lines (the name holds a newline).
    Step read_end_of_run() {
        Expected<Line, Stop> line = take();
        if (!line)
            return line.failure();
        std::string_view s = line->text;
        if (!eat(s, saved) && !eat(s, not_saved))
            return fail(*line, "\"" + std::string(saved) + "PATH\"");
        std::string name(s);
        for (;;) {
            Expected<Line, Stop> more = take();
            if (!more)
                return more.failure();
            if (more->text == "Press Enter to Exit.")
                break;
            name += '\n';
            name += more->text;
        }
        name_from_path(name, false);
        return std::nullopt;
    }

    Step read_run() {
        name_from_path(run_.path, true);
        if (Step stopped = read_banner())
            return stopped;
        if (Step stopped = read_tests())
            return stopped;
        if (run_.source == Source::transcript)
            if (Step stopped = read_end_of_run())
                return stopped;
        if (!at_end())
            return fail(lines_[pos_], "the end of the file");
        return std::nullopt;
    }

public:
    // Zone and local time from a results file's name:
    // "results_processors_Linux_x86 @ UTC time Tue Dec  8 05:18:54 2026\n.txt".
    // The name of the file itself wins over the one a transcript mentions.
    void name_from_path(std::string_view path, bool own) {
        if (!own && !run_.local_time.empty())
            return;
        std::size_t slash = path.rfind('/');
        std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
        if (!eat(name, "results_processors_Linux_x86 @ ") &&
            !eat(name, "results_memory_Linux_x86 @ "))
            return;
        std::size_t at = name.find(" time ");
        if (at == std::string_view::npos)
            return;
        std::string_view zone = name.substr(0, at);
        std::string_view time = name.substr(at + 6);
        if (time.size() < 4 || time.substr(time.size() - 4) != ".txt")
            return;
        time.remove_suffix(4);
        if (!time.empty() && time.back() == '\n')
            time.remove_suffix(1);
        run_.zone = std::string(zone);
        run_.local_time = std::string(time);
    }
};

}  // namespace

std::variant<Run, ParseError> parse_run(std::string_view text, const std::string& path) {
    return Parser(text, path, 1).parse();
}

std::vector<std::variant<Run, ParseError>> parse_runs(std::string_view text,
                                                      const std::string& path) {
    // Where each run after the first starts: a title line of either program.
    struct Start {
        std::size_t offset;
        int line;
    };
    std::vector<Start> starts{{0, 1}};
    std::size_t pos = 0;
    int number = 1;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        std::string_view line = text.substr(pos, nl == std::string_view::npos ? nl : nl - pos);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\r'))
            line.remove_suffix(1);
        bool title =
            line == processors_title || line == memory_title_console || line == memory_title_file;
        if (title && pos > 0) {
            // Only when the text before holds a title of its own: a first run
            // preceded by stray lines is still one run.
            bool earlier = false;
            std::string_view before = text.substr(starts.back().offset, pos - starts.back().offset);
            for (std::string_view t : {processors_title, memory_title_console, memory_title_file})
                earlier = earlier || before.find(t) != std::string_view::npos;
            if (earlier)
                starts.push_back({pos, number});
        }
        if (nl == std::string_view::npos)
            break;
        pos = nl + 1;
        ++number;
    }
    std::vector<std::variant<Run, ParseError>> out;
    for (std::size_t i = 0; i < starts.size(); ++i) {
        std::size_t end = i + 1 < starts.size() ? starts[i + 1].offset : text.size();
        out.push_back(
            Parser(text.substr(starts[i].offset, end - starts[i].offset), path, starts[i].line)
                .parse());
    }
    return out;
}

}  // namespace report
