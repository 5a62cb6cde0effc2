// Takes edges the way a classic GPIO library does, for the guest benchmark
// (bench/kernel): exports the line through the kernel's sysfs GPIO
// interface (/sys/class/gpio), sets it to an input with edge "falling", and
// blocks in poll() on its value file, reading the value once per wake-up,
// as such a library's interrupt thread does before it calls the handler.
// Counts the wake-ups. One wake-up can stand for several edges: the kernel
// only marks the file as changed, so what arrives while the reader is not
// waiting is merged into one wake-up.
//
//   sysfs_edges GPIO     GPIO: the line's global number (chip base + offset)
//
// Prints "sysfs_edges: ready" once it waits for edges, and on SIGTERM
// "sysfs_edges: wakeups=N", then unexports the line and exits 0.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

volatile sig_atomic_t stop = 0;

void onTerm(int /*signal*/) {
    stop = 1;
}

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "sysfs_edges: %s\n", message.c_str());
    std::exit(2);
}

bool writeFile(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0) return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) die("usage: sysfs_edges GPIO");
    const std::string number = argv[1];
    const std::string dir = "/sys/class/gpio/gpio" + number;
    if (access(dir.c_str(), F_OK) != 0 && !writeFile("/sys/class/gpio/export", number))
        die("cannot export GPIO " + number + ": " + std::strerror(errno));
    if (!writeFile(dir + "/direction", "in") || !writeFile(dir + "/edge", "falling"))
        die("cannot set up " + dir + ": " + std::strerror(errno));
    const int fd = open((dir + "/value").c_str(), O_RDONLY);
    if (fd < 0) die("cannot open " + dir + "/value: " + std::strerror(errno));

    // No SA_RESTART: SIGTERM ends the wait in poll() with EINTR.
    struct sigaction action {};
    action.sa_handler = onTerm;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);

    char value[8];
    // A first read, so that poll() waits for the next change.
    if (pread(fd, value, sizeof value, 0) < 0) die("cannot read " + dir + "/value");
    std::printf("sysfs_edges: ready\n");
    std::fflush(stdout);

    unsigned long long wakeups = 0;
    while (stop == 0) {
        pollfd pfd{fd, POLLPRI | POLLERR, 0};
        const int ready = poll(&pfd, 1, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            die(std::string("poll: ") + std::strerror(errno));
        }
        // The level at the wake-up, as the library reads it.
        if (pread(fd, value, sizeof value, 0) < 0) die("cannot read " + dir + "/value");
        ++wakeups;
    }
    std::printf("sysfs_edges: wakeups=%llu\n", wakeups);
    std::fflush(stdout);
    close(fd);
    writeFile("/sys/class/gpio/unexport", number);
    return 0;
}
