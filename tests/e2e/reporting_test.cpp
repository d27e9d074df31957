// The main job end to end: the real daemon, from its start to delivered reports, against the
// simulated handset on accelerated time.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "e2e.h"
#include "panic_log.h"

namespace {

using namespace ulvtest;

TEST(Reporting, OneBpPanicTravelsFromItsLogToADeliveredReportExactlyOnce) {
    DaemonWorld world;
    world.WriteConfig({{"ulv_last_panic_timestamp", "1000"}, {"ulv_last_num_panics", "1"}});
    const std::vector<uint8_t> data = Counting(0xA0, 40);  // 40 bytes: only 36 travel
    WriteFile(world.Path("zellocal/panic/bp_panic.log1"),
              BpPanicRecord(0x51, 0x900, Counting(0, 4)) +  // old: not reported
                  BpPanicRecord(0x0B0E0F01, 0x11223344, data, /*padding=*/5));
    world.StartHandset(std::string(kSameSoftware) + "sequence 40\n");
    ASSERT_TRUE(Launch(world));

    const std::vector<std::string> sms = world.SmsLines();
    ASSERT_EQ(sms.size(), 1u);
    EXPECT_EQ(DaemonWorld::SmsField(sms[0], "seq"), "40");
    EXPECT_EQ(DaemonWorld::SmsField(sms[0], "dest"), "+15550100");
    EXPECT_EQ(DaemonWorld::SmsText(sms[0]).size(), 152u);
    const std::vector<std::string> decoded = DecodeAll(sms);
    ASSERT_EQ(decoded.size(), 1u);
    ExpectJson(decoded[0], {{"kind", "\"crash\""},
                            {"callTime", "7"},
                            {"timestamp", "287454020"},  // 0x11223344
                            {"id", "\"0x0b0e0f01\""},
                            {"data", "\"" + Hex({data.begin(), data.begin() + 36}) + "\""},
                            {"bpTotalCount", "2"}});
    // Saved on the confirmation.
    ExpectConfig(world, {{"ulv_last_panic_timestamp", "11223344"}, {"ulv_last_num_panics", "2"}});

    ASSERT_TRUE(Restart(world));  // finds nothing new
    EXPECT_EQ(world.SmsLines().size(), 1u);
    EXPECT_NE(world.Trace().find("BP: There are 0 new panics of 2 total panics from file "
                                 "/zellocal/panic/bp_panic.log1\n"),
              std::string::npos);
}

TEST(Reporting, SeveralPanicsGoOldestFirstAndAFailedOneIsResentAfterRestart) {
    DaemonWorld world;
    world.WriteConfig({{"ulv_last_panic_timestamp", "50"}});
    WriteFile(world.Path("zellocal/panic/bp_panic.log1"),
              BpPanicRecord(3, 0x300, Counting(3, 4)) + BpPanicRecord(1, 0x100, Counting(1, 4)));
    WriteFile(world.Path("zellocal/panic/bp_panic.log2"), BpPanicRecord(2, 0x200, Counting(2, 4)));
    // The second report fails on delivery; every later one goes through.
    world.StartHandset(std::string(kSameSoftware) + "confirm 0,1,0\n");
    ASSERT_TRUE(Launch(world, /*settle=*/false));
    // After the failure the lists are dropped and only the periodic schedule runs.
    ASSERT_TRUE(world.WaitForTrace("\tRecd. failure for SMS Send\n")) << world.Aplog();
    ASSERT_TRUE(world.WaitForAplog("Some thing was sent, to begin periodic timer\\n\\r", 3));
    EXPECT_EQ(world.SmsLines().size(), 2u);
    ExpectConfig(world, {{"ulv_last_panic_timestamp", "100"}});  // rolled back to the first

    ASSERT_TRUE(Restart(world));
    const std::vector<std::string> decoded = DecodeAll(world.SmsLines());
    ASSERT_EQ(decoded.size(), 4u);
    // 0x100, 0x200 (failed), then after the restart 0x200 and 0x300.
    const char* expected[] = {"256", "512", "512", "768"};
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(JsonField(decoded[i], "timestamp"), expected[i]);
    ExpectConfig(world, {{"ulv_last_panic_timestamp", "300"}, {"ulv_last_num_panics", "3"}});
}

TEST(Reporting, PeriodicReportFallsDueAfterTheReportDurationOfCumulativeUptime) {
    // 6 hours of simulated time in about six seconds.
    DaemonWorld world(/*timeScale=*/3600, /*startUptime=*/1000);
    world.WriteConfig({{"ulv_report_duration", "6"}});
    world.StartHandset(std::string(kSameSoftware) +
                       "generic_data 0102030405060708090a0b0c0d0e0f101112131415161718\n");
    ASSERT_TRUE(Launch(world, /*settle=*/false));
    ASSERT_TRUE(world.WaitForSmsCount(1, /*seconds=*/120)) << world.Aplog();

    // The start-up decision adds the boot-to-start uptime; from then on every tick adds
    // exactly 900 s, and the first tick that finds 900 s or fewer left in the 6 hours (21600 s)
    // hands over to the report, once.
    const std::string trace = world.Trace();
    std::smatch sampled;
    ASSERT_TRUE(std::regex_search(trace, sampled, std::regex("uptime from sysinfo=(\\d+)\n")));
    const size_t handover = trace.find("Periodic timer resetting ....\n");
    ASSERT_NE(handover, std::string::npos);
    EXPECT_EQ(handover, trace.rfind("Periodic timer resetting ....\n"));
    std::vector<long> cumulative;
    size_t beforeHandover = 0;
    std::regex tick("Current UpTime \\d+ seconds and cumulativeuptime (\\d+)\n");
    for (std::sregex_iterator it(trace.begin(), trace.end(), tick), end; it != end; ++it) {
        cumulative.push_back(std::atol((*it)[1].str().c_str()));
        beforeHandover += static_cast<size_t>(it->position()) < handover;
    }
    ASSERT_GT(beforeHandover, 0u);
    long expected = std::atol(sampled[1].str().c_str());
    for (long seen : cumulative) EXPECT_EQ(seen, expected += 900);
    const long due = cumulative[beforeHandover - 1];
    EXPECT_LE(21600 - (due - 900), 900);
    if (beforeHandover > 1) {
        EXPECT_GT(21600 - (cumulative[beforeHandover - 2] - 900), 900);
    }

    const std::vector<std::string> decoded = DecodeAll(world.SmsLines());
    ASSERT_EQ(decoded.size(), 1u);
    ExpectJson(decoded[0],
               {{"kind", "\"periodic\""},
                {"callTime", "7"},
                {"genericData", "\"0102030405060708090a0b0c0d0e0f101112131415161718\""}});
    const long uptimeMs = std::atol(JsonField(decoded[0], "uptimeMs").c_str());
    EXPECT_GE(uptimeMs, due * 1000);
    EXPECT_LT(uptimeMs, (due + 900) * 1000);
    // The period now counts from the report; the mark is taken as the body is built, the
    // header's uptime a moment later.
    ASSERT_TRUE(world.WaitForAplog("Some thing was sent, to begin periodic timer\\n\\r", 24));
    const long mark =
        std::strtol(world.ConfigValue("ulv_last_preiodic_report_timestamp").c_str(), nullptr, 16);
    EXPECT_LE(mark * 1000, uptimeMs);
    EXPECT_GE(mark, due);
}

TEST(Reporting, EmailDestinationGoesThroughTheGatewayOfTheSetupFile) {
    DaemonWorld world;
    world.WriteConfig({{"ulv_sms_address_type", "1"},
                       {"ulv_destination_address", "ops.crash@example.com"},
                       {"ulv_last_panic_timestamp", "10"}});
    WriteFile(world.Path("zel_app/setup/zel_sms.cfg"),
              "[SmsSetup]\n# EMAIL_GATEWAY = 1111\nEMAIL_GATEWAY = 6245\n");
    WriteFile(world.Path("zellocal/panic/bp_panic.log1"), BpPanicRecord(9, 0x20, Counting(0, 36)));
    world.StartHandset(std::string(kSameSoftware) + "email_gateway\n");  // empty from the phone
    ASSERT_TRUE(Launch(world));

    const std::vector<std::string> sms = world.SmsLines();
    ASSERT_EQ(sms.size(), 1u);
    EXPECT_EQ(DaemonWorld::SmsField(sms[0], "pid"), "0x32");
    EXPECT_EQ(DaemonWorld::SmsField(sms[0], "dest"), "6245");
    EXPECT_EQ(DaemonWorld::SmsField(sms[0], "len"), "160");
    const std::string text = DaemonWorld::SmsText(sms[0]);
    EXPECT_EQ(text.rfind("ops.crash@example.com ", 0), 0u);
    EXPECT_EQ(text.size(), 160u);  // 22 + 138 of the 152 report characters
    int exitStatus = 0;
    const std::string output = Decode({text}, &exitStatus);
    EXPECT_EQ(exitStatus, 1);  // cut short by the e-mail form, as the receiver sees it
    ExpectJson(output, {{"truncated", "true"}, {"timestamp", "32"}});
    EXPECT_NE(world.Trace().find("Email Gateway from SMS setup is 6245\n\n"), std::string::npos);
}

}  // namespace
