#include "state/placed_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/paths.h"

namespace {

bool IsExpectedKind(mode_t mode, PlacedKind kind) {
    if (S_ISREG(mode)) return true;
    return kind == PlacedKind::RegularOrDevice && S_ISBLK(mode);
}

// O_NONBLOCK only matters for the open of a FIFO or a character device, which the check below
// then refuses; reads of regular files and block devices ignore it, so it is left set.
int CheckOpened(int fd, PlacedKind kind) {
    if (fd < 0) return -1;
    struct stat status {};
    int error = 0;
    if (fstat(fd, &status) != 0) error = errno;
    else if (!IsExpectedKind(status.st_mode, kind)) error = EINVAL;
    if (error == 0) return fd;
    close(fd);
    errno = error;
    return -1;
}

constexpr int kOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

}  // namespace

int ULVOpenPlaced(const char* path, PlacedKind kind) {
    return CheckOpened(open(path, kOpenFlags), kind);
}

int ULVOpenPlacedAt(int dirFd, const char* name, PlacedKind kind) {
    return CheckOpened(openat(dirFd, name, kOpenFlags), kind);
}

int ULVOpenPlacedFixed(const char* fixedPath, PlacedKind kind) {
    PlatformPathBuffer buffer;
    return ULVOpenPlaced(PlatformResolvePath(fixedPath, buffer), kind);
}

int ULVCreateFresh(const char* path, mode_t mode) {
    constexpr int kAttempts = 3;  // only a process racing the daemon makes a second one needed
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (unlink(path) != 0 && errno != ENOENT) return -1;
        int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, mode);
        if (fd >= 0) {
            // Exactly `mode`, whatever the process's file-creation mask.
            if (fchmod(fd, mode) != 0) {
                int error = errno;
                close(fd);
                errno = error;
                return -1;
            }
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    errno = EEXIST;
    return -1;
}

ssize_t ULVReadFull(int fd, void* buffer, size_t size) {
    auto* at = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, at + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

bool ULVWriteAll(int fd, const void* bytes, size_t size) {
    const auto* at = static_cast<const char*>(bytes);
    while (size > 0) {
        ssize_t n = write(fd, at, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void ULVReadLinePieces(int fd, LinePieceHandler piece, void* context) {
    char input[4096];
    char text[LINE_PIECE_MAX + 1];
    size_t length = 0;
    for (;;) {
        const ssize_t got = read(fd, input, sizeof input);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        for (ssize_t i = 0; i < got; ++i) {
            text[length++] = input[i];
            if (input[i] == '\n' || length == LINE_PIECE_MAX) {
                text[length] = '\0';
                if (!piece(text, length, context)) return;
                length = 0;
            }
        }
    }
    if (length > 0) {
        text[length] = '\0';
        piece(text, length, context);
    }
}
