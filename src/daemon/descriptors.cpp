// Descriptors the daemon inherits from whatever started it.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "daemon/daemon.h"

namespace {

constexpr int kFirstInherited = STDERR_FILENO + 1;

// close_range(2) through the raw call: the phone's C library may predate the wrapper, and the
// handset binary must not need a newer symbol than the phone has. 0, or -1 with errno.
int CloseRange(unsigned first) {
#ifdef SYS_close_range
    return static_cast<int>(syscall(SYS_close_range, first, ~0u, 0u));
#else
    (void)first;
    errno = ENOSYS;
    return -1;
#endif
}

// A directory entry as getdents64 returns it:
//   0 u64 inode, 8 s64 offset, 16 u16 record length, 18 u8 type, 19 NUL-terminated name
constexpr size_t kDirentLengthOffset = 16;
constexpr size_t kDirentNameOffset = 19;

// Parses a descriptor number name ("17"); -1 for "." and "..".
int DescriptorName(const char* name) {
    if (*name < '0' || *name > '9') return -1;
    int value = 0;
    for (; *name >= '0' && *name <= '9'; ++name) {
        if (value > (INT32_MAX - 9) / 10) return -1;
        value = value * 10 + (*name - '0');
    }
    return *name == '\0' ? value : -1;
}

}  // namespace

int ULVCloseListedDescriptors() {
#ifdef SYS_getdents64
    int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return -1;
    alignas(8) char entries[1024];
    for (;;) {
        long got = syscall(SYS_getdents64, dir, entries, sizeof entries);
        if (got <= 0) break;
        for (long at = 0; at + static_cast<long>(kDirentNameOffset) < got;) {
            uint16_t length = 0;
            std::memcpy(&length, entries + at + kDirentLengthOffset, sizeof length);
            if (length == 0) break;
            int fd = DescriptorName(entries + at + kDirentNameOffset);
            if (fd >= kFirstInherited && fd != dir) close(fd);
            at += length;
        }
    }
    close(dir);
    return 0;
#else
    return -1;
#endif
}

void ULVCloseInheritedDescriptors() {
    if (CloseRange(kFirstInherited) == 0) return;
    if (ULVCloseListedDescriptors() == 0) return;
    // No /proc: every descriptor number the process may hold.
    rlimit limit{};
    int highest = 1024;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        highest = limit.rlim_cur < 65536 ? static_cast<int>(limit.rlim_cur) : 65536;
    for (int fd = kFirstInherited; fd < highest; ++fd) close(fd);
}
