// Every kind of report the daemon builds, submitted through the sim telephony client to the
// simulated handset and read back from what the handset received with the receiving side's
// decoder.
#include <gtest/gtest.h>
#include <poll.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "daemon_world.h"
#include "daemon/daemon.h"
#include "decoder.h"
#include "inventory/inventory.h"
#include "panics/panics.h"
#include "platform/paths.h"
#include "platform/rtc_sw.h"
#include "platform/tapi.h"
#include "reports/reports.h"
#include "scheduling/scheduling.h"
#include "state/daemon_state.h"
#include "state/flex_config.h"

namespace {

namespace decode = ulv::decode;
using ulvtest::DaemonWorld;

std::string Text(const std::optional<decode::Bytes>& field) {
    if (!field) return "<missing>";
    std::string text(field->begin(), field->end());
    return text.substr(0, text.find('\0'));
}

class ReportRoundTrip : public ::testing::Test {
protected:
    void SetUp() override {
        world_.StartHandset(
            "ap_version AP_R2\nbp_version BP.12.34\nflex_version FLEX_8\nserial SN01234567\n"
            "call_time 0x00012345\nsequence 70\n"
            "generic_data 0102030405060708090a0b0c0d0e0f101112131415161718\n");
        world_.WriteConfig({{"ulv_lst_bldinfo_baselabel", "AP_R1"},
                            {"ulv_last_flex_version", "FLEX_7"}});

        // The daemon's own start, short of detaching and of the signal handling.
        ulvState = DaemonState{};
        gatewayState = GATEWAY_STATE_INITIAL;
        timerFirstTime = 1;
        ASSERT_EQ(ULVGetFlexConfig(), 0);
        ULVDetectByteOrder();
        fingerprint_ = static_cast<uint16_t>(ULVImageFingerprint());
        std::memcpy(ulvState.reportHeader + REPORT_FINGERPRINT_OFFSET, &fingerprint_, 2);
        ulvState.tapiFd = ULVConnectTapi();
        ASSERT_GT(ulvState.tapiFd, 0);
        PlatformPathBuffer buffer;
        ulvState.timerFd = RtcSwOpen(PlatformResolvePath(TIMER_DEVICE_PATH, buffer));
        ASSERT_GE(ulvState.timerFd, 0);
        ASSERT_EQ(ULVCheckGateway(), GATEWAY_AVAILABLE);
        ULVReadVersionInfo();
        ulvState.inService = ulvState.validPlmn = ulvState.sqState = 1;
    }

    void TearDown() override {
        ULVDeleteBpPanics();
        TAPI_CLIENT_Fini();
        if (ulvState.timerFd >= 0) RtcSwClose(ulvState.timerFd);
    }

    // Lets a timer expire, sends, and decodes the SMS the handset received.
    decode::Report SendAndDecode() {
        ulvState.timerExpired = 1;
        ULVSmsSend();
        EXPECT_TRUE(world_.WaitForSmsCount(++sent_));
        const std::string line = world_.SmsLines().back();
        decode::DecodedInput input = decode::DecodeInput(1, DaemonWorld::SmsText(line));
        EXPECT_TRUE(input.problems.empty()) << line;
        return input.report.value_or(decode::Report{});
    }

    DaemonWorld world_{/*timeScale=*/50};
    size_t sent_ = 0;
    uint16_t fingerprint_ = 0;  // of the images ulv-handset --prepare left in the sandbox
};

void ExpectHeader(const decode::Report& report, uint8_t type, uint16_t fingerprint) {
    EXPECT_EQ(report.header.reportType, type);
    EXPECT_EQ(report.header.formatCode, 2);
    EXPECT_EQ(Text(report.header.apBuildLabel), "AP_R2");
    EXPECT_EQ(Text(report.header.flexVersion), "FLEX_8");
    EXPECT_EQ(Text(report.header.bpVersionCode), "1234");
    EXPECT_EQ(Text(report.header.serialNumber), "SN01234567");
    EXPECT_EQ(report.header.imageFingerprint, fingerprint);
}

TEST_F(ReportRoundTrip, SoftwareChangeArrivesDecodedAndArmsThePeriodicTimer) {
    ulvState.pendingReports = PENDING_SW_CHANGE;
    decode::Report report = SendAndDecode();
    EXPECT_EQ(report.kind, decode::ReportKind::kSoftwareChange);
    ExpectHeader(report, 1, fingerprint_);
    const auto& body = std::get<decode::SoftwareChangeBody>(report.body);
    EXPECT_EQ(Text(body.previousApBuildLabel), "AP_R1");
    EXPECT_EQ(Text(body.previousFlexVersion), "FLEX_7");

    // The periodic timer runs (900 s: 0 h 15 min 0 s) and the periodic report is pending.
    EXPECT_EQ(ulvState.currentTimerId, ULV_TIMER_PERIODIC_ID);
    EXPECT_EQ(ulvState.armedTimer.hours, 0u);
    EXPECT_EQ(ulvState.armedTimer.minutes, 15u);
    EXPECT_EQ(ulvState.armedTimer.seconds, 0u);
    EXPECT_EQ(ulvState.pendingReports, PENDING_PERIODIC);

    // The confirmation comes back on the telephony descriptor with the same sequence number.
    pollfd ready{ulvState.tapiFd, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 20000), 1);
    ASSERT_EQ(ULVHandleTapiMessage(ulvState.tapiFd), 0);
    EXPECT_EQ(ulvState.lastSentSequence, 70u);
    EXPECT_EQ(ulvState.currentTimerId, ULV_TIMER_APCD_ID);  // nothing else left to report
}

TEST_F(ReportRoundTrip, CrashPeriodicAndHeaderOnlyReportsDecodeToWhatWasBuilt) {
    // One BP panic, as the log reader leaves it in memory.
    ulvState.bpPanicList = static_cast<PanicRecord*>(std::calloc(1, sizeof(PanicRecord)));
    ulvState.bpPanicList[0].timestamp = 0x65A1B2C3;
    ulvState.bpPanicList[0].id = 0x00000B0E;
    for (size_t i = 0; i < PANIC_DATA_SIZE; ++i) ulvState.bpPanicList[0].data[i] = uint8_t(i);
    ulvState.bpNewCount = ulvState.bpLoadedCount = 1;
    ulvState.reportHeader[REPORT_BP_TOTAL_COUNT_OFFSET] = 4;

    ulvState.pendingReports = PENDING_CRASH;
    decode::Report crash = SendAndDecode();
    EXPECT_EQ(crash.kind, decode::ReportKind::kCrash);
    ExpectHeader(crash, 0, fingerprint_);
    EXPECT_EQ(crash.header.bpTotalCount, 4);
    const auto& body = std::get<decode::CrashBody>(crash.body);
    EXPECT_EQ(body.callTime, 0x00012345u);
    EXPECT_EQ(body.timestamp, 0x65A1B2C3u);
    EXPECT_EQ(body.id, 0x00000B0Eu);
    ASSERT_TRUE(body.data.has_value());
    for (size_t i = 0; i < PANIC_DATA_SIZE; ++i) EXPECT_EQ((*body.data)[i], i);

    // A crash report due with no entry left is the header alone, of the type last set.
    ulvState.pendingReports = PENDING_CRASH;
    decode::Report headerOnly = SendAndDecode();
    EXPECT_EQ(headerOnly.kind, decode::ReportKind::kHeaderOnly);
    EXPECT_EQ(headerOnly.length, REPORT_HEADER_SIZE);
    ExpectHeader(headerOnly, 0, fingerprint_);

    ulvState.pendingReports = PENDING_PERIODIC;
    decode::Report periodic = SendAndDecode();
    EXPECT_EQ(periodic.kind, decode::ReportKind::kPeriodic);
    ExpectHeader(periodic, 2, fingerprint_);
    EXPECT_EQ(periodic.header.uptimeMs, static_cast<uint32_t>(ulvState.reportUptime * 1000));
    const auto& usage = std::get<decode::PeriodicBody>(periodic.body);
    EXPECT_EQ(usage.callTime, 0x00012345u);
    EXPECT_EQ(usage.reserved, decode::Bytes(20, 0));
    EXPECT_EQ(usage.genericData, (decode::Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
                                                13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24}));
}

}  // namespace
