// The timer device on the host, on accelerated time.
// The device has one timer slot. Starting a timer replaces the armed one; deleting a record
// that is not the armed one is a successful no-op (the daemon starts the new timer before it
// deletes the old one, and the start has already replaced it).
//
// Every expiry is delivered on its own, as the handset's device does: a timerfd counts the
// expiries since it was last read, and when the daemon runs late (slow emulation, a long
// handler) one read returns several. The descriptor handed out is an epoll set of the timerfd
// and an eventfd: the acknowledgement reads the timerfd, keeps the expiries it found beyond
// the one acknowledged as owed, and holds the eventfd readable while any are owed, so the
// descriptor becomes readable once per expiry.
#include "platform/rtc_sw.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "sim_env.h"

namespace {

struct Device {
    int fd = -1;      // the epoll set: readable while an expiry waits
    int timer = -1;   // timerfd
    int owedFd = -1;  // eventfd, readable while `owed` is not 0
    bool armed = false;
    uint64_t owed = 0;  // expiries read from the timer and not yet acknowledged
    RtcSwTimer record{};
};
Device devices[4];

Device* Find(int fd) {
    for (Device& device : devices)
        if (device.fd == fd && fd >= 0) return &device;
    return nullptr;
}

void CloseAll(Device& device) {
    for (int fd : {device.fd, device.timer, device.owedFd})
        if (fd >= 0) close(fd);
    device = Device{};
}

// Makes the eventfd readable exactly while expiries are owed.
void SyncOwed(Device& device) {
    uint64_t count = 0;
    (void)!read(device.owedFd, &count, sizeof count);  // cleared; EAGAIN when it already was
    if (device.owed > 0) {
        const uint64_t one = 1;
        (void)!write(device.owedFd, &one, sizeof one);
    }
}

// A new or removed timer: the expiries of the one it replaces are not owed any more.
void ForgetOwed(Device& device) {
    device.owed = 0;
    SyncOwed(device);
}

int Disarm(Device& device) {
    itimerspec off{};
    device.armed = false;
    ForgetOwed(device);
    return timerfd_settime(device.timer, 0, &off, nullptr);
}

int Acknowledge(Device& device) {
    uint64_t expiries = 0;
    if (read(device.timer, &expiries, sizeof expiries) < 0) {
        if (errno != EAGAIN) return -errno;
        expiries = 0;
    }
    device.owed += expiries;
    if (device.owed > 0) --device.owed;  // the one being acknowledged
    SyncOwed(device);
    return 0;
}

bool Watch(int set, int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    return epoll_ctl(set, EPOLL_CTL_ADD, fd, &event) == 0;
}

}  // namespace

int RtcSwOpen(const char* path) {
    // The sandbox holds a marker file for the device; without it the device is missing.
    if (access(path, F_OK) != 0) return -1;
    Device* slot = nullptr;
    for (Device& device : devices) {
        if (device.fd < 0) {
            slot = &device;
            break;
        }
    }
    if (slot == nullptr) {
        errno = EMFILE;
        return -1;
    }
    Device device;
    device.fd = epoll_create1(EPOLL_CLOEXEC);
    device.timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    device.owedFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (device.fd < 0 || device.timer < 0 || device.owedFd < 0 ||
        !Watch(device.fd, device.timer) || !Watch(device.fd, device.owedFd)) {
        int error = errno;
        CloseAll(device);
        errno = error;
        return -1;
    }
    *slot = device;
    return slot->fd;
}

int RtcSwRequest(int fd, unsigned long request, RtcSwTimer* record) {
    Device* device = Find(fd);
    if (device == nullptr) {
        errno = EBADF;
        return -1;
    }
    switch (request) {
        case RTC_SW_START: {
            if (record == nullptr) return -EINVAL;
            uint64_t seconds = uint64_t{record->hours} * 3600 + uint64_t{record->minutes} * 60 +
                               record->seconds;
            if (seconds == 0) return -EINVAL;
            itimerspec interval{};
            interval.it_value = sim::ScaledDuration(static_cast<double>(seconds));
            if (interval.it_value.tv_sec == 0 && interval.it_value.tv_nsec == 0)
                interval.it_value.tv_nsec = 1;  // a zero value would disarm
            interval.it_interval = interval.it_value;
            if (timerfd_settime(device->timer, 0, &interval, nullptr) != 0) return -errno;
            ForgetOwed(*device);
            device->armed = true;
            device->record = *record;
            return 0;
        }
        case RTC_SW_DELETE:
            if (record == nullptr) return -EINVAL;
            if (device->armed && std::memcmp(record, &device->record, sizeof *record) == 0)
                return Disarm(*device) == 0 ? 0 : -errno;
            return 0;
        case RTC_SW_ACK:
            return Acknowledge(*device);
        case RTC_SW_RELEASE:
            return Disarm(*device) == 0 ? 0 : -errno;
        default:
            return -ENOTTY;
    }
}

int RtcSwClose(int fd) {
    Device* device = Find(fd);
    if (device == nullptr) return close(fd);
    CloseAll(*device);
    return 0;
}
