// Once per run: account the boot-to-start time, read the versions and the crash evidence,
// and queue what this boot has to report.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "coredump/coredump.h"
#include "panics/panics.h"
#include "reports/reports.h"
#include "scheduling/scheduling.h"
#include "state/daemon_state.h"
#include "state/flex_config.h"
#include "state/init.h"
#include "state/trace.h"

namespace {

bool SoftwareChanged() {
    const DaemonState& state = ulvState;
    const char* header = reinterpret_cast<const char*>(state.reportHeader);
    return std::strncmp(header + REPORT_FLEX_VERSION_OFFSET,
                        state.flexConfig.ulv_last_flex_version, REPORT_LABEL_SIZE) != 0 ||
           std::strncmp(header + REPORT_AP_BUILD_LABEL_OFFSET,
                        state.flexConfig.ulv_lst_bldinfo_baselabel, REPORT_LABEL_SIZE) != 0;
}

// A new software makes every crash found so far old news: it is marked handled, unreported.
void MarkCrashesHandled() {
    DaemonState& state = ulvState;
    FlexConfig& config = state.flexConfig;
    // The newest is the last entry loaded (the last of the sort index when there is one).
    if (state.bpLoadedCount != 0 && state.bpPanicList != nullptr) {
        config.ulv_last_panic_timestamp =
            ULVPanicEntry(state.bpPanicList, state.bpSortIndex,
                          static_cast<uint8_t>(state.bpLoadedCount - 1)).timestamp;
    }
    ULVDeleteBpPanics();
    if (state.quelaLoadedCount != 0 && state.quelaPanicList != nullptr) {
        config.ulv_last_ap_quela_panic_timestamp =
            ULVPanicEntry(state.quelaPanicList, state.quelaSortIndex,
                          static_cast<uint8_t>(state.quelaLoadedCount - 1)).timestamp;
    }
    ULVDeleteQuelaPanics();
    ULVRemoveCoreFiles();
    if (state.kernelPanic != nullptr) {
        config.ulv_last_ap_kernel_timestamp = state.kernelPanic->timestamp;
        ULVReleaseKernelPanic();
        state.kernelPanicDone = 1;
    }
    config.ulv_last_num_panics = state.reportHeader[REPORT_BP_TOTAL_COUNT_OFFSET];
}

}  // namespace

void ULVRemoveCoreFiles() {
    // Every "core." file of the dump directory; a file already gone is no error. A link
    // planted in the directory's place is not followed: its target is somebody else's.
    const int fd = ULVOpenDumpDirectory();
    DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (dir == nullptr) {
        const int error = errno;
        if (fd >= 0) close(fd);
        if (error != ENOENT) ULV_TRACE("Read dir failed - %s\n", std::strerror(error));
        return;
    }
    const int dirFd = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, "core.", 5) != 0) continue;
        if (unlinkat(dirFd, entry->d_name, 0) != 0 && errno != ENOENT)
            ULV_TRACE("error when deleting %s\n\n", entry->d_name);
    }
    closedir(dir);
}

int ULVStartupDecision() {
    DaemonState& state = ulvState;
    FlexConfig& config = state.flexConfig;

    config.ulv_cummulative_uptime += state.startupUptime;
    ULVSetFlexConfig();

    ULVReadVersionInfo();
    ULVReadBpPanics();
    ULVReadQuelaPanics();
    ULVReadKernelPanic();
    state.startupStage = 2;

    if (SoftwareChanged()) {
        ULV_LOG("SW_FLEX is different with NVM\n\r");
        ULV_LOG("Set cumulative time to Zero!\n\r");
        state.reportUptime = 0;
        config.ulv_last_preiodic_report_timestamp = 0;
        state.pendingReports |= PENDING_SW_CHANGE;
        std::memset(state.periodicBody + PERIODIC_GENERIC_DATA_OFFSET, 0,
                    PERIODIC_GENERIC_DATA_SIZE);
        MarkCrashesHandled();
    } else if (state.bpLoadedCount != 0 || state.quelaLoadedCount != 0 ||
               state.kernelPanic != nullptr) {
        ULV_LOG("Set Panic Report\n\r");
        state.pendingReports |= PENDING_CRASH;
    }

    ULV_LOG("Set Periodic Report message queue bitmap\n\r");
    state.pendingReports |= PENDING_PERIODIC;

    if ((state.pendingReports & ~PENDING_PERIODIC) != 0) {
        ULVStartTimer(ULV_TIMER_DELAY_ID, state.reportDelay);
    } else {
        ULVComputeReportUptime();
        ULVStartTimer(ULV_TIMER_APCD_ID, state.reportDelay);
    }

    config.ulv_last_powerup_timestamp = state.startupUptime;
    ULV_LOG("last_powerup_timestamp == %x\n\r", config.ulv_last_powerup_timestamp);
    return 0;
}
