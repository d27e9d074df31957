// The sandbox of the sim target, shared by the daemon's sim platform and the simulated
// handset:
//   ULV_SIM_ROOT    the sandbox root, an absolute path other than "/"; every fixed path of the
//                   daemon lives below it. When it is not set, relative or "/", a sim process
//                   refuses to run (status 2) rather than touch the host's own /tmp, /dev or
//                   /zellocal.
//   ULV_TIME_SCALE  how many simulated seconds pass in one real second (default 1). Timer
//                   intervals and sleeps are divided by it, elapsed uptime is multiplied by it.
//   <root>/sim/boot "<CLOCK_MONOTONIC ns> <uptime s>": the simulated boot. Every process of one
//                   sandbox reads it, so they agree on the uptime; a test chooses the starting
//                   uptime by writing it (ULV_SIM_UPTIME when the handset prepares the root).
#pragma once

#include <cstdint>
#include <ctime>

namespace sim {

inline constexpr char kBootFileName[] = "sim/boot";

const char* Root();  // exits with status 2 when ULV_SIM_ROOT is unset, relative or "/"
double TimeScale();
int64_t MonotonicNs();
// Real duration of `simSeconds` simulated seconds.
timespec ScaledDuration(double simSeconds);
// Writes the boot file: the simulated uptime is `uptimeSeconds` now. Returns 0 or -1.
int WriteBoot(long uptimeSeconds);
// Simulated uptime in seconds. Creates the boot file (uptime 0 or ULV_SIM_UPTIME) when it is
// missing. Returns 0 or -1.
int Uptime(long* seconds);

}  // namespace sim
