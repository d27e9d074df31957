// System uptime and sleeping. The sim target can run them on accelerated time.
#pragma once

#include <csignal>

// Whole seconds since boot, as sysinfo reports them. Returns 0, or -1 with errno set.
int PlatformUptime(long* seconds);

// Sleeps `seconds`, with `waitMask` as the signal mask while sleeping (as pselect does), so a
// signal blocked elsewhere can end the sleep early. Returns 0, or -1 when a signal ended it.
int PlatformSleep(unsigned seconds, const sigset_t* waitMask);
