// Application core dumps: finding core files one at a time in the dump directory, checking their
// names, and the bookkeeping that bounds the work (passes per periodic cycle, failed reports).
//
// The dump directory is written by other processes, some of them crashing, some perhaps
// hostile. So: the directory is opened without following a link and listed through its
// descriptor; a candidate is opened once (no link followed, no blocking open) and the open
// handle is what is checked and later read; deletions are by name relative to the directory
// descriptor (unlinkat removes a link itself, never its target); an entry that is a directory
// can never be removed, so it is left out of the listing instead of using up a pass.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "coredump/core_file_layout.h"
#include "coredump/coredump.h"
#include "platform/paths.h"
#include "state/daemon_state.h"
#include "state/placed_file.h"
#include "state/trace.h"

namespace {

// Directory listing: the getdents64 system call into one static buffer. glibc's opendir
// allocates its buffer on the heap at every call, and a periodic tick may list the directory,
// so the listing is done here without any allocation. Record (linux_dirent64, the same on
// every architecture): u64 inode, s64 offset, u16 record length at 16, u8 type at 18, the
// NUL-terminated name from 19.
constexpr size_t kDirentReclenAt = 16;
constexpr size_t kDirentTypeAt = 18;
constexpr size_t kDirentNameAt = 19;
constexpr uint8_t kDirentTypeUnknown = 0;    // DT_UNKNOWN
constexpr uint8_t kDirentTypeDirectory = 4;  // DT_DIR
alignas(8) uint8_t listingBuffer[4096];

constexpr char kCoreFilePrefix[] = "core.";
constexpr size_t kCoreFilePrefixLength = sizeof kCoreFilePrefix - 1;

bool IsDirectory(int dirFd, const char* name, uint8_t type) {
    if (type == kDirentTypeDirectory) return true;
    if (type != kDirentTypeUnknown) return false;
    struct stat status {};
    return fstatat(dirFd, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(status.st_mode);
}

// The first entry whose name contains "core" and that is not a directory, in the order the
// directory yields them. Returns its name (inside the listing buffer), nullptr when there is
// none, or nullptr with *error set (left alone otherwise) when the directory cannot be read.
const char* FirstCandidate(int dirFd, int* error) {
    for (;;) {
        const long got = syscall(SYS_getdents64, dirFd, listingBuffer, sizeof listingBuffer);
        if (got < 0) {
            *error = errno;
            return nullptr;
        }
        if (got == 0) return nullptr;
        const size_t end = static_cast<size_t>(got);
        for (size_t at = 0; at + kDirentNameAt < end;) {
            uint16_t length = 0;
            std::memcpy(&length, listingBuffer + at + kDirentReclenAt, sizeof length);
            if (length <= kDirentNameAt || length > end - at) break;  // not a whole record
            const char* name = reinterpret_cast<const char*>(listingBuffer + at + kDirentNameAt);
            const uint8_t type = listingBuffer[at + kDirentTypeAt];
            at += length;
            if (std::memchr(name, '\0', length - kDirentNameAt) == nullptr) continue;
            if (std::strstr(name, "core") == nullptr) continue;
            if (IsDirectory(dirFd, name, type)) continue;
            return name;
        }
    }
}

// The name of a core file path inside the dump directory, or nullptr for any other path.
const char* CoreFileName(const char* path) {
    if (std::strncmp(path, CORE_DUMP_DIR, CORE_NAME_AT - 1) != 0 || path[CORE_NAME_AT - 1] != '/')
        return nullptr;
    const char* name = path + CORE_NAME_AT;
    if (name[0] == '\0' || std::strchr(name, '/') != nullptr) return nullptr;
    return name;
}

// The candidate's status, taken from its open handle; a candidate that is not a regular file
// (a link, a FIFO, a device) fails like a status that cannot be read. Any other failure to
// open it is the parser's open failure, and the status then comes from the entry itself.
bool CheckCandidate(CoreDumpPass& pass, const char* name, struct stat* status) {
    if (fstatat(pass.dirFd, name, status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status->st_mode))
        return false;
    pass.fileFd = ULVOpenPlacedAt(pass.dirFd, name, PlacedKind::Regular);
    if (pass.fileFd < 0) return errno != ELOOP && errno != EINVAL;  // replaced meanwhile
    return fstat(pass.fileFd, status) == 0;
}

}  // namespace

int ULVOpenDumpDirectory() {
    PlatformPathBuffer buffer;
    const char* directory = PlatformResolvePath(CORE_DUMP_DIR, buffer);
    return open(directory, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
}

CoreDumpPass::~CoreDumpPass() {
    if (fileFd >= 0) close(fileFd);
    if (dirFd >= 0) close(dirFd);
}

int ULVAPCDCollect() {
    DaemonState& state = ulvState;
    for (;;) {
        const uint8_t passes = state.apcdAttempts++;
        if (passes > APCD_MAX_PASSES - 1 || state.apcdFailures > APCD_MAX_FAILURES - 1) return 0;
        CoreDumpRecord record{};
        CoreDumpPass pass;
        if (ULVAPCDGetDumpFile(pass, record.path) < 0) {
            ULV_TRACE("Get APCD failed \n\n");
            return 0;
        }
        if (ULVAPCDGetModuleInfo(pass, record.path, &record) == 0) {
            ULVAPCDGetPanicInfo(&record, pass.fileFd);
            ULVAPCDSendReport(&record);
            return 0;
        }
        ULV_TRACE("error when get Module Info\n\n");
    }
}

int ULVAPCDGetDumpFile(CoreDumpPass& pass, char* path) {
    int error = 0;
    const char* name = nullptr;
    if (pass.dirFd < 0) pass.dirFd = ULVOpenDumpDirectory();
    if (pass.dirFd < 0)
        error = errno;
    else
        name = FirstCandidate(pass.dirFd, &error);
    if (error != 0) {
        ULV_LOG("Read dir failed - %s\n\r", std::strerror(error));
        ULV_TRACE("Read dir failed - %s\n", std::strerror(error));
        return -2;
    }
    if (name == nullptr) {
        ULV_LOG("No valid dump file\n\r");
        ULV_TRACE("No valid dump file\n");
        return -1;
    }
    // snprintf terminates the path; a failure (-1) reads as a huge length.
    const int length = std::snprintf(path, CORE_PATH_SIZE - 1, "%s/%s", CORE_DUMP_DIR, name);
    if (static_cast<size_t>(length) > CORE_PATH_MAX_LENGTH) {
        if (unlinkat(pass.dirFd, name, 0) != 0) ULV_TRACE("error when deleting %s\n\n", name);
        ULV_TRACE("invalid file name found, %s\n\n", path);
        path[0] = '\0';
        return -2;
    }
    return 0;
}

int ULVAPCDGetModuleInfo(CoreDumpPass& pass, const char* path, CoreDumpRecord* record) {
    const char* name = path + CORE_NAME_AT;
    struct stat status {};
    if (!CheckCandidate(pass, name, &status)) {
        ULV_TRACE("error when stat apcd\n\n");
        ULVDeleteFileAt(pass.dirFd, path);
        return -1;
    }
    record->fileTime = static_cast<uint32_t>(status.st_mtime);

    if (std::strncmp(name, kCoreFilePrefix, kCoreFilePrefixLength) != 0) {
        ULV_LOG("Unexpected filename %s\n\r", name);
        ULVDeleteFileAt(pass.dirFd, path);
        return -1;
    }
    const char* task = name + kCoreFilePrefixLength;
    const char* dot = std::strchr(task, '.');
    if (dot == nullptr || dot == task) {
        ULV_LOG("Unexpected filename %s\n\r", path);
        ULVDeleteFileAt(pass.dirFd, path);
        return -1;
    }
    size_t taskLength = static_cast<size_t>(dot - task);
    if (taskLength > CORE_TASK_NAME_MAX) taskLength = CORE_TASK_NAME_MAX;
    std::memcpy(record->taskName, task, taskLength);
    record->taskName[taskLength] = '\0';
    record->moduleId = CORE_MODULE_ID;
    return 0;
}

void ULVDeleteFileAt(int dirFd, const char* path) {
    const char* name = CoreFileName(path);
    if (dirFd < 0 || name == nullptr || unlinkat(dirFd, name, 0) != 0)
        ULV_TRACE("error when deleting %s\n\n", path);
}

void ULVDeleteFile(const char* path) {
    CoreDumpPass pass;
    pass.dirFd = ULVOpenDumpDirectory();
    ULVDeleteFileAt(pass.dirFd, path);
}
