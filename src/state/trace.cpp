#include "state/trace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/paths.h"
#include "state/placed_file.h"

void ULVFormatTraceStamp(time_t when, char (&out)[TRACE_STAMP_SIZE]) {
    std::memset(out, 0, sizeof out);
    tm local{};
    if (localtime_r(&when, &local) != nullptr) std::strftime(out, sizeof out, "%d %m %G %T", &local);
}

void ULVTrace(const char* sourceFile, int sourceLine, const char* format, ...) {
    // Formatted on the stack and appended with one write: no stream, no heap. Opened and
    // closed for every record, so a rotation needs no reopening and nothing is lost when the
    // process dies. The directory is shared with other software: a link (symbolic or hard)
    // or FIFO planted at the name is never written through. A record that cannot be written
    // is dropped.
    char record[TRACE_RECORD_SIZE];
    char stamp[TRACE_STAMP_SIZE];
    ULVFormatTraceStamp(std::time(nullptr), stamp);
    int head = std::snprintf(record, sizeof record, "%s %s:%d\t", stamp, sourceFile, sourceLine);
    if (head < 0) return;
    size_t used = static_cast<size_t>(head) < sizeof record ? static_cast<size_t>(head)
                                                            : sizeof record - 1;
    va_list args;
    va_start(args, format);
    int body = std::vsnprintf(record + used, sizeof record - used, format, args);
    va_end(args);
    if (body > 0) used += static_cast<size_t>(body) < sizeof record - used
                              ? static_cast<size_t>(body)
                              : sizeof record - used - 1;

    PlatformPathBuffer pathBuffer;
    int fd = open(PlatformResolvePath(TRACE_FILE_PATH, pathBuffer),
                  O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return;
    struct stat status {};
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_nlink == 1)
        ULVWriteAll(fd, record, used);
    close(fd);
}

int ULVCheckTraceFile() {
    PlatformPathBuffer traceBuffer;
    PlatformPathBuffer backupBuffer;
    const char* tracePath = PlatformResolvePath(TRACE_FILE_PATH, traceBuffer);
    struct stat status {};
    if (stat(tracePath, &status) != 0) {
        ULV_TRACE("ERR: Stat ulvPanicinfo - %s\n", std::strerror(errno));
        return -1;
    }
    if (status.st_size > TRACE_ROTATE_ABOVE &&
        std::rename(tracePath, PlatformResolvePath(TRACE_BACKUP_PATH, backupBuffer)) != 0) {
        ULV_LOG("Rename the file failed - %s\n\r", std::strerror(errno));
        return -1;
    }
    return 0;
}
