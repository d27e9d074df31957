// Core dump discovery and bookkeeping: which entries are taken, rejected and deleted, the pass
// and failure limits, and what a hostile dump directory cannot make the daemon do.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <set>

#include "core_file.h"
#include "coredump/coredump.h"
#include "daemon_fixture.h"
#include "reports/reports.h"
#include "process.h"
#include "state/daemon_state.h"
#include "state/placed_file.h"
#include "state/trace.h"

namespace {

namespace fs = std::filesystem;

constexpr char kDir[] = "zellocal/ulv_app_dump/";

class CoreCollectTest : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        ULVDetectByteOrder();
        std::strcpy(ulvState.serviceCentreAddress, "+4412345");
        std::strcpy(ulvState.outgoingSms.destination, "+15550100");
        fake::aplog.records.clear();
    }
    std::string DumpPath(const std::string& name) const { return root_ + "/" + kDir + name; }
    void Core(const std::string& name, uint32_t pc = 0x40001a2c) {
        ulvtest::CoreFileSpec spec;
        spec.pc = pc;
        spec.lr = 0x40000f10;
        spec.signal = 11;
        spec.libraries = {{0x40000000, 0x40010000, "/usr/lib/libfoo.so.1", {}}};
        WriteFile(kDir + name, ulvtest::CoreFile(spec));
    }
    std::set<std::string> Left() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(root_ + "/" + kDir))
            names.insert(entry.path().filename().string());
        return names;
    }
    // Collects once, from a fresh cycle; an alarm ends a collection that blocks.
    void Collect() {
        ulvState.apcdAttempts = 0;
        alarm(60);
        ULVAPCDCollect();
        alarm(0);
    }
    static size_t Sent() { return fake::tapi.submissions.size(); }
    // The core dump body of the last submission, from the logged message.
    static std::vector<uint8_t> Body() {
        const auto raw = fake::aplog.Binary(APLOG_ID_RAW_MESSAGE);
        if (raw.empty()) return {};
        return {raw.back().bytes.begin() + REPORT_HEADER_SIZE, raw.back().bytes.end()};
    }
    static std::string Task() {
        const auto body = Body();
        return body.empty() ? "" : reinterpret_cast<const char*>(body.data() + CORE_TASK_NAME_OFFSET);
    }
};

TEST_F(CoreCollectTest, AnEmptyOrMissingDirectoryEndsTheCallWithItsText) {
    Collect();
    EXPECT_EQ(TraceMessages(), (std::vector<std::string>{"No valid dump file\n", "Get APCD failed \n\n"}));
    EXPECT_TRUE(fake::aplog.Has("No valid dump file\n\r"));
    EXPECT_EQ(ulvState.apcdAttempts, 1);

    fs::remove(root_ + "/zellocal/ulv_app_dump");
    Collect();
    EXPECT_EQ(TraceCount("Read dir failed - No such file or directory\n"), 1);
    EXPECT_TRUE(fake::aplog.Has("Read dir failed - No such file or directory\n\r"));
    EXPECT_EQ(Sent(), 0u);
}

TEST_F(CoreCollectTest, TakesTheTaskNameFromAWellFormedName) {
    const std::string seventy(70, 't');
    const std::tuple<std::string, std::string> cases[] = {
        {"core.mediaplayer.1234", "mediaplayer"},
        {"core.a.b.c", "a"},
        {"core." + seventy + ".1", seventy.substr(0, 64)},
    };
    for (const auto& [name, task] : cases) {
        SCOPED_TRACE(name);
        fake::tapi.submissions.clear();
        Core(name);
        CoreDumpPass pass;
        CoreDumpRecord record{};
        ASSERT_EQ(ULVAPCDGetDumpFile(pass, record.path), 0);
        EXPECT_EQ(std::string(record.path), "/zellocal/ulv_app_dump/" + name);
        struct stat status {};
        ASSERT_EQ(stat(DumpPath(name).c_str(), &status), 0);
        ASSERT_EQ(ULVAPCDGetModuleInfo(pass, record.path, &record), 0);
        EXPECT_EQ(std::string(record.taskName), task);
        EXPECT_EQ(record.moduleId, 0x00082100u);
        EXPECT_EQ(record.fileTime, static_cast<uint32_t>(status.st_mtime));
        fs::remove(DumpPath(name));
    }
}

TEST_F(CoreCollectTest, DeletesMalformedNamesAndGoesOnToTheNextCandidate) {
    // Each alone: deleted, and the next pass of the same call finds the directory empty.
    const std::tuple<const char*, const char*> cases[] = {
        {"core", "Unexpected filename core\n\r"},
        {"xcore.app.1", "Unexpected filename xcore.app.1\n\r"},
        {"core..7", "Unexpected filename /zellocal/ulv_app_dump/core..7\n\r"},
        {"core.app", "Unexpected filename /zellocal/ulv_app_dump/core.app\n\r"},
    };
    for (const auto& [name, text] : cases) {
        SCOPED_TRACE(name);
        fake::aplog.records.clear();
        Core(name);
        Collect();
        EXPECT_TRUE(fake::aplog.Has(text));
        EXPECT_TRUE(Left().empty());
        EXPECT_EQ(ulvState.apcdAttempts, 2);
    }
    EXPECT_EQ(Sent(), 0u);
    EXPECT_EQ(TraceCount("error when get Module Info\n\n"), 4);
    EXPECT_EQ(TraceCount("No valid dump file\n"), 4);
    WriteFile(std::string(kDir) + "notes.txt", "x");  // not a candidate: stays
    Collect();
    EXPECT_EQ(Left(), (std::set<std::string>{"notes.txt"}));
}

TEST_F(CoreCollectTest, FivePassesPerCycleAndNoneAfterFiveFailures) {
    for (int i = 0; i < 6; ++i) WriteFile(std::string(kDir) + "core" + std::to_string(i), "x");
    Collect();
    EXPECT_EQ(Left().size(), 1u);
    EXPECT_EQ(TraceCount("error when get Module Info\n\n"), 5);
    EXPECT_EQ(TraceCount("No valid dump file\n"), 0);  // the sixth pass did not list
    EXPECT_EQ(ulvState.apcdAttempts, 6);

    Collect();  // the next cycle
    EXPECT_TRUE(Left().empty());
    EXPECT_EQ(TraceCount("No valid dump file\n"), 1);

    Core("core.app.1");
    for (uint8_t failures : {5, 4}) {
        SCOPED_TRACE(int{failures});
        ulvState.apcdFailures = failures;
        fake::tapi.submissions.clear();
        Collect();
        EXPECT_EQ(Sent(), failures < 5 ? 1u : 0u);
        EXPECT_EQ(Left().size(), 1u);
    }
    EXPECT_EQ(TraceCount("No valid dump file\n"), 1);
}

TEST_F(CoreCollectTest, ALinkIsRemovedAndItsTargetNeitherReadNorTouched) {
    const std::string outside = root_ + "/outside.core";
    ulvtest::WriteFile(outside, "precious");
    fs::create_symlink(outside, DumpPath("core.evil.1"));
    fs::create_symlink(root_ + "/zellocal", DumpPath("core.dirlink.1"));
    Collect();
    EXPECT_EQ(Sent(), 0u);
    EXPECT_TRUE(Left().empty());
    EXPECT_EQ(ulvtest::ReadFile(outside), "precious");
    EXPECT_TRUE(fs::is_directory(root_ + "/zellocal"));
    EXPECT_EQ(TraceCount("error when stat apcd\n\n"), 2);
}

TEST_F(CoreCollectTest, AFifoOrDeviceIsRejectedWithoutBlocking) {
    ASSERT_EQ(mkfifo(DumpPath("core.fifo.1").c_str(), 0600), 0);
    Collect();  // an open that waited for a writer would end in the alarm
    EXPECT_TRUE(Left().empty());
    EXPECT_EQ(Sent(), 0u);
    EXPECT_EQ(TraceCount("error when stat apcd\n\n"), 1);
    // A FIFO put in place of a file after its status was taken is refused by the open itself.
    ASSERT_EQ(mkfifo(DumpPath("core.fifo.2").c_str(), 0600), 0);
    CoreDumpPass pass;
    ASSERT_EQ((pass.dirFd = open((root_ + "/" + kDir).c_str(), O_RDONLY | O_DIRECTORY)) >= 0, true);
    alarm(60);
    EXPECT_LT(ULVOpenPlacedAt(pass.dirFd, "core.fifo.2", PlacedKind::Regular), 0);
    alarm(0);
}

TEST_F(CoreCollectTest, ADirectoryIsLeftOutOfTheListingAndTakesNoPass) {
    fs::create_directories(DumpPath("core.dir.1/inner"));
    Collect();
    EXPECT_EQ(TraceCount("No valid dump file\n"), 1);
    EXPECT_EQ(ulvState.apcdAttempts, 1);
    Core("core.app.3");
    Collect();
    EXPECT_EQ(Sent(), 1u);
    EXPECT_EQ(ulvState.apcdAttempts, 1);
    EXPECT_EQ(TraceCount("error when deleting /zellocal/ulv_app_dump/core.dir.1\n\n"), 0);
    EXPECT_TRUE(fs::is_directory(DumpPath("core.dir.1/inner")));
}

TEST_F(CoreCollectTest, FindsACandidateBehindMoreEntriesThanOneListingReadHolds) {
    // Written first: a directory that lists its newest entries first lists it last.
    Core("core.late.1");
    for (int i = 0; i < 300; ++i)
        WriteFile(std::string(kDir) + "other-" + std::string(40, 'o') + std::to_string(i), "");
    Collect();
    EXPECT_EQ(Task(), "late");
}

TEST_F(CoreCollectTest, APathOf255CharactersOrMoreIsRemovedAndEndsTheCall) {
    // The path is 23 characters of directory and "/" before the name.
    const std::string fits = "core.t." + std::string(231 - 7, 'f');   // path of 254
    const std::string tooLong = "core.u." + std::string(232 - 7, 'g');  // path of 255
    Core(fits);
    CoreDumpPass pass;
    char path[CORE_PATH_SIZE];
    ASSERT_EQ(ULVAPCDGetDumpFile(pass, path), 0);
    EXPECT_EQ(strlen(path), 254u);
    fs::remove(DumpPath(fits));

    Core(tooLong);
    Collect();
    EXPECT_TRUE(Left().empty());
    const std::string cut = ("/zellocal/ulv_app_dump/" + tooLong).substr(0, 254);
    EXPECT_EQ(TraceMessages(), (std::vector<std::string>{"invalid file name found, " + cut + "\n\n",
                                                         "Get APCD failed \n\n"}));
}

TEST_F(CoreCollectTest, AFileThatCannotBeOpenedIsReportedWithTheFieldsOfItsName) {
    Core("core.locked.9");
    // Every descriptor but one taken: the directory opens, the file does not (EMFILE).
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    low.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> taken;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken.push_back(fd);
    close(taken.back());
    taken.pop_back();
    CoreDumpPass pass;
    CoreDumpRecord record{};
    const int found = ULVAPCDGetDumpFile(pass, record.path);
    const int checked = ULVAPCDGetModuleInfo(pass, record.path, &record);
    for (int fd : taken) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_EQ(found, 0);
    EXPECT_EQ(checked, 0);
    EXPECT_EQ(pass.fileFd, -1);
    EXPECT_EQ(std::string(record.taskName), "locked");
    EXPECT_NE(record.fileTime, 0u);
    ULVAPCDGetPanicInfo(&record, pass.fileFd);
    EXPECT_EQ(TraceCount("open file /zellocal/ulv_app_dump/core.locked.9 failed\n\n"), 1);
    EXPECT_EQ(Left(), (std::set<std::string>{"core.locked.9"}));
}

TEST_F(CoreCollectTest, DeletesOnlyFilesOfTheDumpDirectoryByName) {
    const std::string outside = root_ + "/zellocal/panic/keep";
    ulvtest::WriteFile(outside, "k");
    Core("core.a.1");
    fs::create_symlink(outside, DumpPath("core.b.1"));
    ULVDeleteFile("/zellocal/ulv_app_dump/core.a.1");
    ULVDeleteFile("/zellocal/ulv_app_dump/core.b.1");  // the link goes, not its target
    for (const char* refused : {"/zellocal/panic/keep", "/zellocal/ulv_app_dump/../panic/keep",
                                "/zellocal/ulv_app_dump/", "/zellocal/ulv_app_dumpx/keep",
                                "/zellocal/ulv_app_dump/core.gone.1"})
        ULVDeleteFile(refused);
    EXPECT_TRUE(Left().empty());
    EXPECT_EQ(ulvtest::ReadFile(outside), "k");
    EXPECT_EQ(TraceMessages(), (std::vector<std::string>{
                                   "error when deleting /zellocal/panic/keep\n\n",
                                   "error when deleting /zellocal/ulv_app_dump/../panic/keep\n\n",
                                   "error when deleting /zellocal/ulv_app_dump/\n\n",
                                   "error when deleting /zellocal/ulv_app_dumpx/keep\n\n",
                                   "error when deleting /zellocal/ulv_app_dump/core.gone.1\n\n"}));
}

}  // namespace
