// Reports: the message bytes, the choice of report, the SMS, its confirmation, the roll-back,
// and each telephony call of the report path failing on its own.
#include "reports/reports.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <tuple>

#include "daemon_fixture.h"
#include "panic_log.h"
#include "panics/panics.h"
#include "scheduling/scheduling.h"
#include "state/daemon_state.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Texts = std::vector<std::string>;
using fake::Call;

class ReportsTest : public DaemonTest {
  protected:
    void SetUp() override {
        DaemonTest::SetUp();
        Open();
    }
    // A fresh process: host byte order detected, the radio gate open, delay 5.
    static void Open() {
        ResetProcessState();
        ULVDetectByteOrder();  // as initialisation does
        fake::aplog.records.clear();
        std::strcpy(ulvState.serviceCentreAddress, "+4412345");
        std::strcpy(ulvState.emailGatewayAddress, "6245");
        ulvState.reportDelay = 5;
        ulvState.inService = ulvState.timerExpired = ulvState.validPlmn = ulvState.sqState = 1;
    }
    // A calloc'd list (ids from `firstId`, data bytes 0, 1, 2, ...), with its ascending sort
    // index when `index` is given.
    static PanicRecord* NewList(const std::vector<uint32_t>& stamps, uint32_t firstId,
                                PanicSortEntry** index = nullptr) {
        const uint16_t n = static_cast<uint16_t>(stamps.size());
        auto* list = static_cast<PanicRecord*>(std::calloc(n, sizeof(PanicRecord)));
        for (uint16_t i = 0; i < n; ++i) {
            list[i].timestamp = stamps[i];
            list[i].id = firstId + i;
            for (uint8_t d = 0; d < PANIC_DATA_SIZE; ++d) list[i].data[d] = d;
        }
        if (index == nullptr) return list;
        *index = static_cast<PanicSortEntry*>(std::calloc(n, sizeof(PanicSortEntry)));
        for (uint16_t i = 0; i < n; ++i) (*index)[i] = {i, stamps[i]};
        std::sort(*index, *index + n, [](auto a, auto b) { return a.timestamp < b.timestamp; });
        return list;
    }
    // Each replaces the list of its kind (as the panic readers leave them), none sent yet.
    static void SetBp(const std::vector<uint32_t>& stamps, bool indexed, uint8_t total) {
        ULVDeleteBpPanics();
        ulvState.bpPanicList = NewList(stamps, 0x100, indexed ? &ulvState.bpSortIndex : nullptr);
        ulvState.bpNewCount = ulvState.bpLoadedCount = static_cast<uint8_t>(stamps.size());
        ulvState.reportHeader[REPORT_BP_TOTAL_COUNT_OFFSET] = total;
    }
    static void SetQuela(const std::vector<uint32_t>& stamps) {
        ULVDeleteQuelaPanics();
        ulvState.quelaPanicList = NewList(stamps, 0x200, &ulvState.quelaSortIndex);
        ulvState.quelaNewCount = ulvState.quelaLoadedCount = static_cast<uint8_t>(stamps.size());
    }
    static void Send(uint32_t pending) {
        ulvState.timerExpired = 1;
        ulvState.pendingReports = pending;
        ULVSmsSend();
    }
    static void Confirm(uint32_t sequence, uint32_t result, uint16_t length = 12) {
        uint8_t data[12] = {};
        std::memcpy(data, &sequence, 4);  // host order, as the telephony client delivers it
        std::memcpy(data + 8, &result, 4);
        ULVOnSendConfirmation(data, length);
    }
    static void ExpectTimer(uint8_t id, uint32_t seconds) {  // the last timer started
        const RtcSwTimer& t = ulvState.armedTimer;
        EXPECT_EQ(ulvState.currentTimerId, id);
        EXPECT_EQ(t.hours * 3600 + t.minutes * 60 + t.seconds, seconds);
    }
    static std::string Raw() {  // the last message, as logged before it was encoded
        const std::vector<fake::AplogRecord> raw = fake::aplog.Binary(0xA9A04);
        return raw.empty() ? "" : std::string(raw.back().bytes.begin(), raw.back().bytes.end());
    }
    bool Saved(const std::string& line) const {
        return ConfigFile().find(line + "\n") != std::string::npos;
    }
};

using ulvtest::Be32;
std::string Zeros(size_t count) {
    return std::string(count, '\0');
}

TEST_F(ReportsTest, WireOrderReversesTwoAndFourByteFieldsOnlyOnALowByteFirstHost) {
    const Bytes same{1, 2, 3, 4};
    const std::tuple<uint8_t, size_t, Bytes> cases[] = {{1, 4, {4, 3, 2, 1}}, {1, 2, {2, 1, 3, 4}},
                                                        {1, 3, same},         {1, 0, same},
                                                        {0, 4, same},         {0, 2, same}};
    for (const auto& [hostLittleEndian, size, wire] : cases) {
        ulvState.hostLittleEndian = hostLittleEndian;
        Bytes field = same;
        ULVToWireOrder(field.data(), size);
        EXPECT_EQ(field, wire) << int{hostLittleEndian} << " " << size;
        ULVToWireOrder(nullptr, size);  // ignored, not dereferenced
    }
}

TEST_F(ReportsTest, HeaderAndPeriodicBodyAreInWireOrderOnEitherHost) {
    ULVReadVersionInfo();                 // the fakes: "AP_R1", "BP.12.34"/"FLEX_7", "SN01234567"
    const uint16_t fingerprint = 0x2679;  // host order, as initialisation stores it
    std::memcpy(ulvState.reportHeader + REPORT_FINGERPRINT_OFFSET, &fingerprint, 2);
    ulvState.reportHeader[REPORT_BP_TOTAL_COUNT_OFFSET] = 3;
    ulvState.flexConfig.ulv_cummulative_uptime = 74000;
    ulvState.lastUptimeSample = 1000;
    fake::clock.uptime = 1565;  // 74565 s = 0x12345
    fake::tapi.callTime = 0x00012345;
    std::string generic;
    for (uint8_t i = 0; i < 24; ++i) generic += fake::tapi.generic[i] = 0xB0 + i;
    Send(PENDING_PERIODIC);
    // Periodic, format 2; the labels; BP version code; zero, 3 BP records; uptime 74565000 ms;
    // the fingerprint; the serial number; the call time; five zero numbers; the generic data.
    EXPECT_EQ(Raw(), "\2\2AP_R1" + Zeros(15) + "FLEX_7" + Zeros(14) + "1234" + Zeros(1) + "\3" +
                         Be32(74565000) + "\x26\x79" + "SN01234567" + Be32(0x12345) + Zeros(20) +
                         generic);
    EXPECT_TRUE(Saved("ulv_last_preiodic_report_timestamp = 12345")) << ConfigFile();
    EXPECT_TRUE(InOrder(fake::aplog.Texts(),
                        {"PERIODIC report\n\r", "Periodic Report Body Before Converted:\n\r",
                         "Periodic Report Body After Converted:\n\r"}));
    EXPECT_TRUE(InOrder(TraceMessages(),
                        {"PERIODIC report is ready to send\n", "Sending ULV periodic report\n"}));

    fake::tapi.SetBpVersion("x.12.3", "FLEX_7");  // rejected: the code stays
    ULVReadVersionInfo();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ulvState.reportHeader) + 42, 4), "1234");
    EXPECT_EQ(TraceCount("Invalid version number\n\n"), 1);

    uint8_t header[REPORT_HEADER_SIZE];
    ulvState.flexConfig.ulv_cummulative_uptime = 4294968;  // 4294968000 ms: low 32 bits 704
    fake::clock.uptime = 1000;                             // none since the last sample
    ULVFinishHeader(header);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(header) + 48, 4), Be32(704));
}

std::string NextBody() {
    uint8_t length = 0, body[CRASH_BODY_SIZE] = {};
    ULVBuildCrashBody(&length, body);
    EXPECT_EQ(length, CRASH_BODY_SIZE);
    return std::string(reinterpret_cast<char*>(body), CRASH_BODY_SIZE);
}

TEST_F(ReportsTest, CrashEntriesGoBpOldestFirstThenQuelaThenKernelWithTheirCountMarks) {
    SetBp({300, 100, 200}, true, 5);  // 5 records in the logs, 3 of them new
    SetQuela({0x30, 0x10, 0x20});
    ulvState.kernelPanic = NewList({0x11223344}, 2);
    fake::tapi.callTime = 0x12345;  // its high half is a 16-bit field of its own
    // The call time and time stamp sent, then the BP and QUELA count marks.
    const std::tuple<uint32_t, uint8_t, uint32_t> steps[]{{100, 3, 0},  {200, 4, 0},  {300, 5, 0},
                                                          {0x10, 5, 4}, {0x20, 5, 3}, {0x30, 5, 2}};
    for (const auto& [stamp, bpCount, quelaCount] : steps) {
        EXPECT_EQ(NextBody().substr(0, 8), Be32(0x12345) + Be32(stamp));
        EXPECT_EQ(ulvState.flexConfig.ulv_last_num_panics, bpCount);
        EXPECT_EQ(ulvState.flexConfig.ulv_last_ap_quela_num_panics, quelaCount);
    }
    fake::tapi.callTime = 7;
    std::string data;  // call time 7, time stamp 0x11223344, id 2, then the data as it is
    for (uint8_t d = 0; d < PANIC_DATA_SIZE; ++d) data += static_cast<char>(d);
    EXPECT_EQ(NextBody(), Be32(7) + Be32(0x11223344) + Be32(2) + data);
    EXPECT_EQ(ulvState.kernelPanic->timestamp, 0x11223344u);  // the record stays in host order
    EXPECT_EQ(ulvState.kernelPanicDone, 1);
}

// The text, after checking that only it and its NUL were written.
std::string Encode(const std::string& in) {
    std::string out(300, '#');
    const auto* bytes = reinterpret_cast<const uint8_t*>(in.data());
    const uint8_t n = ULVEncodeText(out.data(), bytes, static_cast<uint8_t>(in.size()));
    EXPECT_EQ(out.substr(n), Zeros(1) + std::string(299 - n, '#'));
    return out.substr(0, n);
}

TEST(EncodeTest, EncodesBase64WithDashForSixtyThreeAndRefusesOver189Bytes) {
    const std::pair<std::string, std::string> golden[] = {{"abc", "YWJj"},
                                                          {"\xFF\xFF\xFF", "----"},
                                                          {"\xFB\xFF", "+-8="},
                                                          {Zeros(1), "AA=="},
                                                          {"", ""}};
    for (const auto& [in, text] : golden) EXPECT_EQ(Encode(in), text);
    const size_t lengths[][2] = {{112, 152}, {104, 140}, {64, 88}, {189, 252}, {190, 0}};
    for (const auto& l : lengths) EXPECT_EQ(Encode(std::string(l[0], '\xA5')).size(), l[1]) << l[0];
}

TEST_F(ReportsTest, ClosedGateOnlyTracesTheFourFlags) {
    const uint8_t flags[][4] = {
        {0, 1, 1, 1}, {1, 0, 1, 1}, {1, 1, 0, 1}, {1, 1, 1, 0}, {0, 2, 3, 4}};
    const uint32_t all = PENDING_CRASH | PENDING_SW_CHANGE | PENDING_PERIODIC;
    for (const auto& f : flags) {
        ulvState.inService = f[0];
        ulvState.timerExpired = f[1];
        ulvState.validPlmn = f[2];
        ulvState.sqState = f[3];
        ulvState.pendingReports = all;
        ULVSmsSend();
        EXPECT_EQ(ulvState.pendingReports, all);
        EXPECT_EQ(ulvState.timerExpired, f[1]);
    }
    ASSERT_EQ(TraceMessages().size(), 5u);
    EXPECT_EQ(TraceMessages()[4],
              "In SmsSend; insevice = 0, timer expired = 2, valid plmn= 3, sqstate = 4\n\n");
    EXPECT_TRUE(fake::aplog.records.empty());  // no report, no timer
}

TEST_F(ReportsTest, RefusedSoftwareChangeStillSavesTheNewBuildThenTheHeaderGoesAlone) {
    // Stored build "AP_R0"/"FLEX_6", current "AP_R2"/"FLEX_8"; the library refuses everything.
    std::memcpy(ulvState.flexConfig.ulv_lst_bldinfo_baselabel, "AP_R0", 5);
    std::memcpy(ulvState.flexConfig.ulv_last_flex_version, "FLEX_6", 6);
    fake::tapi.SetApVersion("AP_R2");
    fake::tapi.SetBpVersion("BP.12.34", "FLEX_8");
    ULVReadVersionInfo();
    fake::Fail(Call::SendSms, -1);

    Send(PENDING_SW_CHANGE | PENDING_CRASH | PENDING_PERIODIC);  // still saves the new build
    EXPECT_TRUE(InOrder(fake::aplog.Texts(), {"in-service & timer expired & valid plmn\n\r",
                                              "SW_Flex Change Report Body:\n\r"}));
    EXPECT_EQ(TraceCount("SW_FLEX report is ready to send\n"), 1);
    ASSERT_EQ(Raw().size(), 104u);
    EXPECT_EQ(Raw()[0], REPORT_TYPE_SW_CHANGE);
    EXPECT_EQ(Raw().substr(64), "AP_R0" + Zeros(15) + "FLEX_6" + Zeros(14));  // the stored build
    EXPECT_EQ(ulvState.pendingReports, PENDING_CRASH | PENDING_PERIODIC);
    EXPECT_TRUE(Saved("ulv_lst_bldinfo_baselabel = AP_R2")) << ConfigFile();

    Send(PENDING_CRASH);  // no entry: the 64-byte header alone
    EXPECT_EQ(ulvState.outgoingSms.textLength, 88u);
}

TEST_F(ReportsTest, SubmissionRecordInPhoneAndEmailModeAndItsRefusals) {
    std::string report;  // a 152-character text, as a 112-byte message gives
    for (size_t i = 0; i < 152; ++i) report += ENCODE_ALPHABET[i % 64];
    // Destination, address type, the library's answer; the destination and text submitted.
    const std::string s43(43, '7');
    const std::tuple<std::string, uint32_t, int, std::string, std::string> cases[] = {
        {"+15550100", 0, 0, "+15550100", report},
        {"reports@example.com", 1, 0, "6245", "reports@example.com " + report.substr(0, 140)},
        {"a@b.com", 1, 0, "6245", "a@b.com " + report},  // 160 characters: nothing cut
        {s43, 0, 0, s43, report},
        {s43 + "7", 0, 0, "", ""},                 // does not fit the field: not submitted
        {"+15550100", 0, 3, "+15550100", report},  // the library refuses it
    };
    for (const auto& [address, type, library, sentTo, text] : cases) {
        fake::tapi.submissions.clear();
        fake::Fail(Call::SendSms, library, library != 0 ? -1 : 0);
        OutgoingSms& sms = ulvState.outgoingSms;
        std::strcpy(sms.destination, address.c_str());
        std::strcpy(sms.text, report.c_str());
        sms.addressType = type;
        EXPECT_EQ(ULVSubmitSms(&sms), library == 0 && !sentTo.empty() ? 0 : -1);
        Bytes record(6500, 0);
        record[0] = type == 1 ? 0x32 : 0;  // protocol identifier: Internet e-mail
        std::memcpy(&record[2], "+4412345", 8);
        std::memcpy(&record[44], sentTo.data(), sentTo.size());
        std::vector<uint16_t> units(text.begin(), text.end());            // host order
        units.insert(units.begin(), static_cast<uint16_t>(text.size()));  // the count first
        std::memcpy(&record[92], units.data(), 2 * units.size());
        record[6496] = 0xA7;  // the fake library's validity byte for the period 255
        EXPECT_EQ(fake::tapi.submissions, std::vector<Bytes>(sentTo.empty() ? 0 : 1, record))
            << address;
    }
    EXPECT_EQ(fake::tapi.expirePeriodSeen, 255u);
}

TEST_F(ReportsTest, ConfirmationStartsTheNextTimerAndReleasesAFinishedList) {
    // Submission 8: a crash (or core dump) report, every BP entry sent; no timer runs at first.
    // The confirmation's sequence and length, a core dump's, in flight, QUELA entries left;
    // whether it is acted on, the timer started, the reports pending.
    const std::tuple<uint32_t, uint16_t, uint8_t, uint8_t, bool, bool, uint8_t, uint32_t> cases[] =
        {{9, 12, 0, 1, true, false, 0, 0},                 // another submission's: ignored
         {8, 11, 0, 1, true, false, 0, 0},                 // no result field: ignored
         {8, 12, 0, 0, true, false, 0, 0},                 // nothing in flight: ignored
         {8, 12, 1, 1, true, true, ULV_TIMER_APCD_ID, 0},  // deletes the file only
         {8, 12, 0, 1, true, true, ULV_TIMER_PANIC_ID, PENDING_CRASH},
         {8, 12, 0, 1, false, true, ULV_TIMER_APCD_ID, 0}};
    std::strcpy(ulvState.apcdReportedPath, "/zellocal/ulv_app_dump/core.7");  // as kept
    for (const auto& [sequence, length, coreDump, inFlight, quelaLeft, acted, timer, pending] :
         cases) {
        WriteFile("zellocal/ulv_app_dump/core.7", "core");
        std::remove((root_ + "/zel_app/setup/ulv.cfg").c_str());
        SetBp({0x100, 0x200}, true, 2);
        ulvState.bpSentCount = 2;
        if (quelaLeft)
            SetQuela({0x300});
        else
            ULVDeleteQuelaPanics();
        ulvState.apcdPending = coreDump;
        ulvState.apcdFailures = 2;
        ulvState.pendingReports = 0;
        ulvState.lastSentSequence = 8;
        ulvState.smsInFlight = inFlight;
        Confirm(sequence, 0, length);
        EXPECT_EQ(ulvState.smsInFlight, inFlight && !acted);  // answered once
        ExpectTimer(timer, acted ? 5 : 0);
        EXPECT_EQ(ulvState.pendingReports, pending);
        EXPECT_EQ(Exists("zellocal/ulv_app_dump/core.7"), !acted || coreDump == 0);
        EXPECT_EQ(Exists("zel_app/setup/ulv.cfg"), acted && coreDump == 0);
        EXPECT_EQ(ulvState.bpPanicList != nullptr, !acted || coreDump == 1);
        EXPECT_EQ(ulvState.apcdFailures, acted && coreDump == 1 ? 0 : 2);  // success resets
    }
    EXPECT_EQ(TraceCount("INFO: MSGSend CNF Seq 8, Res 0\n"), 4);
    EXPECT_EQ(TraceCount("INFO: MSGSend CNF Seq 9, Res 0\n"), 1);
    EXPECT_EQ(TraceCount("ERR: CNF Seq 8 with no report in flight\n"), 1);
}

TEST_F(ReportsTest, FailedConfirmationRollsBackToTheEntrySentBeforeSavesAndStartsPeriodicTimer) {
    // BP panics 300, 100, 200 in list order; 0x50 was the mark before the first was sent.
    // Entries sent, sorted; the mark after, as saved.
    const std::tuple<uint8_t, bool, uint32_t, const char*> cases[] = {
        {1, true, 0x50, "ulv_last_panic_timestamp = 50"},
        {3, true, 200, "ulv_last_panic_timestamp = c8"},
        {3, false, 100, "ulv_last_panic_timestamp = 64"}};
    for (const auto& [sent, indexed, mark, saved] : cases) {
        SetBp({300, 100, 200}, indexed, 5);
        ulvState.bpSentCount = sent;
        ulvState.bpRestoreTimestamp = 0x50;
        ulvState.currentTimerId = 0;
        ulvState.lastSentSequence = 4;
        ulvState.smsInFlight = 1;
        Confirm(4, 1);
        EXPECT_EQ(ulvState.flexConfig.ulv_last_panic_timestamp, mark) << int{sent};
        EXPECT_TRUE(Saved(saved)) << ConfigFile();
        EXPECT_EQ(ulvState.bpPanicList, nullptr);
        ExpectTimer(ULV_TIMER_PERIODIC_ID, 900);
    }
}

// Once every BP entry is confirmed, the list goes with its counters: a later failed
// confirmation (here of the periodic report) counts no BP entry as sent.
TEST_F(ReportsTest, FailureAfterTheBpListIsDoneCountsFromTheTotalAlone) {
    SetBp({0x10, 0x20}, true, 4);
    ulvState.pendingReports = PENDING_CRASH | PENDING_PERIODIC;
    for (uint32_t result : {0, 0, 1}) {
        Send(ulvState.pendingReports);
        Confirm(ulvState.lastSentSequence, result);
    }
    EXPECT_EQ(Raw().size(), 64u + PERIODIC_BODY_SIZE);
    EXPECT_EQ(ulvState.flexConfig.ulv_last_num_panics, 3);  // 4 - 0 new + 0 sent - 1
    EXPECT_TRUE(fake::aplog.Has("Starting timer for remaining panics"));
}

// A record whose data is cut short is counted but never loaded: it is not sent, and the
// reported-panics marks do not count it as sent (the BP mark counts up from the old records,
// the QUELA mark down from the new ones, both with the counted figure).
TEST_F(ReportsTest, RecordsCountedButNeverLoadedAreNeitherSentNorCountedAsSent) {
    using ulvtest::Encode;
    const std::string cut = Encode(4, 30, std::string(36, 'd')).substr(0, 50);
    WriteFile(ulvtest::kLog1, Encode(1, 1) + Encode(2, 20) + Encode(3, 10) + cut);
    const std::string quelaCut = Encode(9, 9, "dd", {}, {}, 0, 0xB5C7, ulvtest::kQuela);
    WriteFile(ulvtest::kQuela.files[0],
              Encode(8, 7, "", {}, {}, 0, 0xB5C7, ulvtest::kQuela) + quelaCut.substr(0, 72));
    ulvState.flexConfig.ulv_last_panic_timestamp = 5;
    ULVReadBpPanics();
    ULVReadQuelaPanics();
    ASSERT_EQ(ulvState.bpNewCount, 3);  // 20, 10 and the cut 30 of 4 records
    ASSERT_EQ(ulvState.quelaNewCount, 2);
    // Time stamp sent, then the BP and QUELA count marks after it.
    const std::tuple<uint32_t, uint8_t, uint32_t> sent[] = {{10, 2, 0}, {20, 3, 0}, {7, 3, 3}};
    for (const auto& [stamp, bpMark, quelaMark] : sent) {
        Send(PENDING_CRASH);
        ASSERT_EQ(Raw().size(), 112u);
        EXPECT_EQ(Raw().substr(64 + 4, 4), Be32(stamp));  // in wire order
        EXPECT_EQ(ulvState.flexConfig.ulv_last_num_panics, bpMark);
        EXPECT_EQ(ulvState.flexConfig.ulv_last_ap_quela_num_panics, quelaMark);
        Confirm(ulvState.lastSentSequence, 0);
    }
    // Nothing remains: the core dump timer runs, and every list has been released.
    ExpectTimer(ULV_TIMER_APCD_ID, 5);
    EXPECT_EQ(ulvState.pendingReports & PENDING_CRASH, 0u);
    EXPECT_TRUE(ulvState.bpPanicList == nullptr && ulvState.quelaPanicList == nullptr);
}

// Each telephony call of the report path failing on its own: what is logged and traced, what
// goes out, what is saved and what runs next.
TEST_F(ReportsTest, EachFailingCallIsLoggedAndTheReportStillGoesOutOrIsRolledBack) {
    auto crash = [] { ulvState.pendingReports = PENDING_CRASH; };
    auto periodic = [] { ulvState.pendingReports = PENDING_PERIODIC; };
    auto kernel = [&] {
        ulvState.kernelPanic = NewList({0x40}, 0x82000);
        ulvState.kernelRestoreTimestamp = 0x33;
        crash();
    };
    const Texts callTime = {"TAPI_ULV_GetCallTime failure\n\r", "Get the Call Time Failed\n\r"};
    const std::string sendFailed = "TAPI_SMS_SendSmUnblockMode failure\n\r";
    struct Row {
        const char* name;
        Call call;
        std::function<void()> prepare;  // then the report is sent (when something is pending)
        Texts logs, traces;
        int sent;           // submissions
        bool saved;         // the configuration file written
        size_t from, size;  // left as they were in the header ('x'), or zero in the message
        std::function<void()> next = [] {};
    };
    const Row rows[] = {
        Row(
            "AP version", Call::ApVersion, [] {}, {"TAPI_ACCE_GetApVersionInfo Failure!"},
            {"TAPI_ACCE_GetApVersionInfo Failure!\n"}, 0, false, REPORT_AP_BUILD_LABEL_OFFSET,
            REPORT_LABEL_SIZE),
        Row(
            "BP version", Call::BpVersion, [] {}, {"TAPI_ACCE_GetBpVersionInfo Failure!\n\r"},
            {"TAPI_ACCE_GetBpVersionInfo Failure!\n"}, 0, false, REPORT_FLEX_VERSION_OFFSET,
            REPORT_LABEL_SIZE + 4),
        Row(
            "serial number", Call::SerialNo, [] {}, {"TAPI_ACCE_GetFactorySerialNo Failure!\n\r"},
            {"TAPI_ACCE_GetFactorySerialNo Failure!\n"}, 0, false, REPORT_SERIAL_OFFSET,
            REPORT_SERIAL_SIZE),
        Row(
            "call time, BP panic", Call::CallTime,
            [&] {
                SetBp({0x10}, true, 1);
                crash();
            },
            callTime,
            {"TAPI_ULV_GetCallTime failure\n", "Get the Call Time Failed\n",
             "BP panic report is ready to send\n"},
            1, false, 64, 4),
        Row(
            "call time, QUELA panic", Call::CallTime,
            [&] {
                SetQuela({0x10});
                crash();
            },
            callTime,
            {"TAPI_ULV_GetCallTime failure\n", "Get the Call Time Failed\n",
             "QUELA panic report is ready to send\n"},
            1, false, 64, 0),
        Row("call time, kernel panic", Call::CallTime, kernel, callTime,
            {"TAPI_ULV_GetCallTime failure\n", "Kernel Panic report is ready to send\n"}, 1, false,
            64, 0, [&] { EXPECT_EQ(TraceCount("Get the Call Time Failed\n"), 0); }),
        Row("call time, periodic", Call::CallTime, periodic, {"TAPI_ULV_GetCallTime failure\n\r"},
            {"TAPI_ULV_GetCallTime failure\n", "Sending ULV periodic report\n"}, 1, true, 64, 4),
        Row(
            "generic data", Call::GenericData,
            [&] {
                fake::tapi.generic.fill(0xEE);
                periodic();
            },
            {"TAPI_ULV_GetGenericData failure\n\r"}, {"TAPI_ULV_GetGenericData failure\n"}, 1, true,
            88, 24),
        Row("validity period", Call::ExpirePeriod, periodic, {}, {}, 1, true, 0, 0,
            [] { EXPECT_EQ(fake::tapi.submissions[0][6496], 0); }),
        Row("submission, periodic", Call::SendSms, periodic,
            {sendFailed, "Some thing was sent, to begin periodic timer\n\r"},
            {"TAPI_SMS_SendSmUnblockMode failure, Seq 0\n", "Report send seq: 0\n"}, 1, true, 0, 0,
            [] {
                ExpectTimer(ULV_TIMER_PERIODIC_ID, 900);
                EXPECT_EQ(ulvState.pendingReports, PENDING_PERIODIC);
            }),
        // The first of two new BP panics (marks 5 and 1 before) is refused: both marks return
        // to what the reader found, and every list, the kernel's too, is dropped until the next
        // start.
        Row(
            "submission, first BP panic", Call::SendSms,
            [&] {
                ulvState.flexConfig.ulv_last_panic_timestamp = 5;
                ulvState.flexConfig.ulv_last_num_panics = 1;
                ulvState.reportHeader[REPORT_BP_TOTAL_COUNT_OFFSET] = 3;
                ULVReadBpPanics();
                SetQuela({0x30});
                kernel();
            },
            {sendFailed},
            {"TAPI_SMS_SendSmUnblockMode failure, Seq 0\n", "Recd. failure for SMS Send\n",
             "Deleting 2 BP panics\n", "Deleting 1 QUELA panics\n"},
            1, false, 0, 0,
            [] {
                EXPECT_EQ(ulvState.flexConfig.ulv_last_panic_timestamp, 5u);
                EXPECT_EQ(ulvState.flexConfig.ulv_last_num_panics, 1);
                EXPECT_TRUE(!ulvState.bpPanicList && !ulvState.quelaPanicList &&
                            !ulvState.kernelPanic);
                ExpectTimer(ULV_TIMER_PERIODIC_ID, 900);
                EXPECT_EQ(Raw().size(), 112u);
                EXPECT_EQ(Raw()[0], REPORT_TYPE_CRASH);
            }),
        Row("submission, kernel panic", Call::SendSms, kernel, {sendFailed},
            {"Recd. failure for SMS Send\n"}, 1, false, 0, 0,
            [] {
                EXPECT_EQ(ulvState.flexConfig.ulv_last_ap_kernel_timestamp, 0x33u);
                EXPECT_EQ(ulvState.kernelPanic, nullptr);
            }),
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
        const bool versions = ulvState.pendingReports == 0;
        if (versions)
            ULVReadVersionInfo();
        else
            ULVSmsSend();
        EXPECT_TRUE(InOrder(fake::aplog.Texts(), row.logs));
        EXPECT_TRUE(InOrder(TraceMessages(), row.traces));
        EXPECT_EQ(fake::tapi.submissions.size(), size_t(row.sent));
        EXPECT_EQ(Exists("zel_app/setup/ulv.cfg"), row.saved);
        const std::string part =
            versions
                ? std::string(reinterpret_cast<char*>(ulvState.reportHeader) + row.from, row.size)
                : Raw().substr(row.from, row.size);
        EXPECT_EQ(part, std::string(row.size, versions ? 'x' : '\0'));
        row.next();
    }
}

}  // namespace
