// Each telephony call of the report path failing on its own: what is logged and traced, what
// goes out, what is saved and what runs next.
#include <functional>

#include "panic_log.h"
#include "reports_fixture.h"

namespace {

using fake::Call;
using Texts = std::vector<std::string>;

TEST_F(ReportsTest, EachFailingCallIsLoggedAndTheReportStillGoesOutOrIsRolledBack) {
    auto crash = [] { ulvState.pendingReports = PENDING_CRASH; };
    auto periodic = [] { ulvState.pendingReports = PENDING_PERIODIC; };
    auto header = [](size_t from, size_t size) {  // left as it was: 'x'
        for (size_t i = from; i < from + size; ++i) EXPECT_EQ(ulvState.reportHeader[i], 'x') << i;
    };
    struct Row {
        const char* name;
        Call call;
        std::function<void()> prepare;  // then the report is sent (when something is pending)
        Texts logs, traces;
        int sent;     // submissions
        bool saved;   // the configuration file written
        std::function<void(const Bytes& raw)> next;
    };
    const Row rows[] = {
        {"AP version", Call::ApVersion, [] {},
         {"TAPI_ACCE_GetApVersionInfo Failure!"}, {"TAPI_ACCE_GetApVersionInfo Failure!\n"}, 0,
         false, [&](const Bytes&) { header(REPORT_AP_BUILD_LABEL_OFFSET, REPORT_LABEL_SIZE); }},
        {"BP version", Call::BpVersion, [] {},
         {"TAPI_ACCE_GetBpVersionInfo Failure!\n\r"}, {"TAPI_ACCE_GetBpVersionInfo Failure!\n"},
         0, false, [&](const Bytes&) { header(REPORT_FLEX_VERSION_OFFSET, REPORT_LABEL_SIZE + 4); }},
        {"serial number", Call::SerialNo, [] {},
         {"TAPI_ACCE_GetFactorySerialNo Failure!\n\r"},
         {"TAPI_ACCE_GetFactorySerialNo Failure!\n"}, 0, false,
         [&](const Bytes&) { header(REPORT_SERIAL_OFFSET, REPORT_SERIAL_SIZE); }},
        {"call time, BP panic", Call::CallTime, [&] { SetBp({0x10}, true, 1); crash(); },
         {"TAPI_ULV_GetCallTime failure\n\r", "Get the Call Time Failed\n\r"},
         {"TAPI_ULV_GetCallTime failure\n", "Get the Call Time Failed\n",
          "BP panic report is ready to send\n"}, 1, false,
         [](const Bytes& raw) { EXPECT_EQ(Bytes(raw.begin() + 64, raw.begin() + 68), Bytes(4)); }},
        {"call time, QUELA panic", Call::CallTime, [&] { SetQuela({0x10}); crash(); },
         {"TAPI_ULV_GetCallTime failure\n\r", "Get the Call Time Failed\n\r"},
         {"TAPI_ULV_GetCallTime failure\n", "Get the Call Time Failed\n",
          "QUELA panic report is ready to send\n"}, 1, false, [](const Bytes&) {}},
        {"call time, kernel panic", Call::CallTime,
         [&] { ulvState.kernelPanic = NewList({0x40}, 0x82000); crash(); },
         {"TAPI_ULV_GetCallTime failure\n\r", "Get the Call Time Failed\n\r"},
         {"TAPI_ULV_GetCallTime failure\n", "Kernel Panic report is ready to send\n"}, 1, false,
         [&](const Bytes&) { EXPECT_EQ(TraceCount("Get the Call Time Failed\n"), 0); }},
        {"call time, periodic", Call::CallTime, periodic, {"TAPI_ULV_GetCallTime failure\n\r"},
         {"TAPI_ULV_GetCallTime failure\n", "Sending ULV periodic report\n"}, 1, true,
         [](const Bytes& raw) { EXPECT_EQ(Bytes(raw.begin() + 64, raw.begin() + 68), Bytes(4)); }},
        {"generic data", Call::GenericData, [&] { fake::tapi.generic.fill(0xEE); periodic(); },
         {"TAPI_ULV_GetGenericData failure\n\r"}, {"TAPI_ULV_GetGenericData failure\n"}, 1, true,
         [](const Bytes& raw) { EXPECT_EQ(Bytes(raw.begin() + 88, raw.end()), Bytes(24)); }},
        {"validity period", Call::ExpirePeriod, periodic, {}, {}, 1, true,
         [](const Bytes&) { EXPECT_EQ(fake::tapi.submissions[0][6496], 0); }},
        {"submission, periodic", Call::SendSms, periodic,
         {"TAPI_SMS_SendSmUnblockMode failure\n\r", "Some thing was sent, to begin periodic timer\n\r"},
         {"TAPI_SMS_SendSmUnblockMode failure, Seq 0\n", "Report send seq: 0\n"}, 1, true,
         [](const Bytes&) {
             ExpectTimer(ULV_TIMER_PERIODIC_ID, 900);
             EXPECT_EQ(ulvState.pendingReports, PENDING_PERIODIC);
         }},
        // The first of two new BP panics (marks 5 and 1 before) is refused: both marks return
        // to what the reader found, and every list is dropped until the next start.
        {"submission, first BP panic", Call::SendSms,
         [&] {
             ulvState.flexConfig.ulv_last_panic_timestamp = 5;
             ulvState.flexConfig.ulv_last_num_panics = 1;
             ulvState.reportHeader[REPORT_BP_TOTAL_COUNT_OFFSET] = 3;
             ULVReadBpPanics();
             SetQuela({0x30});
             crash();
         },
         {"TAPI_SMS_SendSmUnblockMode failure\n\r"},
         {"TAPI_SMS_SendSmUnblockMode failure, Seq 0\n", "Recd. failure for SMS Send\n"}, 1,
         false, [](const Bytes&) {
             EXPECT_EQ(ulvState.flexConfig.ulv_last_panic_timestamp, 5u);
             EXPECT_EQ(ulvState.flexConfig.ulv_last_num_panics, 1);
             EXPECT_TRUE(ulvState.bpPanicList == nullptr && ulvState.quelaPanicList == nullptr);
             ExpectTimer(ULV_TIMER_PERIODIC_ID, 900);
         }},
        {"submission, kernel panic", Call::SendSms,
         [&] {
             ulvState.kernelPanic = NewList({0x40}, 0x82000);
             ulvState.kernelRestoreTimestamp = 0x33;
             crash();
         },
         {"TAPI_SMS_SendSmUnblockMode failure\n\r"}, {"Recd. failure for SMS Send\n"}, 1, false,
         [](const Bytes&) {
             EXPECT_EQ(ulvState.flexConfig.ulv_last_ap_kernel_timestamp, 0x33u);
             EXPECT_EQ(ulvState.kernelPanic, nullptr);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Open();
        std::remove((root_ + "/zel_app/setup/ulv.cfg").c_str());
        std::remove((root_ + "/zel_user/download/appwrite/ulvPanicInfo").c_str());
        WriteFile(ulvtest::kLog1, ulvtest::Log({4, 9, 12}));
        std::memset(ulvState.reportHeader, 'x', REPORT_HEADER_SIZE);
        fake::tapi.callTime = 0x12345;
        row.prepare();
        fake::aplog.records.clear();
        fake::Fail(row.call, -1);
        if (ulvState.pendingReports == 0) ULVReadVersionInfo();
        else ULVSmsSend();
        EXPECT_TRUE(InOrder(fake::aplog.Texts(), row.logs));
        EXPECT_TRUE(InOrder(TraceMessages(), row.traces));
        EXPECT_EQ(fake::tapi.submissions.size(), size_t(row.sent));
        EXPECT_EQ(Exists("zel_app/setup/ulv.cfg"), row.saved);
        row.next(Raw());
    }
}

}  // namespace
