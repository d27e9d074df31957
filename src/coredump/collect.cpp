// Application core dumps: discovery and bookkeeping.
#include <unistd.h>

#include <cerrno>

#include "coredump/coredump.h"
#include "state/daemon_state.h"
#include "state/trace.h"

// PLACEHOLDER: core files are not collected yet; a collection finds nothing to report, so the
// schedule goes on exactly as with an empty dump directory.
int ULVAPCDCollect() { return 0; }

void ULVDeleteFile(const char* path) {
    if (unlink(path) != 0) ULV_TRACE("error when deleting %s\n\n", path);
}
