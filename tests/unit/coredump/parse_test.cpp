// Core file parsing against files in the processor's own byte order (big-endian on s390x/ppc).
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "core_file.h"
#include "coredump/coredump.h"
#include "daemon_fixture.h"

namespace {

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

struct CoreParseTest : DaemonTest {
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

TEST_F(CoreParseTest, ACutAtAnyByteFailsTheWalkBeforeTheEntriesAndTheLookupBeforeTheName) {
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

TEST_F(CoreParseTest, HostileLengthsFailWithoutWrappingAndTheLookupTakesTheFirstRangeHoldingPc) {
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

TEST_F(CoreParseTest, TheLookupSaysWhetherItFoundTheLibrary) {
    const std::string file = File({kLibc}).substr(92);  // the entry list
    const auto* list = reinterpret_cast<const uint8_t*>(file.data());
    char name[64] = {};
    uint32_t offset = 0;
    // Whole; cut in the name; cut in the entry's words; no range holds pc.
    for (auto [length, pc, result] : {std::tuple(29, kPc, 0), std::tuple(28, kPc, -1),
                                      std::tuple(11, kPc, -1), std::tuple(29, 0x50000000u, -1)})
        EXPECT_EQ(ULVAPCDGetLibInfo(list, list + length, 1, pc, name, &offset), result) << length;
}

TEST_F(CoreParseTest, ReducesALibraryPathToTheReportedName) {
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

TEST_F(CoreParseTest, ReadsAtMostTheFirst20480BytesThroughTheDescriptor) {
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
        WriteFile("zellocal/ulv_app_dump/core.t.1", content);
        const int fd = open((root_ + "/zellocal/ulv_app_dump/core.t.1").c_str(), O_RDONLY);
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
