// From the timer's expiry to the SMS submission and its acknowledgement, for every kind of
// report, and over every idle tick, the daemon allocates nothing on the heap: a phone that runs
// for months must not fragment or exhaust its heap in the one process that reports trouble.
// Measured on the sim platform, whose own work on those paths counts too. The same process
// counts the fsync calls of the configuration save: each wears the flash.
#include <gtest/gtest.h>
#include <sys/select.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <functional>

#include "core_file.h"
#include "daemon/daemon.h"
#include "daemon_world.h"
#include "heap_counter.h"
#include "panics/panics.h"
#include "platform/paths.h"
#include "platform/rtc_sw.h"
#include "platform/tapi.h"
#include "reports/reports.h"
#include "scheduling/scheduling.h"
#include "state/daemon_state.h"
#include "state/flex_config.h"
#include "state/trace.h"

namespace {
int submissions = 0;
int fsyncs = 0;
int failingDirectoryFsyncs = 0;  // so many flushes of a directory fail with EIO
}  // namespace

extern "C" {
int __real_TAPI_SMS_SendSmUnblockMode(uint8_t* submitRecord, uint32_t* sequence);
int __wrap_TAPI_SMS_SendSmUnblockMode(uint8_t* submitRecord, uint32_t* sequence) {
    ++submissions;
    return __real_TAPI_SMS_SendSmUnblockMode(submitRecord, sequence);
}
int __real_fsync(int fd);
int __wrap_fsync(int fd) {
    ++fsyncs;
    struct stat status {};
    if (failingDirectoryFsyncs > 0 && fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
        --failingDirectoryFsyncs;
        errno = EIO;
        return -1;
    }
    return __real_fsync(fd);
}
}  // extern "C"

namespace {

class HeapOnTheReportPath : public ::testing::Test {
  protected:
    void SetUp() override {
        world_.StartHandset(
            "ap_version AP_R2\nbp_version BP.12.34\nflex_version FLEX_8\nserial SN01234567\n"
            "call_time 0x00012345\nsequence 70\n"
            "generic_data 0102030405060708090a0b0c0d0e0f101112131415161718\n");
        world_.WriteConfig({{"ulv_lst_bldinfo_baselabel", "AP_R1"},
                            {"ulv_last_flex_version", "FLEX_7"},
                            {"enableCoreDumps", "1"}});
        ulvState = DaemonState{};
        gatewayState = GATEWAY_STATE_CONFIRMED;
        timerFirstTime = 1;
        ASSERT_EQ(ULVGetFlexConfig(), 0);
        ULVDetectByteOrder();
        ulvState.tapiFd = ULVConnectTapi();
        ASSERT_GT(ulvState.tapiFd, 0);
        PlatformPathBuffer buffer;
        ulvState.timerFd = RtcSwOpen(PlatformResolvePath(TIMER_DEVICE_PATH, buffer));
        ASSERT_GE(ulvState.timerFd, 0);
        ASSERT_EQ(ULVCheckGateway(), GATEWAY_AVAILABLE);
        ULVReadVersionInfo();
        ulvState.inService = ulvState.validPlmn = ulvState.sqState = 1;
        ulvState.reportDelay = 5;
        // The C library loads the time zone for the first trace record, once per process; the
        // daemon writes its first long before a timer runs.
        ULVTrace("./ULV_main.cpp", __LINE__, "start-up\n");
    }

    void TearDown() override {
        ULVDeleteBpPanics();
        TAPI_CLIENT_Fini();
        if (ulvState.timerFd >= 0) RtcSwClose(ulvState.timerFd);
    }

    // One expiry of timer `id`, served as the event loop serves it: the allocations of the whole
    // wake-up (the counter only grows, so none before the submission either), the SMS submitted.
    std::pair<unsigned long, int> ExpireTimer(uint8_t id) {
        ULVStartTimer(id, 3600);
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(ulvState.timerFd, &ready);
        const int submittedBefore = submissions;
        const unsigned long start = ulvheap::HeapAllocations();
        EXPECT_EQ(ULVServeWakeup(ready, /*startupInService=*/1), 0);
        return {ulvheap::HeapAllocations() - start, submissions - submittedBefore};
    }

    ulvtest::DaemonWorld world_{/*timeScale=*/50};
};

// As the log reader leaves a new panic in memory at the start-up decision.
void PendingBpPanic() {
    ulvState.bpPanicList = static_cast<PanicRecord*>(std::calloc(1, sizeof(PanicRecord)));
    ASSERT_NE(ulvState.bpPanicList, nullptr);
    ulvState.bpPanicList[0].timestamp = 0x65A1B2C3;
    ulvState.bpPanicList[0].id = 0x00000B0E;
    ulvState.bpNewCount = 1;
    ulvState.pendingReports = PENDING_CRASH;
}

void PeriodicMark(uint32_t durationHours, uint32_t elapsed) {
    ulvState.flexConfig.ulv_report_duration = durationHours;
    ulvState.flexConfig.ulv_last_preiodic_report_timestamp =
        ulvState.flexConfig.ulv_cummulative_uptime - elapsed;
}

TEST_F(HeapOnTheReportPath, NoAllocationFromExpiryToSubmissionNorInAnIdleTick) {
    // Guards the zeros below against a counter that silently counts nothing (a sanitizer hook
    // not installed, an allocator not replaced).
    const unsigned long start = ulvheap::HeapAllocations();
    void* volatile block = std::malloc(16);
    std::free(block);
    EXPECT_EQ(ulvheap::HeapAllocations() - start, 1u);
    const auto pending = [](int kinds) { return [kinds] { ulvState.pendingReports = kinds; }; };
    const struct {
        const char* name;
        std::function<void()> prepare;
        uint8_t timer;
        int submissions;  // how many SMS the wake-up submits
    } cases[] = {
        {"crash report", PendingBpPanic, ULV_TIMER_DELAY_ID, 1},
        {"crash report on the panic timer", PendingBpPanic, ULV_TIMER_PANIC_ID, 1},
        {"software change", pending(PENDING_SW_CHANGE), ULV_TIMER_DELAY_ID, 1},
        {"periodic report", pending(PENDING_PERIODIC), ULV_TIMER_DELAY_ID, 1},
        {"idle tick", [] { PeriodicMark(24, 0); }, ULV_TIMER_PERIODIC_ID, 0},
        {"periodic report falls due", [] { PeriodicMark(1, 3000); }, ULV_TIMER_PERIODIC_ID, 0},
        {"core dump collection, empty directory", pending(0), ULV_TIMER_APCD_ID, 0},
        {"core dump report",
         [this] {
             ulvState.pendingReports = 0;
             ulvtest::CoreFileSpec layout;
             layout.pc = 0x40001234;
             layout.libraries = {{0x40000000, 0x40100000, "/usr/lib/libfoo.so.1", std::nullopt}};
             ASSERT_TRUE(ulvtest::WriteFile(world_.Path("zellocal/ulv_app_dump/core.player.42"),
                                            ulvtest::CoreFile(layout)));
         },
         ULV_TIMER_APCD_ID, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ULVDeleteBpPanics();
        c.prepare();
        ulvState.timerExpired = 0;
        EXPECT_EQ(ExpireTimer(c.timer), std::make_pair(0ul, c.submissions));
    }
    EXPECT_TRUE(world_.WaitForSmsCount(5));  // the submissions did reach the handset
}

TEST_F(HeapOnTheReportPath, AnIdleTickFlushesOnceAndASaveThatRecordsFlushesTheRenameToo) {
    FlexConfig& config = ulvState.flexConfig;
    const auto fsyncsOf = [](const std::function<void()>& change) {
        const int before = fsyncs;
        change();
        ULVSetFlexConfig();
        return fsyncs - before;
    };
    const auto tick = [&] { config.ulv_cummulative_uptime += 900; };
    EXPECT_EQ(fsyncsOf([] {}), 2);  // the first save of a run: nothing durable to ride on
    EXPECT_EQ(fsyncsOf(tick), 1);
    EXPECT_EQ(fsyncsOf(tick), 1);
    EXPECT_EQ(fsyncsOf([&] { config.ulv_last_panic_timestamp = 0x65A1B2C3; }), 2);
    EXPECT_EQ(fsyncsOf([&] { config.ulv_last_num_panics = 3; }), 2);
    EXPECT_EQ(fsyncsOf([&] {
                  tick();
                  config.ulv_last_preiodic_report_timestamp = config.ulv_cummulative_uptime;
              }),
              2);
    EXPECT_EQ(fsyncsOf(tick), 1);
    // A directory flush that fails leaves the save not durable: the next one flushes again.
    failingDirectoryFsyncs = 1;
    EXPECT_EQ(fsyncsOf([&] { config.ulv_last_num_panics = 4; }), 2);
    EXPECT_EQ(fsyncsOf(tick), 2);
    EXPECT_EQ(fsyncsOf(tick), 1);

    // The idle tick itself, as the event loop serves it: one flush.
    config.ulv_report_duration = 24;
    const int before = fsyncs;
    EXPECT_EQ(ExpireTimer(ULV_TIMER_PERIODIC_ID).second, 0);
    EXPECT_EQ(fsyncs - before, 1);
    // Whatever a save flushed or not, the file holds the record whole.
    const FlexConfig saved = config;
    ulvState.flexConfig = FlexConfig{};
    ASSERT_EQ(ULVGetFlexConfig(), 0);
    EXPECT_EQ(ulvState.flexConfig.ulv_cummulative_uptime, saved.ulv_cummulative_uptime);
    EXPECT_EQ(ulvState.flexConfig.ulv_last_panic_timestamp, 0x65A1B2C3u);
}

}  // namespace
