// The BP panic logs and the QUELA panic blocks (one reader over two formats), and the kernel
// panic partition: its text as a 256-byte line reader sees it, and the record made.
#include "panics/panics.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <numeric>
#include <optional>
#include <tuple>

#include "daemon_fixture.h"
#include "panic_log.h"
#include "reports/reports.h"
#include "state/daemon_state.h"

namespace {

using ulvtest::PanicFormat;
using Log = std::optional<std::string>;  // nullopt: no such file
using Ids = std::vector<uint32_t>;
const PanicFormat kFormats[] = {ulvtest::kBp, ulvtest::kQuela};

bool IsBp(const PanicFormat& format) {
    return format.headerSize == ulvtest::kBp.headerSize;
}

class PanicFilesTest : public DaemonTest {
  protected:
    // Reads both files of the format afresh and returns the ids loaded. A reader looping on a
    // damaged file logs each turn: capped, its memory soon runs out (natively; qemu ignores the
    // cap and the sanitizer cannot take it), else the alarm ends it, far beyond any real run.
    Ids Read(const PanicFormat& f, const Log& file1, const Log& file2, uint32_t lastReported = 0) {
        ResetProcessState();
        ULVDetectByteOrder();
        for (int i = 0; i < 2; ++i) {
            std::filesystem::remove(root_ + "/" + f.files[i]);
            if (const Log& content = i == 0 ? file1 : file2) WriteFile(f.files[i], *content);
        }
        ulvState.flexConfig.ulv_last_panic_timestamp = IsBp(f) ? lastReported : 0;
        ulvState.flexConfig.ulv_last_ap_quela_panic_timestamp = IsBp(f) ? 0 : lastReported;
#ifndef __SANITIZE_ADDRESS__
        const rlimit cap{1u << 30, 1u << 30};
        setrlimit(RLIMIT_AS, &cap);
#endif
        alarm(120);
        IsBp(f) ? ULVReadBpPanics() : ULVReadQuelaPanics();
        alarm(0);
        Ids ids;
        for (int i = 0; i < (IsBp(f) ? ulvState.bpLoadedCount : ulvState.quelaLoadedCount); ++i)
            ids.push_back(List(f)[i].id);
        return ids;
    }
    static PanicRecord* List(const PanicFormat& f) {
        return IsBp(f) ? ulvState.bpPanicList : ulvState.quelaPanicList;
    }
    static PanicSortEntry* Index(const PanicFormat& f) {
        return IsBp(f) ? ulvState.bpSortIndex : ulvState.quelaSortIndex;
    }
    static uint8_t& Counted(const PanicFormat& f) {
        return IsBp(f) ? ulvState.bpNewCount : ulvState.quelaNewCount;
    }
};

std::string In(const PanicFormat& f, uint32_t id, uint32_t stamp, const std::string& data = "",
               std::optional<uint16_t> length = {}, std::optional<uint32_t> dataLength = {},
               size_t padding = 0, uint16_t magic = 0xB5C7) {
    return ulvtest::Encode(id, stamp, data, length, dataLength, padding, magic, f);
}

TEST_F(PanicFilesTest, ListsNewRecordsInFileOrderAndEndsPassesWhereALengthLeadsNowhere) {
    const size_t descriptors = OpenDescriptors();
    for (const PanicFormat& f : kFormats) {
        SCOPED_TRACE(f.headerSize);
        const uint16_t h = static_cast<uint16_t>(f.headerSize);
        Ids stamps300(300), first44(44);
        std::iota(stamps300.begin(), stamps300.end(), 2);
        std::iota(first44.begin(), first44.end(), 1);
        const std::string next = In(f, 2, 20), next36 = In(f, 2, 20, std::string(36, 'y')),
                          other = In(f, 99, 990), bad = In(f, 11, 50, "", {}, {}, 0, 0x1234);
        // First file, second file, last reported, ids loaded, new counted, total counted.
        // clang-format off
        const std::tuple<const char*, Log, Log, uint32_t, Ids, uint8_t, uint8_t> cases[] = {
            {"both missing", {}, {}, 0, {}, 0, 0},
            {"equal, unsigned", ulvtest::Log({0x7FFFFFFF, 0x80000000, 5}, f), {}, 0x7FFFFFFF,
             {2}, 1, 3},
            {"300 records: counts wrap", ulvtest::Log(stamps300, f), {}, 1, first44, 44, 44},
            {"only the second file", {}, other, 0, {99}, 1, 1},
            {"wrong magic: used all the same", bad, {}, 0, {11}, 1, 1},
            // Damaged first files; the second file is read all the same.
            {"length 0: cannot advance", In(f, 1, 10, "abcd", 0) + next, other, 0, {1, 99}, 2, 2},
            // A length inside the header ends the pass: no record made of this one's bytes.
            {"length 1", In(f, 1, 0x47A1B2C3, "", 1) + next, other, 0, {1, 99}, 2, 2},
            {"length one short of the header", In(f, 1, 10, "abcd", h - 1) + next, other, 0,
             {1, 99}, 2, 2},
            {"data length past the record", In(f, 1, 10, "abcd", h + 4, 100) + next, other, 0,
             {1, 2, 99}, 3, 3},
            {"length past the file", In(f, 1, 10, "abcd", 1000) + next, other, 0, {1, 99}, 2, 2},
            {"header cut", In(f, 1, 10) + next.substr(0, 20), other, 0, {1, 99}, 2, 2},
            // Counted but never loaded: the new count keeps the counted figure.
            {"data cut", In(f, 1, 10) + next36.substr(0, h + 17), other, 0, {1, 99}, 3, 3},
        };
        // clang-format on
        for (const auto& [name, file1, file2, lastReported, ids, counted, total] : cases) {
            SCOPED_TRACE(name);
            EXPECT_EQ(Read(f, file1, file2, lastReported), ids);
            EXPECT_EQ(Counted(f), counted);
            EXPECT_EQ(List(f) == nullptr, ids.empty());
            EXPECT_EQ(ulvState.reportHeader[REPORT_BP_TOTAL_COUNT_OFFSET], IsBp(f) ? total : 0);
        }
    }
    // Each format's counting and loading pass say where they stopped; a wrong magic is traced.
    const std::pair<const char*, int> traced[] = {
        {"Record length 1, file read up to here\n", 4},
        {"Record length 42, file read up to here\n", 2},
        {"Wrong Header : 0x1234\n", 1},
        {"Header of this block is wrong : 1234!!!\n", 1},
        {"Length 43, TS 50, ID 11\n", 1},
        {"ID 11, TS 50\n", 1},
    };
    for (const auto& [text, count] : traced) EXPECT_EQ(TraceCount(text), count) << text;
    EXPECT_EQ(OpenDescriptors(), descriptors);
}

TEST_F(PanicFilesTest, KeepsAtMost36DataBytesAndFindsTheNextRecordByItsLength) {
    const std::string data = "0123456789abcdefghijklmnopqrstuvwxyz!";  // 37 distinct bytes
    auto kept = [](const PanicRecord& r) { return std::string(r.data, r.data + PANIC_DATA_SIZE); };
    for (const PanicFormat& f : kFormats) {
        for (size_t n : {0u, 1u, 35u, 36u, 37u}) {
            SCOPED_TRACE(std::to_string(f.headerSize) + " with data length " + std::to_string(n));
            const std::string first = In(f, 11, 50, data.substr(0, n), {}, {}, /*padding=*/9);
            ASSERT_EQ(Read(f, first + In(f, 12, 60, "\x77"), {}), (Ids{11, 12}));
            const std::string head = data.substr(0, std::min<size_t>(n, 36));
            EXPECT_EQ(kept(List(f)[0]), head + std::string(36 - head.size(), '\0'));
            EXPECT_EQ(kept(List(f)[1]), "\x77" + std::string(35, '\0'));
        }
    }
}

// A QUELA block of 73 bytes with 2 data bytes, then an old one and one with a wrong magic.
TEST_F(PanicFilesTest, QuelaBlockFieldsTextsAndWrongMagic) {
    const std::string block = In(ulvtest::kQuela, 0x01020304, 0x0a0b0c0d, "\xca\xfe");
    const std::string wrong = In(ulvtest::kQuela, 7, 0x0a0b0c0e, "", {}, {}, 0, 0xB5C8);
    const std::string old = In(ulvtest::kQuela, 8, 0x100);  // equal to the mark: not new
    ASSERT_EQ(Read(ulvtest::kQuela, block + old + wrong, In(ulvtest::kQuela, 9, 0x200), 0x100),
              (Ids{0x01020304, 7, 9}));
    const PanicRecord& record = ulvState.quelaPanicList[0];
    EXPECT_EQ(record.timestamp, 0x0a0b0c0du);
    EXPECT_EQ(std::string(record.data, record.data + 3), std::string("\xca\xfe\0", 3));
    EXPECT_EQ(ulvState.quelaSortIndex[2].timestamp, 0x0a0b0c0eu);
    EXPECT_EQ(ulvState.quelaRestoreTimestamp, 0x100u);
    // The first file's loading pass reads to its end: the second file's panic is still due.
    const std::vector<std::string> expected = {
        "Read a panic block for 73 at time 168496141 \n",
        "Read a panic block for 71 at time 256 \n",
        "Read a panic block for 71 at time 168496142 \n",
        "Error in reading\n",
        "QUELA: There are 2 new panics of 3 total panics from file  "
        "/zellocal/panic/qupanic_block.a\n",
        "Read a panic block for 71 at time 512 \n",
        "Error in reading\n",
        "QUELA: There are 1 new panics of 1 total panics from file "
        "/zellocal/panic/qupanic_block.b\n",
        "Header of this block is wrong : b5c8!!!\n",
        "Error in reading file\n",
    };
    EXPECT_EQ(TraceMessages(), expected);
    EXPECT_TRUE(fake::aplog.Has("Error in reading file\n\r"));
    const std::vector<fake::AplogRecord> logged = fake::aplog.Binary(0xA9A05);
    ASSERT_EQ(logged.size(), 4u);
    EXPECT_EQ(logged[0].level, 7);
    // As it stands after the conversion: the length and the time stamp in host order.
    std::string header = block.substr(0, 71);
    if (ulvState.hostLittleEndian == 1) {
        std::swap(header[2], header[3]);
        std::reverse(header.begin() + 16, header.begin() + 20);
    }
    EXPECT_EQ(std::string(logged[0].bytes.begin(), logged[0].bytes.end()), header);
}

TEST_F(PanicFilesTest, APlacedLinkOrFifoIsUnreadable) {
    WriteFile("secret", In(ulvtest::kQuela, 5, 500));
    for (const PanicFormat& f : kFormats) {
        ResetProcessState();
        const std::string first = root_ + "/" + f.files[0], second = root_ + "/" + f.files[1];
        std::filesystem::remove(first);
        std::filesystem::remove(second);
        std::filesystem::create_symlink(root_ + "/secret", first);
        ASSERT_EQ(mkfifo(second.c_str(), 0600), 0);
        Counted(f) = 7;  // a pass counts anew
        IsBp(f) ? ULVReadBpPanics() : ULVReadQuelaPanics();
        EXPECT_EQ(std::tuple(Counted(f), List(f)), std::tuple(0, nullptr));
        for (const char* path : f.files)
            EXPECT_EQ(TraceCount(std::string("Unable to read /") + path + "\n"), 1);
    }
}

// Gaps 3 then 1, strictly greater-than, so not stable. Cases: two logs, positions oldest first.
TEST_F(PanicFilesTest, IndexesBothFilesOldestFirstAndEqualStampsAsTheGap3PassLeavesThem) {
    const std::tuple<Ids, Ids, std::vector<uint16_t>> cases[] = {
        {{30, 10, 20}, {5}, {3, 1, 2, 0}},
        {{5, 1, 1}, {1}, {3, 1, 2, 0}},  // gap 3 moves 3 before 0; gap 1 never swaps equal 1s
        {{0xFFFFFFF0, 0x80000000}, {5, 0x7FFFFFFF}, {2, 3, 1, 0}},  // unsigned
    };
    for (const PanicFormat& f : kFormats) {
        for (const auto& [log1, log2, order] : cases) {
            const size_t count = Read(f, ulvtest::Log(log1, f), ulvtest::Log(log2, f)).size();
            std::vector<uint16_t> positions;
            for (size_t k = 0; k < count; ++k) positions.push_back(Index(f)[k].recordIndex);
            EXPECT_EQ(positions, order);
        }
    }
}

using Pc = std::array<uint8_t, 4>;
using KernelPanicTest = DaemonTest;  // which puts back the process's own time zone
constexpr char kPartition[] = "dev/mtdblock/kpanic";
constexpr char kForced[] = "AP Logger forcing debug panic!\n";
constexpr uint32_t kNone = KERNEL_PANIC_NO_TIME;
constexpr uint32_t k140709 = 1173100029;  // 2007-03-05 14:07:09 in Central European winter time

// Central European time, summer time from the last Sunday of March to that of October.
void CentralEuropeanTime() {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
}

std::string TimeLine(size_t filler, const std::string& seconds = "39") {
    return std::string(filler, 'x') + "Current Time = 2007-03-05 14:07:" + seconds + "\n";
}

TEST_F(KernelPanicTest, ReadsTagsAsA256ByteLineReaderSeesThem) {
    CentralEuropeanTime();
    const uint32_t k39 = k140709 + 30;
    // clang-format off
    const std::tuple<const char*, std::string, uint32_t, Pc, uint8_t> cases[] = {
        {"time", "Current Time = 2007-03-05 14:07:09\n", k140709, {}, 0},
        {"summer time", "Current Time = 2007-07-01 12:00:00\n", 1183284000, {}, 0},
        {"winter time", "Current Time = 2007-01-01 12:00:00\n", 1167649200, {}, 0},
        {"conversion as the C library's", "Current Time = 2007- 3-+5 14:07:09\n", k140709, {}, 0},
        {"a negative field", "Current Time = 2007-03-05 14:07:-9\n", k140709 - 18, {}, 0},
        {"last 32-bit second", "Current Time = 2106-02-07 07:28:14\n", 0xFFFFFFFE, {}, 0},
        {"past 32 bits", "Current Time = 2106-02-07 07:28:15\n", kNone, {}, 0},
        {"before the epoch", "Current Time = 1970-01-01 00:59:59\n", kNone, {}, 0},
        {"upper case pc", "[ULV]PanicPC: C0012ABC\n", kNone, {0xC0, 0x01, 0x2A, 0xBC}, 0},
        {"lower case pc, no newline", "[ULV]PanicPC: c0012abc", kNone, {0xC0, 0x01, 0x2A, 0xBC}, 0},
        {"zero byte in the pc", "x [ULV]PanicPC: C0001234 y\n", kNone, {0xC0, 0x00, 0x12, 0x34}, 0},
        // 16*0+16, 16*23 (G is not lowered), 16*35+35, 16*9+10, each kept to 8 bits.
        {"pairs not validated", "[ULV]PanicPC: 0gG0zz9:\n", kNone, {0x10, 0x70, 0x53, 0x9A}, 0},
        // Past the piece's end a character reads as NUL: 16*('\n'-48)+(0-48), 16*-48-48.
        {"pc cut by the line end", "[ULV]PanicPC: c0\n", kNone, {0xC0, 0x70, 0xD0, 0xD0}, 0},
        {"forced", kForced + TimeLine(0, "09"), k140709, {}, 1},
        {"three tags in one line",
         "AP Logger forcing debug panic! Current Time = 2007-03-05 14:07:09 [ULV]PanicPC: abcdef01",
         k140709, {0xAB, 0xCD, 0xEF, 0x01}, 1},
        {"the last tags win",
         "Current Time = 2007-03-05 14:07:09\n[ULV]PanicPC: 11111111\n"
         "Current Time = 2007-03-05 14:00:00\n[ULV]PanicPC: 22222222\n",
         k140709 - 429, {0x22, 0x22, 0x22, 0x22}, 0},
        // A line of more than 255 characters comes in pieces of 255.
        {"seconds end at 254", TimeLine(221), k39, {}, 0},
        {"last digit at 255", TimeLine(222), k140709 - 6, {}, 0},
        {"both digits past 254", TimeLine(223), k140709 - 9, {}, 0},
        {"tag split by the piece end", TimeLine(241), kNone, {}, 0},
        {"tag in the second piece", TimeLine(300), k39, {}, 0},
        {"fixed-width fields", "Current Time = 2007-03-05 14:07939\n", k39, {}, 0},
        {"tag after a NUL", std::string("abc\0", 4) + TimeLine(0), kNone, {}, 0},
        {"fields after a NUL", std::string("Current Time = 2007-03-05\0" "14:07:09\n", 35), k140709,
         {}, 0},
        {"binary, no tag", std::string("\xff\0\x01\n\x80", 5), kNone, {}, 0},
        {"empty", "", kNone, {}, 0},
    };
    // clang-format on
    for (const auto& [name, text, time, pc, forced] : cases) {
        SCOPED_TRACE(name);
        WriteFile(kPartition, text);
        uint32_t gotTime = 0;
        Pc gotPc = {9, 9, 9, 9};
        uint8_t gotForced = 9;
        EXPECT_EQ(ULVParseKernelPanicLog(&gotTime, gotPc.data(), &gotForced), 0);
        EXPECT_EQ(std::tuple(gotTime, gotPc, gotForced), std::tuple(time, pc, forced));
    }
    EXPECT_EQ(TraceCount("User Foced Kernel Panic Tag found\n\n"), 2);
}

// A missing partition stands for every unreadable one (links and FIFOs: tested end to end).
TEST_F(KernelPanicTest, RecordsOnlyAReadablePanicNewerThanTheMark) {
    CentralEuropeanTime();
    const std::string pc = "[ULV]PanicPC: C0012ABC\n", when = TimeLine(0, "09");
    // Partition text (none: missing), the mark, the id recorded (0: none).
    const std::tuple<Log, uint32_t, uint32_t> cases[] = {
        {when + pc, k140709 - 1, KERNEL_PANIC_ID},
        {kForced + when + pc, 0, KERNEL_PANIC_FORCED_ID},
        {when, k140709, 0},  // equal: not new
        {pc, 0, 0},          // no time
        {std::nullopt, 0, 0},
    };
    for (const auto& [text, mark, id] : cases) {
        ResetProcessState();
        std::filesystem::remove(root_ + "/" + kPartition);
        if (text) WriteFile(kPartition, *text);
        ulvState.flexConfig.ulv_last_ap_kernel_timestamp = mark;
        ULVReadKernelPanic();
        EXPECT_EQ(ulvState.kernelPanicDone, id == 0 ? 1 : 0);
        ASSERT_EQ(ulvState.kernelPanic != nullptr, id != 0);
        if (id == 0) continue;
        const PanicRecord expected{{}, k140709, id, {0xC0, 0x01, 0x2A, 0xBC}};  // call time zero
        EXPECT_EQ(std::memcmp(ulvState.kernelPanic, &expected, PANIC_RECORD_SIZE), 0);
        EXPECT_EQ(ulvState.kernelRestoreTimestamp, mark);
    }
    const std::pair<const char*, int> traced[] = {
        {"Recording a Kernel Panic and its time stamp-1173100029 address-c0012abc\n", 2},
        {"No new Kernel panic - 1173100029\n", 1},
        {"No new Kernel panic - -1\n", 2},
        {"failed to get kernel panic info\n\n", 1},
        {"close pipe\n\n", 4},
    };
    for (const auto& [text, count] : traced) EXPECT_EQ(TraceCount(text), count) << text;
    uint32_t time = 0;  // the partition is still missing
    Pc gotPc{};
    uint8_t forced = 0;
    EXPECT_EQ(ULVParseKernelPanicLog(&time, gotPc.data(), &forced), -1);
    EXPECT_EQ(time, KERNEL_PANIC_NO_TIME);
}

}  // namespace
