// Core file parsing: the block chain, the library lookup and the name reduction, against files
// in the processor's own byte order (big-endian on the s390x and ppc configurations).
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <optional>

#include "core_file.h"
#include "coredump/coredump.h"
#include "daemon_fixture.h"

namespace {

using ulvtest::CoreFile;
using ulvtest::CoreFileSpec;
using ulvtest::CoreLibrary;
using ulvtest::CoreOrder;

constexpr uint32_t kPc = 0x40001a2c;
constexpr uint32_t kLr = 0x40000f10;
const CoreLibrary kLibc{0x40000000, 0x40010000, "/lib/libc.so", {}};

CoreFileSpec Crash(std::vector<CoreLibrary> libraries = {kLibc}, uint32_t pc = kPc) {
    CoreFileSpec spec;
    spec.l1 = 5;
    spec.pc = pc;
    spec.lr = kLr;
    spec.signal = 11;
    spec.libraries = std::move(libraries);
    return spec;
}

struct Parsed {
    int result;
    uint32_t pc, lr;
    uint8_t signal;
    std::string libName;
    uint32_t pcOffset;
    bool operator==(const Parsed&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Parsed& p) {
    return out << "{" << p.result << std::hex << " pc 0x" << p.pc << " lr 0x" << p.lr << std::dec
               << " sig " << int{p.signal} << " lib '" << p.libName << "' +0x" << std::hex
               << p.pcOffset << std::dec << "}";
}

Parsed Parse(const std::string& file) {
    CoreDumpRecord record{};
    const int result = ULVAPCDParseCore(&record, reinterpret_cast<const uint8_t*>(file.data()),
                                        static_cast<int32_t>(file.size()));
    return {result, record.pc, record.lr, record.signalNumber, record.libName, record.pcOffset};
}

const Parsed kNothing{-1, 0, 0, 0, "", 0};
Parsed Registers(int result = 0, uint32_t pc = kPc) { return {result, pc, kLr, 11, "", 0}; }
Parsed Found(const std::string& name, uint32_t offset, uint32_t pc = kPc) {
    return {0, pc, kLr, 11, name, offset};
}

class CoreParseTest : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        fake::aplog.records.clear();
    }
    static int LookupErrors() {
        int n = 0;
        for (const std::string& text : fake::aplog.Texts()) n += text == "error in ULVAPCDGetLibInfo";
        return n;
    }
};

TEST_F(CoreParseTest, TheTestFilesFollowTheLayoutByteForByte) {
    // L1 = 5: the fixed block at 12, registers at 40, signal block at 48, block 2 at 64, N at
    // 88, the first entry at 92, its name at 108; one library /lib/libc.so.
    std::string expected;
    auto word = [&](uint32_t v) { expected += ulvtest::CoreWord(v); };
    word(5);
    expected += std::string(5, '\xaa') + std::string(3, '\0') + std::string(28, '\xbb');
    word(kPc), word(kLr), word(0), expected += std::string(8, '\xcc'), word(11);
    expected += std::string(24, '\xee');
    word(1), word(13), word(0x40000000), word(0x40010000), word(0xA5A5A5A5);
    expected += std::string("/lib/libc.so") + std::string(4, '\0');
    ASSERT_EQ(expected.size(), 124u);
    EXPECT_EQ(CoreFile(Crash()), expected);
    EXPECT_EQ(ulvtest::CoreWord(0x01020304, CoreOrder::Big), std::string("\1\2\3\4"));
    EXPECT_EQ(ulvtest::CoreWord(0x01020304, CoreOrder::Little), std::string("\4\3\2\1"));
}

TEST_F(CoreParseTest, FindsTheRegistersSignalAndLibraryOfAWellFormedFile) {
    const std::string big = std::string(400, 'p');
    // clang-format off
    const std::pair<const char*, CoreFileSpec> cases[] = {
        {"L1 = 5, one library", Crash()},
        {"block lengths that need no padding", [] { auto s = Crash(); s.l1 = 8; s.l2 = 12; return s; }()},
        {"block lengths that need padding", [] { auto s = Crash(); s.l1 = 1; s.l2 = 7; return s; }()},
        {"second entry 32 bytes on (nameLength 13)",
         Crash({{0x10000, 0x20000, "/lib/libm.so", {}}, kLibc})},
    };
    // clang-format on
    for (const auto& [name, spec] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Parse(CoreFile(spec)), Found("c.so", 0x1a2c));
    }
}

TEST_F(CoreParseTest, ACutAtAnyByteFailsTheWalkBeforeTheEntriesAndTheLookupBeforeTheName) {
    // Entries start at 92 (the walk needs all of it), the entry's words end at 104, the
    // name (13 bytes with its NUL) at 121.
    const std::string file = CoreFile(Crash());
    for (size_t cut = 0; cut < file.size(); ++cut) {
        SCOPED_TRACE(cut);
        const Parsed expected = cut < 92 ? kNothing : cut < 121 ? Registers() : Found("c.so", 0x1a2c);
        EXPECT_EQ(Parse(file.substr(0, cut)), expected);
    }
    EXPECT_EQ(Parse(""), kNothing);
    EXPECT_EQ(LookupErrors(), 0);
}

TEST_F(CoreParseTest, HostileLengthsFailOrMoveTheChainWithoutWrapping) {
    auto with = [](std::optional<uint32_t> l1, std::optional<uint32_t> l2,
                   std::optional<uint32_t> count = {}) {
        CoreFileSpec spec = Crash();
        spec.l1 = 0;
        spec.l1Field = l1, spec.l2Field = l2, spec.countField = count;
        return CoreFile(spec);
    };
    // clang-format off
    const std::tuple<const char*, std::string, Parsed, int> cases[] = {
        {"L1 -1 rounds towards zero like 0", with(0xFFFFFFFF, {}), Found("c.so", 0x1a2c), 0},
        // The registers move back onto the fixed block; L2 is then read from lr: too long.
        {"L1 -4", with(0xFFFFFFFC, {}), kNothing, 0},
        {"L1 INT32_MAX", with(INT32_MAX, {}), kNothing, 0},
        {"L1 INT32_MAX - 3: the sum is 2^31", with(INT32_MAX - 3, {}), kNothing, 0},
        {"L1 INT32_MIN: negative offsets", with(0x80000000, {}), kNothing, 0},
        {"L2 INT32_MAX", with({}, INT32_MAX), kNothing, 0},
        {"L2 INT32_MAX - 55: the sum is 2^31", with({}, INT32_MAX - 55), kNothing, 0},
        {"L2 INT32_MIN", with({}, 0x80000000), kNothing, 0},
        // Offset 6 at -4: N is read from the first fixed block (0xbbbbbbbb, negative).
        {"L2 -60", with({}, 0xFFFFFFC4), Registers(), 1},
        {"N -1", with({}, {}, 0xFFFFFFFF), Registers(), 1},
        {"N INT32_MAX", with({}, {}, INT32_MAX), Registers(), 1},
        {"N 501", with({}, {}, 501), Registers(), 1},
    };
    // clang-format on
    for (const auto& [name, file, expected, errors] : cases) {
        SCOPED_TRACE(name);
        fake::aplog.records.clear();
        EXPECT_EQ(Parse(file), expected);
        EXPECT_EQ(LookupErrors(), errors);
    }
}

TEST_F(CoreParseTest, LooksUpAtMost500EntriesAndNoPcBelow256) {
    auto libs = [](size_t before, CoreLibrary match) {
        std::vector<CoreLibrary> list(before, {0x1000, 0x2000, "/lib/x.so", {}});
        list.push_back(std::move(match));
        return list;
    };
    const CoreLibrary low{0, 0x1000, "/lib/liblow.so", {}};
    // clang-format off
    const std::tuple<const char*, CoreFileSpec, Parsed, int> cases[] = {
        {"the 500th entry", Crash(libs(499, kLibc)), Found("c.so", 0x1a2c), 0},
        {"a 501st entry", Crash(libs(500, kLibc)), Registers(), 1},
        {"N 0", Crash({}), Registers(), 0},
        {"pc 0", Crash({low}, 0), Registers(0, 0), 1},
        {"pc 255", Crash({low}, 255), Registers(0, 255), 1},
        {"pc 256", Crash({low}, 256), Found("low.so", 256, 256), 0},
    };
    // clang-format on
    for (const auto& [name, spec, expected, errors] : cases) {
        SCOPED_TRACE(name);
        fake::aplog.records.clear();
        EXPECT_EQ(Parse(CoreFile(spec)), expected);
        EXPECT_EQ(LookupErrors(), errors);
    }
}

TEST_F(CoreParseTest, TakesTheFirstRangeThatHoldsPcStrictly) {
    auto range = [](uint32_t start, uint32_t end, const char* path) {
        return CoreLibrary{start, end, path, {}};
    };
    // clang-format off
    const std::tuple<const char*, std::vector<CoreLibrary>, Parsed> cases[] = {
        {"pc at the start", {range(kPc, kPc + 16, "/a/liba.so")}, Registers()},
        {"pc at the end", {range(kPc - 16, kPc, "/a/liba.so")}, Registers()},
        {"pc one past the start", {range(kPc - 1, kPc + 1, "/a/liba.so")}, Found("a.so", 1)},
        {"first of two overlapping",
         {range(kPc - 2, kPc + 1, "/a/liba.so"), range(kPc - 4, kPc + 4, "/b/libb.so")},
         Found("a.so", 2)},
        {"past a non-matching one", {range(0x1000, 0x2000, "/lib/libm.so"), kLibc},
         Found("c.so", 0x1a2c)},
        {"no range holds pc", {range(0x1000, 0x2000, "/lib/libm.so")}, Registers()},
    };
    // clang-format on
    for (const auto& [name, libraries, expected] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Parse(CoreFile(Crash(libraries))), expected);
    }
    EXPECT_EQ(LookupErrors(), 0);
}

TEST_F(CoreParseTest, CopiesTheNameFieldByItsLengthAndWindow) {
    auto lib = [](std::string path, std::optional<uint32_t> nameLength) {
        return CoreLibrary{0x40000000, 0x40010000, std::move(path), nameLength};
    };
    const std::string longPath = "/" + std::string(298, 'n');  // 299 characters
    CoreFileSpec cutName = Crash({lib("/lib/libc.so", 13)});
    // clang-format off
    const std::tuple<const char*, CoreFileSpec, size_t, Parsed> cases[] = {
        {"nameLength 0: no name, offset kept", Crash({lib("/lib/libc.so", 0)}), 0, Found("", 0x1a2c)},
        {"nameLength without the NUL loses a character", Crash({lib("/lib/libc.so", 12)}), 0,
         Found("c.s", 0x1a2c)},
        {"name longer than 256 keeps 255 characters, then 63", Crash({lib(longPath, {})}), 0,
         Found(std::string(63, 'n'), 0x1a2c)},
        {"name cut by the window", cutName, 5, Registers()},
        {"a huge nameLength in an earlier entry ends the walk",
         Crash({{0x1000, 0x2000, "/x", 0xFFFFFFF0}, kLibc}), 0, Registers()},
    };
    // clang-format on
    for (const auto& [name, spec, cut, expected] : cases) {
        SCOPED_TRACE(name);
        const std::string file = CoreFile(spec);
        EXPECT_EQ(Parse(file.substr(0, file.size() - cut)), expected);
    }
}

TEST_F(CoreParseTest, ReadsNumbersInTheProcessorsOwnOrderOnly) {
    CoreFileSpec spec = Crash();
    const uint16_t one = 1;
    uint8_t first = 0;
    std::memcpy(&first, &one, 1);
    spec.order = first == 1 ? CoreOrder::Big : CoreOrder::Little;  // the other order
    EXPECT_EQ(Parse(CoreFile(spec)), kNothing);  // L1 reads as 0x05000000
}

TEST_F(CoreParseTest, ReducesALibraryPathToTheReportedName) {
    // clang-format off
    const std::pair<const char*, const char*> cases[] = {
        {"/usr/lib/libfoo.so.1", "foo.so.1"}, {"/usr/lib/mylib.so", "mylib.so"},
        {"libbar.so", "bar.so"}, {"/lib/", ""}, {"lib", ""}, {"li", "li"}, {"", ""},
        {"/a/liblib.so", "lib.so"},
    };
    // clang-format on
    for (const auto& [path, name] : cases) {
        char area[256] = {};
        std::strcpy(area, path);
        char out[64];
        std::memset(out, 'x', sizeof out);
        EXPECT_EQ(ULVAPCDGetLibnameFromPath(area, sizeof area, out, sizeof out), 0);
        EXPECT_STREQ(out, name) << path;
    }
    // 70 characters keep 63; an unterminated area is read only within its size.
    char area[256] = {};
    std::memset(area, 'z', 70);
    char out[64];
    ULVAPCDGetLibnameFromPath(area, sizeof area, out, sizeof out);
    EXPECT_EQ(std::string(out), std::string(63, 'z'));
    char unterminated[10];
    std::memcpy(unterminated, "abc/libxyz", 10);
    ULVAPCDGetLibnameFromPath(unterminated, sizeof unterminated, out, sizeof out);
    EXPECT_STREQ(out, "xy");  // 3 bytes left in the area: the last becomes the NUL

    EXPECT_EQ(ULVAPCDGetLibnameFromPath(nullptr, 256, out, sizeof out), -1);
    EXPECT_EQ(ULVAPCDGetLibnameFromPath(area, sizeof area, nullptr, 64), -1);
    EXPECT_EQ(fake::aplog.Texts(), (std::vector<std::string>(2, "error in ULVAPCDGetLibnameFromPath")));
}

class CorePanicInfoTest : public CoreParseTest {
protected:
    Parsed Read(const std::string& content, const char* path = "/zellocal/ulv_app_dump/core.t.1") {
        WriteFile("zellocal/ulv_app_dump/core.t.1", content);
        const int fd = open((root_ + "/zellocal/ulv_app_dump/core.t.1").c_str(), O_RDONLY);
        CoreDumpRecord record{};
        std::strcpy(record.path, path);
        EXPECT_EQ(ULVAPCDGetPanicInfo(&record, fd), 0);
        close(fd);
        return {0, record.pc, record.lr, record.signalNumber, record.libName, record.pcOffset};
    }
};

TEST_F(CorePanicInfoTest, ParsesTheFirst20480BytesReadThroughTheDescriptor) {
    const Parsed none{0, 0, 0, 0, "", 0};
    // Block 2 at 64; its end, the 24 fixed bytes, N and the entry's 16 bytes, then the name
    // and its NUL, 16 bytes, end at 20480.
    CoreFileSpec atEdge = Crash({{0x40000000, 0x40010000, "/lib/libcxyz.so", {}}});
    atEdge.l2 = 20480 - 16 - 16 - 4 - 24 - 64;
    CoreFileSpec pastEdge = atEdge;
    pastEdge.l2 += 4;
    CoreFileSpec listOutside = Crash();
    listOutside.l2 = 20480;
    const std::string tail(5000, '\x77');
    // clang-format off
    const std::tuple<const char*, std::string, Parsed> cases[] = {
        {"an empty file", "", none},
        {"a whole file", CoreFile(Crash()), Found("c.so", 0x1a2c)},
        {"the name ends at the window's end", CoreFile(atEdge) + tail, Found("cxyz.so", 0x1a2c)},
        {"the name runs past the window", CoreFile(pastEdge) + tail, Registers()},
        {"the list starts beyond the window", CoreFile(listOutside), none},
    };
    // clang-format on
    for (const auto& [name, content, expected] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Read(content), expected);
    }
}

TEST_F(CorePanicInfoTest, AnEmptyPathOrAFileThatDidNotOpenLeavesTheRecordZero) {
    EXPECT_EQ(Read(CoreFile(Crash()), ""), (Parsed{0, 0, 0, 0, "", 0}));
    CoreDumpRecord record{};
    std::strcpy(record.path, "/zellocal/ulv_app_dump/core.t.1");
    EXPECT_EQ(ULVAPCDGetPanicInfo(&record, -1), 0);
    EXPECT_EQ(record.pc, 0u);
    EXPECT_EQ(TraceMessages(), (std::vector<std::string>{
                                   "empty file found\n\n",
                                   "open file /zellocal/ulv_app_dump/core.t.1 failed\n\n"}));
}

TEST_F(CorePanicInfoTest, ReadsTheFileFromItsStartWhateverTheDescriptorsPosition) {
    WriteFile("zellocal/ulv_app_dump/core.t.1", CoreFile(Crash()));
    const int fd = open((root_ + "/zellocal/ulv_app_dump/core.t.1").c_str(), O_RDONLY);
    char skip[7];
    ASSERT_EQ(read(fd, skip, sizeof skip), 7);
    CoreDumpRecord record{};
    std::strcpy(record.path, "/zellocal/ulv_app_dump/core.t.1");
    ULVAPCDGetPanicInfo(&record, fd);
    close(fd);
    EXPECT_EQ(record.pc, kPc);
}

TEST_F(CorePanicInfoTest, ANullRecordStopsTheProcessAsAFailedAssertion) {
    EXPECT_DEATH(ULVAPCDGetPanicInfo(nullptr, -1), "Assertion `content != \\(\\(void \\*\\)0\\)' failed");
}

}  // namespace
