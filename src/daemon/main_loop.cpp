// Start-up, detaching, the telephony connection and the event loop.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "daemon/daemon.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/rtc_sw.h"
#include "platform/tapi.h"
#include "scheduling/scheduling.h"
#include "state/daemon_state.h"
#include "state/flex_config.h"
#include "state/init.h"
#include "state/placed_file.h"
#include "state/trace.h"

namespace {

// The telephony messages the daemon subscribes to, in this order.
constexpr uint16_t kSubscription[] = {SERVICE_AVAILABILITY_MSGID, REGISTERED_MSGID,
                                      SIGNAL_QUALITY_MSGID, SMS_SEND_CNF_MSGID};
constexpr int kSubscriptionCount = 4;

// The library answers 0 or -1 on failure; any other value that is no usable descriptor is
// taken as one too, rather than set in a descriptor set it does not fit.
bool IsConnected(int fd) { return fd > 0 && fd < FD_SETSIZE; }

// Whether the timer device is readable now. The wait's answer can be stale after a telephony
// message: serving it may start or delete the timer, and the device then owes nothing for the
// one that went off. Where the device cannot be asked, the wait's answer stands.
bool TimerStillReadable() {
    pollfd timer{ulvState.timerFd, POLLIN, 0};
    const int ready = poll(&timer, 1, 0);
    return ready < 0 || (ready == 1 && (timer.revents & POLLIN) != 0);
}

void ForkOrExit() {
    pid_t pid = fork();
    if (pid < 0) {
        ULV_TRACE("fork failed %s\n", std::strerror(errno));
        _exit(1);
    }
    if (pid > 0) _exit(0);
}

}  // namespace

void ULVDaemonize() {
    ForkOrExit();
    if (setsid() < 0) {
        ULV_TRACE("setsid() failed %s\n", std::strerror(errno));
        _exit(1);
    }
    ForkOrExit();  // the daemon is not a session leader, so it never gets a terminal
    ULV_TRACE("ULV is starting with pid - %d\n", static_cast<int>(getpid()));
    (void)!chdir("/");
    umask(0);
    int devNull = open("/dev/null", O_RDWR);
    if (devNull >= 0) {
        dup2(devNull, STDIN_FILENO);
        dup2(devNull, STDOUT_FILENO);
        dup2(devNull, STDERR_FILENO);
        if (devNull > STDERR_FILENO) close(devNull);
    }
}

void ULVWritePidFile() {
    // Created anew: a link or FIFO another process placed at the name is removed, never
    // written through. Readable by all, like any pid file.
    PlatformPathBuffer buffer;
    int fd = ULVCreateFresh(PlatformResolvePath(PID_FILE_PATH, buffer), 0644);
    if (fd < 0) return;
    char text[16];
    int n = std::snprintf(text, sizeof text, "%d", static_cast<int>(getpid()));
    if (n > 0) (void)ULVWriteAll(fd, text, static_cast<size_t>(n));
    close(fd);
}

int ULVConnectTapi() {
    int fd = TAPI_CLIENT_Init(kSubscription, kSubscriptionCount);
    int retries = 0;
    while (!IsConnected(fd)) {
        PlatformSleep(1, &ulvState.waitMask);
        ULVServeSigterm();
        ++retries;
        if (retries > TAPI_CONNECT_RETRIES) break;
        ULV_LOG("Try to connect TAPI Server %d times\n\r", retries);
        fd = TAPI_CLIENT_Init(kSubscription, kSubscriptionCount);
    }
    return fd;
}

uint8_t ULVFirstRadioChecks() {
    char countryCode[TAPI_NETWORK_CODE_SIZE] = {};
    char networkCode[TAPI_NETWORK_CODE_SIZE] = {};
    if (TAPI_NETWORK_GetCurrentNetworkId(countryCode, networkCode) != 0) {
        ULV_LOG("TAPI_NETWORK_GetCurrentNetworkId  Invoke failure\n\r");
    } else {
        countryCode[TAPI_NETWORK_CODE_SIZE - 1] = '\0';
        networkCode[TAPI_NETWORK_CODE_SIZE - 1] = '\0';
        char networkId[NETWORK_ID_SIZE] = {};
        std::snprintf(networkId, sizeof networkId, "%s%s%s", countryCode, "-", networkCode);
        if (std::strcmp(networkId, TEST_NETWORK_ID) != 0) ULVSetPlmnValid(1);
    }

    ULVReadSignalQuality();

    uint8_t available = 0;
    if (TAPI_ACCE_GetServiceAvailability(&available) != 0)
        ULV_LOG("TAPI_ACCE_GetServiceAvailability Invoke failure\n\r");
    if (available == 1) {
        ULVSetInService(1);
        if (ULVStartupPending() == 1 && ULVCheckGateway() == GATEWAY_AVAILABLE) {
            gatewayState = GATEWAY_STATE_CONFIRMED;
            ULVStartupDecision();
        }
    }
    return available;
}

int ULVServeWakeup(const fd_set& ready, uint8_t startupInService) {
    bool timerReady = FD_ISSET(ulvState.timerFd, &ready);
    if (FD_ISSET(ulvState.tapiFd, &ready)) {
        if (ULVHandleTapiMessage(ulvState.tapiFd) == -1) return 1;
        timerReady = timerReady && TimerStillReadable();
    }
    if (timerReady) {
        ULV_LOG("Hardware timer goes off\n\r");
        ULV_TRACE("Hardware timer goes off\n");
        ULVTimerHandler();
        if (gatewayState == GATEWAY_STATE_GIVE_UP) return 1;  // the expiry is not acknowledged
        if (gatewayState == GATEWAY_STATE_CHECK_OK) {
            gatewayState = GATEWAY_STATE_CONFIRMED;
            if (startupInService == 1) ULVStartupDecision();
        }
        int result = ULVAcknowledgeTimer();
        if (result != 0) ULV_LOG("Hardware job done error %d\n\r", result);
    }
    return 0;
}

void ULVRunEventLoop(uint8_t startupInService) {
    fd_set master;
    FD_ZERO(&master);
    FD_SET(ulvState.tapiFd, &master);
    FD_SET(ulvState.timerFd, &master);
    int count = (ulvState.tapiFd > ulvState.timerFd ? ulvState.tapiFd : ulvState.timerFd) + 1;
    for (;;) {
        fd_set ready = master;
        ULV_LOG("Waiting for the Async messages...\n\r");
        // SIGTERM is blocked everywhere but here (and in the connection retries' sleep), so
        // its work runs right after the wait it interrupted, never on top of other work.
        int result = pselect(count, &ready, nullptr, nullptr, nullptr, &ulvState.waitMask);
        ULVServeSigterm();
        if (result <= 0) {
            ULV_LOG("timeout or exception occurs\n\r");
            continue;
        }
        if (ULVServeWakeup(ready, startupInService) != 0) return;
    }
}

void ULVExitPath() {
    ULVReleaseTimer();
    RtcSwClose(ulvState.timerFd);
    TAPI_CLIENT_Fini();
    ULV_LOG("Exit ULV!\n\r");
    _aplog_exit(0);
}

int ULVMain() {
    ULVBlockSigterm();
    ULVCloseInheritedDescriptors();
    _aplog_init(APLOG_PORT_NAME, 0);
    if (ULVGetFlexConfig() != 0) {
        ULV_TRACE("Exit ULV due to ULVGetFlexConfig() failure\n");
        _aplog_exit(0);
        return 0;
    }
    ULVDaemonize();
    ULVWritePidFile();
    ULVInit();

    ulvState.tapiFd = ULVConnectTapi();
    if (!IsConnected(ulvState.tapiFd)) {
        ULV_LOG("TAPI_CLIENT_Init Failure\n\r");
        _aplog_exit(0);
        return 0;
    }

    PlatformPathBuffer buffer;
    ulvState.timerFd = RtcSwOpen(PlatformResolvePath(TIMER_DEVICE_PATH, buffer));
    if (ulvState.timerFd < 0) {
        // Without the timer nothing could ever be scheduled or sent: rather than wait for
        // ever on the telephony alone, leave now. The configuration is untouched, so the
        // next start finds every unreported crash again.
        ULV_LOG("Can't open the timer device - %s\n\r", std::strerror(errno));
        ULV_TRACE("Can't open the timer device - %s\n", std::strerror(errno));
        TAPI_CLIENT_Fini();
        ULV_LOG("Exit ULV!\n\r");
        _aplog_exit(0);
        return 0;
    }

    uint8_t startupInService = ULVFirstRadioChecks();
    ULVRunEventLoop(startupInService);
    ULVExitPath();
    return 0;
}
