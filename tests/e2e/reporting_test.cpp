// The main job end to end: the real daemon, from its start to delivered reports, against the
// simulated handset on accelerated time.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "daemon_world.h"
#include "decoded.h"
#include "panic_log.h"

namespace {

using ulvtest::BpPanicRecord;
using ulvtest::Counting;
using ulvtest::DaemonWorld;
using ulvtest::DecodeAll;
using ulvtest::Hex;
using ulvtest::JsonField;
using ulvtest::WaitForSchedule;
using ulvtest::ExitCode;

// The handset of these tests runs the software the default configuration last saw.
constexpr char kSameSoftware[] =
    "ap_version AP_R1\nbp_version BP.12.34\nflex_version FLEX_7\nserial SN01234567\n"
    "call_time 7\n";

TEST(Reporting, FirstStartAfterProvisioningReportsTheSoftwareAndMarksEveryPanicHandled) {
    DaemonWorld world;
    world.WriteConfig({{"ulv_lst_bldinfo_baselabel", ""}, {"ulv_last_flex_version", ""}});
    ulvtest::WriteFile(world.Path("zellocal/panic/bp_panic.log1"),
                       BpPanicRecord(1, 0x100, Counting(0, 8)) +
                           BpPanicRecord(2, 0x300, Counting(0, 8)));
    ulvtest::WriteFile(world.Path("zellocal/panic/bp_panic.log2"),
                       BpPanicRecord(3, 0x200, Counting(0, 8)));
    world.StartHandset(kSameSoftware);
    ASSERT_EQ(world.StartDaemon(), 0);
    ASSERT_GT(world.WaitForDaemonPid(), 0);
    ASSERT_TRUE(WaitForSchedule(world)) << world.Aplog();

    std::vector<std::string> sms = world.SmsLines();
    ASSERT_EQ(sms.size(), 1u);
    EXPECT_EQ(DaemonWorld::SmsText(sms[0]).size(), 140u);
    std::vector<std::string> decoded = DecodeAll(sms);
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(JsonField(decoded[0], "kind"), "\"softwareChange\"");
    EXPECT_EQ(JsonField(decoded[0], "apBuildLabel"), "\"AP_R1\"");
    EXPECT_EQ(JsonField(decoded[0], "previousApBuildLabel"), "\"\"");
    EXPECT_EQ(JsonField(decoded[0], "bpTotalCount"), "3");

    // Marked handled and saved: the newest time stamp, the count, the new software.
    EXPECT_EQ(world.ConfigValue("ulv_last_panic_timestamp"), "300");
    EXPECT_EQ(world.ConfigValue("ulv_last_num_panics"), "3");
    EXPECT_EQ(world.ConfigValue("ulv_lst_bldinfo_baselabel"), "AP_R1");
    EXPECT_EQ(world.ConfigValue("ulv_last_flex_version"), "FLEX_7");
}

TEST(Reporting, OneBpPanicTravelsFromItsLogToADeliveredReportExactlyOnce) {
    DaemonWorld world;
    world.WriteConfig({{"ulv_last_panic_timestamp", "1000"}, {"ulv_last_num_panics", "1"}});
    const std::vector<uint8_t> data = Counting(0xA0, 40);  // 40 bytes: only 36 travel
    ulvtest::WriteFile(world.Path("zellocal/panic/bp_panic.log1"),
                       BpPanicRecord(0x51, 0x900, Counting(0, 4)) +  // old: not reported
                           BpPanicRecord(0x0B0E0F01, 0x11223344, data, /*padding=*/5));
    world.StartHandset(std::string(kSameSoftware) + "sequence 40\n");
    ASSERT_EQ(world.StartDaemon(), 0);
    ASSERT_GT(world.WaitForDaemonPid(), 0);
    ASSERT_TRUE(WaitForSchedule(world)) << world.Aplog();

    std::vector<std::string> sms = world.SmsLines();
    ASSERT_EQ(sms.size(), 1u);
    EXPECT_EQ(DaemonWorld::SmsField(sms[0], "seq"), "40");
    EXPECT_EQ(DaemonWorld::SmsField(sms[0], "dest"), "+15550100");
    EXPECT_EQ(DaemonWorld::SmsText(sms[0]).size(), 152u);
    std::vector<std::string> decoded = DecodeAll(sms);
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(JsonField(decoded[0], "kind"), "\"crash\"");
    EXPECT_EQ(JsonField(decoded[0], "callTime"), "7");
    EXPECT_EQ(JsonField(decoded[0], "timestamp"), "287454020");  // 0x11223344
    EXPECT_EQ(JsonField(decoded[0], "id"), "\"0x0b0e0f01\"");
    EXPECT_EQ(JsonField(decoded[0], "data"),
              "\"" + Hex(std::vector<uint8_t>(data.begin(), data.begin() + 36)) + "\"");
    EXPECT_EQ(JsonField(decoded[0], "bpTotalCount"), "2");

    // Saved on the confirmation.
    EXPECT_EQ(world.ConfigValue("ulv_last_panic_timestamp"), "11223344");
    EXPECT_EQ(world.ConfigValue("ulv_last_num_panics"), "2");

    // A restart finds nothing new.
    world.KillDaemon(SIGTERM);
    int status = 0;
    ASSERT_TRUE(world.WaitDaemonExit(&status));
    EXPECT_EQ(ExitCode(status), 0);
    ulvtest::WriteFile(world.Path("zel_user/download/appwrite/ulvPanicInfo"), "");
    ASSERT_EQ(world.StartDaemon(), 0);
    ASSERT_GT(world.WaitForDaemonPid(), 0);
    ASSERT_TRUE(WaitForSchedule(world)) << world.Aplog();
    EXPECT_EQ(world.SmsLines().size(), 1u);
    EXPECT_NE(world.Trace().find("BP: There are 0 new panics of 2 total panics from file "
                                 "/zellocal/panic/bp_panic.log1\n"),
              std::string::npos);
}

// Queries the handset fails: logged, and the report still goes out with those fields empty.
TEST(Reporting, FailingHandsetQueriesAreLoggedAndTheReportStillGoesOut) {
    DaemonWorld world;
    world.WriteConfig({{"ulv_last_panic_timestamp", "1000"}});
    ulvtest::WriteFile(world.Path("zellocal/panic/bp_panic.log1"),
                       BpPanicRecord(1, 0x2000, Counting(0, 4)));
    world.StartHandset(std::string(kSameSoftware) +
                       "fail SerialNo 1\nfail CallTime 1\nfail ExpirePeriod\n");
    ASSERT_EQ(world.StartDaemon(), 0);
    ASSERT_GT(world.WaitForDaemonPid(), 0);
    ASSERT_TRUE(WaitForSchedule(world)) << world.Aplog();

    std::vector<std::string> decoded = DecodeAll(world.SmsLines());
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(JsonField(decoded[0], "kind"), "\"crash\"");
    EXPECT_EQ(JsonField(decoded[0], "serialNumber"), "\"\"");
    EXPECT_EQ(JsonField(decoded[0], "callTime"), "0");
    for (const char* text : {"TAPI_ACCE_GetFactorySerialNo Failure!\\n\\r",
                             "TAPI_ULV_GetCallTime failure\\n\\r", "Get the Call Time Failed\\n\\r"})
        EXPECT_EQ(world.AplogCount(text), 1) << text;
    EXPECT_NE(world.Trace().find("\tGet the Call Time Failed\n"), std::string::npos);
    EXPECT_EQ(world.ConfigValue("ulv_last_panic_timestamp"), "2000");  // delivered
}

TEST(Reporting, SeveralPanicsGoOldestFirstAndAFailedOneIsResentAfterRestart) {
    DaemonWorld world;
    world.WriteConfig({{"ulv_last_panic_timestamp", "50"}});
    ulvtest::WriteFile(world.Path("zellocal/panic/bp_panic.log1"),
                       BpPanicRecord(3, 0x300, Counting(3, 4)) +
                           BpPanicRecord(1, 0x100, Counting(1, 4)));
    ulvtest::WriteFile(world.Path("zellocal/panic/bp_panic.log2"),
                       BpPanicRecord(2, 0x200, Counting(2, 4)));
    // The second report fails on delivery; every later one goes through.
    world.StartHandset(std::string(kSameSoftware) + "confirm 0,1,0\n");
    ASSERT_EQ(world.StartDaemon(), 0);
    ASSERT_GT(world.WaitForDaemonPid(), 0);
    // After the failure the lists are dropped and only the periodic schedule runs.
    ASSERT_TRUE(world.WaitForTrace("\tRecd. failure for SMS Send\n")) << world.Aplog();
    ASSERT_TRUE(world.WaitForAplog("Some thing was sent, to begin periodic timer\\n\\r", 3));
    EXPECT_EQ(world.SmsLines().size(), 2u);
    EXPECT_EQ(world.ConfigValue("ulv_last_panic_timestamp"), "100");  // rolled back to the first

    world.KillDaemon(SIGTERM);
    int status = 0;
    ASSERT_TRUE(world.WaitDaemonExit(&status));
    ASSERT_EQ(world.StartDaemon(), 0);
    ASSERT_GT(world.WaitForDaemonPid(), 0);
    ASSERT_TRUE(WaitForSchedule(world)) << world.Aplog();

    std::vector<std::string> decoded = DecodeAll(world.SmsLines());
    ASSERT_EQ(decoded.size(), 4u);
    // 0x100, 0x200 (failed), then after the restart 0x200 and 0x300.
    const char* expected[] = {"256", "512", "512", "768"};
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(JsonField(decoded[i], "timestamp"), expected[i]);
    EXPECT_EQ(world.ConfigValue("ulv_last_panic_timestamp"), "300");
    EXPECT_EQ(world.ConfigValue("ulv_last_num_panics"), "3");
}

TEST(Reporting, PeriodicReportFallsDueAfterTheReportDurationOfCumulativeUptime) {
    // 6 hours of simulated time in about six seconds.
    DaemonWorld world(/*timeScale=*/3600, /*startUptime=*/1000);
    world.WriteConfig({{"ulv_report_duration", "6"}});
    world.StartHandset(std::string(kSameSoftware) +
                       "generic_data 0102030405060708090a0b0c0d0e0f101112131415161718\n");
    ASSERT_EQ(world.StartDaemon(), 0);
    ASSERT_GT(world.WaitForDaemonPid(), 0);
    ASSERT_TRUE(world.WaitForSmsCount(1, /*seconds=*/120)) << world.Aplog();

    // The start-up decision adds the boot-to-start uptime; from then on every tick adds
    // exactly 900 s, and the first tick that finds 900 s or fewer left in the 6 hours (21600 s)
    // hands over to the report.
    const std::string trace = world.Trace();
    const std::smatch sampled = [&] {
        std::smatch match;
        std::regex_search(trace, match, std::regex("uptime from sysinfo=(\\d+)\n"));
        return match;
    }();
    ASSERT_FALSE(sampled.empty());
    const long startup = std::atol(sampled[1].str().c_str());
    std::vector<long> cumulative;
    std::regex tick("Current UpTime \\d+ seconds and cumulativeuptime (\\d+)\n");
    for (std::sregex_iterator it(trace.begin(), trace.end(), tick), end; it != end; ++it)
        cumulative.push_back(std::atol((*it)[1].str().c_str()));
    ASSERT_FALSE(cumulative.empty());
    EXPECT_EQ(cumulative[0], startup + 900);
    for (size_t i = 1; i < cumulative.size(); ++i)
        EXPECT_EQ(cumulative[i] - cumulative[i - 1], 900) << "tick " << i;
    size_t due = 0;
    while (due < cumulative.size() && 21600 - (cumulative[due] - 900) > 900) ++due;
    ASSERT_LT(due, cumulative.size());
    // The due tick is the one that handed over, once.
    const size_t handover = trace.find("Periodic timer resetting ....\n");
    ASSERT_NE(handover, std::string::npos);
    EXPECT_EQ(handover, trace.rfind("Periodic timer resetting ....\n"));
    const std::string beforeHandover = trace.substr(0, handover);
    EXPECT_EQ(static_cast<size_t>(std::distance(
                  std::sregex_iterator(beforeHandover.begin(), beforeHandover.end(), tick),
                  std::sregex_iterator())),
              due + 1);

    std::vector<std::string> decoded = DecodeAll(world.SmsLines());
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(JsonField(decoded[0], "kind"), "\"periodic\"");
    EXPECT_EQ(JsonField(decoded[0], "callTime"), "7");
    EXPECT_EQ(JsonField(decoded[0], "genericData"),
              "\"0102030405060708090a0b0c0d0e0f101112131415161718\"");
    const long uptimeMs = std::atol(JsonField(decoded[0], "uptimeMs").c_str());
    EXPECT_GE(uptimeMs, cumulative[due] * 1000);
    EXPECT_LT(uptimeMs, (cumulative[due] + 900) * 1000);
    // The period now counts from the report.
    ASSERT_TRUE(world.WaitForAplog("Some thing was sent, to begin periodic timer\\n\\r", 24));
    const long periodicMark =
        std::strtol(world.ConfigValue("ulv_last_preiodic_report_timestamp").c_str(), nullptr, 16);
    // The mark is taken as the body is built, the header's uptime a moment later.
    EXPECT_LE(periodicMark * 1000, uptimeMs);
    EXPECT_GE(periodicMark, cumulative[due]);
}

TEST(Reporting, EmailDestinationGoesThroughTheGatewayOfTheSetupFile) {
    DaemonWorld world;
    world.WriteConfig({{"ulv_sms_address_type", "1"},
                       {"ulv_destination_address", "ops.crash@example.com"},
                       {"ulv_last_panic_timestamp", "10"}});
    ulvtest::WriteFile(world.Path("zel_app/setup/zel_sms.cfg"),
                       "[SmsSetup]\n# EMAIL_GATEWAY = 1111\nEMAIL_GATEWAY = 6245\n");
    ulvtest::WriteFile(world.Path("zellocal/panic/bp_panic.log1"),
                       BpPanicRecord(9, 0x20, Counting(0, 36)));
    world.StartHandset(std::string(kSameSoftware) + "email_gateway\n");  // empty from the phone
    ASSERT_EQ(world.StartDaemon(), 0);
    ASSERT_GT(world.WaitForDaemonPid(), 0);
    ASSERT_TRUE(WaitForSchedule(world)) << world.Aplog();

    std::vector<std::string> sms = world.SmsLines();
    ASSERT_EQ(sms.size(), 1u);
    EXPECT_EQ(DaemonWorld::SmsField(sms[0], "pid"), "0x32");
    EXPECT_EQ(DaemonWorld::SmsField(sms[0], "dest"), "6245");
    EXPECT_EQ(DaemonWorld::SmsField(sms[0], "len"), "160");
    const std::string text = DaemonWorld::SmsText(sms[0]);
    EXPECT_EQ(text.rfind("ops.crash@example.com ", 0), 0u);
    EXPECT_EQ(text.size(), 160u);  // 22 + 138 of the 152 report characters

    int exitStatus = 0;
    std::string output = ulvtest::Decode({text}, &exitStatus);
    EXPECT_EQ(exitStatus, 1);  // cut short by the e-mail form, as the receiver sees it
    EXPECT_EQ(JsonField(output, "truncated"), "true");
    EXPECT_EQ(JsonField(output, "timestamp"), "32");
    EXPECT_NE(world.Trace().find("Email Gateway from SMS setup is 6245\n\n"), std::string::npos);
}

TEST(Reporting, WithoutAServiceCentreTheDaemonGivesUpAfterTwelveRetries) {
    DaemonWorld world;
    world.WriteConfig();
    world.StartHandset(std::string(kSameSoftware) + "fail GetServiceCenter\n");
    ASSERT_EQ(world.StartDaemon(), 0);
    ASSERT_GT(world.WaitForDaemonPid(), 0);
    int status = 0;
    ASSERT_TRUE(world.WaitDaemonExit(&status, /*seconds=*/120)) << world.Aplog();
    EXPECT_EQ(ExitCode(status), 0);
    // The check at start-up, then 12 re-checks 15 s apart; the 13th expiry gives up.
    EXPECT_EQ(world.AplogCount("FAIL: GetServiceCenter"), 13);
    EXPECT_EQ(world.AplogCount("Checking Email Gateway and service center is available or not"),
              12);
    EXPECT_EQ(world.AplogCount("Exit ULV!\\n\\r"), 1);
    EXPECT_TRUE(world.SmsLines().empty());
}

}  // namespace
