// ulv-bare-loop [SECONDS]: the smallest program of the daemon's shape, the yardstick of
// scripts/footprint.sh. It waits with select, without time-out, on a timer descriptor that
// repeats every SECONDS real seconds (never, without the argument) and reads each expiry.
// Plain C calls only, built with the daemon's compiler and flags.
#include <stdint.h>
#include <stdlib.h>
#include <sys/select.h>
#include <sys/timerfd.h>
#include <unistd.h>

int main(int argc, char** argv) {
    int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    if (timer < 0) return 1;
    if (argc > 1) {
        double seconds = strtod(argv[1], nullptr);
        struct itimerspec interval = {};
        interval.it_value.tv_sec = static_cast<time_t>(seconds);
        interval.it_value.tv_nsec =
            static_cast<long>((seconds - static_cast<double>(interval.it_value.tv_sec)) * 1e9);
        interval.it_interval = interval.it_value;
        if (timerfd_settime(timer, 0, &interval, nullptr) != 0) return 1;
    }
    fd_set master;
    FD_ZERO(&master);
    FD_SET(timer, &master);
    for (;;) {
        fd_set ready = master;
        if (select(timer + 1, &ready, nullptr, nullptr, nullptr) <= 0) continue;
        uint64_t expiries = 0;
        if (read(timer, &expiries, sizeof expiries) < 0) return 1;
    }
}
