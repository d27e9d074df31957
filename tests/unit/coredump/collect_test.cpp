// Core dump discovery, bookkeeping and report, and what a hostile dump directory cannot do.
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
#include "state/daemon_state.h"
#include "state/placed_file.h"
#include "state/trace.h"

namespace {

namespace fs = std::filesystem;
using Names = std::set<std::string>;
using Bytes = std::vector<uint8_t>;
using Texts = std::vector<std::string>;
const std::string kDir = "zellocal/ulv_app_dump/";

CoreDumpRecord Record(const char* task, const char* lib, uint8_t signal = 11) {
    CoreDumpRecord r{};
    std::strcpy(r.path, "/zellocal/ulv_app_dump/core.mediaplayer.1234");
    std::strcpy(r.taskName, task);
    std::strcpy(r.libName, lib);
    r.moduleId = 0x00082100, r.fileTime = 0x65000000, r.pcOffset = 0x00001a2c;
    r.signalNumber = signal, r.pc = 0x40001a2c, r.lr = 0x40000f10;
    return r;
}

struct CoreDumpTest : DaemonTest {
    void SetUp() override {
        DaemonTest::SetUp();
        ULVDetectByteOrder();
        std::strcpy(ulvState.outgoingSms.destination, "+15550100");
        fake::tapi.callTime = 42;
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
    // One call from a fresh cycle; the alarm ends one that blocks. No descriptor outlives it.
    void Collect() {
        const size_t before = OpenDescriptors();
        ulvState.apcdAttempts = 0;
        alarm(60);
        ULVAPCDCollect();
        alarm(0);
        EXPECT_EQ(OpenDescriptors(), before);
    }
    static Bytes Body(const CoreDumpRecord& record) {
        Bytes body(CORE_DUMP_BODY_SIZE, 0xFF);
        uint8_t length = 0;
        ULVAPCDMakeReportBody(&length, body.data(), &record);
        EXPECT_EQ(length, CORE_DUMP_BODY_SIZE);
        return body;
    }
};

TEST_F(CoreDumpTest, AnEmptyOrMissingDirectoryEndsTheCallWithItsText) {
    Collect();
    fs::remove(root_ + "/" + kDir);
    Collect();
    EXPECT_EQ(TraceMessages(),
              (Texts{"No valid dump file\n", "Get APCD failed \n\n",
                     "Read dir failed - No such file or directory\n", "Get APCD failed \n\n"}));
    EXPECT_EQ(fake::aplog.Texts(),
              (Texts{"No valid dump file\n\r", "Read dir failed - No such file or directory\n\r"}));
}

// Starved of descriptors (EMFILE on the file alone), the name and the entry give the fields.
TEST_F(CoreDumpTest, TakesTaskNameModuleAndTimeFromTheNameAndTheFileStatus) {
    const std::string seventy(70, 't');
    const std::tuple<std::string, std::string, bool> cases[] = {
        {"core.a.b.c", "a", false},
        {"core." + seventy + ".1", seventy.substr(0, 64), false},
        {"core.locked.9", "locked", true},
    };
    for (const auto& [name, task, starved] : cases) {
        Core(name);
        const timespec times[2] = {{0x65000000, 0}, {0x65000000, 0}};
        utimensat(AT_FDCWD, At(name).c_str(), times, 0);
        rlimit saved{};
        getrlimit(RLIMIT_NOFILE, &saved);
        std::vector<int> taken;
        if (starved) {
            const rlimit low{64, saved.rlim_max};
            ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
            for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken.push_back(fd);
            close(taken.back());
            taken.pop_back();
        }
        CoreDumpPass pass;
        CoreDumpRecord r{};
        const int found = ULVAPCDGetDumpFile(pass, r.path),
                  checked = ULVAPCDGetModuleInfo(pass, r.path, &r);
        for (int fd : taken) close(fd);
        setrlimit(RLIMIT_NOFILE, &saved);
        EXPECT_EQ(std::tuple(found, checked, pass.fileFd < 0, std::string(r.path),
                             std::string(r.taskName), r.moduleId, r.fileTime),
                  std::tuple(0, 0, starved, "/zellocal/ulv_app_dump/" + name, task, 0x00082100u,
                             0x65000000u));
        fs::remove(At(name));
    }
}

// Six malformed names: five passes take five of them, the next cycle the sixth.
TEST_F(CoreDumpTest, DeletesMalformedNamesFivePassesPerCycleAndNoneAfterFiveFailures) {
    const std::string path = "/zellocal/ulv_app_dump/";
    const std::pair<std::string, std::string> cases[] = {
        {"core", "core"},
        {"xcore.app.1", "xcore.app.1"},
        {"ycore", "ycore"},
        {"core..7", path + "core..7"},  // logged with the path once a "core." prefix is found
        {"core.app", path + "core.app"},
        {"core.x", path + "core.x"}};
    for (const auto& [name, shown] : cases) Core(name);
    Collect();
    EXPECT_EQ(Left().size(), 1u);
    EXPECT_EQ(TraceCount("error when get Module Info\n\n"), 5);
    EXPECT_EQ(TraceCount("No valid dump file\n"), 0);  // the sixth pass did not list
    Collect();
    EXPECT_EQ(ulvState.apcdAttempts, 2);  // the last one, then the empty directory
    for (const auto& [name, shown] : cases)
        EXPECT_TRUE(fake::aplog.Has("Unexpected filename " + shown + "\n\r")) << name;
    WriteFile(kDir + "notes.txt", "");  // not a candidate
    Core("core.app.1");
    for (uint8_t failures : {5, 4}) {
        ulvState.apcdFailures = failures;
        Collect();
    }
    EXPECT_EQ(fake::tapi.submissions.size(), 1u);
    EXPECT_EQ(Left(), (Names{"notes.txt", "core.app.1"}));
}

TEST_F(CoreDumpTest, LinksFifosAndDirectoriesAreNeitherFollowedNorCounted) {
    WriteFile("outside", "precious");
    fs::create_symlink(root_ + "/outside", At("core.evil.1"));
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
    EXPECT_EQ(fake::tapi.submissions.size(), 1u);
}

TEST_F(CoreDumpTest, APathOf255CharactersOrMoreIsRemovedAndEndsTheCall) {
    const std::string fits = "core.t." + std::string(224, 'f'),
                      tooLong = "core.u." + std::string(225, 'g');
    Core(fits);  // 23 characters of directory and "/", then the name: 254
    CoreDumpPass pass;
    char path[CORE_PATH_SIZE];
    EXPECT_EQ(ULVAPCDGetDumpFile(pass, path), 0);
    EXPECT_EQ(strlen(path), 254u);
    fs::remove(At(fits));
    Core(tooLong);
    Collect();
    EXPECT_TRUE(Left().empty());
    const std::string cut = ("/zellocal/ulv_app_dump/" + tooLong).substr(0, 254);
    EXPECT_EQ(TraceMessages(),
              (Texts{"invalid file name found, " + cut + "\n\n", "Get APCD failed \n\n"}));
}

TEST_F(CoreDumpTest, DeletesOnlyFilesOfTheDumpDirectoryByName) {
    WriteFile("zellocal/panic/keep", "k");
    Core("core.a.1");
    fs::create_symlink(root_ + "/zellocal/panic/keep", At("core.b.1"));
    ULVDeleteFile("/zellocal/ulv_app_dump/core.a.1");
    ULVDeleteFile("/zellocal/ulv_app_dump/core.b.1");  // the link goes, not its target
    Texts traced;
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

TEST_F(CoreDumpTest, ReportBodyIsThePacked48ByteLayoutInWireOrder) {
    // clang-format off
    const Bytes expected{
        0x00, 0x00, 0x00, 0x2a,  0x65, 0x00, 0x00, 0x00,  0x00, 0x08, 0x21, 0x00,  // call time 42
        'm', 'e', 'd', 'i', 'a', 'p', 'l', 'a', 'y', 0,       // file time, module id; task cut to 9
        'c', '.', 's', 'o', 0, 0, 0, 0, 0, 0, 0, 0, 0,        // library, NUL-padded
        0x00, 0x00, 0x1a, 0x2c,  0x0b,                        // pc offset at 35, signal
        0x40, 0x00, 0x1a, 0x2c,  0x40, 0x00, 0x0f, 0x10};     // pc, lr
    // clang-format on
    EXPECT_EQ(Body(Record("mediaplayer", "c.so")), expected);
    fake::Fail(fake::Call::CallTime, -1);  // the call time stays zero, the signal is traced signed
    const Bytes body = Body(Record("app", "twelve.chars", 0xF5));
    EXPECT_EQ(Bytes(body.begin(), body.begin() + 4), Bytes(4, 0));
    EXPECT_EQ(std::string(body.begin() + 12, body.begin() + 35),
              std::string("app\0\0\0\0\0\0\0twelve.chars\0", 23));
    EXPECT_TRUE(fake::aplog.Has("Get the Call Time Failed\n\r"));
    EXPECT_EQ(
        TraceMessages(),
        (Texts{"APCD generic data: task:mediaplay, lib:c.so, offset:0x00001a2c, signr:11, pc: "
               "0x40001a2c, lr: 0x40000f10\n\n",
               "TAPI_ULV_GetCallTime failure\n",
               "APCD generic data: task:app, lib:twelve.chars, offset:0x00001a2c, signr:-11, "
               "pc: 0x40001a2c, lr: 0x40000f10\n\n"}));
    EXPECT_EQ(Body(Record("abcdefghij", "thirteen.char"))[34], 0);  // cut to 12 and its NUL
}

TEST_F(CoreDumpTest, AReportIsSubmittedAtOnceWhateverTheRadioStateAndWaitsForItsConfirmation) {
    ulvState.timerExpired = 1, ulvState.apcdFailures = 2;  // the other flags stay 0
    std::memset(ulvState.apcdReportedPath, 'z', sizeof ulvState.apcdReportedPath);
    const CoreDumpRecord record = Record("mediaplayer", "c.so");
    EXPECT_EQ(ULVAPCDSendReport(&record), 0);
    const Texts trace = TraceMessages();
    EXPECT_EQ(std::tuple(fake::tapi.submissions.size(), ulvState.apcdPending, ulvState.timerExpired,
                         std::string(ulvState.apcdReportedPath), ulvState.outgoingSms.textLength),
              std::tuple(1u, 1, 0, std::string(record.path), 152u));
    const auto raw = fake::aplog.Binary(APLOG_ID_RAW_MESSAGE);
    ASSERT_EQ(raw.size(), 1u);
    ASSERT_EQ(raw[0].bytes.size(), 112u);
    EXPECT_EQ(Bytes(raw[0].bytes.begin(), raw[0].bytes.begin() + 2),
              (Bytes{0, 2}));  // type, format
    EXPECT_EQ(Bytes(raw[0].bytes.begin() + 64, raw[0].bytes.end()), Body(record));
    EXPECT_EQ(fake::aplog.Binary(APLOG_ID_HEADER).size(), 2u);
    EXPECT_EQ(fake::aplog.Texts(), Texts{});  // none announce the records
    EXPECT_EQ(trace.front(), "APCD report is ready to send\n");
    EXPECT_EQ(trace.back(),
              "Using unblocking call APCD " + std::string(record.path) + " is Sent\n");
    EXPECT_EQ(TraceCount("Encoded Buf: " + std::string(ulvState.outgoingSms.text) + "\n"), 1);

    // A refused submission is counted, and nothing waits.
    fake::Fail(fake::Call::SendSms, -1);
    ulvState.apcdPending = 0, ulvState.timerExpired = 1, ulvState.apcdReportedPath[0] = '\0';
    const CoreDumpRecord other = Record("app", "");
    EXPECT_EQ(ULVAPCDSendReport(&other), -1);
    EXPECT_EQ(std::tuple(ulvState.apcdFailures, ulvState.apcdPending, ulvState.timerExpired,
                         std::string(ulvState.apcdReportedPath)),
              std::tuple(3, 0, 1, std::string()));
    const Texts after = TraceMessages();
    EXPECT_EQ(Texts(after.end() - 2, after.end()),
              (Texts{"FAIL: APCD SMS Send\n", "FAIL: APCD Rpt send\n"}));
}

}  // namespace
