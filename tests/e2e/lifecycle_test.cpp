// The daemon's life as a process: detaching, connecting, waiting, its periodic schedule, and
// every way out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "daemon_world.h"
#include "sim_env.h"

namespace {

using namespace ulvtest;

// A record's trace message value after `prefix` (e.g. "uptime from sysinfo=").
long TraceNumber(const std::string& trace, const std::string& prefix) {
    size_t at = trace.find(prefix);
    return at == std::string::npos ? -1 : std::atol(trace.c_str() + at + prefix.size());
}

// Never in service, so no timer is armed: only telephony messages and the signal wake it.
TEST(DaemonLifecycle, DetachedIdleDaemonHoldsNoInheritedDescriptorAndDropsMalformedMessages) {
    DaemonWorld world;
    world.WriteConfig();
    // A registration of 17 bytes and a signal message without data (both dropped), then the
    // test network (served: valid, then invalid again).
    world.StartHandset(
        "service 0\n"
        "at 1 msg 0x070A hex 3331302d3431302d3331302d3431302d33\n"
        "at 2 msg 0x0701 len 4 null\n"
        "at 3 msg 0x0702 hex\n"
        "at 4 registered 001-01\n");
    // Descriptors without close-on-exec reach the daemon through the reaper and the launcher:
    // a low one and one far above anything the daemon opens itself.
    ASSERT_TRUE(WriteFile(world.Path("inherited-marker"), "x"));
    const int low = open(world.Path("inherited-marker").c_str(), O_RDONLY);
    const int high = fcntl(low, F_DUPFD, 200);
    ASSERT_GE(high, 200);
    const bool launched = Launch(world, /*settle=*/false);  // the launcher returns at once
    close(low);
    close(high);
    ASSERT_TRUE(launched);
    const pid_t pid = world.pid();
    ASSERT_TRUE(world.WaitForAplog("set PLMN invalid\\n\\r")) << world.Aplog();
    // No line end after the pid; a session of its own that it does not lead.
    EXPECT_EQ(ReadFile(world.Path("tmp/ulv.pid")), std::to_string(pid));
    EXPECT_NE(getsid(pid), getsid(0));
    EXPECT_NE(getsid(pid), pid);
    EXPECT_NE(world.Trace().find("\tULV is starting with pid - " + std::to_string(pid) + "\n"),
              std::string::npos);
    // 0 to 2 are /dev/null (and only they), and the daemon still holds what it opened itself.
    int held = 0;
    for (const auto& fd :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        std::error_code gone;
        const std::string target = std::filesystem::read_symlink(fd.path(), gone).string();
        const int number = std::atoi(fd.path().filename().c_str());
        for (const char* closed : {"inherited-marker", "ulv.pid"})
            EXPECT_EQ(target.find(closed), std::string::npos) << number << " -> " << target;
        EXPECT_EQ(number <= 2, target == "/dev/null") << number << " -> " << target;
        held += number > 2;
    }
    EXPECT_GT(held, 0);
    EXPECT_EQ(world.Aplog().find("REGISTERED_MSGID operator == 310-410-310"), std::string::npos);
    EXPECT_EQ(world.Aplog().find("SINGAL QUALITY VALUE RECEIVED"), std::string::npos);
    // Start-up's own PLMN record, then the pair of the test network.
    ExpectAplog(world, {{"REGISTERED_MSGID operator == 001-01\\n\\r", 1},
                        {"set in service State\\n\\r", 0},
                        {"set PLMN valid\\n\\r", 2}});
    EXPECT_TRUE(Stop(world));
    ExpectAplog(world, {{"ULV Exit\\n\\r", 1}, {"timeout or exception occurs\\n\\r", 0}});
}

// Every way the daemon leaves by itself: status 0, the records that say why, and the platform
// log opened first and closed last.
TEST(DaemonLifecycle, LeavesByItselfWhenItCannotGoOn) {
    const std::string noServiceCentre = std::string(kSameSoftware) + "fail GetServiceCenter\n";
    const char* noTimer = "Can't open the timer device - No such file or directory";
    const struct {
        const char* name;
        const char* handset;  // nullptr: no handset at all
        const char* removed;  // a file of the sandbox taken away first
        std::vector<std::pair<std::string, int>> aplog;
    } cases[] = {
        {"the handset hangs up",
         "service 0\nat 600 close\n",
         nullptr,
         {{"TAPI_Client_ReadAndMallocMsg Failure\\n\\r", 1}, {"Exit ULV!\\n\\r", 1}}},
        // Ten attempts to connect; the timer device is never opened.
        {"no handset",
         nullptr,
         nullptr,
         {{"Try to connect TAPI Server 1 times\\n\\r", 1},
          {"Try to connect TAPI Server 10 times\\n\\r", 1},
          {"Try to connect TAPI Server 11 times\\n\\r", 0},
          {"TAPI_CLIENT_Init Failure\\n\\r", 1},
          {"Exit ULV!\\n\\r", 0}}},
        {"no timer device",
         "service 0\n",
         "dev/rtc_sw",
         {{std::string(noTimer) + "\\n\\r", 1}, {"Exit ULV!\\n\\r", 1}}},
        // The check at start-up, then 12 re-checks 15 s apart; the 13th expiry gives up.
        {"no service centre",
         noServiceCentre.c_str(),
         nullptr,
         {{"FAIL: GetServiceCenter", 13},
          {"Checking Email Gateway and service center is available or not", 12},
          {"Exit ULV!\\n\\r", 1}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DaemonWorld world;
        world.WriteConfig();
        if (c.removed != nullptr) unlink(world.Path(c.removed).c_str());
        if (c.handset != nullptr) world.StartHandset(c.handset);
        ASSERT_TRUE(Launch(world, /*settle=*/false));
        EXPECT_EQ(Ended(world, /*seconds=*/120), 0) << world.Aplog();
        ExpectAplog(world, c.aplog);
        EXPECT_TRUE(world.SmsLines().empty());
        const std::string log = world.Aplog();
        EXPECT_EQ(log.substr(0, log.find('\n')), "I ULVPort 0");
        EXPECT_EQ(log.substr(log.rfind('\n', log.size() - 2) + 1), "X 0\n");
        EXPECT_EQ(Count(world.Trace(), std::string(noTimer) + "\n"), c.removed != nullptr);
    }
}

TEST(DaemonLifecycle, UnconfiguredDaemonStopsBeforeDetaching) {
    DaemonWorld world;
    world.WriteConfig({{"ulv_availability", "0"}});
    world.StartHandset("");
    EXPECT_EQ(world.StartDaemon(), 0);
    EXPECT_EQ(world.WaitForDaemonPid(/*seconds=*/0.5), 0);  // never written
    EXPECT_NE(world.Trace().find("\tExit ULV due to ULVGetFlexConfig() failure\n"),
              std::string::npos);
    ExpectAplog(world, {{"ULV not configured AVLBL=0, DST=+15550100\\n\\r", 1}});
    EXPECT_EQ(ReadFile(world.Path("handset.out")).find("subscribed"), std::string::npos);
}

TEST(DaemonLifecycle, SigtermWhileIdleAccountsTheRunSavesAndExits) {
    DaemonWorld world(/*timeScale=*/200, /*startUptime=*/5000);
    world.WriteConfig({{"ulv_cummulative_uptime", "1000"}});  // hexadecimal: 4096 s
    world.StartHandset("service 0\n");
    ASSERT_TRUE(Launch(world, /*settle=*/false));
    ASSERT_TRUE(world.WaitForAplog("Waiting for the Async messages...\\n\\r"));
    const long started = TraceNumber(world.Trace(), "uptime from sysinfo=");
    ASSERT_GE(started, 5000);
    long before = 0, after = 0;
    sim::Uptime(&before);
    EXPECT_TRUE(Stop(world));
    sim::Uptime(&after);
    // The cumulative uptime grew by the uptime elapsed since the daemon sampled it.
    const long saved =
        std::strtol(world.ConfigValue("ulv_cummulative_uptime").c_str(), nullptr, 16);
    EXPECT_EQ(TraceNumber(world.Trace(), "cumulative uptime from signal handler="), saved);
    EXPECT_GE(saved - 4096, before - started);
    EXPECT_LE(saved - 4096, after - started);
}

TEST(Reporting, PeriodicReportFallsDueAfterTheReportDurationOfCumulativeUptime) {
    // 6 hours of simulated time in about six seconds.
    DaemonWorld world(/*timeScale=*/3600, /*startUptime=*/1000);
    world.WriteConfig({{"ulv_report_duration", "6"}});
    const std::string generic = "0102030405060708090a0b0c0d0e0f101112131415161718";
    world.StartHandset(std::string(kSameSoftware) + "generic_data " + generic + "\n");
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
    const std::regex tick("Current UpTime \\d+ seconds and cumulativeuptime (\\d+)\n");
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
               {{"kind", "\"periodic\""}, {"callTime", "7"}, {"genericData", '"' + generic + '"'}});
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
    // No other report falls due in the ticks that follow.
    ASSERT_TRUE(world.WaitForAplog("Some thing was sent, to begin periodic timer\\n\\r", 28));
    EXPECT_EQ(world.SmsLines().size(), 1u);
}

}  // namespace
