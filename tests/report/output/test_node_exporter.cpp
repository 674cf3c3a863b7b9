// The OpenMetrics export served by a real node_exporter: its textfile
// collector started on 127.0.0.1 at a free port, pointed at the folder the
// export writes into, must serve every sample of the file and no scrape
// error. An integration test: it starts a daemon, stopped by its pid.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "fleet.h"
#include "process.h"
#include "tools.h"

namespace {

namespace fs = std::filesystem;

// A port nothing listens on now: the kernel's choice for a socket bound to 0.
int free_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

// The body of GET /metrics, or "" when nothing answers.
std::string scrape(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        std::string request = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            char buffer[65536];
            for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
                reply.append(buffer, static_cast<std::size_t>(got));
        }
    }
    ::close(fd);
    std::size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? "" : reply.substr(body + 4);
}

// Samples of an exposition, "name{labels sorted}" to value: the server
// orders labels its own way and prints values as Go does.
std::map<std::string, double> samples(const std::string& text, const std::string& prefix) {
    std::map<std::string, double> out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(prefix, 0) != 0)
            continue;
        std::size_t open = line.find('{'), close = line.rfind('}');
        std::string name = line.substr(0, open);
        std::map<std::string, std::string> labels;
        for (std::size_t at = open + 1; open != std::string::npos && at < close;) {
            std::size_t eq = line.find("=\"", at);
            std::string key = line.substr(at, eq - at), value;
            std::size_t k = eq + 2;
            for (; line[k] != '"'; ++k) {
                if (line[k] == '\\')
                    ++k;
                value += line[k];
            }
            labels[key] = value;
            at = k + 2;  // past the quote and the comma
        }
        std::string key = name;
        for (const auto& [k, v] : labels)
            key += "|" + k + "=" + v;
        out[key] = std::stod(line.substr(line.rfind(' ') + 1));
    }
    return out;
}

TEST(NodeExporter, ServesEverySampleOfTheExport) {
    std::string exporter = tool_path("prometheus-node-exporter");
    if (exporter.empty())
        GTEST_SKIP() << "prometheus-node-exporter not installed (scripts/setup ci installs it)";
    fs::path root = fs::temp_directory_path() / ("bench_report_node_exporter_" + std::to_string(getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "textfile");
    auto kernel = [](int) { return std::string("6.1.0-28"); };
    for (const char* host : {"host-001", "host-002", "say \"hi\" <b>{x}\\ \u202e"})
        write_host_history(root / "runs", host, report::Program::memory, 20390, 3,
                           [](int k) { return 1 - 0.01 * k; }, kernel, 7);
    write_fleet(root / "fleet", 3, 11);
    Result export_run = run_in(
        root, fmt::format("{} export runs fleet --format openmetrics -o textfile/bench.prom",
                          BENCH_REPORT));
    ASSERT_EQ(export_run.status, 0) << export_run.err;
    int port = free_port();
    ASSERT_NE(port, 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        std::string listen = "--web.listen-address=127.0.0.1:" + std::to_string(port);
        std::string dir = "--collector.textfile.directory=" + (root / "textfile").string();
        ::execl(exporter.c_str(), exporter.c_str(), listen.c_str(), dir.c_str(),
                "--collector.disable-defaults", "--collector.textfile",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(pid, 0);
    std::string served;
    for (int tries = 0; tries < 100 && served.find("node_textfile_scrape_error") == std::string::npos;
         ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        served = scrape(port);
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_NE(served.find("\nnode_textfile_scrape_error 0\n"), std::string::npos) << served;
    std::map<std::string, double> written = samples(slurp(root / "textfile/bench.prom"), "bench_report_");
    std::map<std::string, double> got = samples(served, "bench_report_");
    EXPECT_GT(written.size(), 50u);
    EXPECT_EQ(got.size(), written.size());
    for (const auto& [key, value] : written) {
        auto it = got.find(key);
        ASSERT_NE(it, got.end()) << key;
        EXPECT_NEAR(it->second, value, std::abs(value) * 1e-12) << key;
    }
    fs::remove_all(root);
}

}  // namespace
