// Files that other processes can place: crash evidence, core files, flash partitions, the
// configuration and its temporary copy. The daemon runs privileged among untrusted
// applications, so such a file is opened without following a link in its last component and
// without blocking (a FIFO with no writer opens at once instead of waiting for one), and the
// open handle, not the name, is checked to be what the daemon expects before a byte is read.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

enum class PlacedKind : uint8_t {
    Regular,           // evidence and configuration: regular files only
    RegularOrDevice,   // flash partitions: a block device on the handset, a plain file in the sim
};

// Opens `path` read-only (O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC) and checks the handle with
// fstat. Returns the descriptor, or -1 with errno set: ELOOP for a link, EINVAL for a file of
// another kind (a FIFO, a directory, a device where a regular file belongs), or the open's.
int ULVOpenPlaced(const char* path, PlacedKind kind);
// The same, for `name` relative to the directory `dirFd` (openat).
int ULVOpenPlacedAt(int dirFd, const char* name, PlacedKind kind);
// The same, for one of the daemon's fixed paths, resolved for the platform first.
int ULVOpenPlacedFixed(const char* fixedPath, PlacedKind kind);

// Creates `path` anew for writing, for the few files the daemon writes at fixed places another
// process can reach ("/tmp/ulv.pid", "/tmp/ulv.cfg", the configuration's temporary copy):
// whatever is there (a link, a FIFO, another process's file) is removed, and the file is created
// exclusively without following a link (O_CREAT | O_EXCL | O_NOFOLLOW) with exactly `mode`, so
// nothing placed there is ever written through. A file placed again between the removal and the
// creation is removed again, a few times at most. Returns the descriptor, or -1 with errno set.
int ULVCreateFresh(const char* path, mode_t mode);

// Reads until `size` bytes are in or the file ends, retrying interrupted and short reads.
// Returns the number of bytes read (less than `size` only at end of file), or -1 on error.
ssize_t ULVReadFull(int fd, void* buffer, size_t size);
// Writes all `size` bytes, retrying interrupted and short writes. False on any error.
bool ULVWriteAll(int fd, const void* bytes, size_t size);

// Feeds the file to `piece` cut as a 256-byte line reader (fgets) cuts it: a piece ends after a
// line feed (kept) or after LINE_PIECE_MAX characters, and comes NUL-terminated, so string
// functions see it up to its first NUL as they would. Stops at the end of the file, at a read
// error (what was read so far counts), or when `piece` returns false. Constant memory, whatever
// the file's size.
inline constexpr size_t LINE_PIECE_MAX = 255;
using LinePieceHandler = bool (*)(const char* text, size_t length, void* context);
void ULVReadLinePieces(int fd, LinePieceHandler piece, void* context);
