#include "platform/paths.h"

// On the handset every fixed path is the real one.
const char* PlatformResolvePath(const char* fixedPath, PlatformPathBuffer&) { return fixedPath; }
