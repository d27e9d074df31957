// The report header template, the byte-order rule and the small operations that fill it.
//
// Call-time field (first 4 bytes of crash, periodic and core dump bodies): between
// ULVGetCallTime and the body's conversion it has a mixed form: bytes 0-1 hold the high 16
// bits as a host-order 16-bit number, byte 2 bits 8-15, byte 3 bits 0-7. Converting bytes 0-1
// as one 2-byte field then gives the whole number most significant byte first on either kind
// of processor. Call time 0x00012345 on a little-endian processor: 01 00 23 45 before, 00 01
// 23 45 after.
#include <cstring>

#include "platform/tapi.h"
#include "reports/reports.h"
#include "state/daemon_state.h"
#include "state/init.h"
#include "state/trace.h"

void ULVDetectByteOrder() {
    const uint16_t one = 1;
    uint8_t first = 0;
    std::memcpy(&first, &one, 1);
    if (first == 1) {
        ulvState.hostLittleEndian = 1;
        ULV_LOG("Chip is low Word Order\n\r");
    } else {
        ulvState.hostLittleEndian = 0;
    }
}

void ULVToWireOrder(void* bytes, size_t size) {
    if (bytes == nullptr || (size != 2 && size != 4) || ulvState.hostLittleEndian != 1) return;
    auto* b = static_cast<uint8_t*>(bytes);
    for (size_t low = 0, high = size - 1; low < high; ++low, --high) {
        uint8_t swap = b[low];
        b[low] = b[high];
        b[high] = swap;
    }
}

int ULVReadVersionInfo() {
    uint8_t* header = ulvState.reportHeader;

    uint8_t apInfo[TAPI_AP_VERSION_INFO_SIZE] = {};
    if (TAPI_ACCE_GetApVersionInfo(apInfo) == 0) {
        std::memcpy(header + REPORT_AP_BUILD_LABEL_OFFSET, apInfo, REPORT_LABEL_SIZE);
    } else {
        ULV_LOG("TAPI_ACCE_GetApVersionInfo Failure!");
        ULV_TRACE("TAPI_ACCE_GetApVersionInfo Failure!\n");
    }

    // BP version information: the version text at 0 (NUL-terminated before the flex version
    // at 48), the flex version in bytes 48-67.
    constexpr size_t kFlexVersionAt = 48;
    uint8_t bpInfo[TAPI_BP_VERSION_INFO_SIZE] = {};
    if (TAPI_ACCE_GetBpVersionInfo(bpInfo) == 0) {
        std::memcpy(header + REPORT_FLEX_VERSION_OFFSET, bpInfo + kFlexVersionAt,
                    REPORT_LABEL_SIZE);
        const char* version = reinterpret_cast<const char*>(bpInfo);
        size_t length = strnlen(version, kFlexVersionAt);
        const char* dot = static_cast<const char*>(std::memchr(version, '.', length));
        // Code: the characters 1, 2, 4 and 5 after the first "." ("x.12.34" gives "1234").
        if (dot != nullptr && length - static_cast<size_t>(dot - version) > 5) {
            uint8_t* code = header + REPORT_BP_VERSION_CODE_OFFSET;
            code[0] = static_cast<uint8_t>(dot[1]);
            code[1] = static_cast<uint8_t>(dot[2]);
            code[2] = static_cast<uint8_t>(dot[4]);
            code[3] = static_cast<uint8_t>(dot[5]);
        } else {
            ULV_TRACE("Invalid version number\n\n");
        }
    } else {
        ULV_LOG("TAPI_ACCE_GetBpVersionInfo Failure!\n\r");
        ULV_TRACE("TAPI_ACCE_GetBpVersionInfo Failure!\n");
    }

    uint8_t serial[TAPI_FACTORY_SERIAL_SIZE] = {};
    if (TAPI_ACCE_GetFactorySerialNo(serial) == 0) {
        std::memcpy(header + REPORT_SERIAL_OFFSET, serial, REPORT_SERIAL_SIZE);
    } else {
        ULV_LOG("TAPI_ACCE_GetFactorySerialNo Failure!\n\r");
        ULV_TRACE("TAPI_ACCE_GetFactorySerialNo Failure!\n");
    }
    return 0;
}

int ULVBuildSwChangeBody() {
    DaemonState& state = ulvState;
    FlexConfig& config = state.flexConfig;
    state.reportHeader[REPORT_TYPE_OFFSET] = REPORT_TYPE_SW_CHANGE;
    state.reportHeader[REPORT_FORMAT_CODE_OFFSET] = REPORT_FORMAT_CODE;
    std::memcpy(state.swChangeBody, config.ulv_lst_bldinfo_baselabel, REPORT_LABEL_SIZE);
    std::memcpy(state.swChangeBody + REPORT_LABEL_SIZE, config.ulv_last_flex_version,
                REPORT_LABEL_SIZE);
    std::memcpy(config.ulv_last_flex_version, state.reportHeader + REPORT_FLEX_VERSION_OFFSET,
                REPORT_LABEL_SIZE);
    std::memcpy(config.ulv_lst_bldinfo_baselabel,
                state.reportHeader + REPORT_AP_BUILD_LABEL_OFFSET, REPORT_LABEL_SIZE);
    ULV_LOG("last bldinfo was set to be:\n\r");
    ULVLogBin(APLOG_LEVEL_BIN, APLOG_ID_PANIC_BLOCK, config.ulv_lst_bldinfo_baselabel,
              REPORT_LABEL_SIZE);
    return 0;
}

int ULVGetCallTime(uint8_t* field) {
    uint32_t callTime = 0;
    if (TAPI_ULV_GetCallTime(&callTime) != 0) {
        ULV_LOG("TAPI_ULV_GetCallTime failure\n\r");
        ULV_TRACE("TAPI_ULV_GetCallTime failure\n");
        return -1;
    }
    std::memset(field, 0, 4);
    field[3] = static_cast<uint8_t>(callTime);
    field[2] = static_cast<uint8_t>(callTime >> 8);
    const uint16_t high = static_cast<uint16_t>(callTime >> 16);
    std::memcpy(field, &high, sizeof high);
    return 0;
}

void ULVFinishHeader(uint8_t* out, bool announce) {
    DaemonState& state = ulvState;
    ULVComputeReportUptime();
    ULV_TRACE("Cumulative uptime = %llx\n", static_cast<unsigned long long>(state.reportUptime));
    const uint32_t uptimeMs = static_cast<uint32_t>(state.reportUptime * 1000);
    std::memcpy(state.reportHeader + REPORT_UPTIME_MS_OFFSET, &uptimeMs, sizeof uptimeMs);
    std::memcpy(out, state.reportHeader, REPORT_HEADER_SIZE);
    ULVToWireOrder(out + REPORT_UPTIME_MS_OFFSET, 4);
    ULVToWireOrder(out + REPORT_FINGERPRINT_OFFSET, 2);
    if (announce) ULV_LOG("ULV Message Header Before Converted:\n\r");
    ULVLogBin(APLOG_LEVEL_BIN, APLOG_ID_HEADER, state.reportHeader, REPORT_HEADER_SIZE);
    if (announce) ULV_LOG("ULV Message Header After Converted:\n\r");
    ULVLogBin(APLOG_LEVEL_BIN, APLOG_ID_HEADER, out, REPORT_HEADER_SIZE);
}
