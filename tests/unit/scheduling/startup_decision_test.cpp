#include <filesystem>
#include <tuple>

#include "panic_log.h"
#include "scheduling_fixture.h"

namespace {

class StartupDecisionTest : public SchedulingTest {
  protected:
    // As ULVInit leaves it, started `startupUptime` seconds after boot.
    void Prepare(const std::map<std::string, std::string>& config, uint32_t startupUptime = 0x50) {
        SchedulingTest::Prepare(config);
        fake::clock.uptime = ulvState.startupUptime = ulvState.lastUptimeSample = startupUptime;
        ulvState.startupStage = 1;
        ulvState.reportUptime = 1234;
        for (const char* name : {"core.1", "core.app.7", "core", "xcore.1"})
            WriteFile(std::string("zellocal/ulv_app_dump/") + name, "dump");
    }
};

// Each start adds the boot-to-start time (0x200) to the cumulative uptime (0xFFFFFF00, so it
// wraps to 0x100), saves it before anything else changes, then queues its reports.
TEST_F(StartupDecisionTest, QueuesTheSoftwareChangeOrTheCrashOrOnlyThePeriodicReport) {
    // The stored AP build label (the phone runs "AP_R1"), the BP panics (the last reported is
    // 5), the reports queued.
    const std::tuple<const char*, std::vector<uint32_t>, uint32_t> cases[] = {
        // The newest (30) is neither first nor last in the log: found through the sort index.
        {"AP_R0", {3, 30, 10, 20}, PENDING_SW_CHANGE | PENDING_PERIODIC},
        {"AP_R1", {3, 30}, PENDING_CRASH | PENDING_PERIODIC},
        {"AP_R1", {3}, PENDING_PERIODIC},
    };
    for (const auto& [storedLabel, bpStamps, pending] : cases) {
        SCOPED_TRACE(pending);
        const bool changed = (pending & PENDING_SW_CHANGE) != 0;
        WriteFile(ulvtest::kLog1, ulvtest::Log(bpStamps));
        Prepare({{"ulv_lst_bldinfo_baselabel", storedLabel},
                 {"ulv_last_panic_timestamp", "5"},
                 {"ulv_last_preiodic_report_timestamp", "abc"},
                 {"ulv_cummulative_uptime", "ffffff00"}},
                0x200);
        std::memset(ulvState.periodicBody, 0xEE, PERIODIC_BODY_SIZE);
        ULVStartupDecision();
        // A new software starts its usage figures afresh; the rest of the body stays.
        EXPECT_EQ(ulvState.periodicBody[PERIODIC_GENERIC_DATA_OFFSET], changed ? 0 : 0xEE);
        EXPECT_EQ(ulvState.periodicBody[PERIODIC_BODY_SIZE - 1], changed ? 0 : 0xEE);
        EXPECT_EQ(ulvState.periodicBody[PERIODIC_GENERIC_DATA_OFFSET - 1], 0xEE);
        EXPECT_EQ(ulvState.pendingReports, pending);
        EXPECT_EQ(TimerRequests(), "start 0,0,5,0");
        EXPECT_EQ(ulvState.currentTimerId,
                  pending == PENDING_PERIODIC ? ULV_TIMER_APCD_ID : ULV_TIMER_DELAY_ID);
        EXPECT_EQ(ulvState.flexConfig.ulv_last_panic_timestamp, changed ? 30u : 5u);
        EXPECT_EQ(ulvState.reportUptime == 0, changed);
        EXPECT_EQ(ulvState.flexConfig.ulv_last_preiodic_report_timestamp, changed ? 0 : 0xabcu);
        const std::string dir = "zellocal/ulv_app_dump/";
        EXPECT_EQ(Exists(dir + "core.1") + Exists(dir + "core.app.7"), changed ? 0 : 2);
        EXPECT_TRUE(Exists(dir + "core") && Exists(dir + "xcore.1"));
        EXPECT_EQ(ulvState.flexConfig.ulv_cummulative_uptime, 0x100u);
        EXPECT_EQ(ulvState.flexConfig.ulv_last_powerup_timestamp, 0x200u);
        EXPECT_NE(ConfigFile().find(
                      "\nulv_last_panic_timestamp = 5\nulv_last_preiodic_report_timestamp"
                      " = abc\nulv_last_powerup_timestamp = 0\nulv_cummulative_uptime = 100\n"),
                  std::string::npos);
    }
}

TEST_F(StartupDecisionTest, AnUnreadableDumpDirectoryIsTracedAMissingOneIsNotALinkIsNotFollowed) {
    std::filesystem::remove_all(root_ + "/zellocal/ulv_app_dump");
    ULVRemoveCoreFiles();
    WriteFile("zellocal/ulv_app_dump", "not a directory");
    ULVRemoveCoreFiles();
    std::filesystem::remove(root_ + "/zellocal/ulv_app_dump");
    WriteFile("victim/core.1", "somebody else's");
    std::filesystem::create_directory_symlink(root_ + "/victim", root_ + "/zellocal/ulv_app_dump");
    ULVRemoveCoreFiles();
    EXPECT_TRUE(Exists("victim/core.1"));
    // The link's error text depends on the kernel (ELOOP or ENOTDIR).
    const std::vector<std::string> traces = TraceMessages();
    ASSERT_EQ(traces.size(), 2u);
    EXPECT_EQ(traces[0], "Read dir failed - Not a directory\n");
    EXPECT_EQ(traces[1].rfind("Read dir failed - ", 0), 0u) << traces[1];
}

TEST_F(StartupDecisionTest, OnlyTheFirst20CharactersOfEachVersionCount) {
    // AP build label and flex version stored, then on the phone; whether they changed.
    const std::tuple<const char*, const char*, const char*, const char*, bool> cases[] = {
        {"ABCDEFGHIJKLMNOPQRST_OLD", "F234567890123456789Xold", "ABCDEFGHIJKLMNOPQRST_NEW",
         "F234567890123456789Xnew", false},
        {"ABCDEFGHIJKLMNOPQRSx", "FLEX_7", "ABCDEFGHIJKLMNOPQRSy", "FLEX_7", true},
        {"AP_R1", "F234567890123456789x", "AP_R1", "F234567890123456789y", true},
    };
    for (const auto& [storedLabel, storedFlex, phoneLabel, phoneFlex, changed] : cases) {
        SCOPED_TRACE(std::string(phoneLabel) + " " + phoneFlex);
        Prepare(
            {{"ulv_lst_bldinfo_baselabel", storedLabel}, {"ulv_last_flex_version", storedFlex}});
        fake::tapi.SetApVersion(phoneLabel);
        fake::tapi.SetBpVersion("BP.12.34", phoneFlex);
        ULVStartupDecision();
        EXPECT_EQ((ulvState.pendingReports & PENDING_SW_CHANGE) != 0, changed);
    }
}

}  // namespace
