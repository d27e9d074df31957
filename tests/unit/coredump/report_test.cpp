// The core dump report: the packed body, the message, and the submission without the gate.
#include <cstring>

#include "coredump/coredump.h"
#include "daemon_fixture.h"
#include "reports/reports.h"
#include "process.h"
#include "state/daemon_state.h"
#include "state/trace.h"

namespace {

using Bytes = std::vector<uint8_t>;

CoreDumpRecord Record(const char* task, const char* lib) {
    CoreDumpRecord record{};
    std::strcpy(record.path, "/zellocal/ulv_app_dump/core.mediaplayer.1234");
    std::strcpy(record.taskName, task);
    std::strcpy(record.libName, lib);
    record.moduleId = 0x00082100;
    record.fileTime = 0x65000000;
    record.pcOffset = 0x00001a2c;
    record.signalNumber = 11;
    record.pc = 0x40001a2c;
    record.lr = 0x40000f10;
    return record;
}

class CoreReportTest : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        ULVDetectByteOrder();
        std::strcpy(ulvState.serviceCentreAddress, "+4412345");
        std::strcpy(ulvState.outgoingSms.destination, "+15550100");
        fake::tapi.callTime = 42;
        fake::aplog.records.clear();
    }
    static Bytes Body(const CoreDumpRecord& record) {
        Bytes body(CORE_DUMP_BODY_SIZE, 0xFF);
        uint8_t length = 0;
        EXPECT_EQ(ULVAPCDMakeReportBody(&length, body.data(), &record), 0);
        EXPECT_EQ(length, CORE_DUMP_BODY_SIZE);
        return body;
    }
};

TEST_F(CoreReportTest, BodyIsThePacked48ByteLayoutInWireOrder) {
    const Bytes expected{
        0x00, 0x00, 0x00, 0x2a,                                      // call time 42
        0x65, 0x00, 0x00, 0x00,                                      // file time
        0x00, 0x08, 0x21, 0x00,                                      // module id
        'm', 'e', 'd', 'i', 'a', 'p', 'l', 'a', 'y', 0,              // task, cut to 9
        'c', '.', 's', 'o', 0, 0, 0, 0, 0, 0, 0, 0, 0,               // library, NUL-padded
        0x00, 0x00, 0x1a, 0x2c,                                      // pc offset at 35
        0x0b,                                                        // signal
        0x40, 0x00, 0x1a, 0x2c,                                      // pc
        0x40, 0x00, 0x0f, 0x10,                                      // lr
    };
    EXPECT_EQ(Body(Record("mediaplayer", "c.so")), expected);
    EXPECT_EQ(TraceMessages(),
              (std::vector<std::string>{"APCD generic data: task:mediaplay, lib:c.so, "
                                        "offset:0x00001a2c, signr:11, pc: 0x40001a2c, "
                                        "lr: 0x40000f10\n\n"}));
}

TEST_F(CoreReportTest, NamesAreCutToTheirFieldsWithTheirNuls) {
    const std::tuple<const char*, const char*, std::string, std::string> cases[] = {
        {"app", "foo.so.1", std::string("app") + std::string(7, '\0'),
         std::string("foo.so.1") + std::string(5, '\0')},
        {"abcdefghi", "twelve.chars", std::string("abcdefghi") + '\0',
         std::string("twelve.chars") + '\0'},
        {"abcdefghij", "thirteen.char", std::string("abcdefghi") + '\0',
         std::string("thirteen.cha") + '\0'},
        {"", "", std::string(10, '\0'), std::string(13, '\0')},
    };
    for (const auto& [task, lib, taskField, libField] : cases) {
        const Bytes body = Body(Record(task, lib));
        EXPECT_EQ(std::string(body.begin() + 12, body.begin() + 22), taskField) << task;
        EXPECT_EQ(std::string(body.begin() + 22, body.begin() + 35), libField) << lib;
    }
}

TEST_F(CoreReportTest, ACallTimeFailureLeavesZerosAndASignalAboveIsTracedSigned) {
    fake::tapi.callTimeResult = -1;
    CoreDumpRecord record = Record("t", "");
    record.signalNumber = 0xF5;
    const Bytes body = Body(record);
    EXPECT_EQ(Bytes(body.begin(), body.begin() + 4), Bytes(4, 0));
    EXPECT_EQ(body[39], 0xF5);
    EXPECT_TRUE(fake::aplog.Has("Get the Call Time Failed\n\r"));
    EXPECT_EQ(TraceMessages().back(),
              "APCD generic data: task:t, lib:, offset:0x00001a2c, signr:-11, pc: 0x40001a2c, "
              "lr: 0x40000f10\n\n");
}

TEST_F(CoreReportTest, IsSubmittedAtOnceWhateverTheRadioStateAndWaitsForItsConfirmation) {
    ulvState.inService = ulvState.validPlmn = ulvState.sqState = 0;
    ulvState.timerExpired = 1;
    ulvState.pendingReports = 0;
    std::memset(ulvState.apcdReportedPath, 'z', sizeof ulvState.apcdReportedPath);
    const CoreDumpRecord record = Record("mediaplayer", "c.so");
    EXPECT_EQ(ULVAPCDSendReport(&record), 0);
    const std::vector<std::string> trace = TraceMessages();

    ASSERT_EQ(fake::tapi.submissions.size(), 1u);
    EXPECT_EQ(ulvState.apcdPending, 1);
    EXPECT_EQ(ulvState.timerExpired, 0);
    EXPECT_EQ(ulvState.pendingReports, 0u);
    EXPECT_EQ(std::string(ulvState.apcdReportedPath), record.path);
    EXPECT_EQ(ulvState.apcdReportedPath[255], '\0');
    EXPECT_EQ(ulvState.outgoingSms.textLength, 152u);

    const auto raw = fake::aplog.Binary(APLOG_ID_RAW_MESSAGE);
    ASSERT_EQ(raw.size(), 1u);
    ASSERT_EQ(raw[0].bytes.size(), 112u);
    EXPECT_EQ(raw[0].bytes[0], 0);  // report type
    EXPECT_EQ(raw[0].bytes[1], 2);  // format code
    EXPECT_EQ(Bytes(raw[0].bytes.begin() + 64, raw[0].bytes.end()), Body(record));
    EXPECT_EQ(fake::aplog.Binary(APLOG_ID_HEADER).size(), 2u);
    // This path logs the header records and the message without announcing them.
    EXPECT_FALSE(fake::aplog.Has("ULV Message Header Before Converted:\n\r"));
    EXPECT_FALSE(fake::aplog.Has("ULV Message Header After Converted:\n\r"));
    EXPECT_FALSE(fake::aplog.Has("Raw Data Buf:\n\r"));
    EXPECT_EQ(trace.front(), "APCD report is ready to send\n");
    EXPECT_EQ(trace.back(),
              "Using unblocking call APCD /zellocal/ulv_app_dump/core.mediaplayer.1234 is Sent\n");
    EXPECT_EQ(TraceCount("Encoded Buf: " + std::string(ulvState.outgoingSms.text) + "\n"), 1);
}

TEST_F(CoreReportTest, ARefusedSubmissionIsCountedAndNothingWaits) {
    fake::tapi.submitDefault = -1;
    ulvState.apcdFailures = 2;
    ulvState.timerExpired = 1;
    const CoreDumpRecord record = Record("app", "");
    EXPECT_EQ(ULVAPCDSendReport(&record), -1);
    EXPECT_EQ(ulvState.apcdFailures, 3);
    EXPECT_EQ(ulvState.apcdPending, 0);
    EXPECT_EQ(ulvState.timerExpired, 1);
    EXPECT_EQ(ulvState.apcdReportedPath[0], '\0');
    const std::vector<std::string> trace = TraceMessages();
    ASSERT_GE(trace.size(), 2u);
    EXPECT_EQ(trace[trace.size() - 2], "FAIL: APCD SMS Send\n");
    EXPECT_EQ(trace.back(), "FAIL: APCD Rpt send\n");
}

}  // namespace
