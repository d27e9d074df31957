// libulv-heap-window.so: an LD_PRELOAD library that counts the heap allocations of the sim
// daemon per wake-up of its event loop, for scripts/footprint.sh.
//
// A wake-up opens when the daemon's wait (pselect) returns ready and closes when it waits
// again. The submission of an SMS is seen as the telephony client's send of a call with the
// code kCallSendSms. For every wake-up one line is appended to $ULV_HEAP_WINDOW_LOG:
//   "wake allocations=<n> message=<0|1> submitted=<0|1> to_submission=<m>"
// n: allocations over the whole wake-up; message: a telephony message was read in it (its
// block is the telephony library's own allocation); m: allocations from the wake-up to the
// submission (n when nothing was submitted). The file is opened for every line, because the
// daemon closes every descriptor it inherits or did not open itself.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "heap_counter.h"
#include "sim_protocol.h"

namespace {

using PselectFunction = int (*)(int, fd_set*, fd_set*, fd_set*, const timespec*, const sigset_t*);
using SendFunction = ssize_t (*)(int, const void*, size_t, int);
using SendmsgFunction = ssize_t (*)(int, const msghdr*, int);
using RecvFunction = ssize_t (*)(int, void*, size_t, int);

PselectFunction realPselect = nullptr;
SendFunction realSend = nullptr;
SendmsgFunction realSendmsg = nullptr;
RecvFunction realRecv = nullptr;

bool open_ = false;  // inside a wake-up
unsigned long atWake = 0;
unsigned long atSubmission = 0;
bool submitted = false;
bool message = false;
int eventFd = -1;

unsigned long Allocations() {
    return ulvheap::HeapAllocations();
}

void Emit() {
    const char* path = std::getenv("ULV_HEAP_WINDOW_LOG");
    if (path == nullptr) return;
    char line[160];
    const unsigned long whole = Allocations() - atWake;
    int n = std::snprintf(
        line, sizeof line, "wake allocations=%lu message=%d submitted=%d to_submission=%lu\n",
        whole, message ? 1 : 0, submitted ? 1 : 0, submitted ? atSubmission - atWake : whole);
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || n <= 0) return;
    (void)!write(fd, line, static_cast<size_t>(n));
    close(fd);
}

__attribute__((constructor)) void Resolve() {
    realPselect = reinterpret_cast<PselectFunction>(dlsym(RTLD_NEXT, "pselect"));
    realSend = reinterpret_cast<SendFunction>(dlsym(RTLD_NEXT, "send"));
    realSendmsg = reinterpret_cast<SendmsgFunction>(dlsym(RTLD_NEXT, "sendmsg"));
    realRecv = reinterpret_cast<RecvFunction>(dlsym(RTLD_NEXT, "recv"));
}

}  // namespace

// The allocator is heap_counter.cpp's.
extern "C" {

int pselect(int count, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet,
            const timespec* timeout, const sigset_t* mask) {
    if (open_) Emit();
    open_ = false;
    int result = realPselect(count, readSet, writeSet, exceptSet, timeout, mask);
    // A wait with a time-out is the connection retries' sleep, not the event loop.
    if (result > 0 && timeout == nullptr) {
        open_ = true;
        atWake = Allocations();
        submitted = message = false;
    }
    return result;
}

// The connection hellos go out with send, the calls with sendmsg (code first).
ssize_t send(int fd, const void* buffer, size_t length, int flags) {
    const unsigned char* bytes = static_cast<const unsigned char*>(buffer);
    if (length >= 1 && bytes[0] == sim::kHelloEvents) eventFd = fd;
    return realSend(fd, buffer, length, flags);
}

ssize_t sendmsg(int fd, const msghdr* request, int flags) {
    if (open_ && request->msg_iovlen >= 1 && request->msg_iov[0].iov_len >= 2 &&
        sim::GetLe16(static_cast<const uint8_t*>(request->msg_iov[0].iov_base)) ==
            sim::kCallSendSms) {
        atSubmission = Allocations();
        submitted = true;
    }
    return realSendmsg(fd, request, flags);
}

ssize_t recv(int fd, void* buffer, size_t length, int flags) {
    if (open_ && fd == eventFd) message = true;
    return realRecv(fd, buffer, length, flags);
}

}  // extern "C"
