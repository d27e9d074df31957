// The daemon's life as a process: detaching, connecting, waiting, and every way out.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "daemon_world.h"

namespace {

using ulvtest::DaemonWorld;
using ulvtest::ExitCode;

// A record's trace message value after `prefix` (e.g. "uptime from sysinfo=").
long TraceNumber(const std::string& trace, const std::string& prefix) {
    size_t at = trace.find(prefix);
    return at == std::string::npos ? -1 : std::atol(trace.c_str() + at + prefix.size());
}

TEST(DaemonLifecycle, DetachesWritesItsPidAndLeavesWhenTheHandsetHangsUp) {
    DaemonWorld world;
    world.WriteConfig();
    world.StartHandset("service 0\nat 600 close\n");
    ASSERT_EQ(world.StartDaemon(), 0);  // the launching process returns at once
    pid_t pid = world.WaitForDaemonPid();
    ASSERT_GT(pid, 0);
    // No line end after the pid; the daemon runs in a session of its own but does not lead it.
    EXPECT_EQ(ulvtest::ReadFile(world.Path("tmp/ulv.pid")), std::to_string(pid));
    EXPECT_TRUE(world.WaitForAplog("Waiting for the Async messages...\\n\\r"));
    pid_t session = getsid(pid);
    EXPECT_NE(session, getsid(0));
    EXPECT_NE(session, pid);
    EXPECT_TRUE(world.WaitForTrace("\tULV is starting with pid - " + std::to_string(pid) + "\n"));

    int status = 0;
    ASSERT_TRUE(world.WaitDaemonExit(&status)) << world.Aplog();
    EXPECT_EQ(ExitCode(status), 0);
    EXPECT_EQ(world.AplogCount("TAPI_Client_ReadAndMallocMsg Failure\\n\\r"), 1);
    EXPECT_EQ(world.AplogCount("Exit ULV!\\n\\r"), 1);
    std::string log = world.Aplog();
    EXPECT_EQ(log.substr(0, log.find('\n')), "I ULVPort 0");
    EXPECT_EQ(log.substr(log.rfind('\n', log.size() - 2) + 1), "X 0\n");
}

// What the descriptors of process `pid` refer to ("/path", "socket:[..]", "anon_inode:..").
std::vector<std::string> OpenDescriptorTargets(pid_t pid) {
    std::vector<std::string> targets;
    const std::string directory = "/proc/" + std::to_string(pid) + "/fd";
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr) return targets;
    while (dirent* entry = readdir(listing)) {
        if (entry->d_name[0] == '.') continue;
        char target[PATH_MAX] = {};
        ssize_t length = readlink((directory + "/" + entry->d_name).c_str(), target,
                                  sizeof target - 1);
        targets.push_back(std::string(entry->d_name) + " -> " +
                          (length > 0 ? std::string(target, static_cast<size_t>(length)) : "?"));
    }
    closedir(listing);
    return targets;
}

TEST(DaemonLifecycle, DetachedDaemonHoldsNoDescriptorItsLauncherLeftOpen) {
    DaemonWorld world;
    world.WriteConfig();
    world.StartHandset("service 0\n");
    // Descriptors without close-on-exec reach the daemon through the reaper and the launcher:
    // a low one and one far above anything the daemon opens itself.
    const std::string marker = world.Path("inherited-marker");
    ASSERT_TRUE(ulvtest::WriteFile(marker, "x"));
    const int low = open(marker.c_str(), O_RDONLY);
    ASSERT_GE(low, 3);
    const int high = fcntl(low, F_DUPFD, 200);
    ASSERT_GE(high, 200);
    const int status = world.StartDaemon();
    close(low);
    close(high);
    ASSERT_EQ(status, 0);
    const pid_t pid = world.WaitForDaemonPid();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(world.WaitForAplog("Waiting for the Async messages...\\n\\r"));

    std::vector<std::string> targets = OpenDescriptorTargets(pid);
    ASSERT_FALSE(targets.empty());
    for (const std::string& target : targets)
        EXPECT_EQ(target.find("inherited-marker"), std::string::npos) << target;
    // 0 to 2 are /dev/null, and the daemon still holds what it opened itself.
    for (const char* standard : {"0 -> /dev/null", "1 -> /dev/null", "2 -> /dev/null"})
        EXPECT_NE(std::find(targets.begin(), targets.end(), standard), targets.end()) << standard;
    world.KillDaemon(SIGTERM);
    int exitStatus = 0;
    EXPECT_TRUE(world.WaitDaemonExit(&exitStatus));
}

TEST(DaemonLifecycle, GivesUpAfterTenRetriesWithoutAHandset) {
    DaemonWorld world;
    world.WriteConfig();
    ASSERT_EQ(world.StartDaemon(), 0);
    ASSERT_GT(world.WaitForDaemonPid(), 0);
    int status = 0;
    ASSERT_TRUE(world.WaitDaemonExit(&status)) << world.Aplog();
    EXPECT_EQ(ExitCode(status), 0);
    for (int i = 1; i <= 10; ++i)
        EXPECT_EQ(world.AplogCount("Try to connect TAPI Server " + std::to_string(i) +
                                   " times\\n\\r"),
                  1);
    EXPECT_EQ(world.AplogCount("Try to connect TAPI Server 11 times\\n\\r"), 0);
    EXPECT_EQ(world.AplogCount("TAPI_CLIENT_Init Failure\\n\\r"), 1);
    EXPECT_EQ(world.AplogCount("Exit ULV!\\n\\r"), 0);  // the timer device was never opened
}

TEST(DaemonLifecycle, UnconfiguredDaemonStopsBeforeDetaching) {
    DaemonWorld world;
    world.WriteConfig({{"ulv_availability", "0"}});
    world.StartHandset("");
    EXPECT_EQ(world.StartDaemon(), 0);
    EXPECT_EQ(world.WaitForDaemonPid(/*seconds=*/0.5), 0);  // never written
    EXPECT_NE(world.Trace().find("\tExit ULV due to ULVGetFlexConfig() failure\n"),
              std::string::npos);
    EXPECT_EQ(world.AplogCount("ULV not configured AVLBL=0, DST=+15550100\\n\\r"), 1);
    EXPECT_EQ(ulvtest::ReadFile(world.Path("handset.out")).find("subscribed"), std::string::npos);
}

TEST(DaemonLifecycle, MissingTimerDeviceEndsTheDaemonCleanly) {
    DaemonWorld world;
    world.WriteConfig();
    unlink(world.Path("dev/rtc_sw").c_str());
    world.StartHandset("service 0\n");
    ASSERT_EQ(world.StartDaemon(), 0);
    ASSERT_GT(world.WaitForDaemonPid(), 0);
    int status = 0;
    ASSERT_TRUE(world.WaitDaemonExit(&status)) << world.Aplog();
    EXPECT_EQ(ExitCode(status), 0);
    EXPECT_EQ(world.AplogCount("Can't open the timer device - No such file or directory\\n\\r"),
              1);
    EXPECT_EQ(world.AplogCount("Exit ULV!\\n\\r"), 1);
}

TEST(DaemonLifecycle, SigtermWhileIdleAccountsTheRunSavesAndExits) {
    DaemonWorld world(/*timeScale=*/200, /*startUptime=*/5000);
    world.WriteConfig({{"ulv_cummulative_uptime", "1000"}});  // hexadecimal: 4096 s
    // Never in service: no timer is armed and nothing but the signal can wake the daemon.
    world.StartHandset("service 0\n");
    ASSERT_EQ(world.StartDaemon(), 0);
    ASSERT_GT(world.WaitForDaemonPid(), 0);
    ASSERT_TRUE(world.WaitForAplog("Waiting for the Async messages...\\n\\r"));
    const long started = TraceNumber(world.Trace(), "uptime from sysinfo=");
    ASSERT_GE(started, 5000);
    const long before = world.Uptime();
    world.KillDaemon(SIGTERM);
    int status = 0;
    ASSERT_TRUE(world.WaitDaemonExit(&status)) << world.Aplog();
    const long after = world.Uptime();
    EXPECT_EQ(ExitCode(status), 0);
    EXPECT_EQ(world.AplogCount("ULV Exit\\n\\r"), 1);
    EXPECT_EQ(world.AplogCount("timeout or exception occurs\\n\\r"), 0);

    // The cumulative uptime grew by the uptime elapsed since the daemon sampled it.
    const long saved = std::strtol(world.ConfigValue("ulv_cummulative_uptime").c_str(), nullptr, 16);
    EXPECT_EQ(TraceNumber(world.Trace(), "cumulative uptime from signal handler="), saved);
    EXPECT_GE(saved - 4096, before - started);
    EXPECT_LE(saved - 4096, after - started);
}

TEST(DaemonLifecycle, MalformedTelephonyMessagesAreDroppedAndTheRestServed) {
    DaemonWorld world;
    world.WriteConfig();
    // Not in service; then a registration of 17 bytes and a signal message without data
    // (both dropped), then the test network (served: valid, then invalid again).
    world.StartHandset(
        "service 0\n"
        "at 1 msg 0x070A hex 3331302d3431302d3331302d3431302d33\n"
        "at 2 msg 0x0701 len 4 null\n"
        "at 3 msg 0x0702 hex\n"
        "at 4 registered 001-01\n");
    ASSERT_EQ(world.StartDaemon(), 0);
    ASSERT_GT(world.WaitForDaemonPid(), 0);
    ASSERT_TRUE(world.WaitForAplog("REGISTERED_MSGID operator == 001-01\\n\\r")) << world.Aplog();
    ASSERT_TRUE(world.WaitForAplog("set PLMN invalid\\n\\r"));
    EXPECT_EQ(world.AplogCount("REGISTERED_MSGID operator == 001-01\\n\\r"), 1);
    EXPECT_EQ(world.Aplog().find("REGISTERED_MSGID operator == 310-410-310"), std::string::npos);
    EXPECT_EQ(world.Aplog().find("SINGAL QUALITY VALUE RECEIVED"), std::string::npos);
    EXPECT_EQ(world.AplogCount("set in service State\\n\\r"), 0);
    // Start-up's own PLMN record, then the pair of the test network.
    EXPECT_EQ(world.AplogCount("set PLMN valid\\n\\r"), 2);
}

}  // namespace
