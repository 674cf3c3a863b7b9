#include "harness.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <new>

#include <fcntl.h>
#include <omp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <ext/stdio_filebuf.h>

long long threads;
char resultfile[1024];
char filepath[2048];
bool run_failed;
int region_failures;

const char unit_executions[] = " Millions Executions/sec.";
const char unit_allocations[] = " Millions Allocations/sec.";

// The results file: the stream the programs write it through, the buffer
// that owns its descriptor, and whether anything of it has been lost.
static std::ostream* results_stream;
static __gnu_cxx::stdio_filebuf<char>* results_buf;
static bool results_lost;

// Text of an error number. It is never translated and never built on the
// heap, so a write that fails while memory is exhausted can still be named.
static const char* error_text(int err) {
    const char* text = err ? strerrordesc_np(err) : nullptr;
    return text ? text : "unknown error";
}

// Appends `text` to the message being built in `message`, at `length`,
// cutting it at the buffer's end.
static void append(char* message, size_t size, size_t& length, const char* text) {
    while (*text && length + 1 < size)
        message[length++] = *text++;
    message[length] = '\0';
}

// Says on standard error, once, that the results file failed. The message is
// built in a static buffer, not on the heap: the first failed write may come
// inside a region's single construct or critical section while the heap is
// exhausted, where an allocation failure would end the process. The newline
// in the file name is shown as \n so that the message stays on one line.
static void results_failed(const char* what, const char* reason) {
    run_failed = true;
    if (results_lost)
        return;
    results_lost = true;
    static char message[sizeof resultfile * 2 + 512];
    size_t length = 0;
    append(message, sizeof message, length, program_invocation_short_name);
    append(message, sizeof message, length, ": ");
    append(message, sizeof message, length, what);
    append(message, sizeof message, length, " the results file \"");
    for (const char* c = resultfile; *c; ++c) {
        const char one[2] = {*c, '\0'};
        append(message, sizeof message, length, *c == '\n' ? "\\n" : one);
    }
    append(message, sizeof message, length, "\" failed: ");
    append(message, sizeof message, length, reason);
    append(message, sizeof message, length, "\n");
    std::fputs(message, stderr);
    std::fflush(stderr);
}

std::ostream& eol(std::ostream& os) {
    os.put('\n');
    os.flush();
    if (&os == results_stream && !os && !results_lost) {
        int err = errno;
        results_failed("writing", error_text(err));
    }
    return os;
}

void setup_threads() {
    int n = omp_get_num_procs();
    if (n > max_threads)
        n = max_threads;
    if (n < 1)
        n = 1;
    threads = n;
    // The team is the whole machine on every region: no runtime shrinking.
    omp_set_dynamic(0);
    omp_set_num_threads(n);
}

void name_results_file(const char* pattern) {
    std::time_t now = std::time(nullptr);
    std::tm* local = std::localtime(&now);
    const char* zone = "";
    const char* text = "";
    if (local) {
        if (local->tm_zone)
            zone = local->tm_zone;
        const char* stamp = std::asctime(local);
        if (stamp)
            text = stamp;
    }
    std::snprintf(resultfile, sizeof resultfile, pattern, zone, text);
}

// Closes the results file and frees its buffer; the only place that does
// either, so the descriptor is closed exactly once, by the buffer that owns
// it. After a failed write, what the buffer still holds is dropped, not
// written: the descriptor is first pointed at /dev/null, so the file stays as
// it was when the failure was seen. Returns false when closing a file that
// had no failure fails; errno then says why.
static bool release_results_file() {
    if (!results_buf)
        return true;
    if (results_lost) {
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, results_buf->fd());
            close(null);
        }
    }
    bool closed = results_buf->close() != nullptr;
    int err = errno;
    delete results_buf;
    results_buf = nullptr;
    errno = err;
    return closed || results_lost;
}

bool open_results_file(std::ostream& file) {
    file.rdbuf(nullptr);
    release_results_file();
    results_stream = &file;
    results_lost = false;
    // A file-size limit must show as a failed write, not end the process.
    std::signal(SIGXFSZ, SIG_IGN);
    // O_NOFOLLOW: a link planted at the name must not redirect the write.
    // O_NONBLOCK: a FIFO at the name must not hang the run.
    int fd = open(resultfile, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        int err = errno;
        results_failed("creating",
                       err == ELOOP ? "a symbolic link stands at that name" : error_text(err));
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        results_failed("creating", "something other than a regular file stands at that name");
        return false;
    }
    if (ftruncate(fd, 0) != 0) {
        int err = errno;
        close(fd);
        results_failed("truncating", error_text(err));
        return false;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    results_buf = new __gnu_cxx::stdio_filebuf<char>(fd, std::ios::out);
    file.rdbuf(results_buf);
    return true;
}

bool run_guarded(pass_fn pass, uint64_t iterations) {
    try {
        pass(iterations);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

double megabytes(double bytes, double rate) {
    return bytes * rate * 0.0009765625 * 0.0009765625;
}

// Spent, rate and (with mb_bytes > 0) megabytes lines of one pass; thread
// number t, or -1 for the single-thread pass. A pass that ran out of memory
// has one line in their place.
static void pass_lines(std::ostream& os, int t, bool ok, double spent, double rate,
                       const char* spent_text, const char* unit, double mb_bytes) {
    if (t >= 0)
        os << "Thread:" << t << " ";
    if (!ok) {
        os << "Out of memory: this pass could not allocate what it needs and has no result." << eol;
        return;
    }
    os << spent_text << spent << " Secs. " << eol;
    if (t >= 0)
        os << "Thread:" << t << " ";
    os << "It was: " << rate / 1000000 << unit << eol;
    if (mb_bytes > 0)
        os << "Conventionally, it was: " << megabytes(mb_bytes, rate) << " MB/sec." << eol;
}

void single_report(std::ostream& con, std::ostream& file, bool ok, double spent, double rate,
                   const char* unit, double mb_bytes) {
    if (!ok)
        run_failed = true;
    pass_lines(con, -1, ok, spent, rate, "The system spent: ", unit, mb_bytes);
    pass_lines(file, -1, ok, spent, rate, "The system spent: ", unit, mb_bytes);
    con << eol;
    file << eol;
}

void multi_pass(std::ostream& con, std::ostream& file, const char* heading, pass_fn body,
                uint64_t iterations, const double* spent, double* results, const char* unit,
                double mb_bytes, const char* file_spent_text) {
    region_failures = 0;
#pragma omp parallel
    {
#pragma omp single
        {
            con << "Multi-Thread Enabled:" << eol;
            if (heading)
                con << eol << heading << eol;
            file << "Multi-Thread Enabled:" << eol;
            if (heading)
                file << eol << heading << eol;
        }
        bool ok = run_guarded(body, iterations);
        int t = omp_get_thread_num();
#pragma omp critical
        {
            if (!ok) {
                results[t] = 0;
                ++region_failures;
                run_failed = true;
            }
            pass_lines(con, t, ok, spent[t], results[t], "The system spent: ", unit, mb_bytes);
            pass_lines(file, t, ok, spent[t], results[t], file_spent_text, unit, mb_bytes);
        }
    }
}

double sum_rates(const double* results) {
    double sum = 0;
    for (int i = 0; i < omp_get_max_threads() && i < max_threads; ++i)
        sum += results[i];
    return sum;
}

const char* incomplete_note() {
    static char note[96];
    if (region_failures == 0)
        return "";
    std::snprintf(note, sizeof note, " (incomplete: %d thread(s) ran out of memory)",
                  region_failures);
    return note;
}

static void summary_lines(std::ostream& os, double overall, double ratio, bool complete,
                          const char* overall_text, const char* unit, double mb_bytes) {
    os << eol;
    os << overall_text << overall / 1000000 << unit << incomplete_note() << eol;
    if (mb_bytes > 0)
        os << "Conventionally, it was: " << megabytes(mb_bytes, overall) << " MB/sec."
           << incomplete_note() << eol;
    if (complete)
        os << "Multi-Thread Improvements: " << ratio << " times." << eol;
    else
        os << "Multi-Thread Improvements: not available, a pass ran out of memory." << eol;
}

void summary(std::ostream& con, std::ostream& file, const double* results, double& overall,
             double single_rate, bool single_ok, const char* overall_text, const char* unit,
             double mb_bytes, double* ratio) {
    overall += sum_rates(results);
    double r = overall / single_rate;
    if (ratio)
        *ratio = r;
    bool complete = single_ok && region_failures == 0;
    summary_lines(con, overall, r, complete, overall_text, unit, mb_bytes);
    summary_lines(file, overall, r, complete, overall_text, unit, mb_bytes);
}

int end_of_run(std::ostream& con, std::ostream& file, const char* directory, FILE* in) {
    bool opened = results_buf != nullptr;
    if (opened && !file && !results_lost)
        results_failed("writing", "the stream reported an error");
    // The stream lets go of the buffer before the buffer is freed.
    file.rdbuf(nullptr);
    if (!release_results_file())
        results_failed("closing", error_text(errno));
    bool saved = opened && !results_lost;

    // Without a known working directory the name is shown relative to it.
    const char* dir = directory ? directory : ".";
    int length = std::snprintf(filepath, sizeof filepath, "%s/%s", dir, resultfile);
    if (saved)
        con << "Results have been saved in a file and you can find it at: ";
    else
        con << "Results could not be saved in a file; it would have been at: ";
    // A path longer than the buffer is printed whole from its parts.
    if (length >= 0 && static_cast<size_t>(length) < sizeof filepath)
        con << filepath;
    else
        con << dir << '/' << resultfile;
    con << eol << eol << eol << eol;
    con << "Press Enter to Exit." << eol;

    // Drop what was typed during the run, then wait for one key.
    std::fflush(in);
    std::getc(in);
    return run_failed ? 1 : 0;
}
