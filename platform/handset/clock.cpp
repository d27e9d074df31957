#include "platform/clock.h"

#include <sys/select.h>
#include <sys/sysinfo.h>

int PlatformUptime(long* seconds) {
    struct sysinfo info {};
    if (sysinfo(&info) != 0) return -1;
    *seconds = info.uptime;
    return 0;
}

int PlatformSleep(unsigned seconds, const sigset_t* waitMask) {
    timespec duration{static_cast<time_t>(seconds), 0};
    return pselect(0, nullptr, nullptr, nullptr, &duration, waitMask) < 0 ? -1 : 0;
}
