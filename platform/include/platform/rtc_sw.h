// The hardware timer device "/dev/rtc_sw": one armed timer that repeats at its interval until
// it is deleted; an expiry makes the descriptor readable.
#pragma once

#include <cstdint>

// Device requests (ioctl numbers: type 'q').
inline constexpr unsigned long RTC_SW_START = 0x40047101;   // write, nr 1, size 4: arm
inline constexpr unsigned long RTC_SW_DELETE = 0x40047103;  // write, nr 3, size 4: disarm
inline constexpr unsigned long RTC_SW_ACK = 0x7104;         // acknowledge one expiry
inline constexpr unsigned long RTC_SW_RELEASE = 0x7105;     // release before close

// The device's argument record: four unsigned 32-bit numbers in the processor's own order.
struct RtcSwTimer {
    uint32_t hours;
    uint32_t minutes;
    uint32_t seconds;  // 0 to 59
    uint32_t reserved; // always 0
};
static_assert(sizeof(RtcSwTimer) == 16, "the device takes a 16-byte record");

// open(path, O_RDWR) on the handset. Returns the descriptor or -1 with errno set.
int RtcSwOpen(const char* path);
// ioctl(fd, request, record) on the handset; `record` is null for RTC_SW_ACK and RTC_SW_RELEASE.
// Returns 0 on success, nonzero otherwise.
int RtcSwRequest(int fd, unsigned long request, RtcSwTimer* record);
int RtcSwClose(int fd);
