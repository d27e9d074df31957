// Application core dumps end to end: the real daemon collects the dump directory of the
// simulated handset on accelerated time, reports each crash once and deletes what it must.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core_file.h"
#include "daemon_world.h"

namespace {

namespace fs = std::filesystem;
using ulvtest::DaemonWorld;

// The handset runs the software the configuration last saw: a software change would remove
// every core file at start-up.
constexpr char kSameSoftware[] =
    "ap_version AP_R1\nbp_version BP.12.34\nflex_version FLEX_7\nserial SN01234567\n"
    "call_time 7\n";
constexpr char kDumpDir[] = "zellocal/ulv_app_dump/";
constexpr long kFileTime = 1700000000;

std::string JsonField(const std::string& json, const std::string& name) {
    std::smatch match;
    std::regex field("\"" + name + "\":(\"[^\"]*\"|[^,}]*)");
    return std::regex_search(json, match, field) ? match[1].str() : "";
}

std::vector<std::string> DecodeAll(const std::vector<std::string>& lines) {
    std::vector<std::string> texts;
    for (const std::string& line : lines) texts.push_back(DaemonWorld::SmsText(line));
    std::istringstream output(ulvtest::Decode(texts));
    std::vector<std::string> decoded;
    for (std::string json; std::getline(output, json);)
        if (json.rfind("{", 0) == 0) decoded.push_back(json);
    return decoded;
}

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class CoreDumps : public ::testing::Test {
protected:
    // A periodic tick (900 s) is 3 s; the report delay (15 s) outlasts a confirmation (0.5 s)
    // by far, so a core dump report is confirmed before its timer could fire again.
    CoreDumps() : world_(/*timeScale=*/300) {}

    void Core(const std::string& name, uint32_t pc, const std::string& library) {
        ulvtest::CoreFileSpec spec;
        spec.l1 = 37;
        spec.l2 = 9;
        spec.pc = pc;
        spec.lr = 0x40200f10;
        spec.signal = 11;
        spec.libraries = {{0x40000000, 0x40100000, "/lib/libc.so.6", {}},
                          {0x40200000, 0x40210000, library, {}}};
        const std::string path = world_.Path(kDumpDir + name);
        ASSERT_TRUE(ulvtest::WriteFile(path, ulvtest::CoreFile(spec)));
        const timespec times[2] = {{kFileTime, 0}, {kFileTime, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }
    void Plain(const std::string& name) { ASSERT_TRUE(ulvtest::WriteFile(world_.Path(kDumpDir + name), "x")); }
    std::set<std::string> Left() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(world_.Path(kDumpDir)))
            names.insert(entry.path().filename().string());
        return names;
    }
    void Start(bool enabled, const std::string& handset = "") {
        world_.WriteConfig({{"enableCoreDumps", enabled ? "1" : "0"}, {"ulv_report_delay", "15"}});
        world_.StartHandset(std::string(kSameSoftware) + "confirm_delay 0.5\n" + handset);
        ASSERT_EQ(world_.StartDaemon(), 0);
        ASSERT_GT(world_.WaitForDaemonPid(), 0);
    }
    int Ticks() const { return Count(world_.Trace(), "In ULV Timer Handler timer id = 2\n"); }
    bool WaitForTicks(int ticks) const {
        return ulvtest::WaitUntil([&] { return Ticks() >= ticks; }, /*seconds=*/120);
    }

    DaemonWorld world_;
};

TEST_F(CoreDumps, AHostileDirectoryIsClearedWithinTwoCyclesAndTheCrashReportedOnce) {
    char outsideDir[] = "/tmp/ulv-outside-XXXXXX";
    ASSERT_NE(mkdtemp(outsideDir), nullptr);
    struct RemoveAfter {
        const char* dir;
        ~RemoveAfter() { fs::remove_all(dir); }
    } removeAfter{outsideDir};
    const std::string target = std::string(outsideDir) + "/precious";
    ASSERT_TRUE(ulvtest::WriteFile(target, "not a core file"));

    Core("core.mediaplayer.1234", 0x40201a2c, "/usr/lib/libfoo.so.1");
    for (const char* name : {"core..7", "core.app", "xcore.app.1"}) Plain(name);
    fs::create_symlink(target, world_.Path(std::string(kDumpDir) + "core.evil.1"));
    ASSERT_EQ(mkfifo(world_.Path(std::string(kDumpDir) + "core.fifo.2").c_str(), 0600), 0);
    fs::create_directories(world_.Path(std::string(kDumpDir) + "core.dir.3"));
    Start(/*enabled=*/true);

    const std::set<std::string> cleared{"core.dir.3"};
    ASSERT_TRUE(ulvtest::WaitUntil([&] { return Left() == cleared; }, /*seconds=*/120))
        << world_.Trace();
    ASSERT_TRUE(world_.WaitForTrace("Starting timer for remaining APCD \n"));
    const std::string trace = world_.Trace();
    // Everything happened in the collection at start-up and at most two periodic cycles.
    const size_t last = std::max(trace.rfind("error when get Module Info"),
                                 trace.rfind("Starting timer for remaining APCD"));
    EXPECT_LE(Count(trace.substr(0, last), "In ULV Timer Handler timer id = 2\n"), 2);
    EXPECT_EQ(Count(trace, "error when get Module Info\n\n"), 5);
    EXPECT_EQ(Count(trace, "error when stat apcd\n\n"), 2);  // the link and the FIFO
    const size_t sent = trace.find(
        "Using unblocking call APCD /zellocal/ulv_app_dump/core.mediaplayer.1234 is Sent\n");
    ASSERT_NE(sent, std::string::npos);
    EXPECT_NE(trace.find("Starting timer for remaining APCD \n", sent), std::string::npos);
    EXPECT_EQ(ulvtest::ReadFile(target), "not a core file");

    const std::vector<std::string> decoded = DecodeAll(world_.SmsLines());
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(JsonField(decoded[0], "kind"), "\"coreDump\"");
    EXPECT_EQ(JsonField(decoded[0], "taskName"), "\"mediaplay\"");
    EXPECT_EQ(JsonField(decoded[0], "libName"), "\"foo.so.1\"");
    EXPECT_EQ(JsonField(decoded[0], "pcOffset"), "\"0x00001a2c\"");
    EXPECT_EQ(JsonField(decoded[0], "signal"), "11");
    EXPECT_EQ(JsonField(decoded[0], "pc"), "\"0x40201a2c\"");
    EXPECT_EQ(JsonField(decoded[0], "lr"), "\"0x40200f10\"");
    EXPECT_EQ(JsonField(decoded[0], "fileTime"), std::to_string(kFileTime));
    EXPECT_EQ(JsonField(decoded[0], "moduleId"), "\"0x00082100\"");
    EXPECT_EQ(JsonField(decoded[0], "callTime"), "7");
}

TEST_F(CoreDumps, EachConfirmationDeletesItsFileAndTheNextFollowsAfterTheReportDelay) {
    Core("core.alpha.1", 0x40200100, "/usr/lib/libalpha.so");
    Core("core.beta.2", 0x40200200, "/usr/lib/libbeta.so");
    Start(/*enabled=*/true);
    ASSERT_TRUE(world_.WaitForTrace("\tSchedule periodic Timer\n", 60)) << world_.Trace();
    EXPECT_TRUE(Left().empty());
    const std::string trace = world_.Trace();
    // Submitted, confirmed and deleted, then the core dump timer brings the next: all before
    // the first periodic tick.
    std::regex step("Using unblocking call APCD (\\S+) is Sent\n[\\s\\S]*?Starting timer for remaining APCD \n");
    EXPECT_EQ(std::distance(std::sregex_iterator(trace.begin(), trace.end(), step),
                            std::sregex_iterator()),
              2);
    EXPECT_EQ(Count(trace.substr(0, trace.find("\tSchedule periodic Timer\n")),
                    "In ULV Timer Handler timer id = 2\n"),
              0);
    const std::vector<std::string> decoded = DecodeAll(world_.SmsLines());
    ASSERT_EQ(decoded.size(), 2u);
    std::set<std::string> libraries{JsonField(decoded[0], "libName"), JsonField(decoded[1], "libName")};
    EXPECT_EQ(libraries, (std::set<std::string>{"\"alpha.so\"", "\"beta.so\""}));
}

TEST_F(CoreDumps, FailedDeliveriesKeepTheFileAndFiveOfThemStopCollectionUntilARestart) {
    Core("core.app.1", 0x40200100, "/usr/lib/libapp.so");
    Start(/*enabled=*/true, "confirm 1,1,1,1,1,0\n");
    // One report at start-up, then one per periodic cycle, each failing.
    ASSERT_TRUE(world_.WaitForSmsCount(5, /*seconds=*/120)) << world_.Trace();
    const int ticks = Ticks();
    ASSERT_TRUE(WaitForTicks(ticks + 3));
    EXPECT_EQ(world_.SmsLines().size(), 5u);
    EXPECT_EQ(Left(), (std::set<std::string>{"core.app.1"}));
    EXPECT_EQ(Count(world_.Trace(), "APCD report is ready to send\n"), 5);

    world_.KillDaemon(SIGTERM);
    int status = 0;
    ASSERT_TRUE(world_.WaitDaemonExit(&status));
    ASSERT_EQ(world_.StartDaemon(), 0);
    ASSERT_TRUE(ulvtest::WaitUntil([&] { return Left().empty(); }, /*seconds=*/60)) << world_.Trace();
    EXPECT_EQ(world_.SmsLines().size(), 6u);
}

TEST_F(CoreDumps, SixMalformedNamesTakeFivePassesAndTheSixthDoesNotListTheDirectory) {
    for (const char* name : {"core", "xcore.app.1", "core..7", "core.app", "core.x", "acore"})
        Plain(name);
    fs::create_directories(world_.Path(std::string(kDumpDir) + "core.dir.1"));
    Start(/*enabled=*/true);
    ASSERT_TRUE(world_.WaitForTrace("\tSchedule periodic Timer\n", 60)) << world_.Trace();
    std::string trace = world_.Trace();
    EXPECT_EQ(Count(trace, "error when get Module Info\n\n"), 5);
    EXPECT_EQ(Count(trace, "No valid dump file\n"), 0);
    EXPECT_EQ(Count(trace, "Get APCD failed \n\n"), 0);
    EXPECT_EQ(Left().size(), 2u);  // one malformed name and the directory

    ASSERT_TRUE(world_.WaitForTrace("No valid dump file\n", 60));
    EXPECT_EQ(Left(), (std::set<std::string>{"core.dir.1"}));
    EXPECT_EQ(Count(world_.Trace(), "error when get Module Info\n\n"), 6);
    EXPECT_TRUE(world_.SmsLines().empty());
}

TEST_F(CoreDumps, WithCoreDumpsDisabledNothingInTheDirectoryIsTouched) {
    Core("core.app.1", 0x40200100, "/usr/lib/libapp.so");
    Plain("core..7");
    fs::create_symlink("/nonexistent", world_.Path(std::string(kDumpDir) + "core.evil.1"));
    Start(/*enabled=*/false);
    ASSERT_TRUE(WaitForTicks(2));
    EXPECT_EQ(Left(), (std::set<std::string>{"core.app.1", "core..7", "core.evil.1"}));
    EXPECT_TRUE(world_.SmsLines().empty());
    EXPECT_EQ(Count(world_.Trace(), "No valid dump file"), 0);
    EXPECT_EQ(Count(world_.Trace(), "APCD"), 0);
}

}  // namespace
