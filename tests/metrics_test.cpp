// The metrics file: Prometheus's text format for each report, and how the
// file is written.
#include "monitor/metrics.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "monitor/monitor.h"

namespace {

namespace fs = std::filesystem;

std::string format(std::uint16_t sum, std::uint64_t windows = 1, timespec printed = {0, 0},
                   RxsnLosses losses = {0, 0, 0, 0}) {
    char text[4096];
    const std::size_t length = rxsnMetricsFormat(text, sizeof text, sum, windows, printed, losses);
    return std::string(text, length);
}

// Samples by name (with labels), and each metric's TYPE, from a text in
// Prometheus's format; every sample's metric must have its HELP and TYPE
// before its first sample.
struct Parsed {
    std::map<std::string, std::string> samples;
    std::map<std::string, std::string> types;
};

Parsed parse(const std::string& text) {
    Parsed parsed;
    std::map<std::string, bool> helped;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string first, name, rest;
        words >> first;
        if (first == "#") {
            std::string kind;
            words >> kind >> name >> rest;
            if (kind == "HELP") {
                helped[name] = !rest.empty();
            } else if (kind == "TYPE") {
                parsed.types[name] = rest;
            }
            continue;
        }
        words >> rest;
        const std::string metric = first.substr(0, first.find('{'));
        EXPECT_TRUE(helped[metric]) << "no HELP before " << line;
        EXPECT_TRUE(parsed.types.count(metric) != 0) << "no TYPE before " << line;
        parsed.samples[first] = rest;
    }
    return parsed;
}

std::string printed(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Every row's figures, read back as a scraper reads them, give the report
// line's: the share exactly, the BER and S/N as the line prints them.
TEST(Metrics, FiguresOfEverySumAsTheReportLineHasThem) {
    std::ifstream file(REPORT_LINES_FILE);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 101u);
    for (unsigned sum = 0; sum <= rxsnWindowSize; sum += 5) {
        const Parsed parsed = parse(format(static_cast<std::uint16_t>(sum)));
        char ratio[16];
        std::snprintf(ratio, sizeof ratio, "%u.%03u", sum / 1000, sum % 1000);
        EXPECT_EQ(parsed.samples.at("sorvalen_high_samples_ratio"), ratio);
        const double ber =
            std::strtod(parsed.samples.at("sorvalen_bit_error_ratio").c_str(), nullptr);
        const double sn =
            std::strtod(parsed.samples.at("sorvalen_signal_to_noise").c_str(), nullptr);
        EXPECT_EQ(ber, static_cast<double>(rxsn[sum / 10].ber)) << "sum " << sum;
        EXPECT_EQ(sn, static_cast<double>(rxsn[sum / 10].sn)) << "sum " << sum;
        EXPECT_EQ("% high: " + std::to_string(sum / 10) + ", BER: " + printed("%4.1e", ber) +
                      ", SN: " + printed("%.1f", sn),
                  lines[sum / 10])
            << "sum " << sum;
    }
}

TEST(Metrics, NamesTypesCountsTimeAndLosses) {
    const Parsed parsed = parse(format(725, 42, {1765350000, 123456789}, {3, 2, 1, 4}));
    const std::map<std::string, std::string> types = {
        {"sorvalen_high_samples_ratio", "gauge"},
        {"sorvalen_bit_error_ratio", "gauge"},
        {"sorvalen_signal_to_noise", "gauge"},
        {"sorvalen_windows_total", "counter"},
        {"sorvalen_last_window_timestamp_seconds", "gauge"},
        {"sorvalen_edge_events_lost_total", "counter"},
    };
    EXPECT_EQ(parsed.types, types);
    const std::map<std::string, std::string> samples = {
        {"sorvalen_high_samples_ratio", "0.725"},
        {"sorvalen_bit_error_ratio", "0.00069800001801922917"},
        {"sorvalen_signal_to_noise", "8.875"},
        {"sorvalen_windows_total", "42"},
        {"sorvalen_last_window_timestamp_seconds", "1765350000.123"},
        {"sorvalen_edge_events_lost_total{cause=\"dropped\"}", "3"},
        {"sorvalen_edge_events_lost_total{cause=\"late\"}", "2"},
        {"sorvalen_edge_events_lost_total{cause=\"merged\"}", "1"},
        {"sorvalen_edge_events_lost_total{cause=\"unseen\"}", "4"},
    };
    EXPECT_EQ(parsed.samples, samples);
    // On a library that cannot lose edge events (the tests' own) the counts are 0.
    const RxsnLosses none = rxsnLosses();
    EXPECT_EQ(none.dropped + none.late + none.merged + none.unseen, 0u);
    // Too small a buffer gives nothing rather than a cut text.
    char small[64];
    EXPECT_EQ(rxsnMetricsFormat(small, sizeof small, 725, 1, {0, 0}, {0, 0, 0, 0}), 0u);
}

// A directory of the test's own, removed afterwards.
struct TempDir {
    fs::path path;
    TempDir() {
        char name[] = "/tmp/sorvalen-metrics-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() {
        fs::remove_all(path);
    }
};

// Sets SORVALEN_METRICS_FILE (unset for nullptr) and starts anew.
bool startWith(const char* file) {
    if (file == nullptr) {
        unsetenv("SORVALEN_METRICS_FILE");
    } else {
        setenv("SORVALEN_METRICS_FILE", file, 1);
    }
    return rxsnMetricsStart();
}

std::string contents(const fs::path& file) {
    std::ifstream in(file);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(Metrics, FileReplacedWholeAfterEachReport) {
    TempDir dir;
    const fs::path file = dir.path / "sorvalen.prom";
    ASSERT_TRUE(startWith(file.c_str()));
    const mode_t umaskWas = umask(077);  // as the service runs it
    rxsnMetricsWrite(400);
    struct stat first {};
    ASSERT_EQ(stat(file.c_str(), &first), 0);
    rxsnMetricsWrite(1000);
    umask(umaskWas);
    struct stat second {};
    ASSERT_EQ(stat(file.c_str(), &second), 0);
    // Another file took its place (a reader holding the old one reads it
    // whole), readable by the collector, and no temporary is left.
    EXPECT_NE(first.st_ino, second.st_ino);
    EXPECT_EQ(second.st_mode & 0777, 0644u);
    EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(dir.path), fs::directory_iterator()),
              std::vector<fs::path>{file});
    const Parsed parsed = parse(contents(file));
    EXPECT_EQ(parsed.samples.at("sorvalen_high_samples_ratio"), "1.000");
    EXPECT_EQ(parsed.samples.at("sorvalen_windows_total"), "2");
    const double stamp =
        std::strtod(parsed.samples.at("sorvalen_last_window_timestamp_seconds").c_str(), nullptr);
    EXPECT_NEAR(stamp, static_cast<double>(std::time(nullptr)), 5.0);
}

// Unset or empty: nothing written. A file that cannot be written is told
// once, with its cause, and reports go on.
TEST(Metrics, NoFileOrAFileThatCannotBeWritten) {
    TempDir dir;
    const std::string inDir = (dir.path / "sorvalen.prom").string();
    const std::string missing = (dir.path / "no-such-dir" / "sorvalen.prom").string();
    const std::string longName = "/tmp/" + std::string(5000, 'x') + ".prom";
    fs::create_directory(dir.path / "taken.prom");
    const std::string taken = (dir.path / "taken.prom").string();
    struct Case {
        const char* what;
        const char* file;
        bool started;
        std::string told;  // what standard error says, once
        bool bigLimit;     // false: files may hold no more than 600 bytes, less than the text
    };
    const std::vector<Case> cases = {
        {"unset", nullptr, false, "", true},
        {"empty", "", false, "", true},
        {"missing directory", missing.c_str(), true,
         "sorvalen: cannot create the metrics file " + missing +
             ": No such file or directory; reports go on without it\n",
         true},
        {"a directory in the way", taken.c_str(), true,
         "sorvalen: cannot replace the metrics file " + taken +
             ": Is a directory; reports go on without it\n",
         true},
        {"no room", inDir.c_str(), true,
         "sorvalen: cannot write the metrics file " + inDir +
             ": File too large; reports go on without it\n",
         false},
        {"a name too long", longName.c_str(), false,
         "sorvalen: cannot use the metrics file " + longName.substr(0, 64) +
             "...: File name too long; reports go on without it\n",
         true},
    };
    for (const Case& c : cases) {
        rlimit was{};
        getrlimit(RLIMIT_FSIZE, &was);
        std::signal(SIGXFSZ, SIG_IGN);
        if (!c.bigLimit) {
            const rlimit small{600, was.rlim_max};
            setrlimit(RLIMIT_FSIZE, &small);
        }
        testing::internal::CaptureStderr();
        EXPECT_EQ(startWith(c.file), c.started) << c.what;
        rxsnMetricsWrite(500);
        rxsnMetricsWrite(500);
        const std::string told = testing::internal::GetCapturedStderr();
        setrlimit(RLIMIT_FSIZE, &was);
        EXPECT_EQ(told, c.told) << c.what;
        // Nothing of a file that could not be written stays behind.
        EXPECT_FALSE(fs::exists(inDir)) << c.what;
        EXPECT_FALSE(fs::exists(inDir + ".tmp")) << c.what;
        EXPECT_FALSE(fs::exists(taken + ".tmp")) << c.what;
    }
    unsetenv("SORVALEN_METRICS_FILE");
    rxsnMetricsStart();
}

}  // namespace
