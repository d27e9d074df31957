#include "platform/clock.h"

#include <sys/select.h>

#include "sim_env.h"

int PlatformUptime(long* seconds) { return sim::Uptime(seconds); }

int PlatformSleep(unsigned seconds, const sigset_t* waitMask) {
    timespec duration = sim::ScaledDuration(seconds);
    return pselect(0, nullptr, nullptr, nullptr, &duration, waitMask) < 0 ? -1 : 0;
}
