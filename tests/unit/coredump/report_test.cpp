// The core dump report: the packed body, the message, and the submission without the gate.
#include <cstring>

#include "coredump/coredump.h"
#include "daemon_fixture.h"
#include "reports/reports.h"
#include "state/daemon_state.h"
#include "state/trace.h"

namespace {

using Bytes = std::vector<uint8_t>;

CoreDumpRecord Record(const char* task, const char* lib, uint8_t signal = 11) {
    CoreDumpRecord r{};
    std::strcpy(r.path, "/zellocal/ulv_app_dump/core.mediaplayer.1234");
    std::strcpy(r.taskName, task);
    std::strcpy(r.libName, lib);
    r.moduleId = 0x00082100, r.fileTime = 0x65000000, r.pcOffset = 0x00001a2c;
    r.signalNumber = signal, r.pc = 0x40001a2c, r.lr = 0x40000f10;
    return r;
}

struct CoreReportTest : DaemonTest {
    void SetUp() override {
        DaemonTest::SetUp();
        ULVDetectByteOrder();
        std::strcpy(ulvState.outgoingSms.destination, "+15550100");
        fake::tapi.callTime = 42;
        fake::aplog.records.clear();
    }
    static Bytes Body(const CoreDumpRecord& record) {
        Bytes body(CORE_DUMP_BODY_SIZE, 0xFF);
        uint8_t length = 0;
        ULVAPCDMakeReportBody(&length, body.data(), &record);
        EXPECT_EQ(length, CORE_DUMP_BODY_SIZE);
        return body;
    }
};

TEST_F(CoreReportTest, BodyIsThePacked48ByteLayoutInWireOrder) {
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
    EXPECT_EQ(TraceMessages(),
              (std::vector<std::string>{
                  "APCD generic data: task:mediaplay, lib:c.so, offset:0x00001a2c, signr:11, pc: "
                  "0x40001a2c, lr: 0x40000f10\n\n",
                  "TAPI_ULV_GetCallTime failure\n",
                  "APCD generic data: task:app, lib:twelve.chars, offset:0x00001a2c, signr:-11, "
                  "pc: 0x40001a2c, lr: 0x40000f10\n\n"}));
    EXPECT_EQ(Body(Record("abcdefghij", "thirteen.char"))[34], 0);  // cut to 12 and its NUL
}

TEST_F(CoreReportTest, IsSubmittedAtOnceWhateverTheRadioStateAndWaitsForItsConfirmation) {
    ulvState.timerExpired = 1;  // the other flags and pendingReports stay 0
    std::memset(ulvState.apcdReportedPath, 'z', sizeof ulvState.apcdReportedPath);
    const CoreDumpRecord record = Record("mediaplayer", "c.so");
    EXPECT_EQ(ULVAPCDSendReport(&record), 0);
    const std::vector<std::string> trace = TraceMessages();
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
    EXPECT_EQ(fake::aplog.Texts(), std::vector<std::string>{});  // none announce the records
    EXPECT_EQ(trace.front(), "APCD report is ready to send\n");
    EXPECT_EQ(trace.back(),
              "Using unblocking call APCD " + std::string(record.path) + " is Sent\n");
    EXPECT_EQ(TraceCount("Encoded Buf: " + std::string(ulvState.outgoingSms.text) + "\n"), 1);
}

TEST_F(CoreReportTest, ARefusedSubmissionIsCountedAndNothingWaits) {
    fake::Fail(fake::Call::SendSms, -1);
    ulvState.apcdFailures = 2, ulvState.timerExpired = 1;
    const CoreDumpRecord record = Record("app", "");
    EXPECT_EQ(ULVAPCDSendReport(&record), -1);
    EXPECT_EQ(std::tuple(ulvState.apcdFailures, ulvState.apcdPending, ulvState.timerExpired,
                         ulvState.apcdReportedPath[0]),
              std::tuple(3, 0, 1, '\0'));
    const std::vector<std::string> trace = TraceMessages();
    EXPECT_EQ(std::vector<std::string>(trace.end() - 2, trace.end()),
              (std::vector<std::string>{"FAIL: APCD SMS Send\n", "FAIL: APCD Rpt send\n"}));
}

}  // namespace
