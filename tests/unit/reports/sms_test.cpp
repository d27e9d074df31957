// SMS submission, the send confirmation and the roll-back of a failed crash report.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "reports_fixture.h"

namespace {

using reportstest::Bytes;
using reportstest::LoadHost16;
using reportstest::Slice;

constexpr size_t kRecordSize = 6500;

// A 152-character report text (a 112-byte message), every character of the alphabet in turn.
std::string ReportText(size_t length = 152) {
    std::string text;
    for (size_t i = 0; i < length; ++i) text += ENCODE_ALPHABET[i % 64];
    return text;
}

class SmsTest : public reportstest::ReportsTest {
protected:
    void SetUp() override {
        ReportsTest::SetUp();
        std::strcpy(ulvState.serviceCentreAddress, "+4412345");
        std::strcpy(ulvState.emailGatewayAddress, "6245");
        ulvState.reportDelay = 5;
    }

    static void PrepareSms(const std::string& destination, uint32_t addressType,
                           const std::string& text) {
        OutgoingSms& sms = ulvState.outgoingSms;
        sms = OutgoingSms{};
        std::memcpy(sms.destination, destination.data(), destination.size());
        sms.addressType = addressType;
        std::memcpy(sms.text, text.data(), text.size());
        sms.textLength = static_cast<uint32_t>(text.size());
    }

    // The record the library would receive for `text` sent to `destination`: built field by
    // field; numbers in host order, as the library takes them.
    static Bytes ExpectedRecord(uint8_t protocolId, const std::string& destination,
                                const std::string& text) {
        Bytes record(kRecordSize, 0);
        record[0] = protocolId;
        std::memcpy(&record[2], "+4412345", 8);
        std::memcpy(&record[44], destination.data(), destination.size());
        const uint16_t count = static_cast<uint16_t>(text.size());
        std::memcpy(&record[92], &count, 2);
        for (size_t i = 0; i < text.size(); ++i) {
            const uint16_t unit = static_cast<unsigned char>(text[i]);
            std::memcpy(&record[94 + 2 * i], &unit, 2);
        }
        // The 0 unit after the text, the u32 at 88 and offsets 6497-6499 stay zero.
        record[6496] = 0xA7;  // the fake library's validity byte
        return record;
    }

    // The text of a captured record, read back unit by unit.
    static std::string RecordText(const Bytes& record) {
        const uint16_t count = LoadHost16(&record[92]);
        std::string text;
        for (uint16_t i = 0; i < count; ++i)
            text += static_cast<char>(LoadHost16(&record[94 + 2 * i]));
        return text;
    }

    static void Confirm(uint32_t sequence, uint32_t result, uint16_t length = 12) {
        uint8_t data[12] = {};
        std::memcpy(data, &sequence, 4);  // host order, as the telephony client delivers it
        std::memcpy(data + 8, &result, 4);
        ULVOnSendConfirmation(data, length);
    }
};

TEST_F(SmsTest, PhoneNumberSubmissionRecordHoldsEachFieldAndZerosElsewhere) {
    const std::string text = ReportText();
    PrepareSms("+15550100", 0, text);
    fake::tapi.nextSequence = 41;
    EXPECT_EQ(ULVSubmitSms(&ulvState.outgoingSms), 0);

    ASSERT_EQ(fake::tapi.submissions.size(), 1u);
    EXPECT_EQ(fake::tapi.submissions[0], ExpectedRecord(0, "+15550100", text));
    EXPECT_EQ(fake::tapi.expirePeriodSeen, 255u);
    EXPECT_EQ(ulvState.lastSentSequence, 41u);
    EXPECT_EQ(TraceMessages(), std::vector<std::string>{"Report send seq: 41\n"});
    EXPECT_EQ(std::string(ulvState.outgoingSms.text), text);  // sent unchanged
    EXPECT_TRUE(fake::aplog.Texts().empty());
}

TEST_F(SmsTest, EmailSubmissionGoesToTheGatewayWithAddressBlankAndAtMost160Characters) {
    const std::string report = ReportText();
    const struct {
        std::string address;
        size_t kept;  // report characters that fit behind "address "
    } cases[] = {
        {"reports@example.com", 140},  // 19 + 1 + 140 = 160
        {"ab@c.com", 151},             // one character too long for the whole text
        {"a@b.com", 152},              // 7 + 1 + 152 = 160: the longest address that keeps all
        {"x@y.z", 152},
    };
    for (const auto& c : cases) {
        fake::tapi.submissions.clear();
        PrepareSms(c.address, SMS_ADDRESS_TYPE_EMAIL, report);
        EXPECT_EQ(ULVSubmitSms(&ulvState.outgoingSms), 0) << c.address;

        const std::string smsText = c.address + " " + report.substr(0, c.kept);
        EXPECT_EQ(std::string(ulvState.outgoingSms.text), smsText) << c.address;
        EXPECT_EQ(ulvState.outgoingSms.textLength, 152u) << c.address;  // the encoder's count
        ASSERT_EQ(fake::tapi.submissions.size(), 1u) << c.address;
        EXPECT_EQ(fake::tapi.submissions[0], ExpectedRecord(0x32, "6245", smsText)) << c.address;
        EXPECT_EQ(RecordText(fake::tapi.submissions[0]).size(),
                  std::min<size_t>(c.address.size() + 1 + 152, 160))
            << c.address;
    }
}

TEST_F(SmsTest, PhoneNumberLongerThanTheDestinationFieldIsRefusedWithoutSubmitting) {
    const std::string fits(43, '7');  // 43 digits and the NUL fill the 44-byte field
    PrepareSms(fits, 0, ReportText());
    EXPECT_EQ(ULVSubmitSms(&ulvState.outgoingSms), 0);
    ASSERT_EQ(fake::tapi.submissions.size(), 1u);
    EXPECT_EQ(Slice(fake::tapi.submissions[0], 44, 44), reportstest::Padded(fits, 44));

    for (size_t length : {44u, 51u}) {
        fake::tapi.submissions.clear();
        fake::aplog.records.clear();
        const std::string number(length, '8');
        PrepareSms(number, 0, ReportText());
        ulvState.lastSentSequence = 17;
        EXPECT_EQ(ULVSubmitSms(&ulvState.outgoingSms), -1) << length;
        EXPECT_TRUE(fake::tapi.submissions.empty()) << length;
        EXPECT_EQ(ulvState.lastSentSequence, 17u);
        EXPECT_EQ(fake::aplog.Texts(),
                  std::vector<std::string>{"Destination address too long - " + number + "\n\r"});
        EXPECT_EQ(TraceCount("Destination address too long - " + number + "\n"), 1);
    }
}

TEST_F(SmsTest, RefusedSubmissionIsLoggedWithTheOldSequenceAndFails) {
    PrepareSms("+15550100", 0, ReportText());
    ulvState.lastSentSequence = 9;
    fake::tapi.submitResults = {3};
    EXPECT_EQ(ULVSubmitSms(&ulvState.outgoingSms), -1);
    EXPECT_EQ(fake::tapi.submissions.size(), 1u);
    EXPECT_EQ(fake::aplog.Texts(),
              std::vector<std::string>{"TAPI_SMS_SendSmUnblockMode failure\n\r"});
    EXPECT_EQ(TraceMessages(),
              (std::vector<std::string>{"TAPI_SMS_SendSmUnblockMode failure, Seq 9\n",
                                        "Report send seq: 9\n"}));
}

TEST_F(SmsTest, PeriodicTimerAfterASendRunsFifteenMinutesAndMarksThePeriodicReport) {
    ulvState.pendingReports = PENDING_CRASH;
    ULVStartPeriodicTimer();
    EXPECT_EQ(ulvState.pendingReports, PENDING_CRASH | PENDING_PERIODIC);
    EXPECT_TRUE(fake::aplog.Has("Some thing was sent, to begin periodic timer\n\r"));
    ExpectTimer(ULV_TIMER_PERIODIC_ID, 0, 15, 0);
}

TEST_F(SmsTest, ConfirmationOfAnotherSubmissionChangesNothingAndStartsNoTimer) {
    for (uint32_t result : {0u, 1u}) {
        SetBpPanics({10, 20}, /*withIndex=*/true, 2);
        ulvState.bpSentCount = 2;
        ulvState.lastSentSequence = 5;
        ulvState.pendingReports = 0;
        const int before = static_cast<int>(TraceMessages().size());
        Confirm(6, result);
        const std::vector<std::string> traces = TraceMessages();
        EXPECT_EQ(std::vector<std::string>(traces.begin() + before, traces.end()),
                  (std::vector<std::string>{
                      "INFO: MSGSend CNF Seq 6, Res " + std::to_string(result) + "\n",
                      "ERR: Diffent Recived CNF Seq 6, Sent Seq Num 5\n"}));
        EXPECT_TRUE(fake::rtc.requests.empty());
        EXPECT_NE(ulvState.bpPanicList, nullptr);
        EXPECT_EQ(ulvState.bpSentCount, 2);
        EXPECT_EQ(ulvState.pendingReports, 0u);
        EXPECT_FALSE(Exists("zel_app/setup/ulv.cfg"));
        ULVDeleteBpPanics();
    }
}

TEST_F(SmsTest, ConfirmationWithoutAResultFieldIsTracedAndIgnored) {
    SetBpPanics({10}, /*withIndex=*/false, 1);
    ulvState.bpSentCount = 1;
    ulvState.lastSentSequence = 5;
    ulvState.apcdPending = 1;
    for (uint16_t length : {11, 8, 0}) {
        const int before = static_cast<int>(TraceMessages().size());
        Confirm(5, 0, length);
        const std::vector<std::string> traces = TraceMessages();
        EXPECT_EQ(std::vector<std::string>(traces.begin() + before, traces.end()),
                  std::vector<std::string>{"ERR: CNF of " + std::to_string(length) +
                                           " bytes carries no result\n"});
    }
    EXPECT_TRUE(fake::rtc.requests.empty());
    EXPECT_NE(ulvState.bpPanicList, nullptr);
    EXPECT_EQ(ulvState.apcdPending, 1);
    EXPECT_FALSE(Exists("zel_app/setup/ulv.cfg"));
}

TEST_F(SmsTest, DeliveredCoreDumpReportDeletesItsFileAndStartsTheCoreDumpTimer) {
    WriteFile("zellocal/ulv_app_dump/core.7", "core");
    const std::string path = root_ + "/zellocal/ulv_app_dump/core.7";
    std::strcpy(ulvState.apcdReportedPath, path.c_str());
    ulvState.apcdPending = 1;
    ulvState.apcdFailures = 2;
    ulvState.lastSentSequence = 3;
    SetBpPanics({10}, /*withIndex=*/false, 1);  // a crash entry waiting does not matter here
    Confirm(3, 0);

    EXPECT_FALSE(Exists("zellocal/ulv_app_dump/core.7"));
    EXPECT_EQ(ulvState.apcdPending, 0);
    EXPECT_EQ(ulvState.apcdFailures, 0);
    ExpectTimer(ULV_TIMER_APCD_ID, 0, 0, 5);
    EXPECT_TRUE(fake::aplog.Has("Starting timer for remaining APCD"));
    EXPECT_EQ(TraceCount("Starting timer for remaining APCD \n"), 1);
    EXPECT_EQ(TraceCount("INFO: MSGSend CNF Seq 3, Res 0\n"), 1);
    // Nothing of the crash bookkeeping: no save, the list stays, no crash bit.
    EXPECT_FALSE(Exists("zel_app/setup/ulv.cfg"));
    EXPECT_NE(ulvState.bpPanicList, nullptr);
    EXPECT_EQ(ulvState.pendingReports & PENDING_CRASH, 0u);
}

TEST_F(SmsTest, DeliveredLastBpPanicWithQuelaWaitingSavesRearmsAndReleasesTheBpList) {
    SetBpPanics({0x100, 0x200}, /*withIndex=*/true, 2);
    ulvState.bpSentCount = 2;
    SetQuelaPanics({0x300}, /*withIndex=*/false);
    ulvState.flexConfig.ulv_last_panic_timestamp = 0x200;
    ulvState.lastSentSequence = 8;
    Confirm(8, 0);

    EXPECT_NE(ConfigFile().find("ulv_last_panic_timestamp = 200\n"), std::string::npos)
        << ConfigFile();
    ExpectTimer(ULV_TIMER_PANIC_ID, 0, 0, 5);
    EXPECT_TRUE(fake::aplog.Has("Starting timer for remaining panics"));
    EXPECT_EQ(ulvState.pendingReports & PENDING_CRASH, PENDING_CRASH);
    EXPECT_EQ(ulvState.bpPanicList, nullptr);
    EXPECT_EQ(ulvState.bpSortIndex, nullptr);
    EXPECT_NE(ulvState.quelaPanicList, nullptr);
    EXPECT_EQ(ulvState.quelaNewCount, 1);
}

TEST_F(SmsTest, DeliveredReportWithNothingLeftStartsTheCoreDumpTimer) {
    SetKernelPanic(0x400, 0x82000);
    ulvState.kernelPanicDone = 1;
    ulvState.lastSentSequence = 8;
    Confirm(8, 0);

    ExpectTimer(ULV_TIMER_APCD_ID, 0, 0, 5);
    EXPECT_FALSE(fake::aplog.Has("Starting timer for remaining panics"));
    EXPECT_EQ(ulvState.pendingReports & PENDING_CRASH, 0u);
    EXPECT_EQ(ulvState.kernelPanic, nullptr);
    EXPECT_TRUE(Exists("zel_app/setup/ulv.cfg"));
}

TEST_F(SmsTest, DeliveredReportReleasesOnlyTheFirstFinishedList) {
    SetBpPanics({0x100}, /*withIndex=*/false, 1);
    ulvState.bpSentCount = 1;
    SetQuelaPanics({0x300}, /*withIndex=*/false);
    ulvState.quelaSentCount = 1;
    ulvState.lastSentSequence = 8;
    Confirm(8, 0);

    ExpectTimer(ULV_TIMER_APCD_ID, 0, 0, 5);  // both finished: nothing remains
    EXPECT_EQ(ulvState.bpPanicList, nullptr);
    EXPECT_NE(ulvState.quelaPanicList, nullptr);  // released by the next confirmation
}

TEST_F(SmsTest, FailedCoreDumpReportIsCountedWithoutRollBack) {
    SetBpPanics({0x100, 0x200}, /*withIndex=*/false, 2);
    ulvState.bpSentCount = 1;
    ulvState.apcdPending = 1;
    ulvState.apcdFailures = 1;
    ulvState.lastSentSequence = 4;
    Confirm(4, 2);

    EXPECT_EQ(ulvState.apcdFailures, 2);
    EXPECT_EQ(ulvState.apcdPending, 0);
    EXPECT_NE(ulvState.bpPanicList, nullptr);
    EXPECT_EQ(TraceCount("Recd. failure for SMS Send\n"), 0);
    EXPECT_FALSE(Exists("zel_app/setup/ulv.cfg"));
    ExpectTimer(ULV_TIMER_PERIODIC_ID, 0, 15, 0);
    EXPECT_EQ(ulvState.pendingReports & PENDING_PERIODIC, PENDING_PERIODIC);
}

TEST_F(SmsTest, FailedReportRollsBackDropsTheListsSavesAndStartsThePeriodicTimer) {
    SetBpPanics({0x100, 0x200, 0x300}, /*withIndex=*/true, 5);
    ulvState.bpSentCount = 2;  // the second BP report failed
    SetQuelaPanics({0x900}, /*withIndex=*/false);
    ulvState.flexConfig.ulv_last_panic_timestamp = 0x200;
    ulvState.flexConfig.ulv_last_num_panics = 4;
    ulvState.lastSentSequence = 4;
    Confirm(4, 1);

    EXPECT_EQ(TraceCount("Recd. failure for SMS Send\n"), 1);
    EXPECT_EQ(ulvState.flexConfig.ulv_last_panic_timestamp, 0x100u);
    EXPECT_EQ(ulvState.flexConfig.ulv_last_num_panics, 3);  // 5 - 3 + 2 - 1
    EXPECT_EQ(ulvState.bpPanicList, nullptr);
    EXPECT_EQ(ulvState.quelaPanicList, nullptr);
    const std::string config = ConfigFile();
    EXPECT_NE(config.find("ulv_last_panic_timestamp = 100\n"), std::string::npos) << config;
    EXPECT_NE(config.find("ulv_last_num_panics = 3\n"), std::string::npos) << config;
    ExpectTimer(ULV_TIMER_PERIODIC_ID, 0, 15, 0);
    EXPECT_EQ(ulvState.pendingReports & PENDING_PERIODIC, PENDING_PERIODIC);
}

TEST_F(SmsTest, SendFailureRestoresTheMarkOfTheLastEntryKnownSent) {
    // BP panics with time stamps 300, 100, 200 in list order (sorted: 100, 200, 300); 5
    // records in the logs, 3 of them new; the mark was 0x50 before the first report.
    const struct {
        const char* name;
        uint8_t sent;
        bool withIndex;
        uint32_t timestamp;
        uint8_t lastNumPanics;
    } cases[] = {
        {"first failed", 1, true, 0x50, 2},
        {"third failed, sorted", 3, true, 200, 4},
        {"third failed, list order", 3, false, 100, 4},
        {"nothing sent", 0, true, 0x777, 1},  // the mark is left as it stands
    };
    for (const auto& c : cases) {
        SetBpPanics({300, 100, 200}, c.withIndex, 5);
        ulvState.bpSentCount = c.sent;
        ulvState.bpRestoreTimestamp = 0x50;
        ulvState.flexConfig.ulv_last_panic_timestamp = 0x777;
        ULVOnSendFailure();
        EXPECT_EQ(ulvState.flexConfig.ulv_last_panic_timestamp, c.timestamp) << c.name;
        EXPECT_EQ(ulvState.flexConfig.ulv_last_num_panics, c.lastNumPanics) << c.name;
        EXPECT_EQ(ulvState.bpPanicList, nullptr) << c.name;
        EXPECT_EQ(ulvState.bpSortIndex, nullptr) << c.name;
        EXPECT_EQ(ulvState.bpNewCount, 0) << c.name;
        EXPECT_EQ(ulvState.bpSentCount, 0) << c.name;
    }
    EXPECT_FALSE(Exists("zel_app/setup/ulv.cfg"));  // saved by the caller, not here
}

TEST_F(SmsTest, SendFailureRestoresOnlyTheFirstExistingListAndReleasesEverything) {
    SetBpPanics({300, 100}, /*withIndex=*/true, 2);
    ulvState.bpSentCount = 2;
    ulvState.bpRestoreTimestamp = 0x50;
    SetQuelaPanics({0x900, 0x800}, /*withIndex=*/true);
    ulvState.quelaSentCount = 1;
    ulvState.quelaRestoreTimestamp = 0x60;
    SetKernelPanic(0xA00, 0x82000);
    ulvState.kernelPanicDone = 1;
    ulvState.kernelRestoreTimestamp = 0x70;
    FlexConfig& config = ulvState.flexConfig;
    config.ulv_last_ap_quela_panic_timestamp = 0x800;
    config.ulv_last_ap_kernel_timestamp = 0xA00;
    ULVOnSendFailure();

    EXPECT_EQ(config.ulv_last_panic_timestamp, 100u);  // the first of the two sorted
    EXPECT_EQ(config.ulv_last_ap_quela_panic_timestamp, 0x800u);
    EXPECT_EQ(config.ulv_last_ap_kernel_timestamp, 0xA00u);
    EXPECT_EQ(ulvState.bpPanicList, nullptr);
    EXPECT_EQ(ulvState.quelaPanicList, nullptr);
    EXPECT_EQ(ulvState.quelaSortIndex, nullptr);
    EXPECT_EQ(ulvState.kernelPanic, nullptr);
    EXPECT_EQ(TraceCount("Recd. failure for SMS Send\n"), 1);
}

TEST_F(SmsTest, SendFailureOfAQuelaReportRestoresTheQuelaMark) {
    const struct {
        uint8_t sent;
        bool withIndex;
        uint32_t timestamp;
    } cases[] = {{1, true, 0x60}, {2, true, 0x800}, {2, false, 0x900}};
    for (const auto& c : cases) {
        SetQuelaPanics({0x900, 0x800, 0x850}, c.withIndex);
        ulvState.quelaSentCount = c.sent;
        ulvState.quelaRestoreTimestamp = 0x60;
        ulvState.flexConfig.ulv_last_ap_quela_panic_timestamp = 0x777;
        ulvState.flexConfig.ulv_last_panic_timestamp = 0x555;
        ULVOnSendFailure();
        EXPECT_EQ(ulvState.flexConfig.ulv_last_ap_quela_panic_timestamp, c.timestamp)
            << int{c.sent} << c.withIndex;
        EXPECT_EQ(ulvState.flexConfig.ulv_last_panic_timestamp, 0x555u);
        EXPECT_EQ(ulvState.quelaPanicList, nullptr);
    }
}

TEST_F(SmsTest, SendFailureOfTheKernelReportRestoresTheKernelMarkOnlyWhenItWasSent) {
    for (uint8_t done : {1, 0}) {
        SetKernelPanic(0xA00, 0x82000);
        ulvState.kernelPanicDone = done;
        ulvState.kernelRestoreTimestamp = 0x70;
        ulvState.flexConfig.ulv_last_ap_kernel_timestamp = 0xA00;
        ulvState.reportHeader[REPORT_BP_TOTAL_COUNT_OFFSET] = 0;
        ULVOnSendFailure();
        EXPECT_EQ(ulvState.flexConfig.ulv_last_ap_kernel_timestamp, done == 1 ? 0x70u : 0xA00u);
        EXPECT_EQ(ulvState.kernelPanic, nullptr);
        // No BP panic at all: 0 - 0 + 0 - 1 in 8 bits.
        EXPECT_EQ(ulvState.flexConfig.ulv_last_num_panics, 255);
    }
}

}  // namespace
