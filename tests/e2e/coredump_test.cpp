// Application core dumps end to end: the real daemon collects the dump directory of the
// simulated handset on accelerated time, reports each crash once and deletes what it must.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include "core_file.h"
#include "daemon_world.h"

namespace {

namespace fs = std::filesystem;
using namespace ulvtest;
using Names = std::set<std::string>;

constexpr long kFileTime = 1700000000;

class CoreDumps : public ::testing::Test {
  protected:
    // A periodic tick (900 s) is 3 s; the report delay (15 s) outlasts a confirmation (0.5 s)
    // by far, so a core dump report is confirmed before its timer could fire again.
    CoreDumps() : world_(/*timeScale=*/300) {}

    void Core(const std::string& name, uint32_t pc, const std::string& library) {
        CoreFileSpec layout;
        layout.l1 = 37, layout.l2 = 9, layout.pc = pc, layout.lr = 0x40200f10, layout.signal = 11;
        layout.libraries = {{0x40000000, 0x40100000, "/lib/libc.so.6", {}},
                            {0x40200000, 0x40210000, library, {}}};
        const timespec times[2] = {{kFileTime, 0}, {kFileTime, 0}};
        ASSERT_TRUE(WriteFile(Dump(name), CoreFile(layout)));
        ASSERT_EQ(utimensat(AT_FDCWD, Dump(name).c_str(), times, 0), 0);
    }
    std::string Dump(const std::string& name) const {
        return world_.Path("zellocal/ulv_app_dump/" + name);
    }
    Names Left() const {
        Names names;
        for (const auto& entry : fs::directory_iterator(Dump("")))
            names.insert(entry.path().filename().string());
        return names;
    }
    void Start(bool enabled, const std::string& handset = "") {
        world_.WriteConfig({{"enableCoreDumps", enabled ? "1" : "0"}, {"ulv_report_delay", "15"}});
        world_.StartHandset(std::string(kSameSoftware) + "confirm_delay 0.5\n" + handset);
        ASSERT_TRUE(Launch(world_, /*settle=*/false));
    }
    int Ticks() const { return Count(world_.Trace(), "In ULV Timer Handler timer id = 2\n"); }
    bool WaitForTicks(int n) const {
        return WaitUntil([&] { return Ticks() >= n; }, 120);
    }

    DaemonWorld world_;
};

TEST_F(CoreDumps, AHostileDirectoryIsClearedWithinTwoCyclesAndTheCrashReportedOnce) {
    ASSERT_TRUE(WriteFile(world_.Path("precious"), "not a core file"));
    Core("core.mediaplayer.1234", 0x40201a2c, "/usr/lib/libfoo.so.1");
    Core("core.player.2", 0x40200100, "/usr/lib/libbar.so");
    for (const char* name : {"core..7", "core.app", "xcore.app.1"}) WriteFile(Dump(name), "x");
    fs::create_symlink(world_.Path("precious"), Dump("core.evil.1"));
    ASSERT_EQ(mkfifo(Dump("core.fifo.2").c_str(), 0600), 0);
    fs::create_directories(Dump("core.dir.3"));
    Start(/*enabled=*/true);

    ASSERT_TRUE(WaitUntil([&] { return Left() == Names{"core.dir.3"}; }, 120)) << world_.Trace();
    ASSERT_TRUE(world_.WaitForSmsCount(2));
    ASSERT_TRUE(WaitUntil([&] { return Count(world_.Trace(), "remaining APCD \n") == 2; }));
    const std::string trace = world_.Trace();
    // Everything happened in the collection at start-up and at most two periodic cycles.
    const size_t last = std::max(trace.rfind("error when get Module Info"),
                                 trace.rfind("Starting timer for remaining APCD"));
    EXPECT_LE(Count(trace.substr(0, last), "In ULV Timer Handler timer id = 2\n"), 2);
    EXPECT_EQ(Count(trace, "error when get Module Info\n\n"), 5);  // the link and the FIFO too
    // Each submitted, confirmed and deleted; the core dump timer then goes on collecting.
    std::regex step("APCD (\\S+) is Sent\n[\\s\\S]*?remaining APCD \n[\\s\\S]*?timer id = 7\n");
    EXPECT_EQ(std::distance(std::sregex_iterator(trace.begin(), trace.end(), step), {}), 2);
    EXPECT_EQ(ReadFile(world_.Path("precious")), "not a core file");

    std::string decoded;
    // One line each: a match stays within one report.
    for (const std::string& json : DecodeAll(world_.SmsLines())) decoded += json + "\n";
    auto report = [](const std::string& task, const std::string& lib, const std::string& pcOffset,
                     const std::string& pc) {
        return std::regex("\"kind\":\"coreDump\".*\"body\":\\{\"callTime\":7,\"fileTime\":" +
                          std::to_string(kFileTime) +
                          ",\"moduleId\":\"0x00082100\",\"taskName\":\"" + task +
                          "\",[^}]*\"libName\":\"" + lib + "\",[^}]*\"pcOffset\":\"" + pcOffset +
                          "\",\"signal\":11,\"pc\":\"" + pc + "\",\"lr\":\"0x40200f10\"\\}");
    };
    EXPECT_TRUE(
        std::regex_search(decoded, report("mediaplay", "foo\\.so\\.1", "0x00001a2c", "0x40201a2c")))
        << decoded;
    EXPECT_TRUE(
        std::regex_search(decoded, report("player", "bar\\.so", "0x00000100", "0x40200100")));
}

TEST_F(CoreDumps, FailedDeliveriesKeepTheFileAndFiveOfThemStopCollectionUntilARestart) {
    Core("core.app.1", 0x40200100, "/usr/lib/libapp.so");
    Start(/*enabled=*/true, "confirm 1,1,1,1,1,0\n");
    // One report at start-up, then one per periodic cycle, each failing.
    ASSERT_TRUE(world_.WaitForSmsCount(5, /*seconds=*/120)) << world_.Trace();
    ASSERT_TRUE(WaitForTicks(Ticks() + 3));
    EXPECT_EQ(world_.SmsLines().size(), 5u);
    EXPECT_EQ(Left(), Names{"core.app.1"});
    EXPECT_EQ(Count(world_.Trace(), "APCD report is ready to send\n"), 5);

    ASSERT_TRUE(Stop(world_));
    ASSERT_EQ(world_.StartDaemon(), 0);  // the sixth is delivered: the file goes
    ASSERT_TRUE(WaitUntil([&] { return Left().empty(); }, /*seconds=*/60)) << world_.Trace();
    EXPECT_EQ(world_.SmsLines().size(), 6u);
}

TEST_F(CoreDumps, WithCoreDumpsDisabledNothingInTheDirectoryIsTouched) {
    Core("core.app.1", 0x40200100, "/usr/lib/libapp.so");
    WriteFile(Dump("core..7"), "x");
    fs::create_symlink("/nonexistent", Dump("core.evil.1"));
    Start(/*enabled=*/false);
    ASSERT_TRUE(WaitForTicks(2));
    EXPECT_EQ(Left(), (Names{"core.app.1", "core..7", "core.evil.1"}));
    EXPECT_TRUE(world_.SmsLines().empty());
    EXPECT_EQ(Count(world_.Trace(), "No valid dump file") + Count(world_.Trace(), "APCD"), 0);
}

}  // namespace
