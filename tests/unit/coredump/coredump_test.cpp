// Core dumps: the parse of a core file (in the processor's own byte order, big-endian on s390x
// and ppc), discovery, bookkeeping and report, and what a hostile dump directory cannot do.
#include "coredump/coredump.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <set>

#include "core_file.h"
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

using ulvtest::CoreFile;
using ulvtest::CoreFileSpec;
using ulvtest::CoreLibrary;

constexpr uint32_t kPc = 0x40001a2c, kLr = 0x40000f10;
CoreLibrary Lib(uint32_t start, uint32_t end, const char* path = "/a/liba.so",
                std::optional<uint32_t> nameLength = {}) {
    return {start, end, path, nameLength};
}
const CoreLibrary kLibc = Lib(0x40000000, 0x40010000, "/lib/libc.so");

CoreFileSpec Crash(std::vector<CoreLibrary> libraries = {kLibc}, uint32_t pc = kPc) {
    CoreFileSpec layout;
    layout.l1 = 5, layout.pc = pc, layout.lr = kLr, layout.signal = 11;
    layout.libraries = std::move(libraries);
    return layout;
}
std::string File(std::vector<CoreLibrary> libraries, uint32_t pc = kPc) {
    return CoreFile(Crash(std::move(libraries), pc));
}

// pc, lr, signal, library name and offset, as the record holds them.
using Parsed = std::tuple<uint32_t, uint32_t, int, std::string, uint32_t>;
Parsed Of(const CoreDumpRecord& r) {
    return {r.pc, r.lr, r.signalNumber, r.libName, r.pcOffset};
}
const Parsed kNothing{0, 0, 0, "", 0};
Parsed Registers(uint32_t pc = kPc) {
    return {pc, kLr, 11, "", 0};
}
Parsed Found(const std::string& name, uint32_t offset, uint32_t pc = kPc) {
    return {pc, kLr, 11, name, offset};
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
    // Parses `file` (as the window); the walk fails exactly where it leaves the record empty.
    static Parsed Parse(const std::string& file) {
        CoreDumpRecord r{};
        const int got = ULVAPCDParseCore(&r, reinterpret_cast<const uint8_t*>(file.data()),
                                         static_cast<int32_t>(file.size()));
        EXPECT_EQ(got, r.pc == 0 ? -1 : 0);
        return Of(r);
    }
    // Lookups refused since the last call.
    static int LookupErrors() {
        const std::vector<std::string> texts = fake::aplog.Texts();
        fake::aplog.records.clear();
        return static_cast<int>(
            std::count(texts.begin(), texts.end(), "error in ULVAPCDGetLibInfo"));
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

TEST_F(CoreDumpTest, ACutAtAnyByteFailsTheWalkBeforeTheEntriesAndTheLookupBeforeTheName) {
    // L1 = 5: fixed block at 12, registers at 40, signal block at 48, block 2 at 64, N at 88,
    // the entry at 92, its name (13 bytes with the NUL) at 108.
    const std::string file = File({kLibc});
    EXPECT_EQ(file.substr(40, 4), ulvtest::CoreWord(kPc));
    for (size_t cut = 0; cut <= file.size(); ++cut) {
        EXPECT_EQ(Parse(file.substr(0, cut)), cut < 92    ? kNothing
                                              : cut < 121 ? Registers()
                                                          : Found("c.so", 0x1a2c))
            << cut;
    }
    EXPECT_EQ(LookupErrors(), 0);
}

TEST_F(CoreDumpTest, HostileLengthsFailWithoutWrappingAndTheLookupTakesTheFirstRangeHoldingPc) {
    // Laid out with L1 = 0: fixed block 4-31 (bb), registers 32, signal block 40, N at 80.
    auto with = [](std::optional<uint32_t> l1, std::optional<uint32_t> l2,
                   std::optional<uint32_t> n = {}) {
        CoreFileSpec layout = Crash();
        layout.l1 = 0, layout.l1Field = l1, layout.l2Field = l2, layout.countField = n;
        return CoreFile(layout);
    };
    CoreFileSpec swapped = Crash();  // L1 = 5 reads as 0x05000000
    const uint16_t one = 1;
    swapped.order = *reinterpret_cast<const uint8_t*>(&one) == 1 ? ulvtest::CoreOrder::Big
                                                                 : ulvtest::CoreOrder::Little;
    auto after = [](size_t before, CoreLibrary match) {
        std::vector<CoreLibrary> list(before, Lib(0x1000, 0x2000, "/lib/x.so"));
        list.push_back(std::move(match));
        return list;
    };
    const std::string longPath = "/" + std::string(298, 'n');
    const uint32_t a = 0x40000000, b = 0x40010000;
    // clang-format off
    const std::tuple<const char*, std::string, Parsed, int> cases[] = {
        {"L1 -1 rounds towards zero like 0", with(0xFFFFFFFF, {}), Found("c.so", 0x1a2c), 0},
        {"L1 -4: L2 is read from lr", with(0xFFFFFFFC, {}), kNothing, 0},
        {"L1 INT32_MAX", with(INT32_MAX, {}), kNothing, 0},
        {"L1 INT32_MAX - 3: a sum of 2^31", with(INT32_MAX - 3, {}), kNothing, 0},
        {"L1 INT32_MIN: negative offsets", with(0x80000000, {}), kNothing, 0},
        {"L2 INT32_MAX - 55: a sum of 2^31", with({}, INT32_MAX - 55), kNothing, 0},
        {"L2 INT32_MIN", with({}, 0x80000000), kNothing, 0},
        {"L2 -60: N from the fixed block, negative", with({}, 0xFFFFFFC4), Registers(), 1},
        {"N -1", with({}, {}, 0xFFFFFFFF), Registers(), 1},
        {"N INT32_MAX", with({}, {}, INT32_MAX), Registers(), 1},
        {"the other byte order", CoreFile(swapped), kNothing, 0},
        {"the 500th entry", File(after(499, kLibc)), Found("c.so", 0x1a2c), 0},
        {"a 501st entry", File(after(500, kLibc)), Registers(), 1},
        {"pc 255", File({Lib(0, 0x1000)}, 255), Registers(255), 1},
        {"pc 256", File({Lib(0, 0x1000, "/l/liblow.so")}, 256), Found("low.so", 256, 256), 0},
        {"pc at the start", File({Lib(kPc, kPc + 16)}), Registers(), 0},
        {"pc at the end", File({Lib(kPc - 16, kPc)}), Registers(), 0},
        {"pc one past the start", File({Lib(kPc - 1, kPc + 1)}), Found("a.so", 1), 0},
        {"first of two", File({Lib(kPc - 2, kPc + 1), Lib(kPc - 4, kPc + 4, "/b/libb.so")}),
         Found("a.so", 2), 0},
        {"second, 32 bytes on", File({Lib(0x1000, 0x2000, "/lib/libm.so"), kLibc}),
         Found("c.so", 0x1a2c), 0},
        {"nameLength 0", File({Lib(a, b, "/lib/libc.so", 0)}), Found("", 0x1a2c), 0},
        {"no NUL in nameLength", File({Lib(a, b, "/lib/libc.so", 12)}), Found("c.s", 0x1a2c), 0},
        {"a name over 256: 255, then 63", File({Lib(a, b, longPath.c_str())}),
         Found(std::string(63, 'n'), 0x1a2c), 0},
        {"a huge nameLength ends the walk", File({Lib(0x1000, 0x2000, "/x", 0xFFFFFFF0), kLibc}),
         Registers(), 0},
    };
    // clang-format on
    for (const auto& [name, file, expected, errors] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Parse(file), expected);
        EXPECT_EQ(LookupErrors(), errors);
    }
}

TEST_F(CoreDumpTest, TheLookupSaysWhetherItFoundTheLibrary) {
    const std::string file = File({kLibc}).substr(92);  // the entry list
    const auto* list = reinterpret_cast<const uint8_t*>(file.data());
    char name[64] = {};
    uint32_t offset = 0;
    // Whole; cut in the name; cut in the entry's words; no range holds pc.
    for (auto [length, pc, result] : {std::tuple(29, kPc, 0), std::tuple(28, kPc, -1),
                                      std::tuple(11, kPc, -1), std::tuple(29, 0x50000000u, -1)})
        EXPECT_EQ(ULVAPCDGetLibInfo(list, list + length, 1, pc, name, &offset), result) << length;
}

TEST_F(CoreDumpTest, ReducesALibraryPathToTheReportedName) {
    const std::pair<std::string, std::string> cases[] = {
        {"/usr/lib/libfoo.so.1", "foo.so.1"},
        {"/usr/lib/mylib.so", "mylib.so"},
        {"libbar.so", "bar.so"},
        {"/lib/", ""},
        {"lib", ""},
        {"li", "li"},
        {"/lithium.so", "lithium.so"},
        {"/a/liblib.so", "lib.so"},
        {std::string(70, 'z'), std::string(63, 'z')}};
    char out[64];
    for (const auto& [path, name] : cases) {
        char area[256] = {};
        path.copy(area, path.size());
        std::memset(out, 'x', sizeof out);
        EXPECT_EQ(ULVAPCDGetLibnameFromPath(area, sizeof area, out, sizeof out), 0);
        EXPECT_EQ(out, name) << path;
    }
    char unterminated[10];
    std::memcpy(unterminated, "abc/libxyz", 10);  // 3 bytes left after "lib": the last is the NUL
    ULVAPCDGetLibnameFromPath(unterminated, sizeof unterminated, out, sizeof out);
    EXPECT_STREQ(out, "xy");
    EXPECT_EQ(ULVAPCDGetLibnameFromPath(nullptr, 256, out, sizeof out), -1);
    EXPECT_EQ(ULVAPCDGetLibnameFromPath(out, sizeof out, nullptr, 64), -1);
    EXPECT_EQ(fake::aplog.Texts(),
              (std::vector<std::string>(2, "error in ULVAPCDGetLibnameFromPath")));
}

TEST_F(CoreDumpTest, ReadsAtMostTheFirst20480BytesThroughTheDescriptor) {
    // Block 2 at 64; then 24 fixed bytes, N, the entry's 16 bytes and a 16-byte name.
    CoreFileSpec atEdge = Crash({Lib(0x40000000, 0x40010000, "/lib/libcxyz.so")});
    atEdge.l2 = 20480 - 16 - 16 - 4 - 24 - 64;
    CoreFileSpec pastEdge = atEdge, listOutside = Crash();
    pastEdge.l2 += 4;
    listOutside.l2 = 20480;
    const std::string tail(5000, '\x77'), path = "/zellocal/ulv_app_dump/core.t.1";
    const std::tuple<std::string, std::string, Parsed> cases[] = {
        {"", path, kNothing},
        {File({kLibc}), "", kNothing},  // empty path: not even read
        {File({kLibc}), path, Found("c.so", 0x1a2c)},
        {CoreFile(atEdge) + tail, path, Found("cxyz.so", 0x1a2c)},
        {CoreFile(pastEdge) + tail, path, Registers()},
        {CoreFile(listOutside), path, kNothing},
    };
    for (const auto& [content, recordPath, expected] : cases) {
        WriteFile(kDir + "core.t.1", content);
        const int fd = open(At("core.t.1").c_str(), O_RDONLY);
        ASSERT_EQ(lseek(fd, 7, SEEK_SET), 7);  // read from the start whatever the position
        CoreDumpRecord r{};
        recordPath.copy(r.path, recordPath.size());
        EXPECT_EQ(ULVAPCDGetPanicInfo(&r, fd), 0);
        close(fd);
        EXPECT_EQ(Of(r), expected) << content.size();
    }
    CoreDumpRecord r{};
    path.copy(r.path, path.size());
    ULVAPCDGetPanicInfo(&r, -1);
    EXPECT_EQ(TraceMessages(), (std::vector<std::string>{"empty file found\n\n",
                                                         "open file " + path + " failed\n\n"}));
    EXPECT_DEATH(ULVAPCDGetPanicInfo(nullptr, -1), "Assertion `content != \\(\\(void \\*\\)0\\)'");
}

}  // namespace
