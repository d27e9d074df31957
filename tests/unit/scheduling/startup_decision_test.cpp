#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "../panics/bp_log.h"
#include "daemon_fixture.h"
#include "panics/panics.h"
#include "reports/reports.h"
#include "scheduling/scheduling.h"
#include "state/daemon_state.h"
#include "state/flex_config.h"
#include "timer_requests.h"

namespace {

using Config = std::map<std::string, std::string>;

// The handset's versions as the fake reports them: AP label "AP_R1", flex version "FLEX_7".
const Config kSameSoftware = {{"ulv_lst_bldinfo_baselabel", "AP_R1"},
                              {"ulv_last_flex_version", "FLEX_7"}};
// Freshly provisioned: no versions stored yet.
const Config kFirstRun = {{"ulv_lst_bldinfo_baselabel", ""}, {"ulv_last_flex_version", ""}};

Config With(Config base, const Config& more) {
    for (const auto& [key, value] : more) base[key] = value;
    return base;
}

class StartupDecisionTest : public DaemonTest {
protected:
    // The state ULVInit leaves: configuration read, byte order known, uptime sampled at
    // `startupUptime` seconds after boot, decision pending.
    void Prepare(const Config& config, uint32_t startupUptime = 0x50) {
        WriteConfig(config);
        ASSERT_EQ(ULVGetFlexConfig(), 0);
        ULVDetectByteOrder();
        ConnectDevices();
        fake::clock.uptime = startupUptime;
        ulvState.startupUptime = startupUptime;
        ulvState.lastUptimeSample = startupUptime;
        ulvState.startupStage = 1;
        fake::aplog.records.clear();
    }

    // A QUELA list as its reader would leave it: records in block order and, optionally,
    // the index ascending by time stamp.
    static void SetQuelaPanics(const std::vector<uint32_t>& timestamps, bool indexed) {
        const size_t count = timestamps.size();
        auto* list = static_cast<PanicRecord*>(std::calloc(count, sizeof(PanicRecord)));
        ASSERT_NE(list, nullptr);
        for (size_t i = 0; i < count; ++i) list[i].timestamp = timestamps[i];
        ulvState.quelaPanicList = list;
        ulvState.quelaNewCount = static_cast<uint8_t>(count);
        if (!indexed) return;
        auto* index = static_cast<PanicSortEntry*>(std::calloc(count, sizeof(PanicSortEntry)));
        ASSERT_NE(index, nullptr);
        for (size_t i = 0; i < count; ++i)
            index[i] = PanicSortEntry{static_cast<uint16_t>(i), timestamps[i]};
        std::sort(index, index + count, [](const PanicSortEntry& a, const PanicSortEntry& b) {
            return a.timestamp < b.timestamp;
        });
        ulvState.quelaSortIndex = index;
    }

    static void SetKernelPanic(uint32_t timestamp) {
        auto* record = static_cast<KernelPanicRecord*>(std::calloc(1, sizeof(KernelPanicRecord)));
        ASSERT_NE(record, nullptr);
        record->timestamp = timestamp;
        ulvState.kernelPanic = record;
    }

    // "key = value" as the configuration file holds it now.
    std::string SavedValue(const std::string& key) const {
        const std::string text = ConfigFile();
        const std::string start = key + " = ";
        size_t at = text.find("\n" + start);
        if (at == std::string::npos) return "<missing>";
        at += 1 + start.size();
        return text.substr(at, text.find('\n', at) - at);
    }

    long LogPosition(const std::string& text) const {
        std::vector<std::string> texts = fake::aplog.Texts();
        auto found = std::find(texts.begin(), texts.end(), text);
        return found == texts.end() ? -1 : found - texts.begin();
    }
};

TEST_F(StartupDecisionTest, FirstRunAfterProvisioningMarksEveryCrashHandledAndQueuesTheChange) {
    Prepare(With(kFirstRun, {{"ulv_last_panic_timestamp", "5"},
                             {"ulv_last_num_panics", "9"},
                             {"ulv_last_preiodic_report_timestamp", "abc"},
                             {"ulv_report_delay", "5"}}));
    // BP: one old record (3) and three new ones whose newest (30) is not last in the list.
    WriteFile(bplog::kLog1, bplog::Encode(bplog::WithTimestamps({3, 30, 10, 20})));
    SetQuelaPanics({0x500, 0x900, 0x700}, /*indexed=*/true);
    SetKernelPanic(0x4321);
    for (const char* name : {"core.123", "core.app.77", "core", "xcore", "other"})
        WriteFile(std::string("zellocal/ulv_app_dump/") + name, "dump");
    ulvState.reportUptime = 1234;
    std::memset(ulvState.periodicBody, 0xAB, sizeof ulvState.periodicBody);

    EXPECT_EQ(ULVStartupDecision(), 0);

    EXPECT_EQ(ulvState.pendingReports, PENDING_SW_CHANGE | PENDING_PERIODIC);
    EXPECT_EQ(ulvState.startupStage, 2);
    // The versions read from the phone, for the comparison and the change report.
    EXPECT_STREQ(reinterpret_cast<const char*>(ulvState.reportHeader) + 2, "AP_R1");
    EXPECT_STREQ(reinterpret_cast<const char*>(ulvState.reportHeader) + 22, "FLEX_7");

    const FlexConfig& config = ulvState.flexConfig;
    // Every crash found is handled without a report: the newest stamps are remembered.
    EXPECT_EQ(config.ulv_last_panic_timestamp, 30u);
    EXPECT_EQ(ulvState.bpPanicList, nullptr);
    EXPECT_EQ(ulvState.bpSortIndex, nullptr);
    EXPECT_EQ(ulvState.bpNewCount, 0);
    EXPECT_EQ(TraceCount("Deleting 3 BP panics\n"), 1);
    EXPECT_EQ(config.ulv_last_ap_quela_panic_timestamp, 0x900u);
    EXPECT_EQ(ulvState.quelaPanicList, nullptr);
    EXPECT_EQ(ulvState.quelaSortIndex, nullptr);
    EXPECT_EQ(ulvState.quelaNewCount, 0);
    EXPECT_EQ(config.ulv_last_ap_kernel_timestamp, 0x4321u);
    EXPECT_EQ(ulvState.kernelPanic, nullptr);
    EXPECT_EQ(ulvState.kernelPanicDone, 1);
    EXPECT_EQ(config.ulv_last_num_panics, 4);  // all BP records, old and new

    for (const char* removed : {"core.123", "core.app.77"})
        EXPECT_FALSE(Exists(std::string("zellocal/ulv_app_dump/") + removed)) << removed;
    for (const char* kept : {"core", "xcore", "other"})
        EXPECT_TRUE(Exists(std::string("zellocal/ulv_app_dump/") + kept)) << kept;

    EXPECT_EQ(ulvState.reportUptime, 0u);
    EXPECT_EQ(config.ulv_last_preiodic_report_timestamp, 0u);
    for (size_t i = 0; i < PERIODIC_BODY_SIZE; ++i)
        EXPECT_EQ(ulvState.periodicBody[i], i < 24 ? 0xAB : 0x00) << "periodic body byte " << i;

    EXPECT_GE(LogPosition("SW_FLEX is different with NVM\n\r"), 0);
    EXPECT_EQ(LogPosition("Set cumulative time to Zero!\n\r"),
              LogPosition("SW_FLEX is different with NVM\n\r") + 1);
    EXPECT_FALSE(fake::aplog.Has("Set Panic Report\n\r"));
    EXPECT_TRUE(fake::aplog.Has("Set Periodic Report message queue bitmap\n\r"));

    // The change report waits for the delay timer.
    EXPECT_EQ(TimerRequests(), std::vector<std::string>{"start 0:0:5"});
    EXPECT_EQ(ulvState.currentTimerId, ULV_TIMER_DELAY_ID);
}

TEST_F(StartupDecisionTest, SoftwareChangeTakesTheNewestThroughTheIndexElseTheLastListed) {
    Prepare(kFirstRun);
    // BP, indexed by its reader: the newest (30) is the first listed.
    WriteFile(bplog::kLog1, bplog::Encode(bplog::WithTimestamps({30, 10, 20})));
    // QUELA without an index: its last record counts as the newest, whatever its stamp.
    SetQuelaPanics({0x900, 0x500, 0x700}, /*indexed=*/false);
    ULVStartupDecision();
    EXPECT_EQ(ulvState.flexConfig.ulv_last_panic_timestamp, 30u);
    EXPECT_EQ(ulvState.flexConfig.ulv_last_ap_quela_panic_timestamp, 0x700u);
    EXPECT_EQ(ulvState.quelaPanicList, nullptr);
}

TEST_F(StartupDecisionTest, SoftwareChangeWithNothingFoundLeavesTheStampsAlone) {
    Prepare(With(kFirstRun, {{"ulv_last_panic_timestamp", "77"},
                             {"ulv_last_ap_quela_panic_timestamp", "88"},
                             {"ulv_last_ap_kernel_timestamp", "99"}}));
    ULVStartupDecision();
    EXPECT_EQ(ulvState.flexConfig.ulv_last_panic_timestamp, 0x77u);
    EXPECT_EQ(ulvState.flexConfig.ulv_last_ap_quela_panic_timestamp, 0x88u);
    EXPECT_EQ(ulvState.flexConfig.ulv_last_ap_kernel_timestamp, 0x99u);
    EXPECT_EQ(ulvState.pendingReports, PENDING_SW_CHANGE | PENDING_PERIODIC);
    EXPECT_EQ(TraceCount("Deleting 0 BP panics\n"), 0);
}

TEST_F(StartupDecisionTest, MissingCoreDumpDirectoryIsNoError) {
    Prepare(kFirstRun);
    std::filesystem::remove_all(root_ + "/zellocal/ulv_app_dump");
    ULVStartupDecision();
    EXPECT_EQ(ulvState.pendingReports, PENDING_SW_CHANGE | PENDING_PERIODIC);
    for (const std::string& message : TraceMessages()) {
        EXPECT_EQ(message.find("Read dir failed"), std::string::npos) << message;
        EXPECT_EQ(message.find("error when deleting"), std::string::npos) << message;
    }
    EXPECT_EQ(TimerRequests(), std::vector<std::string>{"start 0:0:5"});
}

TEST_F(StartupDecisionTest, SameSoftwareWithoutCrashesQueuesOnlyThePeriodicReport) {
    // Cumulative uptime 5000 s in the file, 1000 s from boot to start, 300 s since then.
    Prepare(With(kSameSoftware, {{"ulv_cummulative_uptime", "1388"}, {"ulv_report_delay", "7"}}),
            /*startupUptime=*/1000);
    fake::clock.uptime = 1300;
    for (const char* name : {"core.1", "core.2"})
        WriteFile(std::string("zellocal/ulv_app_dump/") + name, "dump");
    std::memset(ulvState.periodicBody, 0xAB, sizeof ulvState.periodicBody);

    ULVStartupDecision();

    EXPECT_EQ(ulvState.pendingReports, PENDING_PERIODIC);
    EXPECT_EQ(ulvState.reportUptime, 6000u + 300u);  // refreshed before the timer starts
    EXPECT_EQ(TimerRequests(), std::vector<std::string>{"start 0:0:7"});
    EXPECT_EQ(ulvState.currentTimerId, ULV_TIMER_APCD_ID);
    EXPECT_FALSE(fake::aplog.Has("SW_FLEX is different with NVM\n\r"));
    EXPECT_FALSE(fake::aplog.Has("Set Panic Report\n\r"));
    EXPECT_TRUE(fake::aplog.Has("Set Periodic Report message queue bitmap\n\r"));
    EXPECT_TRUE(Exists("zellocal/ulv_app_dump/core.1"));  // only a change removes core files
    EXPECT_EQ(ulvState.periodicBody[47], 0xAB);
    EXPECT_EQ(ulvState.startupStage, 2);
}

TEST_F(StartupDecisionTest, SameSoftwareWithNewCrashEvidenceQueuesTheCrashReport) {
    struct Case {
        const char* name;
        bool bpPanic;
        bool quelaPanic;
        bool kernelPanic;
    };
    const Case cases[] = {
        {"one new BP panic", true, false, false},
        {"one new QUELA panic", false, true, false},
        {"a kernel panic", false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        std::filesystem::remove(root_ + "/" + bplog::kLog1);
        Prepare(With(kSameSoftware, {{"ulv_last_panic_timestamp", "10"}}));
        // An old BP record is always there; it alone is no reason for a report.
        std::vector<uint32_t> stamps = {0x10};
        if (c.bpPanic) stamps.push_back(0x11);
        WriteFile(bplog::kLog1, bplog::Encode(bplog::WithTimestamps(stamps)));
        if (c.quelaPanic) SetQuelaPanics({0x600}, /*indexed=*/true);
        if (c.kernelPanic) SetKernelPanic(0x700);
        ulvState.reportUptime = 77;

        ULVStartupDecision();

        EXPECT_EQ(ulvState.pendingReports, PENDING_CRASH | PENDING_PERIODIC);
        EXPECT_TRUE(fake::aplog.Has("Set Panic Report\n\r"));
        EXPECT_EQ(TimerRequests(), std::vector<std::string>{"start 0:0:5"});
        EXPECT_EQ(ulvState.currentTimerId, ULV_TIMER_DELAY_ID);
        // The evidence stays for the crash reports; nothing is marked handled yet.
        EXPECT_EQ(ulvState.bpNewCount, c.bpPanic ? 1 : 0);
        EXPECT_EQ(ulvState.quelaPanicList != nullptr, c.quelaPanic);
        EXPECT_EQ(ulvState.kernelPanic != nullptr, c.kernelPanic);
        EXPECT_EQ(ulvState.flexConfig.ulv_last_panic_timestamp, 0x10u);
        EXPECT_EQ(ulvState.reportUptime, 77u);  // refreshed only for the core dump timer
    }
}

TEST_F(StartupDecisionTest, OnlyTheFirst20CharactersOfEachVersionCount) {
    struct Case {
        const char* name;
        const char* storedLabel;
        const char* phoneLabel;
        const char* storedFlex;
        const char* phoneFlex;
        bool changed;
    };
    const Case cases[] = {
        {"same", "AP_R1", "AP_R1", "FLEX_7", "FLEX_7", false},
        {"label differs", "AP_R0", "AP_R1", "FLEX_7", "FLEX_7", true},
        {"flex differs", "AP_R1", "AP_R1", "FLEX_6", "FLEX_7", true},
        {"phone label longer", "AP_R1", "AP_R10", "FLEX_7", "FLEX_7", true},
        {"differ after the 20th character", "ABCDEFGHIJKLMNOPQRST_OLD",
         "ABCDEFGHIJKLMNOPQRST_NEW", "F234567890123456789Xold", "F234567890123456789Xnew", false},
        {"label differs at the 20th character", "ABCDEFGHIJKLMNOPQRSx", "ABCDEFGHIJKLMNOPQRSy",
         "FLEX_7", "FLEX_7", true},
        {"flex differs at the 20th character", "AP_R1", "AP_R1", "F234567890123456789x",
         "F234567890123456789y", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        Prepare({{"ulv_lst_bldinfo_baselabel", c.storedLabel},
                 {"ulv_last_flex_version", c.storedFlex}});
        fake::tapi.SetApVersion(c.phoneLabel);
        fake::tapi.SetBpVersion("BP.12.34", c.phoneFlex);
        ULVStartupDecision();
        EXPECT_EQ((ulvState.pendingReports & PENDING_SW_CHANGE) != 0, c.changed);
        EXPECT_EQ(fake::aplog.Has("SW_FLEX is different with NVM\n\r"), c.changed);
    }
}

TEST_F(StartupDecisionTest, AddsBootTimeToCumulativeUptimeOnceAndSavesOnlyThat) {
    // 0xFFFFFF00 + 0x200 wraps to 0x100 in 32 bits.
    Prepare(With(kFirstRun, {{"ulv_cummulative_uptime", "ffffff00"},
                             {"ulv_last_panic_timestamp", "5"},
                             {"ulv_last_preiodic_report_timestamp", "abc"},
                             {"ulv_last_powerup_timestamp", "1"}}),
            /*startupUptime=*/0x200);
    WriteFile(bplog::kLog1, bplog::Encode(bplog::WithTimestamps({0x40})));

    ULVStartupDecision();

    EXPECT_EQ(ulvState.flexConfig.ulv_cummulative_uptime, 0x100u);
    EXPECT_EQ(ulvState.flexConfig.ulv_last_powerup_timestamp, 0x200u);
    EXPECT_TRUE(fake::aplog.Has("last_powerup_timestamp == 200\n\r"));
    // The file was saved once, first: it holds the new cumulative uptime and none of the
    // changes made after it (handled panic, periodic reference, power-up stamp).
    EXPECT_EQ(SavedValue("ulv_cummulative_uptime"), "100");
    EXPECT_EQ(SavedValue("ulv_last_panic_timestamp"), "5");
    EXPECT_EQ(SavedValue("ulv_last_preiodic_report_timestamp"), "abc");
    EXPECT_EQ(SavedValue("ulv_last_powerup_timestamp"), "1");
    EXPECT_EQ(ulvState.flexConfig.ulv_last_panic_timestamp, 0x40u);
}

TEST_F(StartupDecisionTest, PowerUpStampIsTheBootToStartTimeLoggedInHex) {
    Prepare(kSameSoftware, /*startupUptime=*/1234);
    ULVStartupDecision();
    EXPECT_EQ(ulvState.flexConfig.ulv_last_powerup_timestamp, 1234u);
    EXPECT_EQ(ulvState.flexConfig.ulv_cummulative_uptime, 1234u);
    // The last record of the decision.
    ASSERT_FALSE(fake::aplog.Texts().empty());
    EXPECT_EQ(fake::aplog.Texts().back(), "last_powerup_timestamp == 4d2\n\r");
}

}  // namespace
