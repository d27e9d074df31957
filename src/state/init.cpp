// Initialisation, uptime accounting and the orderly end on SIGTERM.
#include "state/init.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "inventory/inventory.h"
#include "platform/clock.h"
#include "reports/reports.h"
#include "state/daemon_state.h"
#include "state/flex_config.h"
#include "state/trace.h"

int ULVInit() {
    ULVCheckTraceFile();

    // Report, radio and scheduling state; the panic lists, the timer, the sequence number,
    // the write guard and the core dump state keep their process-start zero.
    DaemonState& state = ulvState;
    state.hostLittleEndian = 0;
    state.reportUptime = 0;
    state.reportDelay = 0;
    state.pendingReports = 0;
    state.inService = 0;
    state.validPlmn = 0;
    state.currentTimerId = 0;
    state.timerExpired = 0;
    std::memset(state.serviceCentreAddress, 0, sizeof state.serviceCentreAddress);
    std::memset(state.emailGatewayAddress, 0, sizeof state.emailGatewayAddress);
    state.sqState = 0;
    std::memset(state.reportHeader, 0, sizeof state.reportHeader);
    std::memset(state.swChangeBody, 0, sizeof state.swChangeBody);
    std::memset(state.periodicBody, 0, sizeof state.periodicBody);
    state.bpRestoreTimestamp = 0;
    state.quelaRestoreTimestamp = 0;
    state.kernelRestoreTimestamp = 0;
    state.outgoingSms = OutgoingSms{};
    state.flexConfig = FlexConfig{};

    if (ULVGetFlexConfig() != 0) {
        ULV_TRACE("Exit ULV due to ULVGetFlexConfig() failure\n");
        _aplog_exit(0);
        std::exit(0);
    }

    long uptime = 0;
    if (PlatformUptime(&uptime) != 0) {
        // Counted from 0: the boot-to-start time then reaches the cumulative uptime with the
        // first accounting after the start instead of at the start-up decision, and nothing
        // is counted twice.
        ULV_TRACE("Fail to get sys info %s\n", std::strerror(errno));
        uptime = 0;
    }
    ULV_TRACE("uptime from sysinfo=%ld\n", uptime);
    state.lastUptimeSample = static_cast<uint32_t>(uptime);
    state.startupUptime = static_cast<uint32_t>(uptime);

    state.startupStage = 1;

    ULVDetectByteOrder();

    uint16_t fingerprint = static_cast<uint16_t>(ULVImageFingerprint());
    std::memcpy(state.reportHeader + REPORT_FINGERPRINT_OFFSET, &fingerprint, sizeof fingerprint);
    ULV_TRACE("CRC is 0x%04x\n", fingerprint);

    state.timerExpired = 0;
    ULVInstallSigtermHandler();
    return 0;
}

namespace {

void ChangeSigtermMask(int how) {
    sigset_t terminate;
    sigemptyset(&terminate);
    sigaddset(&terminate, SIGTERM);
    sigprocmask(how, &terminate, nullptr);
}

}  // namespace

void ULVBlockSigterm() { ChangeSigtermMask(SIG_BLOCK); }

void ULVInstallSigtermHandler() {
    // The handler only takes note; the work (account, save, log, end) runs in the main flow.
    // SIGTERM stays blocked except inside the waits, which unblock it atomically (pselect):
    // one arriving just before a wait, or at any time since the process started, is
    // delivered by that wait and served right after it, and it never lands in the middle of
    // a configuration write.
    ChangeSigtermMask(SIG_BLOCK);
    sigprocmask(SIG_BLOCK, nullptr, &ulvState.waitMask);
    sigdelset(&ulvState.waitMask, SIGTERM);
    struct sigaction action {};
    action.sa_handler = ULVSigtermHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    if (sigaction(SIGTERM, &action, nullptr) != 0) {
        ULV_LOG("SIGACTION FAILED - %s\n\r", std::strerror(errno));
        ChangeSigtermMask(SIG_UNBLOCK);  // without a handler SIGTERM keeps its default action
        return;
    }
    ULV_LOG("Successfully installed SIGTERM handler\n\r");
}

void ULVSigtermHandler(int signalNumber) {
    if (signalNumber == SIGTERM) ulvState.sigtermPending = 1;
}

void ULVServeSigterm() {
    if (ulvState.sigtermPending == 0) return;
    FlexConfig& config = ulvState.flexConfig;
    long uptime = 0;
    if (PlatformUptime(&uptime) == 0) {
        config.ulv_cummulative_uptime += static_cast<uint32_t>(uptime) - ulvState.lastUptimeSample;
        ULV_TRACE("cumulative uptime from signal handler=%d\n", config.ulv_cummulative_uptime);
    } else {
        ULV_LOG("Fail to get sys info %s\n\r", std::strerror(errno));
    }
    ULVSetFlexConfig();
    ULV_LOG("ULV Exit\n\r");
    _exit(0);
}

void ULVAccountUptimeTick() {
    FlexConfig& config = ulvState.flexConfig;
    config.ulv_cummulative_uptime += UPTIME_TICK_SECONDS;
    long uptime = 0;
    if (PlatformUptime(&uptime) == 0) {
        ulvState.lastUptimeSample = static_cast<uint32_t>(uptime);
        ULV_TRACE("Current UpTime %ld seconds and cumulativeuptime %d\n", uptime,
                  config.ulv_cummulative_uptime);
    } else {
        ULV_TRACE("Fail to get sys info %s\n", std::strerror(errno));
    }
    ULVSetFlexConfig();
}

void ULVComputeReportUptime() {
    const FlexConfig& config = ulvState.flexConfig;
    long uptime = 0;
    if (PlatformUptime(&uptime) == 0) {
        ULV_TRACE("Current UpTime %ld seconds and CumulativeUptime %d\n", uptime,
                  config.ulv_cummulative_uptime);
        uint32_t sinceSample = static_cast<uint32_t>(uptime) - ulvState.lastUptimeSample;
        ulvState.reportUptime = static_cast<uint32_t>(config.ulv_cummulative_uptime + sinceSample);
    } else {
        ulvState.reportUptime = config.ulv_cummulative_uptime;
    }
}
