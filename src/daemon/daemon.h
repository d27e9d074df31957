// Daemon core: start-up, the event loop, telephony messages and the radio-state flags.
#pragma once

#include <sys/select.h>

#include <cstddef>
#include <cstdint>

inline constexpr char PID_FILE_PATH[] = "/tmp/ulv.pid";
inline constexpr char TIMER_DEVICE_PATH[] = "/dev/rtc_sw";
inline constexpr char TEST_NETWORK_ID[] = "001-01";
inline constexpr int TAPI_CONNECT_RETRIES = 10;
inline constexpr size_t NETWORK_ID_SIZE = 16;

// Main routine; returns the exit status.
int ULVMain();
// Closes every descriptor above 2 the process was started with, so that nothing the launcher
// left open (a pipe, a socket, a lock) stays held by the detached daemon.
void ULVCloseInheritedDescriptors();
// The same for kernels without close_range: closes what /proc/self/fd lists above 2, read with
// getdents64 into a stack buffer (no directory stream, no heap). -1 when it cannot be listed.
int ULVCloseListedDescriptors();
// Detaches into the background (double fork); returns only in the daemon process.
void ULVDaemonize();
void ULVWritePidFile();
// TAPI_CLIENT_Init with up to 10 retries 1 second apart; the last result.
int ULVConnectTapi();
// Start-up look at the network, the signal and the service. Returns the start-up service
// availability byte (1: in service), which the loop keeps for the whole run.
uint8_t ULVFirstRadioChecks();
// Serves the ready descriptors of one wake-up: the telephony message first, then the timer
// expiry. Returns 1 when the daemon must take its exit path.
int ULVServeWakeup(const fd_set& ready, uint8_t startupInService);
// Waits and serves until the exit path is due.
void ULVRunEventLoop(uint8_t startupInService);
// Releases the timer device, closes the connections and logs "Exit ULV!".
void ULVExitPath();

// Telephony messages and the radio-state flags.
int ULVHandleTapiMessage(int fd);
void ULVReadSignalQuality();
void ULVSetInService(uint8_t value);
void ULVSetPlmnValid(uint8_t value);
void ULVSetSignalQualityState(uint8_t value);
int ULVStartupPending();  // 1 while the start-up report decision has not run

// Data limits of the telephony messages.
inline constexpr uint16_t SMS_SEND_CNF_MAX = 12;
inline constexpr uint16_t SIGNAL_QUALITY_MAX = 4;
inline constexpr uint16_t SERVICE_AVAILABILITY_MAX = 1;
inline constexpr uint16_t REGISTERED_MAX = 16;
