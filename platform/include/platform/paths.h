// Every fixed path of the daemon ("/zellocal/...", "/tmp/ulv.pid", "/dev/rtc_sw", ...) goes
// through PlatformResolvePath before it is opened. The handset uses the paths as they are; the
// sim target places them under the sandbox root named by ULV_SIM_ROOT.
// Paths taken from the environment (ZEL_APP_WRITE_PATH) are used as given and not resolved.
#pragma once

#include <cstddef>

inline constexpr size_t PLATFORM_PATH_MAX = 512;

struct PlatformPathBuffer {
    char text[PLATFORM_PATH_MAX];
};

// Returns the path to open for `fixedPath`: either `fixedPath` itself or `out.text`.
// A resolved path that does not fit `out` comes back empty, so that opening it fails.
const char* PlatformResolvePath(const char* fixedPath, PlatformPathBuffer& out);
