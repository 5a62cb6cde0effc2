// End-to-end: the built program against the simulated board, as a user runs
// it, with its output read through pipes.
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;

const std::string banner = "Sorvalen 0.1\n\n\n\n";

// A run of the program. Its standard output and error are read through pipes
// as they come.
struct Process {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
    std::string stdoutText;
    std::string stderrText;
    int status = -1;  // as waitpid gives it, once the process has ended
};

std::vector<std::string> words(const char* text) {
    std::vector<std::string> result;
    std::istringstream in(text == nullptr ? "" : text);
    for (std::string w; in >> w;) {
        result.push_back(w);
    }
    return result;
}

// Starts the program on the simulated board with the given board settings.
// In a cross-build SORVALEN_EMULATOR names the emulator to run it under.
Process start(const std::map<std::string, std::string>& settings,
              const std::vector<std::string>& args = {}) {
    std::vector<std::string> argv = words(std::getenv("SORVALEN_EMULATOR"));
    argv.push_back(SORVALEN_EXE);
    argv.insert(argv.end(), args.begin(), args.end());

    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "SIMBOARD_", 9) != 0 &&
            std::strncmp(*e, "LD_LIBRARY_PATH=", 16) != 0) {
            env.emplace_back(*e);
        }
    }
    env.push_back(std::string("LD_LIBRARY_PATH=") + SIMBOARD_DIR);
    for (const auto& [name, value] : settings) {
        env.push_back(name + "=" + value);
    }

    std::vector<char*> argp;
    for (auto& a : argv) {
        argp.push_back(a.data());
    }
    argp.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    int out[2];
    int err[2];
    if (pipe(out) != 0 || pipe(err) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    for (const int fd : {out[0], out[1], err[0], err[1]}) {
        posix_spawn_file_actions_addclose(&actions, fd);
    }
    Process run;
    const int rc = posix_spawn(&run.pid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    run.out = out[0];
    run.err = err[0];
    if (rc != 0) {
        ADD_FAILURE() << "cannot start " << argp[0] << ": " << std::strerror(rc);
        run.pid = -1;
    }
    return run;
}

// Reads what the program writes until `done` holds for its standard output,
// both pipes are closed, or `limit` has passed. Returns whether `done` held.
template <typename Done>
bool readUntil(Process& run, Done done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done(run.stdoutText)) {
        pollfd fds[2] = {{run.out, POLLIN, 0}, {run.err, POLLIN, 0}};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || (run.out < 0 && run.err < 0)) {
            return false;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            int& fd = i == 0 ? run.out : run.err;
            char buffer[4096];
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fd);
                fd = -1;
            } else {
                (i == 0 ? run.stdoutText : run.stderrText).append(buffer, static_cast<size_t>(n));
            }
        }
    }
    return true;
}

std::size_t lines(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

auto hasLines(std::size_t n) {
    return [n](const std::string& text) { return lines(text) >= n; };
}

// Waits for the program to end by itself, reading all it writes.
void finish(Process& run) {
    const auto never = [](const std::string&) { return false; };
    readUntil(run, never, 20s);
    if (run.pid > 0) {
        waitpid(run.pid, &run.status, 0);
        run.pid = -1;
    }
}

// Terminates the program as a user would, then reads what is left.
void terminate(Process& run) {
    if (run.pid > 0) {
        kill(run.pid, SIGTERM);
    }
    finish(run);
}

bool exitedWith(const Process& run, int code) {
    return WIFEXITED(run.status) && WEXITSTATUS(run.status) == code;
}

std::string repeat(const std::string& line, int n) {
    std::string text;
    for (int i = 0; i < n; ++i) {
        text += line;
    }
    return text;
}

TEST(EndToEnd, BannerThenExactReportsForAFixedShare) {
    const struct {
        const char* high;
        const char* line;
    } cases[] = {
        {"57.5", "% high: 57, BER: 5.5e-03, SN: 7.0\n"},
        {"0", "% high: 0, BER: 0.0e+00, SN: 0.0\n"},
        {"100", "% high: 100, BER: 8.7e-07, SN: 13.3\n"},
        {"63", "% high: 63, BER: 2.6e-03, SN: 7.8\n"},
    };
    for (const auto& c : cases) {
        Process run = start({{"SIMBOARD_RATE", "max"}, {"SIMBOARD_HIGH", c.high}});
        EXPECT_TRUE(readUntil(run, hasLines(4 + 3), 20s)) << run.stdoutText << run.stderrText;
        terminate(run);
        EXPECT_TRUE(WIFSIGNALED(run.status));
        // Whole lines only, each one exact.
        ASSERT_GE(lines(run.stdoutText), 4u + 3u);
        EXPECT_EQ(run.stdoutText,
                  banner + repeat(c.line, static_cast<int>(lines(run.stdoutText)) - 4))
            << "share " << c.high;
        EXPECT_EQ(run.stderrText, "");
    }
}

// Line buffering: each report reaches a pipe as soon as it is complete, and
// nothing is lost when the program is terminated, which is its only way to
// stop. The board stops its clock at the end of the third window, however
// late the report cycle (at nice 19) resets each one, so no edge follows the
// third line. With SORVALEN_METRICS_FILE the program keeps that file with
// the last report's figures: as many windows as lines, the share of the last.
TEST(EndToEnd, ReportsReachAPipeAndTheMetricsFileAtOnceAndSurviveTermination) {
    char dir[] = "/tmp/sorvalen-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/sorvalen.prom";
    Process run = start({{"SIMBOARD_RATE", "2000"},
                         {"SIMBOARD_HIGH", "84"},
                         {"SIMBOARD_WINDOWS", "3"},
                         {"SORVALEN_METRICS_FILE", file}});
    EXPECT_TRUE(readUntil(run, hasLines(4 + 3), 30s)) << run.stdoutText << run.stderrText;
    // Written just after each line: wait for the third.
    std::string text;
    for (int i = 0; i < 3000 && text.find("sorvalen_windows_total 3\n") == std::string::npos; ++i) {
        std::this_thread::sleep_for(10ms);
        std::ifstream in(file);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    terminate(run);
    EXPECT_EQ(run.stdoutText, banner + repeat("% high: 84, BER: 6.4e-05, SN: 10.7\n", 3));
    EXPECT_EQ(run.stderrText, "");
    for (const char* figure : {"sorvalen_windows_total 3\n", "sorvalen_high_samples_ratio 0.840\n",
                               "sorvalen_edge_events_lost_total{cause=\"dropped\"} 0\n"}) {
        EXPECT_NE(text.find(figure), std::string::npos) << text;
    }
    std::filesystem::remove_all(dir);
}

TEST(EndToEnd, WithoutEdgesOnlyTheBannerAndAWait) {
    Process run = start({{"SIMBOARD_EDGES", "0"}});
    EXPECT_TRUE(readUntil(run, hasLines(4), 20s));
    EXPECT_FALSE(readUntil(run, hasLines(5), 1500ms));
    EXPECT_EQ(waitpid(run.pid, nullptr, WNOHANG), 0) << "the program must keep waiting";
    terminate(run);
    EXPECT_EQ(run.stdoutText, banner);
}

// A failed setup ends the program with failure: before any pin is touched
// when the library cannot be set up, after the pins are when the handler
// cannot be registered.
TEST(EndToEnd, SetupFailuresExitWithFailureAtTheirStep) {
    const std::string pins =
        "simboard: pinMode(4, 0)\nsimboard: pinMode(6, 0)\nsimboard: pinMode(2, 1)\n"
        "simboard: pinMode(3, 1)\nsimboard: digitalWrite(3, 0)\nsimboard: digitalWrite(2, 0)\n"
        "simboard: wiringPiISR(6, 1)\n";
    for (const auto& [fail, out, err] : std::vector<std::array<std::string, 3>>{
             {"setup", "wiringPin setup failed\n", "simboard: wiringPiSetup fails"},
             {"isr", "isr setup failed\n", pins + "simboard: wiringPiISR fails"}}) {
        Process run = start({{"SIMBOARD_FAIL", fail}, {"SIMBOARD_TRACE", "1"}});
        finish(run);
        EXPECT_TRUE(exitedWith(run, EXIT_FAILURE)) << fail;
        EXPECT_EQ(run.stdoutText, banner + out);
        EXPECT_EQ(run.stderrText,
                  "simboard: wiringPiSetup()\n" + err + ", as SIMBOARD_FAIL=" + fail + " asks\n");
    }
}

TEST(EndToEnd, ArgumentsAreIgnored) {
    Process plain = start({{"SIMBOARD_FAIL", "isr"}});
    finish(plain);
    Process withArgs = start({{"SIMBOARD_FAIL", "isr"}}, {"--help", "-v", "x"});
    finish(withArgs);
    EXPECT_EQ(withArgs.stdoutText, plain.stdoutText);
    EXPECT_EQ(withArgs.status, plain.status);

    Process running = start({{"SIMBOARD_RATE", "max"}, {"SIMBOARD_HIGH", "42"}}, {"--version"});
    EXPECT_TRUE(readUntil(running, hasLines(5), 20s));
    terminate(running);
    const std::string report = "% high: 42, BER: 1.6e-02, SN: 5.2\n";
    EXPECT_EQ(running.stdoutText.substr(0, banner.size() + report.size()), banner + report);
}

// Scheduling policy and nice value of each thread of process `pid`, by
// thread id (fields 41 and 19 of /proc/PID/task/TID/stat, counted after the
// command's closing bracket).
std::map<long, std::pair<int, int>> threadPriorities(pid_t pid) {
    std::map<long, std::pair<int, int>> priorities;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(dir)) {
        std::ifstream stat(task.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::vector<std::string> field(3);  // fields 1 and 2 are before the bracket's end
        for (std::string f; fields >> f;) {
            field.push_back(f);
        }
        priorities[std::stol(task.path().filename().string())] = {std::stoi(field.at(41)),
                                                                  std::stoi(field.at(19))};
    }
    return priorities;
}

// The report cycle's busy wait runs at the lowest priority of an ordinary
// thread, on its own thread only: the board's thread, which calls the
// handler, keeps its priority whether its clock runs fast from the start or
// has hardly begun (a priority passed on to it could not be raised again
// without privilege).
TEST(EndToEnd, OnlyTheReportCycleWaitsAtTheLowestPriority) {
    for (const char* rate : {"100000", "1"}) {
        Process run = start({{"SIMBOARD_RATE", rate}, {"SIMBOARD_HIGH", "42"}});
        // The fast clock has had a window reported; the slow one has hardly
        // begun when the report cycle has lowered its priority.
        EXPECT_TRUE(std::string(rate) == "1" || readUntil(run, hasLines(5), 20s));
        const pid_t pid = run.pid;
        auto priorities = threadPriorities(pid);
        for (int i = 0; i < 2000 && priorities[pid].second != 19; ++i) {
            std::this_thread::sleep_for(10ms);
            priorities = threadPriorities(pid);
        }
        terminate(run);
        ASSERT_GE(priorities.size(), 2u) << "rate " << rate;
        for (const auto& [tid, priority] : priorities) {
            const std::pair<int, int> expected{SCHED_OTHER, tid == pid ? 19 : 0};
            EXPECT_EQ(priority, expected)
                << "thread " << tid << (tid == pid ? " (the report cycle)" : "")
                << " (policy, nice), rate " << rate;
        }
    }
}

TEST(EndToEnd, BadBoardSettingStopsTheBoardWithAMessage) {
    Process run = start({{"SIMBOARD_RATE", "fast"}});
    finish(run);
    EXPECT_TRUE(exitedWith(run, 2));
    EXPECT_EQ(run.stdoutText, banner);
    EXPECT_NE(run.stderrText.find("SIMBOARD_RATE='fast' is not valid"), std::string::npos)
        << run.stderrText;
}

}  // namespace
