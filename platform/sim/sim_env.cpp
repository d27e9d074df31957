#include "sim_env.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

[[noreturn]] void Refuse(const char* message, size_t size) {
    (void)!write(STDERR_FILENO, message, size);
    _exit(2);
}

}  // namespace

const char* Root() {
    const char* root = std::getenv("ULV_SIM_ROOT");
    if (root == nullptr || root[0] == '\0') {
        static const char kMessage[] =
            "ulv sim: ULV_SIM_ROOT is not set; refusing to use the host's own paths\n";
        Refuse(kMessage, sizeof kMessage - 1);
    }
    // A relative root would be resolved against the working directory, which the daemon
    // changes to "/" when it detaches; "/" itself is the host. Either reaches the host's own
    // /tmp and /dev.
    if (root[0] != '/' || root[std::strspn(root, "/")] == '\0') {
        static const char kMessage[] =
            "ulv sim: ULV_SIM_ROOT must be an absolute path other than /; refusing to use the "
            "host's own paths\n";
        Refuse(kMessage, sizeof kMessage - 1);
    }
    return root;
}

double TimeScale() {
    const char* text = std::getenv("ULV_TIME_SCALE");
    if (text == nullptr) return 1.0;
    char* end = nullptr;
    double scale = std::strtod(text, &end);
    if (end == text || !(scale > 0.0) || !std::isfinite(scale)) return 1.0;
    return scale;
}

int64_t MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

timespec ScaledDuration(double simSeconds) {
    double real = simSeconds / TimeScale();
    if (real < 0) real = 0;
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(real);
    ts.tv_nsec = static_cast<long>((real - static_cast<double>(ts.tv_sec)) * 1e9);
    if (ts.tv_nsec >= 1000000000) ts.tv_nsec = 999999999;
    return ts;
}

static int BootPath(char* out, size_t size) {
    int n = std::snprintf(out, size, "%s/%s", Root(), kBootFileName);
    return (n < 0 || static_cast<size_t>(n) >= size) ? -1 : 0;
}

int WriteBoot(long uptimeSeconds) {
    char path[512];
    char temp[560];
    if (BootPath(path, sizeof path) != 0) return -1;
    std::snprintf(temp, sizeof temp, "%s.%d", path, static_cast<int>(getpid()));
    int fd = open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    char text[64];
    int n = std::snprintf(text, sizeof text, "%lld %ld\n", static_cast<long long>(MonotonicNs()),
                          uptimeSeconds);
    bool ok = write(fd, text, static_cast<size_t>(n)) == n;
    close(fd);
    if (!ok || rename(temp, path) != 0) {
        unlink(temp);
        return -1;
    }
    return 0;
}

// Read with one read into a stack buffer: the daemon reads its uptime on every tick and on
// every report, and the platform must not allocate there (no stdio stream).
static int ReadBoot(long long* bootNs, long* bootUptime) {
    char path[512];
    if (BootPath(path, sizeof path) != 0) return -1;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char text[64];
    ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0) return -1;
    text[got] = '\0';
    char* end = nullptr;
    errno = 0;
    long long ns = std::strtoll(text, &end, 10);
    if (end == text || *end != ' ' || errno != 0) return -1;
    const char* second = end + 1;
    long uptime = std::strtol(second, &end, 10);
    if (end == second || errno != 0) return -1;
    *bootNs = ns;
    *bootUptime = uptime;
    return 0;
}

int Uptime(long* seconds) {
    long long bootNs = 0;
    long bootUptime = 0;
    if (ReadBoot(&bootNs, &bootUptime) != 0) {
        const char* start = std::getenv("ULV_SIM_UPTIME");
        if (WriteBoot(start != nullptr ? std::atol(start) : 0) != 0 ||
            ReadBoot(&bootNs, &bootUptime) != 0) {
            errno = ENOENT;
            return -1;
        }
    }
    double elapsed = static_cast<double>(MonotonicNs() - bootNs) / 1e9 * TimeScale();
    if (elapsed < 0) elapsed = 0;
    *seconds = bootUptime + static_cast<long>(elapsed);
    return 0;
}

}  // namespace sim
