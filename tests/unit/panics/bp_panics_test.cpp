#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bp_log.h"
#include "daemon_fixture.h"
#include "panics/panics.h"
#include "reports/reports.h"
#include "state/daemon_state.h"
#include "state/trace.h"

namespace {

using bplog::Encode;
using bplog::Record;

// A reader that loops on a damaged log would hang the whole test program; this turns a hang
// into a prompt failure that names the test. The deadline is far beyond any real run, also
// under an emulator.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit)
        : thread_([this, limit] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!done_signal_.wait_for(lock, limit, [this] { return done_; })) {
                  std::fprintf(stderr, "the panic log readers did not return within %lld s\n",
                               static_cast<long long>(limit.count()));
                  std::abort();
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        done_signal_.notify_one();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable done_signal_;
    bool done_ = false;
    std::thread thread_;  // last: starts once the members above exist
};

constexpr std::chrono::seconds kDeadline{120};

class BpPanicsTest : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        ULVDetectByteOrder();  // the readers convert through the byte-order rule
        fake::aplog.records.clear();
    }

    // Builds the list from the logs as they are now, within the deadline.
    void Read() {
        Watchdog watchdog(kDeadline);
        ULVReadBpPanics();
    }

    std::vector<uint32_t> ListTimestamps() const {
        std::vector<uint32_t> stamps;
        for (int i = 0; ulvState.bpPanicList != nullptr && i < ulvState.bpNewCount; ++i)
            stamps.push_back(ulvState.bpPanicList[i].timestamp);
        return stamps;
    }
    std::vector<uint32_t> ListIds() const {
        std::vector<uint32_t> ids;
        for (int i = 0; ulvState.bpPanicList != nullptr && i < ulvState.bpNewCount; ++i)
            ids.push_back(ulvState.bpPanicList[i].id);
        return ids;
    }
    uint8_t TotalCount() const { return ulvState.reportHeader[REPORT_BP_TOTAL_COUNT_OFFSET]; }

    // Back to "nothing read yet" between the cases of one test.
    void Forget() {
        ULVDeleteBpPanics();
        fake::aplog.records.clear();
        std::filesystem::remove(root_ + "/zel_user/download/appwrite/ulvPanicInfo");
    }
};

// Two records of the first log, written out by hand from the layout.
const uint8_t kGoldenLog[] = {
    // Record 1, 51 bytes.
    0xb5, 0xc7,                                      // magic
    0x00, 0x33,                                      // record length 51
    0x5a, 0x5a, 0x5a, 0x5a, 0x5a, 0x5a, 0x5a, 0x5a,  // not interpreted
    0x00, 0x00, 0x01, 0x02,                          // panic id 258
    0x00, 0x01, 0xe2, 0x40,                          // time stamp 123456
    0xa5, 0xa5, 0xa5, 0xa5, 0xa5, 0xa5, 0xa5, 0xa5, 0xa5, 0xa5,  // not interpreted (19)
    0xa5, 0xa5, 0xa5, 0xa5, 0xa5, 0xa5, 0xa5, 0xa5, 0xa5,        //
    0x00, 0x00, 0x00, 0x06,                          // data length 6
    0xde, 0xad, 0xbe, 0xef, 0x01, 0x02,              // panic data
    0xee, 0xee,                                      // rest of the record, skipped
    // Record 2, 43 bytes: a header alone.
    0xb5, 0xc7,                                      // magic
    0x00, 0x2b,                                      // record length 43
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // not interpreted
    0x00, 0x00, 0x00, 0x07,                          // panic id 7
    0x00, 0x00, 0x00, 0x64,                          // time stamp 100
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // not interpreted (19)
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,        //
    0x00, 0x00, 0x00, 0x00,                          // data length 0
};
constexpr size_t kGoldenSecondRecordAt = 51;

std::string Bytes(const uint8_t* bytes, size_t size) {
    return std::string(reinterpret_cast<const char*>(bytes), size);
}

TEST_F(BpPanicsTest, BothLogsMissingAreReportedAndLeaveNothing) {
    ulvState.reportHeader[REPORT_ZERO_BYTE_OFFSET] = 0xEE;
    ulvState.reportHeader[REPORT_BP_TOTAL_COUNT_OFFSET] = 0xEE;
    Read();
    EXPECT_EQ(fake::aplog.Texts(),
              (std::vector<std::string>{"Unable to read /zellocal/panic/bp_panic.log1\n\r",
                                        "Unable to read /zellocal/panic/bp_panic.log2\n\r"}));
    EXPECT_EQ(TraceMessages(),
              (std::vector<std::string>{"Unable to read /zellocal/panic/bp_panic.log1\n",
                                        "Unable to read /zellocal/panic/bp_panic.log2\n"}));
    EXPECT_EQ(ulvState.bpNewCount, 0);
    EXPECT_EQ(ulvState.reportHeader[REPORT_ZERO_BYTE_OFFSET], 0);
    EXPECT_EQ(TotalCount(), 0);
    EXPECT_EQ(ulvState.bpPanicList, nullptr);
    EXPECT_EQ(ulvState.bpSortIndex, nullptr);
}

TEST_F(BpPanicsTest, LoadsHandWrittenLogIntoListIndexAndTrace) {
    WriteFile(bplog::kLog1, Bytes(kGoldenLog, sizeof kGoldenLog));
    ulvState.flexConfig.ulv_last_panic_timestamp = 99;
    Read();

    ASSERT_EQ(ulvState.bpNewCount, 2);
    ASSERT_NE(ulvState.bpPanicList, nullptr);
    const PanicRecord& first = ulvState.bpPanicList[0];
    EXPECT_EQ(first.id, 258u);
    EXPECT_EQ(first.timestamp, 123456u);
    const uint8_t firstData[PANIC_DATA_SIZE] = {0xde, 0xad, 0xbe, 0xef, 0x01, 0x02};  // then 0s
    EXPECT_EQ(std::memcmp(first.data, firstData, PANIC_DATA_SIZE), 0);
    EXPECT_EQ(ulvState.bpPanicList[1].id, 7u);
    EXPECT_EQ(ulvState.bpPanicList[1].timestamp, 100u);

    ASSERT_NE(ulvState.bpSortIndex, nullptr);
    EXPECT_EQ(ulvState.bpSortIndex[0].recordIndex, 1);
    EXPECT_EQ(ulvState.bpSortIndex[0].timestamp, 100u);
    EXPECT_EQ(ulvState.bpSortIndex[1].recordIndex, 0);
    EXPECT_EQ(ulvState.bpSortIndex[1].timestamp, 123456u);
    EXPECT_EQ(TotalCount(), 2);
    EXPECT_EQ(ulvState.bpRestoreTimestamp, 99u);
    EXPECT_EQ(ulvState.bpSentCount, 0);

    // The load pass stops when the list is full, before it could read past the last record.
    EXPECT_EQ(TraceMessages(),
              (std::vector<std::string>{
                  "BP: There are 2 new panics of 2 total panics from file "
                  "/zellocal/panic/bp_panic.log1\n",
                  "Unable to read /zellocal/panic/bp_panic.log2\n",
                  "Length 51, TS 123456, ID 258\n",
                  "ID 258, TS 123456\n",
                  "Length 43, TS 100, ID 7\n",
                  "ID 7, TS 100\n",
              }));
}

TEST_F(BpPanicsTest, CountingPassLogsEachHeaderWithLengthAndStampInHostOrder) {
    WriteFile(bplog::kLog1, Bytes(kGoldenLog, sizeof kGoldenLog));
    ulvState.flexConfig.ulv_last_panic_timestamp = 100;  // the second record is not new
    FILE* file = std::fopen((root_ + "/" + bplog::kLog1).c_str(), "rb");
    ASSERT_NE(file, nullptr);
    uint8_t newCount = 0xAA;
    uint8_t totalCount = 0xAA;
    {
        Watchdog watchdog(kDeadline);
        ULVCountBpPanics(file, &newCount, &totalCount);
    }
    std::fclose(file);
    EXPECT_EQ(newCount, 1);
    EXPECT_EQ(totalCount, 2);
    // A well-formed log, too, ends its counting pass with the failed read after its end.
    EXPECT_EQ(fake::aplog.Texts(),
              (std::vector<std::string>{"Read a panic block for 51 at time 123456 \n\r",
                                        "Read a panic block for 43 at time 100 \n\r",
                                        "Error in reading\n\r"}));

    // The 43 header bytes as read, with the record length (2) and the time stamp (16) turned
    // into the processor's own order; every other byte as in the file.
    std::vector<std::vector<uint8_t>> expected;
    for (size_t at : {size_t{0}, kGoldenSecondRecordAt}) {
        std::vector<uint8_t> header(kGoldenLog + at, kGoldenLog + at + bplog::kHeaderSize);
        const uint16_t length = at == 0 ? 51 : 43;
        const uint32_t timestamp = at == 0 ? 123456 : 100;
        std::memcpy(header.data() + 2, &length, sizeof length);
        std::memcpy(header.data() + 16, &timestamp, sizeof timestamp);
        expected.push_back(header);
    }
    std::vector<fake::AplogRecord> binary = fake::aplog.Binary(0xA9A05);
    ASSERT_EQ(binary.size(), 2u);
    for (size_t i = 0; i < binary.size(); ++i) {
        EXPECT_EQ(binary[i].level, 7);
        EXPECT_EQ(binary[i].bytes, expected[i]) << "record " << i;
    }
}

TEST_F(BpPanicsTest, StampEqualToTheLastReportedIsNotNew) {
    WriteFile(bplog::kLog1, Encode(bplog::WithTimestamps({100, 101, 99, 100})));
    ulvState.flexConfig.ulv_last_panic_timestamp = 100;
    Read();
    EXPECT_EQ(ListTimestamps(), std::vector<uint32_t>{101});
    EXPECT_EQ(ListIds(), std::vector<uint32_t>{2});
    EXPECT_EQ(TotalCount(), 4);
    EXPECT_EQ(TraceCount("BP: There are 1 new panics of 4 total panics from file "
                         "/zellocal/panic/bp_panic.log1\n"),
              1);
}

TEST_F(BpPanicsTest, NewnessComparesStampsUnsigned) {
    WriteFile(bplog::kLog1, Encode(bplog::WithTimestamps({0x7FFFFFFF, 0x80000000, 0xFFFFFFFF})));
    ulvState.flexConfig.ulv_last_panic_timestamp = 0x7FFFFFFF;
    Read();
    EXPECT_EQ(ListTimestamps(), (std::vector<uint32_t>{0x80000000, 0xFFFFFFFF}));
}

TEST_F(BpPanicsTest, KeepsAtMost36DataBytesAndFindsTheNextRecordByItsLength) {
    struct Case {
        size_t dataBytes;           // data bytes present after the header
        std::optional<uint32_t> dataLength;  // header field when not dataBytes
        size_t padding;
    };
    const Case cases[] = {
        {0, {}, 0},  {4, {}, 0},  {35, {}, 0}, {36, {}, 0}, {37, {}, 0},
        {100, {}, 0}, {100, {}, 9}, {4, {}, 9},
        // A data length far beyond the record: still only 36 bytes are read.
        {36, 0xFFFFFFFF, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("data " + std::to_string(c.dataBytes) + ", padding " +
                     std::to_string(c.padding));
        std::string data;
        for (size_t i = 0; i < c.dataBytes; ++i) data += static_cast<char>(i + 1);
        Record first = Record(11, 50).Data(data).Padding(c.padding);
        if (c.dataLength) first.DataLength(*c.dataLength);
        WriteFile(bplog::kLog1,
                  Encode(std::vector<Record>{first, Record(12, 60).Data("\x77\x78")}));
        Read();
        ASSERT_EQ(ListIds(), (std::vector<uint32_t>{11, 12}));
        EXPECT_EQ(ListTimestamps(), (std::vector<uint32_t>{50, 60}));
        uint8_t expected[PANIC_DATA_SIZE] = {};
        std::memcpy(expected, data.data(), std::min(c.dataBytes, PANIC_DATA_SIZE));
        EXPECT_EQ(std::memcmp(ulvState.bpPanicList[0].data, expected, PANIC_DATA_SIZE), 0);
        const uint8_t second[PANIC_DATA_SIZE] = {0x77, 0x78};
        EXPECT_EQ(std::memcmp(ulvState.bpPanicList[1].data, second, PANIC_DATA_SIZE), 0);
        Forget();
    }
}

TEST_F(BpPanicsTest, CountsWrapAt256AndTheListKeepsTheFirstNewRecordsInFileOrder) {
    struct Case {
        const char* name;
        uint32_t log1Records;
        uint32_t log2Records;
        bool everyOtherOld;  // records with an even id are not new
        uint8_t newCount;
        uint8_t totalCount;
    };
    const Case cases[] = {
        {"300 in the first log", 300, 0, false, 44, 44},
        {"200 and 100", 200, 100, false, 44, 44},
        {"300 of which 150 new", 300, 0, true, 150, 44},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Time stamps 2, 3, 4, ... in file order over both logs; odd stamps are old when
        // every other record is old (the last reported stamp is then 1 and they are 1 less).
        std::vector<uint32_t> log1;
        std::vector<uint32_t> log2;
        std::vector<uint32_t> newInOrder;
        for (uint32_t i = 0; i < c.log1Records + c.log2Records; ++i) {
            const bool old = c.everyOtherOld && i % 2 == 1;
            const uint32_t stamp = old ? 1 : i + 2;
            (i < c.log1Records ? log1 : log2).push_back(stamp);
            if (!old) newInOrder.push_back(stamp);
        }
        ulvState.flexConfig.ulv_last_panic_timestamp = 1;
        WriteFile(bplog::kLog1, Encode(bplog::WithTimestamps(log1)));
        if (c.log2Records != 0) WriteFile(bplog::kLog2, Encode(bplog::WithTimestamps(log2)));
        Read();
        EXPECT_EQ(ulvState.bpNewCount, c.newCount);
        EXPECT_EQ(TotalCount(), c.totalCount);
        newInOrder.resize(c.newCount);
        EXPECT_EQ(ListTimestamps(), newInOrder);
        Forget();
        std::filesystem::remove(root_ + "/" + bplog::kLog2);
    }
}

TEST_F(BpPanicsTest, WrongMagicIsTracedAndTheRecordStillUsed) {
    WriteFile(bplog::kLog1,
              Encode(std::vector<Record>{Record(3, 40).Magic(0x1234), Record(4, 41)}));
    Read();
    EXPECT_EQ(ListIds(), (std::vector<uint32_t>{3, 4}));
    std::vector<std::string> traces = TraceMessages();
    const std::vector<std::string> firstRecord = {"Length 43, TS 40, ID 3\n",
                                                  "Wrong Header : 0x1234\n", "ID 3, TS 40\n"};
    EXPECT_NE(std::search(traces.begin(), traces.end(), firstRecord.begin(), firstRecord.end()),
              traces.end());
    EXPECT_EQ(std::count_if(traces.begin(), traces.end(),
                            [](const std::string& t) { return t.rfind("Wrong Header", 0) == 0; }),
              1);
}

TEST_F(BpPanicsTest, NewRecordsOfBothLogsShareOneListFirstLogFirst) {
    WriteFile(bplog::kLog1, Encode(bplog::WithTimestamps({30, 2, 10, 20})));
    WriteFile(bplog::kLog2, Encode(bplog::WithTimestamps({5, 1})));
    ulvState.flexConfig.ulv_last_panic_timestamp = 2;
    Read();
    EXPECT_EQ(ListTimestamps(), (std::vector<uint32_t>{30, 10, 20, 5}));
    EXPECT_EQ(ListIds(), (std::vector<uint32_t>{1, 3, 4, 1}));
    EXPECT_EQ(TotalCount(), 6);
    EXPECT_EQ(TraceCount("BP: There are 3 new panics of 4 total panics from file "
                         "/zellocal/panic/bp_panic.log1\n"),
              1);
    EXPECT_EQ(TraceCount("BP: There are 1 new panics of 2 total panics from file "
                         "/zellocal/panic/bp_panic.log2\n"),
              1);
}

TEST_F(BpPanicsTest, OnlyTheSecondLogPresentIsReadAlone) {
    WriteFile(bplog::kLog2, Encode(bplog::WithTimestamps({7, 8})));
    Read();
    EXPECT_EQ(ListTimestamps(), (std::vector<uint32_t>{7, 8}));
    EXPECT_EQ(TotalCount(), 2);
    EXPECT_TRUE(fake::aplog.Has("Unable to read /zellocal/panic/bp_panic.log1\n\r"));
    EXPECT_FALSE(fake::aplog.Has("Unable to read /zellocal/panic/bp_panic.log2\n\r"));
}

TEST_F(BpPanicsTest, LoadPassEndingEarlyInTheFirstLogGoesOnWithTheSecond) {
    // The first log's load pass wants a second record (the list has room for the second
    // log's) and finds a header cut short.
    WriteFile(bplog::kLog1, Encode(Record(1, 10)) + Encode(Record(2, 20)).substr(0, 20));
    WriteFile(bplog::kLog2, Encode(Record(3, 30)));
    Read();
    EXPECT_EQ(ListIds(), (std::vector<uint32_t>{1, 3}));
    EXPECT_EQ(TraceCount("Error in reading \n"), 1);
    // Both counting passes and the first log's load pass.
    EXPECT_EQ(fake::aplog.Count("Error in reading\n\r"), 3);
}

TEST_F(BpPanicsTest, RecordCutShortInItsDataIsNotStoredAndNeverSent) {
    // Record 2 announces 36 data bytes; only 10 are in the file.
    std::string log = Encode(std::vector<Record>{Record(1, 10).Data("abcd"),
                                                 Record(2, 20).Data(std::string(36, 'x'))});
    log.resize(log.size() - 26);
    WriteFile(bplog::kLog1, log);
    Read();
    // Both passes agree on what they saw: counted 2, loaded 1, and the list is what was loaded.
    EXPECT_EQ(TotalCount(), 2);
    EXPECT_EQ(ulvState.bpNewCount, 1);
    EXPECT_EQ(ListIds(), std::vector<uint32_t>{1});
    ASSERT_NE(ulvState.bpSortIndex, nullptr);
    EXPECT_EQ(ulvState.bpSortIndex[0].recordIndex, 0);
    EXPECT_TRUE(fake::aplog.Has("Error in reading panic data\n\r"));
    EXPECT_EQ(TraceCount("Error in reading panic data\n"), 1);
    EXPECT_EQ(TraceCount("ID 2, TS 20\n"), 0);
}

TEST_F(BpPanicsTest, OnlyRecordCutShortInItsDataLeavesNoList) {
    std::string log = Encode(Record(2, 20).Data(std::string(36, 'x')));
    log.resize(bplog::kHeaderSize + 35);
    WriteFile(bplog::kLog1, log);
    Read();
    EXPECT_EQ(TotalCount(), 1);
    EXPECT_EQ(ulvState.bpNewCount, 0);
    EXPECT_EQ(ulvState.bpPanicList, nullptr);
    EXPECT_EQ(ulvState.bpSortIndex, nullptr);
}

TEST_F(BpPanicsTest, HeaderOrDataCutAtAnyFieldBoundaryEndsThePassesWithTheRecordsBefore) {
    const std::string good = Encode(Record(1, 10));
    const std::string next = Encode(Record(2, 20).Data(std::string(36, 'y')));
    // Header field boundaries: magic, length, filler, id, time stamp, filler, data length.
    for (size_t cut : {size_t{1}, size_t{2}, size_t{4}, size_t{12}, size_t{16}, size_t{20},
                       size_t{39}, size_t{42}}) {
        SCOPED_TRACE("header cut at " + std::to_string(cut));
        WriteFile(bplog::kLog1, good + next.substr(0, cut));
        Read();
        EXPECT_EQ(ListIds(), std::vector<uint32_t>{1});
        EXPECT_EQ(TotalCount(), 1);
        std::vector<std::string> texts = fake::aplog.Texts();
        EXPECT_EQ(std::count(texts.begin(), texts.end(), "Error in reading\n\r"), 1);
        Forget();
    }
    for (size_t cut : {size_t{43}, size_t{44}, size_t{78}}) {
        SCOPED_TRACE("data cut at " + std::to_string(cut));
        WriteFile(bplog::kLog1, good + next.substr(0, cut));
        Read();
        EXPECT_EQ(ListIds(), std::vector<uint32_t>{1});
        EXPECT_EQ(TotalCount(), 2);
        EXPECT_TRUE(fake::aplog.Has("Error in reading panic data\n\r"));
        Forget();
    }
}

// Damaged record lengths. A record whose length leaves no place for a next record (below the
// header plus the data bytes it used) is taken, and the pass ends there; a length past the
// end of the log ends the pass at the next read.
struct DamagedCase {
    const char* name;
    std::string log;
    std::vector<uint32_t> ids;
    uint8_t total;
};

class DamagedLogTest : public BpPanicsTest, public ::testing::WithParamInterface<DamagedCase> {};

TEST_P(DamagedLogTest, ReadingEndsAndKeepsTheRecordsBeforeTheDamage) {
    const DamagedCase& c = GetParam();
    WriteFile(bplog::kLog1, c.log);
    WriteFile(bplog::kLog2, Encode(Record(99, 990)));
    Read();
    std::vector<uint32_t> ids = c.ids;
    ids.push_back(99);  // the second log is read all the same
    EXPECT_EQ(ListIds(), ids);
    EXPECT_EQ(TotalCount(), c.total + 1);
}

std::vector<DamagedCase> DamagedCases() {
    const std::string after = Encode(Record(2, 20));
    auto first = [](uint16_t length, std::string data = "abcd") {
        return Encode(Record(1, 10).Data(std::move(data)).Length(length));
    };
    return {
        {"LengthZero", first(0) + after, {1}, 1},
        {"LengthOne", first(1) + after, {1}, 1},
        {"LengthBelowTheHeader", first(42) + after, {1}, 1},
        {"LengthBelowHeaderPlusDataRead", first(46) + after, {1}, 1},
        {"LengthBelowHeaderPlus36OfLongData", first(78, std::string(100, 'd')) + after, {1}, 1},
        {"LengthPastTheEndOfTheLog", first(1000) + after, {1}, 1},
        {"LengthAtMost", first(0xFFFF) + after, {1}, 1},
        {"EmptyLog", "", {}, 0},
        {"HalfAHeader", first(47).substr(0, 21), {}, 0},
        {"ZeroLengthAfterAGoodRecord", after + first(0) + after, {2, 1}, 2},
    };
}

INSTANTIATE_TEST_SUITE_P(Logs, DamagedLogTest, ::testing::ValuesIn(DamagedCases()),
                         [](const ::testing::TestParamInfo<DamagedCase>& param) {
                             return std::string(param.param.name);
                         });

TEST_F(BpPanicsTest, DeleteReleasesListAndIndexAndZeroesTheCounters) {
    WriteFile(bplog::kLog1, Encode(bplog::WithTimestamps({5, 6})));
    Read();
    ASSERT_NE(ulvState.bpPanicList, nullptr);
    ulvState.bpSentCount = 1;
    ULVDeleteBpPanics();
    EXPECT_EQ(TraceCount("Deleting 2 BP panics\n"), 1);
    EXPECT_EQ(ulvState.bpPanicList, nullptr);
    EXPECT_EQ(ulvState.bpSortIndex, nullptr);
    EXPECT_EQ(ulvState.bpNewCount, 0);
    EXPECT_EQ(ulvState.bpSentCount, 0);

    ULVDeleteBpPanics();  // nothing left: no second record
    EXPECT_EQ(TraceCount("Deleting 2 BP panics\n"), 1);
    EXPECT_EQ(TraceCount("Deleting 0 BP panics\n"), 0);
}

// Random logs, partly well-formed records with damaged fields, partly noise: the readers must
// return, and whatever they load must be new and properly indexed.
std::string RandomLog(std::mt19937& random) {
    auto below = [&random](uint32_t bound) { return static_cast<uint32_t>(random() % bound); };
    std::string log;
    if (below(5) == 0) {
        for (uint32_t n = below(300); n > 0; --n) log += static_cast<char>(random());
        return log;
    }
    for (uint32_t n = below(8); n > 0; --n) {
        Record record;
        record.id = static_cast<uint32_t>(random());
        record.timestamp = below(2) == 0 ? below(64) : static_cast<uint32_t>(random());
        for (uint32_t size = below(60); size > 0; --size)
            record.data += static_cast<char>(random());
        switch (below(6)) {
            case 0: record.dataLength = static_cast<uint32_t>(random()); break;
            case 1: record.dataLength = below(120); break;
            default: break;
        }
        record.padding = below(3) == 0 ? below(10) : 0;
        switch (below(8)) {
            case 0: record.length = 0; break;
            case 1: record.length = static_cast<uint16_t>(below(43)); break;
            case 2: record.length = static_cast<uint16_t>(43 + below(80)); break;
            case 3: record.length = static_cast<uint16_t>(random()); break;
            default: break;
        }
        if (below(6) == 0) record.magic = static_cast<uint16_t>(random());
        log += Encode(record);
    }
    if (!log.empty() && below(3) == 0) log.resize(below(static_cast<uint32_t>(log.size())));
    for (uint32_t flips = below(2) == 0 ? below(4) : 0; flips > 0 && !log.empty(); --flips)
        log[below(static_cast<uint32_t>(log.size()))] = static_cast<char>(random());
    return log;
}

TEST_F(BpPanicsTest, RandomLogsAlwaysReturnAndLoadOnlyNewIndexedRecords) {
    std::mt19937 random(0x5EED0B9);
    for (int round = 0; round < 400; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        for (const char* log : {bplog::kLog1, bplog::kLog2}) {
            if (random() % 6 == 0)
                std::filesystem::remove(root_ + "/" + log);
            else
                WriteFile(log, RandomLog(random));
        }
        const uint32_t last = random() % 2 == 0 ? random() % 64 : static_cast<uint32_t>(random());
        ulvState.flexConfig.ulv_last_panic_timestamp = last;
        Read();

        const int count = ulvState.bpNewCount;
        ASSERT_EQ(ulvState.bpPanicList == nullptr, count == 0);
        ASSERT_EQ(ulvState.bpSortIndex == nullptr, count == 0);
        for (int i = 0; i < count; ++i) ASSERT_GT(ulvState.bpPanicList[i].timestamp, last);
        std::vector<bool> named(static_cast<size_t>(count), false);
        for (int k = 0; k < count; ++k) {
            const PanicSortEntry& entry = ulvState.bpSortIndex[k];
            ASSERT_LT(entry.recordIndex, count);
            ASSERT_FALSE(named[entry.recordIndex]);
            named[entry.recordIndex] = true;
            ASSERT_EQ(entry.timestamp, ulvState.bpPanicList[entry.recordIndex].timestamp);
            if (k > 0) {
                ASSERT_LE(ulvState.bpSortIndex[k - 1].timestamp, entry.timestamp);
            }
        }
        Forget();
    }
}

}  // namespace
