// The timer device on the host: a timerfd per opened device, on accelerated time.
// The device has one timer slot. Starting a timer replaces the armed one; deleting a record
// that is not the armed one is a successful no-op (the daemon starts the new timer before it
// deletes the old one, and the start has already replaced it).
#include "platform/rtc_sw.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim_env.h"

namespace {

struct Device {
    int fd = -1;
    bool armed = false;
    RtcSwTimer record{};
};
Device devices[4];

Device* Find(int fd) {
    for (Device& device : devices)
        if (device.fd == fd && fd >= 0) return &device;
    return nullptr;
}

int Disarm(Device& device) {
    itimerspec off{};
    device.armed = false;
    return timerfd_settime(device.fd, 0, &off, nullptr);
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
    int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0) return -1;
    *slot = Device{fd, false, {}};
    return fd;
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
            if (timerfd_settime(fd, 0, &interval, nullptr) != 0) return -errno;
            device->armed = true;
            device->record = *record;
            return 0;
        }
        case RTC_SW_DELETE:
            if (record == nullptr) return -EINVAL;
            if (device->armed && std::memcmp(record, &device->record, sizeof *record) == 0)
                return Disarm(*device) == 0 ? 0 : -errno;
            return 0;
        case RTC_SW_ACK: {
            uint64_t expiries = 0;
            if (read(fd, &expiries, sizeof expiries) < 0 && errno != EAGAIN) return -errno;
            return 0;
        }
        case RTC_SW_RELEASE:
            return Disarm(*device) == 0 ? 0 : -errno;
        default:
            return -ENOTTY;
    }
}

int RtcSwClose(int fd) {
    Device* device = Find(fd);
    if (device != nullptr) *device = Device{};
    return close(fd);
}
