// Core dump discovery and bookkeeping, and what a hostile dump directory cannot make it do.
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
#include "process.h"
#include "reports/reports.h"
#include "state/daemon_state.h"
#include "state/placed_file.h"

namespace {

namespace fs = std::filesystem;
using Names = std::set<std::string>;
const std::string kDir = "zellocal/ulv_app_dump/";

struct CoreCollectTest : DaemonTest {
    void SetUp() override {
        DaemonTest::SetUp();
        ULVDetectByteOrder();
        std::strcpy(ulvState.outgoingSms.destination, "+15550100");
        fake::aplog.records.clear();
    }
    std::string At(const std::string& name) const { return root_ + "/" + kDir + name; }
    void Core(const std::string& name) { WriteFile(kDir + name, ulvtest::CoreFile({})); }
    Names Left() const {
        Names names;
        for (const auto& entry : fs::directory_iterator(root_ + "/" + kDir))
            names.insert(entry.path().filename().string());
        return names;
    }
    // One call from a fresh cycle; the alarm ends a collection that blocks. No descriptor
    // outlives it.
    void Collect() {
        auto open = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
        const auto before = open();
        ulvState.apcdAttempts = 0;
        alarm(60);
        ULVAPCDCollect();
        alarm(0);
        EXPECT_EQ(open(), before);
    }
    static size_t Sent() { return fake::tapi.submissions.size(); }
};

TEST_F(CoreCollectTest, AnEmptyOrMissingDirectoryEndsTheCallWithItsText) {
    Collect();
    fs::remove(root_ + "/" + kDir);
    Collect();
    EXPECT_EQ(TraceMessages(),
              (std::vector<std::string>{"No valid dump file\n", "Get APCD failed \n\n",
                                        "Read dir failed - No such file or directory\n",
                                        "Get APCD failed \n\n"}));
    EXPECT_EQ(fake::aplog.Texts(),
              (std::vector<std::string>{"No valid dump file\n\r",
                                        "Read dir failed - No such file or directory\n\r"}));
}

TEST_F(CoreCollectTest, TakesTaskNameModuleAndTimeFromAWellFormedFile) {
    const std::string seventy(70, 't');
    for (const auto& [name, task] : {std::pair<std::string, std::string>{"core.a.b.c", "a"},
                                     {"core." + seventy + ".1", seventy.substr(0, 64)}}) {
        Core(name);
        const timespec times[2] = {{0x65000000, 0}, {0x65000000, 0}};
        utimensat(AT_FDCWD, At(name).c_str(), times, 0);
        CoreDumpPass pass;
        CoreDumpRecord r{};
        ASSERT_EQ(ULVAPCDGetDumpFile(pass, r.path), 0);
        ASSERT_EQ(ULVAPCDGetModuleInfo(pass, r.path, &r), 0);
        EXPECT_EQ(std::tuple(std::string(r.path), std::string(r.taskName), r.moduleId, r.fileTime),
                  std::tuple("/zellocal/ulv_app_dump/" + name, task, 0x00082100u, 0x65000000u));
        fs::remove(At(name));
    }
}

TEST_F(CoreCollectTest, DeletesMalformedNamesAndGoesOnToTheNextPass) {
    const std::pair<const char*, const char*> cases[] = {
        {"core", "core"},
        {"xcore.app.1", "xcore.app.1"},
        {"core..7", "/zellocal/ulv_app_dump/core..7"},
        {"core.app", "/zellocal/ulv_app_dump/core.app"}};
    for (const auto& [name, shown] : cases) {
        Core(name);
        Collect();
        EXPECT_TRUE(fake::aplog.Has("Unexpected filename " + std::string(shown) + "\n\r")) << name;
        EXPECT_EQ(ulvState.apcdAttempts, 2) << name;  // then the empty directory
    }
    EXPECT_TRUE(Left().empty());
    EXPECT_EQ(TraceCount("error when get Module Info\n\n"), 4);
    EXPECT_EQ(Sent(), 0u);
    WriteFile(kDir + "notes.txt", "");  // not a candidate
    Collect();
    EXPECT_EQ(Left(), Names{"notes.txt"});
}

TEST_F(CoreCollectTest, FivePassesPerCycleAndNoneAfterFiveFailures) {
    for (int i = 0; i < 6; ++i) WriteFile(kDir + "core" + std::to_string(i), "x");
    Collect();
    EXPECT_EQ(Left().size(), 1u);
    EXPECT_EQ(TraceCount("error when get Module Info\n\n"), 5);
    EXPECT_EQ(TraceCount("No valid dump file\n"), 0);  // the sixth pass did not list
    Core("core.app.1");
    for (uint8_t failures : {5, 4}) {
        ulvState.apcdFailures = failures;
        Collect();
    }
    EXPECT_EQ(Sent(), 1u);
    EXPECT_EQ(Left().size(), 2u);
}

TEST_F(CoreCollectTest, LinksFifosAndDirectoriesAreNeitherFollowedNorCounted) {
    const std::string outside = root_ + "/outside";
    WriteFile("outside", "precious");
    fs::create_symlink(outside, At("core.evil.1"));
    fs::create_symlink(root_ + "/zellocal", At("core.dirlink.1"));
    // An open that waited for a writer would hang; the alarm would end the test.
    ASSERT_EQ(mkfifo(At("core.fifo.1").c_str(), 0600), 0);
    fs::create_directories(At("core.dir.1/inner"));
    Collect();
    EXPECT_EQ(std::tuple(Left(), ReadFile("outside")), std::tuple(Names{"core.dir.1"}, "precious"));
    EXPECT_EQ(TraceCount("error when stat apcd\n\n"), 3);
    // Three rejected, then nothing left: the directory takes no pass.
    EXPECT_EQ(ulvState.apcdAttempts, 4);
    // A FIFO put in place of the file after its status was taken is refused by the open itself.
    ASSERT_EQ(mkfifo(At("core.fifo.2").c_str(), 0600), 0);
    CoreDumpPass pass;
    pass.dirFd = open((root_ + "/" + kDir).c_str(), O_RDONLY | O_DIRECTORY);
    EXPECT_LT(ULVOpenPlacedAt(pass.dirFd, "core.fifo.2", PlacedKind::Regular), 0);
    // A candidate behind more entries than one listing read holds.
    for (int i = 0; i < 300; ++i) WriteFile(kDir + std::string(40, 'o') + std::to_string(i), "");
    fs::remove(At("core.fifo.2"));
    Core("core.late.1");
    Collect();
    EXPECT_EQ(Sent(), 1u);
}

TEST_F(CoreCollectTest, APathOf255CharactersOrMoreIsRemovedAndEndsTheCall) {
    const std::string fits = "core.t." + std::string(224, 'f'),
                      tooLong = "core.u." + std::string(225, 'g');
    Core(fits);  // 23 characters of directory and "/", then the name: 254
    CoreDumpPass pass;
    char path[CORE_PATH_SIZE];
    EXPECT_EQ(ULVAPCDGetDumpFile(pass, path), 0);
    EXPECT_EQ(strlen(path), 254u);
    fs::remove(At(fits)), Core(tooLong);
    Collect();
    EXPECT_TRUE(Left().empty());
    const std::string cut = ("/zellocal/ulv_app_dump/" + tooLong).substr(0, 254);
    EXPECT_EQ(TraceMessages(), (std::vector<std::string>{"invalid file name found, " + cut + "\n\n",
                                                         "Get APCD failed \n\n"}));
}

TEST_F(CoreCollectTest, AFileThatCannotBeOpenedKeepsTheFieldsOfItsName) {
    Core("core.locked.9");
    // Every descriptor but one taken: the directory opens, the file does not (EMFILE).
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    const rlimit low{64, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> taken;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken.push_back(fd);
    close(taken.back());
    taken.pop_back();
    CoreDumpPass pass;
    CoreDumpRecord r{};
    const int found = ULVAPCDGetDumpFile(pass, r.path),
              checked = ULVAPCDGetModuleInfo(pass, r.path, &r);
    for (int fd : taken) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(std::tuple(found, checked, pass.fileFd, std::string(r.taskName)),
              std::tuple(0, 0, -1, "locked"));
    EXPECT_NE(r.fileTime, 0u);
}

TEST_F(CoreCollectTest, DeletesOnlyFilesOfTheDumpDirectoryByName) {
    WriteFile("zellocal/panic/keep", "k");
    Core("core.a.1");
    fs::create_symlink(root_ + "/zellocal/panic/keep", At("core.b.1"));
    ULVDeleteFile("/zellocal/ulv_app_dump/core.a.1");
    ULVDeleteFile("/zellocal/ulv_app_dump/core.b.1");  // the link goes, not its target
    std::vector<std::string> traced;
    for (const std::string path :
         {"/zellocal/panic/keep", "/zellocal/ulv_app_dump/../panic/keep", "/zellocal/ulv_app_dump/",
          "/zellocal/ulv_app_dumpx/keep", "/zellocal/ulv_app_dump/core.gone.1"}) {
        ULVDeleteFile(path.c_str());
        traced.push_back("error when deleting " + path + "\n\n");
    }
    EXPECT_TRUE(Left().empty());
    EXPECT_EQ(ReadFile("zellocal/panic/keep"), "k");
    EXPECT_EQ(TraceMessages(), traced);
}

}  // namespace
