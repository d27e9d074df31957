#include "platform/rtc_sw.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

int RtcSwOpen(const char* path) { return open(path, O_RDWR | O_CLOEXEC); }

int RtcSwRequest(int fd, unsigned long request, RtcSwTimer* record) {
    return record != nullptr ? ioctl(fd, request, record) : ioctl(fd, request);
}

int RtcSwClose(int fd) { return close(fd); }
