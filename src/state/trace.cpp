#include "state/trace.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/paths.h"

void ULVFormatTraceStamp(time_t when, char (&out)[TRACE_STAMP_SIZE]) {
    std::memset(out, 0, sizeof out);
    tm local{};
    if (localtime_r(&when, &local) != nullptr) std::strftime(out, sizeof out, "%d %m %G %T", &local);
}

void ULVTrace(const char* sourceFile, int sourceLine, const char* format, ...) {
    // Opened, written unbuffered and closed for every record: a rotation needs no reopening,
    // and nothing is lost when the process dies. A file that cannot be opened drops the record.
    PlatformPathBuffer pathBuffer;
    FILE* file = std::fopen(PlatformResolvePath(TRACE_FILE_PATH, pathBuffer), "a");
    if (file == nullptr) return;
    std::setvbuf(file, nullptr, _IONBF, 0);
    char stamp[TRACE_STAMP_SIZE];
    ULVFormatTraceStamp(std::time(nullptr), stamp);
    std::fprintf(file, "%s %s:%d\t", stamp, sourceFile, sourceLine);
    va_list args;
    va_start(args, format);
    std::vfprintf(file, format, args);
    va_end(args);
    std::fclose(file);
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
