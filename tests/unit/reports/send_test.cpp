// Sending: the gate, the choice of report, the SMS, its confirmation and the roll-back.
#include <cstdio>

#include "panic_log.h"
#include "reports_fixture.h"

namespace {

TEST_F(ReportsTest, ClosedGateOnlyTracesTheFourFlags) {
    const uint8_t flags[][4] = {{0, 1, 1, 1}, {1, 0, 1, 1}, {1, 1, 0, 1}, {1, 1, 1, 0},
                                {0, 2, 3, 4}};
    for (const auto& f : flags) {
        ulvState.inService = f[0], ulvState.timerExpired = f[1];
        ulvState.validPlmn = f[2], ulvState.sqState = f[3];
        ulvState.pendingReports = PENDING_CRASH | PENDING_SW_CHANGE | PENDING_PERIODIC;
        ULVSmsSend();
        EXPECT_EQ(ulvState.pendingReports, PENDING_CRASH | PENDING_SW_CHANGE | PENDING_PERIODIC);
        EXPECT_EQ(ulvState.timerExpired, f[1]);
    }
    ASSERT_EQ(TraceMessages().size(), 5u);
    EXPECT_EQ(TraceMessages()[4],
              "In SmsSend; insevice = 0, timer expired = 2, valid plmn= 3, sqstate = 4\n\n");
    EXPECT_TRUE(fake::aplog.records.empty());  // no report, no timer
}

TEST_F(ReportsTest, SoftwareChangeThenCrashThenHeaderAloneEachRefused) {
    // Stored build "AP_R0"/"FLEX_6", current "AP_R2"/"FLEX_8"; the library refuses everything.
    std::memcpy(ulvState.flexConfig.ulv_lst_bldinfo_baselabel, "AP_R0", 5);
    std::memcpy(ulvState.flexConfig.ulv_last_flex_version, "FLEX_6", 6);
    fake::tapi.SetApVersion("AP_R2");
    fake::tapi.SetBpVersion("BP.12.34", "FLEX_8");
    ULVReadVersionInfo();
    SetBp({0x10, 0x20}, true, 2);
    ulvState.bpRestoreTimestamp = 0x5;
    SetQuela({0x30});
    ulvState.kernelPanic = NewList({0x40}, 0x82000);
    ulvState.pendingReports = PENDING_SW_CHANGE | PENDING_CRASH | PENDING_PERIODIC;
    fake::Fail(fake::Call::SendSms, -1);

    ULVSmsSend();  // a refused software change still saves the new build
    EXPECT_TRUE(InOrder(fake::aplog.Texts(), {"in-service & timer expired & valid plmn\n\r",
                                              "SW_Flex Change Report Body:\n\r"}));
    EXPECT_EQ(TraceCount("SW_FLEX report is ready to send\n"), 1);
    Bytes raw = Raw();
    ASSERT_EQ(raw.size(), 104u);
    EXPECT_EQ(raw[0], REPORT_TYPE_SW_CHANGE);
    EXPECT_EQ(std::string(raw.begin() + 64, raw.end()),  // the stored build, 20 bytes each
              "AP_R0" + std::string(15, '\0') + "FLEX_6" + std::string(14, '\0'));
    EXPECT_EQ(ulvState.pendingReports, PENDING_CRASH | PENDING_PERIODIC);
    EXPECT_TRUE(Saved("ulv_lst_bldinfo_baselabel = AP_R2")) << ConfigFile();

    ulvState.timerExpired = 1, ulvState.currentTimerId = 0;
    ulvState.pendingReports = PENDING_CRASH;
    ULVSmsSend();  // a refused crash report drops every entry
    raw = Raw();
    ASSERT_EQ(raw.size(), 112u);
    EXPECT_EQ(raw[0], REPORT_TYPE_CRASH);
    EXPECT_EQ(ulvState.flexConfig.ulv_last_panic_timestamp, 0x5u);  // rolled back
    EXPECT_TRUE(!ulvState.bpPanicList && !ulvState.quelaPanicList && !ulvState.kernelPanic);
    ExpectTimer(ULV_TIMER_PERIODIC_ID, 900);

    ulvState.timerExpired = 1;
    ulvState.pendingReports = PENDING_CRASH;
    ULVSmsSend();  // no entry left: the 64-byte header alone
    EXPECT_EQ(ulvState.outgoingSms.textLength, 88u);
}

TEST_F(ReportsTest, SubmissionRecordInPhoneAndEmailModeAndItsRefusals) {
    std::string report;  // a 152-character text, as a 112-byte message gives
    for (size_t i = 0; i < 152; ++i) report += ENCODE_ALPHABET[i % 64];
    struct Case { std::string address; uint32_t type; int library; std::string sentTo, text; };
    const Case cases[] = {
        {"+15550100", 0, 0, "+15550100", report},
        {"reports@example.com", 1, 0, "6245", "reports@example.com " + report.substr(0, 140)},
        {"a@b.com", 1, 0, "6245", "a@b.com " + report},  // 160 characters: nothing cut
        {std::string(43, '7'), 0, 0, std::string(43, '7'), report},
        {std::string(44, '7'), 0, 0, "", ""},     // does not fit the field: not submitted
        {"+15550100", 0, 3, "+15550100", report},  // the library refuses it
    };
    for (const Case& c : cases) {
        fake::tapi.submissions.clear();
        fake::Fail(fake::Call::SendSms, c.library, c.library != 0 ? -1 : 0);
        OutgoingSms& sms = ulvState.outgoingSms;
        std::strcpy(sms.destination, c.address.c_str());
        std::strcpy(sms.text, report.c_str());
        sms.addressType = c.type;
        EXPECT_EQ(ULVSubmitSms(&sms), c.library == 0 && !c.sentTo.empty() ? 0 : -1);
        Bytes record(6500, 0);
        record[0] = c.type == 1 ? 0x32 : 0;  // protocol identifier: Internet e-mail
        std::memcpy(&record[2], "+4412345", 8);
        std::memcpy(&record[44], c.sentTo.data(), c.sentTo.size());
        std::vector<uint16_t> units(c.text.begin(), c.text.end());  // host order
        units.insert(units.begin(), static_cast<uint16_t>(c.text.size()));  // the count first
        std::memcpy(&record[92], units.data(), 2 * units.size());
        record[6496] = 0xA7;  // the fake library's validity byte for the period 255
        EXPECT_EQ(fake::tapi.submissions, std::vector<Bytes>(c.sentTo.empty() ? 0 : 1, record))
            << c.address;
    }
    EXPECT_EQ(fake::tapi.expirePeriodSeen, 255u);
}

void Confirm(uint32_t sequence, uint32_t result, uint16_t length = 12) {
    uint8_t data[12] = {};
    std::memcpy(data, &sequence, 4);  // host order, as the telephony client delivers it
    std::memcpy(data + 8, &result, 4);
    ULVOnSendConfirmation(data, length);
}

TEST_F(ReportsTest, ConfirmationStartsTheNextTimerAndReleasesAFinishedList) {
    // Submission 8: a crash (or core dump) report, every BP entry sent; no timer runs at first.
    struct Case { uint32_t sequence; uint16_t length; uint8_t coreDump; bool quelaLeft, acted;
                  uint8_t timer; uint32_t pending; uint8_t inFlight = 1; };
    const Case cases[] = {{9, 12, 0, true, false, 0, 0},  // another submission's: ignored
                          {8, 11, 0, true, false, 0, 0},  // no result field: ignored
                          {8, 12, 0, true, false, 0, 0, 0},  // nothing in flight: ignored
                          {8, 12, 1, true, true, ULV_TIMER_APCD_ID, 0},  // deletes the file only
                          {8, 12, 0, true, true, ULV_TIMER_PANIC_ID, PENDING_CRASH},
                          {8, 12, 0, false, true, ULV_TIMER_APCD_ID, 0}};
    std::strcpy(ulvState.apcdReportedPath, "/zellocal/ulv_app_dump/core.7");  // as the daemon keeps it
    for (const Case& c : cases) {
        WriteFile("zellocal/ulv_app_dump/core.7", "core");
        std::remove((root_ + "/zel_app/setup/ulv.cfg").c_str());
        SetBp({0x100, 0x200}, true, 2);
        ulvState.bpSentCount = 2;
        c.quelaLeft ? SetQuela({0x300}) : ULVDeleteQuelaPanics();
        ulvState.apcdPending = c.coreDump, ulvState.apcdFailures = 2;
        ulvState.pendingReports = 0;
        ulvState.lastSentSequence = 8;
        ulvState.smsInFlight = c.inFlight;
        Confirm(c.sequence, 0, c.length);
        EXPECT_EQ(ulvState.smsInFlight, c.inFlight && !c.acted);  // answered once
        ExpectTimer(c.timer, c.acted ? 5 : 0);
        EXPECT_EQ(ulvState.pendingReports, c.pending);
        EXPECT_EQ(Exists("zellocal/ulv_app_dump/core.7"), !c.acted || c.coreDump == 0);
        EXPECT_EQ(Exists("zel_app/setup/ulv.cfg"), c.acted && c.coreDump == 0);
        EXPECT_EQ(ulvState.bpPanicList != nullptr, !c.acted || c.coreDump == 1);
        EXPECT_EQ(ulvState.apcdFailures, c.acted && c.coreDump == 1 ? 0 : 2);  // success resets
    }
    EXPECT_EQ(TraceCount("INFO: MSGSend CNF Seq 8, Res 0\n"), 4);
    EXPECT_EQ(TraceCount("INFO: MSGSend CNF Seq 9, Res 0\n"), 1);
    EXPECT_EQ(TraceCount("ERR: CNF Seq 8 with no report in flight\n"), 1);
}

TEST_F(ReportsTest, FailedConfirmationRollsBackToTheEntrySentBeforeSavesAndStartsPeriodicTimer) {
    // BP panics 300, 100, 200 in list order; 0x50 was the mark before the first was sent.
    struct Case { uint8_t sent; bool indexed; uint32_t mark; const char* saved; };
    const Case cases[] = {{1, true, 0x50, "ulv_last_panic_timestamp = 50"},
                          {3, true, 200, "ulv_last_panic_timestamp = c8"},
                          {3, false, 100, "ulv_last_panic_timestamp = 64"}};
    for (const Case& c : cases) {
        SetBp({300, 100, 200}, c.indexed, 5);
        ulvState.bpSentCount = c.sent;
        ulvState.bpRestoreTimestamp = 0x50;
        ulvState.currentTimerId = 0;
        ulvState.lastSentSequence = 4;
        ulvState.smsInFlight = 1;
        Confirm(4, 1);
        EXPECT_EQ(ulvState.flexConfig.ulv_last_panic_timestamp, c.mark) << int{c.sent};
        EXPECT_TRUE(Saved(c.saved)) << ConfigFile();
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
        ulvState.timerExpired = 1;
        ULVSmsSend();
        Confirm(ulvState.lastSentSequence, result);
    }
    EXPECT_EQ(Raw().size(), 64u + PERIODIC_BODY_SIZE);
    EXPECT_EQ(ulvState.flexConfig.ulv_last_num_panics, 3);  // 4 - 0 new + 0 sent - 1
    EXPECT_TRUE(InOrder(fake::aplog.Texts(), {"Starting timer for remaining panics",
                                              "PERIODIC report\n\r",
                                              "Periodic Report Body Before Converted:\n\r",
                                              "Periodic Report Body After Converted:\n\r"}));
    EXPECT_TRUE(InOrder(TraceMessages(), {"PERIODIC report is ready to send\n",
                                          "Sending ULV periodic report\n"}));
}

// A record whose data is cut short is counted but never loaded: it is not sent, and the
// reported-panics marks do not count it as sent (the BP mark counts up from the old records,
// the QUELA mark down from the new ones, both with the counted figure).
TEST_F(ReportsTest, RecordsCountedButNeverLoadedAreNeitherSentNorCountedAsSent) {
    using ulvtest::Encode;
    const std::string cut = Encode(4, 30, std::string(36, 'd')).substr(0, 50);
    WriteFile(ulvtest::kLog1, Encode(1, 1) + Encode(2, 20) + Encode(3, 10) + cut);
    const std::string quelaCut = Encode(9, 9, "dd", {}, {}, 0, 0xB5C7, ulvtest::kQuela);
    WriteFile(ulvtest::kQuela.files[0], Encode(8, 7, "", {}, {}, 0, 0xB5C7, ulvtest::kQuela) +
                                          quelaCut.substr(0, 72));
    ulvState.flexConfig.ulv_last_panic_timestamp = 5;
    ULVReadBpPanics();
    ULVReadQuelaPanics();
    ASSERT_EQ(ulvState.bpNewCount, 3);  // 20, 10 and the cut 30 of 4 records
    ASSERT_EQ(ulvState.quelaNewCount, 2);

    // Time stamp sent, then the BP and QUELA count marks after it.
    const std::tuple<uint32_t, uint8_t, uint32_t> sent[] = {{10, 2, 0}, {20, 3, 0}, {7, 3, 3}};
    for (const auto& [stamp, bpMark, quelaMark] : sent) {
        ulvState.timerExpired = 1;
        ulvState.pendingReports = PENDING_CRASH;
        ULVSmsSend();
        const Bytes raw = Raw();
        ASSERT_EQ(raw.size(), 112u);
        EXPECT_EQ(raw[64 + 7], stamp);  // the time stamp's low byte, in wire order
        EXPECT_EQ(ulvState.flexConfig.ulv_last_num_panics, bpMark);
        EXPECT_EQ(ulvState.flexConfig.ulv_last_ap_quela_num_panics, quelaMark);
        Confirm(ulvState.lastSentSequence, 0);
    }
    // Nothing remains: the core dump timer runs, and every list has been released.
    ExpectTimer(ULV_TIMER_APCD_ID, 5);
    EXPECT_EQ(ulvState.pendingReports & PENDING_CRASH, 0u);
    EXPECT_TRUE(ulvState.bpPanicList == nullptr && ulvState.quelaPanicList == nullptr);
}

}  // namespace
