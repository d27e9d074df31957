#include "platform/paths.h"

#include <cstdio>

#include "sim_env.h"

const char* PlatformResolvePath(const char* fixedPath, PlatformPathBuffer& out) {
    int n = std::snprintf(out.text, sizeof out.text, "%s%s", sim::Root(), fixedPath);
    if (n < 0 || static_cast<size_t>(n) >= sizeof out.text) out.text[0] = '\0';
    return out.text;
}
