// The periodic usage report body: call time, five zero words, the generic usage data.
#include <cstring>

#include "platform/tapi.h"
#include "reports/reports.h"
#include "state/daemon_state.h"
#include "state/init.h"
#include "state/trace.h"

int ULVBuildPeriodicBody() {
    DaemonState& state = ulvState;
    int result = 0;
    state.reportHeader[REPORT_TYPE_OFFSET] = REPORT_TYPE_PERIODIC;
    state.reportHeader[REPORT_FORMAT_CODE_OFFSET] = REPORT_FORMAT_CODE;
    ULV_LOG("cumulative uptime == %llx\n\r", static_cast<unsigned long long>(state.reportUptime));
    ULVComputeReportUptime();
    state.flexConfig.ulv_last_preiodic_report_timestamp = static_cast<uint32_t>(state.reportUptime);
    ULV_LOG("last_periodic_report == %x\n\r", state.flexConfig.ulv_last_preiodic_report_timestamp);
    ULV_TRACE("ULV Periodic Message, uptime = %llx %016x\n",
              static_cast<unsigned long long>(state.reportUptime),
              static_cast<uint32_t>(state.reportUptime));
    if (ULVGetCallTime(state.periodicBody + BODY_CALL_TIME_OFFSET) != 0) result = -1;

    uint8_t generic[TAPI_GENERIC_DATA_SIZE] = {};
    if (TAPI_ULV_GetGenericData(generic) != 0) {
        result = -1;
        ULV_LOG("TAPI_ULV_GetGenericData failure\n\r");
        ULV_TRACE("TAPI_ULV_GetGenericData failure\n");
    }
    ULV_LOG("GenericData - \n\r");
    ULVLogBin(APLOG_LEVEL_BIN, APLOG_ID_GENERIC_DATA, generic, sizeof generic);
    std::memcpy(state.periodicBody + PERIODIC_GENERIC_DATA_OFFSET, generic, sizeof generic);
    return result;
}
