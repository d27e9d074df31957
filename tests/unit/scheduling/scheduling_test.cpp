// Scheduling: the timer device requests, the expiry handler, the start-up decision and the
// e-mail gateway, each with its failure paths.
#include "scheduling/scheduling.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "daemon_fixture.h"
#include "panic_log.h"
#include "reports/reports.h"
#include "state/daemon_state.h"
#include "state/flex_config.h"
#include "state/trace.h"

namespace {

using fake::Call;
using Texts = std::vector<std::string>;

// The timer device requests in order as short text ("start 0,15,0,0; delete 0,0,5,0": hours,
// minutes, seconds, reserved).
std::string TimerRequests() {
    std::string text;
    for (const fake::RtcRequest& r : fake::rtc.requests) {
        char line[64];
        std::snprintf(line, sizeof line, "%s%s %u,%u,%u,%u", text.empty() ? "" : "; ",
                      r.request == RTC_SW_START ? "start" : "delete", r.record.hours,
                      r.record.minutes, r.record.seconds, r.record.reserved);
        text += line;
    }
    return text;
}

class SchedulingTest : public DaemonTest {
  protected:
    // A fresh daemon: configuration read, devices connected, radio favourable, nothing pending;
    // timer `armedId` armed for `armedSeconds` when not 0, its requests forgotten.
    void Prepare(const std::map<std::string, std::string>& config = {}, uint8_t armedId = 0,
                 uint32_t armedSeconds = 0) {
        ResetProcessState();
        WriteConfig(config);
        ASSERT_EQ(ULVGetFlexConfig(), 0);
        ULVDetectByteOrder();
        ConnectDevices();
        ulvState.startupStage = 2;
        ulvState.lastUptimeSample = static_cast<uint32_t>(fake::clock.uptime);
        ulvState.inService = ulvState.validPlmn = ulvState.sqState = 1;
        std::strcpy(ulvState.serviceCentreAddress, "+4412345");
        if (armedId != 0) ULVStartTimer(armedId, armedSeconds);
        fake::rtc.requests.clear();
        fake::aplog.records.clear();
    }
    // As initialisation leaves it, started `startupUptime` seconds after boot.
    void PrepareStartup(const std::map<std::string, std::string>& config, uint32_t startupUptime) {
        Prepare(config);
        fake::clock.uptime = ulvState.startupUptime = ulvState.lastUptimeSample = startupUptime;
        ulvState.startupStage = 1;
        ulvState.reportUptime = 1234;
        for (const char* name : {"core.1", "core.app.7", "core", "xcore.1"})
            WriteFile(std::string("zellocal/ulv_app_dump/") + name, "dump");
    }
    void PrepareGateway(const std::string& setup) {
        WriteFile("zel_app/setup/zel_sms.cfg", setup);
        Prepare({{"ulv_sms_address_type", "1"}});
    }
};

TEST_F(SchedulingTest, StartsAndDeletesIssueTheDeviceRequestsInOrder) {
    // Steps (start id for seconds; id 0: delete), the requests of all steps, a last step's log.
    using Steps = std::vector<std::pair<uint8_t, uint32_t>>;
    const char* first = "Timer firing for the first time\n\r";
    const char* same = "Timers the same no need to delete !\n\r";
    const std::string replaced = "start 0,15,0,0; start 0,0,15,0; delete 0,15,0,0";
    const std::tuple<Steps, std::string, const char*> cases[] = {
        {Steps{{2, 900}}, "start 0,15,0,0", first},
        {Steps{{1, 7199}}, "start 1,59,59,0", first},
        {Steps{{1, 21600}}, "start 6,0,0,0", first},  // the six-hour period
        {Steps{{2, 900}, {7, 900}}, "start 0,15,0,0", same},
        // The new timer is armed before the old one goes.
        {Steps{{2, 900}, {6, 15}}, replaced,
         "Timesr not the same so resetting to new timer values\n\r"},
        {Steps{{2, 900}, {6, 15}}, replaced, "Old time valuse are 0 15 0\n\r"},
        {Steps{{2, 900}, {0, 0}, {5, 900}}, "start 0,15,0,0; delete 0,15,0,0; start 0,15,0,0",
         first},
        // An all-zero record need not be armed by the device: 1 s, the shortest, is armed.
        {Steps{{7, 0}, {1, 1}}, "start 0,0,1,0", same},
    };
    for (const auto& [steps, requests, lastStepLogs] : cases) {
        SCOPED_TRACE(requests);
        ResetProcessState();
        for (auto [id, seconds] : steps) {
            fake::aplog.records.clear();
            ulvState.timerExpired = 1;
            id == 0 ? static_cast<void>(ULVDeleteTimer()) : ULVStartTimer(id, seconds);
            EXPECT_EQ(ulvState.timerExpired, id == 0 ? 1 : 0);
        }
        EXPECT_EQ(TimerRequests(), requests);
        EXPECT_TRUE(fake::aplog.Has(lastStepLogs));
        EXPECT_EQ(ulvState.currentTimerId, steps.back().first);
    }
}

TEST_F(SchedulingTest, SendExpiriesRestartThePeriodicTimerOrDeleteTheirOwn) {
    for (uint8_t id : {ULV_TIMER_DELAY_ID, ULV_TIMER_PANIC_ID}) {
        for (uint8_t sqState : {0, 1}) {
            SCOPED_TRACE("timer " + std::to_string(id) + ", sqState " + std::to_string(sqState));
            Prepare({}, id, 5);
            ulvState.sqState = sqState;
            ulvState.pendingReports = PENDING_PERIODIC;
            ULVTimerHandler();
            EXPECT_EQ(fake::tapi.submissions.size(), sqState);
            EXPECT_EQ(TimerRequests(),
                      sqState == 1 ? "start 0,15,0,0; delete 0,0,5,0" : "delete 0,0,5,0");
            EXPECT_EQ(ulvState.timerExpired, 1 - sqState);  // kept for the next favourable event
            EXPECT_EQ(fake::aplog.Has("Timer not ser calling DeleteTimer\n\r"),
                      id == ULV_TIMER_PANIC_ID && sqState == 0);
        }
    }
}

// A 24 h period (86400 s) reckoned from a last periodic report at 0.
TEST_F(SchedulingTest, PeriodicExpiryHandsOverToTheDelayOnceAtMost900SecondsAreLeft) {
    const std::pair<const char*, bool> cases[] = {
        {"14c08", false},  // 85000 counted: 1400 s left
        {"14f8c", true},   // 85900: 500 s left
        {"14dfb", false},  // 901 s left
        {"14dfc", true},   // 900 s left
        {"30d40", true},   // 200000: overdue, a negative number of seconds left
    };
    const std::string trace = "zel_user/download/appwrite/ulvPanicInfo";
    for (auto [cumulative, due] : cases) {
        SCOPED_TRACE(cumulative);
        Prepare({{"ulv_cummulative_uptime", cumulative}}, ULV_TIMER_PERIODIC_ID, 900);
        std::remove((root_ + "/" + trace + ".bak").c_str());
        WriteFile(trace, std::string(TRACE_ROTATE_ABOVE + 1, 't'));
        ULVTimerHandler();
        EXPECT_TRUE(Exists(trace + ".bak"));  // rotated each tick
        EXPECT_EQ(ulvState.flexConfig.ulv_cummulative_uptime,
                  std::stoul(cumulative, nullptr, 16) + 900);
        EXPECT_EQ(ulvState.pendingReports, PENDING_PERIODIC);
        EXPECT_EQ(ulvState.currentTimerId, due ? ULV_TIMER_DELAY_ID : ULV_TIMER_PERIODIC_ID);
        EXPECT_EQ(TimerRequests(), due ? "start 0,0,5,0; delete 0,15,0,0" : "");
    }
}

TEST_F(SchedulingTest, UnexpectedIdentifiersAreLoggedAndChangeNothing) {
    for (uint8_t id : {0, 3, 4, 255}) {
        Prepare({}, ULV_TIMER_PERIODIC_ID, 900);
        ulvState.currentTimerId = id;
        ULVTimerHandler();
        EXPECT_EQ(fake::aplog.Texts(), Texts{"Unexpected Timer ID " + std::to_string(id) + "\n\r"});
        EXPECT_EQ(TimerRequests(), "");
    }
}

// The core dump branches, with one core file in the dump directory: which expiry collects,
// whether the pass count is reset, and whether the periodic timer follows.
TEST_F(SchedulingTest, CoreDumpCollectionRunsFromThePeriodicAndTheCoreDumpTimer) {
    // The timer, core dumps enabled, a report waiting; submissions, the requests made.
    const std::string restart = "start 0,15,0,0; delete 0,0,5,0";
    const std::tuple<uint8_t, const char*, uint8_t, size_t, std::string> cases[] = {
        {ULV_TIMER_PERIODIC_ID, "1", 0, 1, ""},  // passes reset from 9; the 900 s timer runs on
        {ULV_TIMER_PERIODIC_ID, "0", 0, 0, ""},
        {ULV_TIMER_APCD_ID, "1", 1, 0, restart},  // 9 passes: none left
        {ULV_TIMER_APCD_ID, "0", 0, 0, restart},
        {ULV_TIMER_APCD_ID, "0", 1, 0, ""},  // still waiting for a confirmation: left armed
    };
    for (const auto& [id, enabled, pendingBefore, sent, requests] : cases) {
        SCOPED_TRACE(std::to_string(id) + " enabled " + enabled);
        Prepare({{"enableCoreDumps", enabled}, {"ulv_cummulative_uptime", "0"}}, id,
                id == ULV_TIMER_APCD_ID ? 5 : 900);
        WriteFile("zellocal/ulv_app_dump/core.app.1", "");
        ulvState.apcdAttempts = 9;
        ulvState.apcdPending = pendingBefore;
        ULVTimerHandler();
        EXPECT_EQ(fake::tapi.submissions.size(), sent);
        EXPECT_EQ(ulvState.apcdAttempts, sent == 1 ? 1 : enabled[0] == '1' ? 10 : 9);
        EXPECT_EQ(TimerRequests(), requests);
    }
    // A core dump timer expiry whose collection submits: the periodic timer does not follow.
    Prepare({{"enableCoreDumps", "1"}}, ULV_TIMER_APCD_ID, 5);
    ULVTimerHandler();
    EXPECT_EQ(std::tuple(fake::tapi.submissions.size(), ulvState.apcdPending, TimerRequests()),
              std::tuple(1u, 1, std::string()));
}

// Each start adds the boot-to-start time (0x200) to the cumulative uptime (0xFFFFFF00, so it
// wraps to 0x100), saves it before anything else changes, then queues its reports.
TEST_F(SchedulingTest, StartupQueuesTheSoftwareChangeOrTheCrashOrOnlyThePeriodicReport) {
    // The stored AP build label (the phone runs "AP_R1"), the BP panics (the last reported is
    // 5), the reports queued.
    const std::tuple<const char*, std::vector<uint32_t>, uint32_t> cases[] = {
        // The newest (30) is neither first nor last in the log: found through the sort index.
        {"AP_R0", {3, 30, 10, 20}, PENDING_SW_CHANGE | PENDING_PERIODIC},
        {"AP_R1", {3, 30}, PENDING_CRASH | PENDING_PERIODIC},
        {"AP_R1", {3}, PENDING_PERIODIC},
    };
    const std::string dir = "zellocal/ulv_app_dump/";
    for (const auto& [storedLabel, bpStamps, pending] : cases) {
        SCOPED_TRACE(pending);
        const bool changed = (pending & PENDING_SW_CHANGE) != 0;
        WriteFile(ulvtest::kLog1, ulvtest::Log(bpStamps));
        PrepareStartup({{"ulv_lst_bldinfo_baselabel", storedLabel},
                        {"ulv_last_panic_timestamp", "5"},
                        {"ulv_last_preiodic_report_timestamp", "abc"},
                        {"ulv_cummulative_uptime", "ffffff00"}},
                       0x200);
        std::memset(ulvState.periodicBody, 0xEE, PERIODIC_BODY_SIZE);
        ULVStartupDecision();
        // A new software starts its usage figures afresh; the rest of the body stays.
        EXPECT_EQ(ulvState.periodicBody[PERIODIC_GENERIC_DATA_OFFSET], changed ? 0 : 0xEE);
        EXPECT_EQ(ulvState.periodicBody[PERIODIC_BODY_SIZE - 1], changed ? 0 : 0xEE);
        EXPECT_EQ(ulvState.periodicBody[PERIODIC_GENERIC_DATA_OFFSET - 1], 0xEE);
        EXPECT_EQ(ulvState.pendingReports, pending);
        EXPECT_EQ(TimerRequests(), "start 0,0,5,0");
        EXPECT_EQ(ulvState.currentTimerId,
                  pending == PENDING_PERIODIC ? ULV_TIMER_APCD_ID : ULV_TIMER_DELAY_ID);
        EXPECT_EQ(ulvState.flexConfig.ulv_last_panic_timestamp, changed ? 30u : 5u);
        EXPECT_EQ(ulvState.reportUptime == 0, changed);
        const bool logged = InOrder(fake::aplog.Texts(), {"SW_FLEX is different with NVM\n\r",
                                                          "Set cumulative time to Zero!\n\r"});
        EXPECT_EQ(logged, changed);
        EXPECT_EQ(ulvState.flexConfig.ulv_last_preiodic_report_timestamp, changed ? 0 : 0xabcu);
        EXPECT_EQ(Exists(dir + "core.1") + Exists(dir + "core.app.7"), changed ? 0 : 2);
        EXPECT_TRUE(Exists(dir + "core") && Exists(dir + "xcore.1"));
        EXPECT_EQ(ulvState.flexConfig.ulv_cummulative_uptime, 0x100u);
        EXPECT_EQ(ulvState.flexConfig.ulv_last_powerup_timestamp, 0x200u);
        EXPECT_NE(ConfigFile().find(
                      "\nulv_last_panic_timestamp = 5\nulv_last_preiodic_report_timestamp"
                      " = abc\nulv_last_powerup_timestamp = 0\nulv_cummulative_uptime = 100\n"),
                  std::string::npos);
    }
}

TEST_F(SchedulingTest, StartupComparesOnlyTheFirst20CharactersOfEachVersion) {
    // AP build label and flex version stored, then on the phone; whether they changed.
    const std::tuple<const char*, const char*, const char*, const char*, bool> cases[] = {
        {"ABCDEFGHIJKLMNOPQRST_OLD", "F234567890123456789Xold", "ABCDEFGHIJKLMNOPQRST_NEW",
         "F234567890123456789Xnew", false},
        {"ABCDEFGHIJKLMNOPQRSx", "FLEX_7", "ABCDEFGHIJKLMNOPQRSy", "FLEX_7", true},
        {"AP_R1", "F234567890123456789x", "AP_R1", "F234567890123456789y", true},
    };
    for (const auto& [storedLabel, storedFlex, phoneLabel, phoneFlex, changed] : cases) {
        SCOPED_TRACE(std::string(phoneLabel) + " " + phoneFlex);
        PrepareStartup(
            {{"ulv_lst_bldinfo_baselabel", storedLabel}, {"ulv_last_flex_version", storedFlex}},
            0x50);
        fake::tapi.SetApVersion(phoneLabel);
        fake::tapi.SetBpVersion("BP.12.34", phoneFlex);
        ULVStartupDecision();
        EXPECT_EQ((ulvState.pendingReports & PENDING_SW_CHANGE) != 0, changed);
    }
}

TEST_F(SchedulingTest, UnreadableDumpDirectoryIsTracedAMissingOneIsNotALinkIsNotFollowed) {
    std::filesystem::remove_all(root_ + "/zellocal/ulv_app_dump");
    ULVRemoveCoreFiles();
    WriteFile("zellocal/ulv_app_dump", "not a directory");
    ULVRemoveCoreFiles();
    std::filesystem::remove(root_ + "/zellocal/ulv_app_dump");
    WriteFile("victim/core.1", "somebody else's");
    std::filesystem::create_directory_symlink(root_ + "/victim", root_ + "/zellocal/ulv_app_dump");
    ULVRemoveCoreFiles();
    EXPECT_TRUE(Exists("victim/core.1"));
    // The link's error text depends on the kernel (ELOOP or ENOTDIR).
    const std::vector<std::string> traces = TraceMessages();
    ASSERT_EQ(traces.size(), 2u);
    EXPECT_EQ(traces[0], "Read dir failed - Not a directory\n");
    EXPECT_EQ(traces[1].rfind("Read dir failed - ", 0), 0u) << traces[1];
}

TEST_F(SchedulingTest, FailingServiceCentreIsRetriedEvery15sAndGivenUpOnThe13thExpiry) {
    Prepare({{"ulv_sms_address_type", "1"}});
    fake::Fail(Call::ServiceCentre, -1);
    EXPECT_EQ(ULVCheckGateway(), GATEWAY_NOT_AVAILABLE);
    EXPECT_EQ(TimerRequests(), "start 0,0,15,0");
    for (int expiry = 1; expiry <= 12; ++expiry) {
        ULVTimerHandler();
        ASSERT_EQ(gatewayState, GATEWAY_STATE_CHECK_FAILED) << "expiry " << expiry;
    }
    EXPECT_EQ(fake::Made(Call::ServiceCentre), 13);
    ULVTimerHandler();
    EXPECT_EQ(fake::Made(Call::ServiceCentre), 13);
    EXPECT_EQ(gatewayState, GATEWAY_STATE_GIVE_UP);
    EXPECT_EQ(TimerRequests(), "start 0,0,15,0; delete 0,0,15,0");
}

TEST_F(SchedulingTest, EmptyGatewayFromThePhoneIsReadFromTheSetupFile) {
    const std::pair<std::string, const char*> cases[] = {
        // setup file, gateway ("": none)
        {"EMAIL_GATEWAY = 6245\n", "6245"},
        {"[Sms]\n# gateway\n\nSMS_CENTRE = 1\nEMAIL_GATEWAY = 77 via operator", "77"},
        {"EMAIL_GATEWAY = ABCDEFGHIJKLMNOPQRSTUVWXY\n", "ABCDEFGHIJKLMNOPQRST"},
        {"EMAIL_GATEWAY = 1111\nEMAIL_GATEWAY = 2222\n", "1111"},
        {"#EMAIL_GATEWAY = 1111\n[EMAIL_GATEWAY = 2222]\nEMAIL_GATEWAY = 3333\n", "3333"},
        {"EMAIL_GATEWAY=6245\n", ""},
        {"EMAIL_GATEWAY =6245\n", ""},
        {" EMAIL_GATEWAY = 6245\n", ""},
        // Lines as a 256-byte line reader sees them: 255 characters, then the rest on its own.
        {std::string(255, 'x') + "EMAIL_GATEWAY = 42\n", "42"},
        {std::string(254, 'x') + "EMAIL_GATEWAY = 42\nEMAIL_GATEWAY = 43\n", "43"},
        {std::string("EMAIL_GATEWAY = 12\0"
                     "34\n",
                     22),
         "12"},
    };
    for (auto [setup, gateway] : cases) {
        SCOPED_TRACE(setup.substr(0, 40));
        PrepareGateway(setup);
        const bool found = gateway[0] != '\0';
        EXPECT_EQ(ULVCheckGateway(), found ? GATEWAY_AVAILABLE : GATEWAY_NOT_AVAILABLE);
        EXPECT_STREQ(ulvState.emailGatewayAddress, gateway);
        EXPECT_EQ(TimerRequests(), found ? "" : "start 0,0,15,0");
    }
    // Without the application write path, or with one too long for the setup file's name,
    // there is no setup file to read.
    const std::string base = std::getenv("ZEL_APP_WRITE_PATH"), tooLong(250, 'x');
    for (const std::string* other : {static_cast<const std::string*>(nullptr), &tooLong}) {
        Prepare({{"ulv_sms_address_type", "1"}});
        if (other)
            setenv("ZEL_APP_WRITE_PATH", other->c_str(), 1);
        else
            unsetenv("ZEL_APP_WRITE_PATH");
        EXPECT_EQ(ULVCheckGateway(), GATEWAY_NOT_AVAILABLE);
        setenv("ZEL_APP_WRITE_PATH", base.c_str(), 1);
    }
    const Texts traces = TraceMessages();
    EXPECT_TRUE(std::any_of(traces.begin(), traces.end(), [&](const std::string& text) {
        return text.starts_with("The file name is trucated - " + tooLong + "/set");
    }));
}

TEST_F(SchedulingTest, SetupFilePlacedAsALinkOrFifoIsUnreadableNeverFollowedOrWaitedOn) {
    WriteFile("elsewhere.cfg", "EMAIL_GATEWAY = 99\n");
    const std::string setup = root_ + "/zel_app/setup/zel_sms.cfg";
    for (bool fifo : {false, true}) {
        SCOPED_TRACE(fifo ? "fifo" : "link");
        unlink(setup.c_str());
        ASSERT_EQ(fifo ? mkfifo(setup.c_str(), 0600)
                       : symlink((root_ + "/elsewhere.cfg").c_str(), setup.c_str()),
                  0);
        Prepare({{"ulv_sms_address_type", "1"}});
        EXPECT_EQ(ULVCheckGateway(), GATEWAY_NOT_AVAILABLE);
        EXPECT_STREQ(ulvState.emailGatewayAddress, "");
        EXPECT_EQ(TraceCount("Can't open the flex file\n"), fifo ? 2 : 1);
    }
}

// Each timer device request and gateway query failing on its own: the exact log and trace
// texts, the device requests made, and what the schedule does next.
TEST_F(SchedulingTest, EachFailingRequestOrQueryIsLoggedAndTheScheduleGoesOn) {
    struct Row {
        const char* name;
        Call call;
        int times;        // failures (every call when negative)
        uint8_t armedId;  // armed for 900 s first when not 0
        std::function<int()> act;
        int returns;
        Texts logs, traces;
        const char* requests;
        std::function<void()> next;
    };
    auto check = [] { return ULVCheckGateway(); };
    auto restart = [] {
        ULVStartTimer(6, 15);
        return 0;
    };
    const char* restarted = "start 0,0,15,0; delete 0,15,0,0";
    const char* retry = "start 0,0,15,0";
    const char* getGateway = "TAPI_SMS_GetEmailGateway failure - 22\n\r";
    const Row rows[] = {
        Row(
            "first start", Call::TimerStart, -1, 0,
            [] {
                ULVStartTimer(2, 900);
                return 0;
            },
            0, {"Timer firing for the first time\n\r", "ULV Start timer ioctl error = 22\n\r"}, {},
            "start 0,15,0,0",
            [] {
                EXPECT_EQ(timerFirstTime, 0);
                EXPECT_EQ(ulvState.currentTimerId, 2);
            }),
        Row("restart's start", Call::TimerStart, -1, 2, restart, 0,
            {"ULV Start timer ioctl error = 22\n\r"}, {}, restarted,
            [] { EXPECT_EQ(ulvState.armedTimer.seconds, 15u); }),
        Row("restart's delete", Call::TimerDelete, -1, 2, restart, 0,
            {"Hardware delete timer error 22\n\r"}, {}, restarted,
            [] { EXPECT_EQ(ulvState.currentTimerId, 6); }),
        Row("delete", Call::TimerDelete, -1, 2, ULVDeleteTimer, 22,
            {"Hardware delete timer error 22\n\r"}, {"ULV DeleteTimer failed\n"}, "delete 0,15,0,0",
            [] { EXPECT_EQ(timerFirstTime, 0); }),  // the next start is no first one
        Row(
            "phone number destination", Call::EmailGateway, -1, 0,
            [] {
                ulvState.outgoingSms.addressType = 0;
                return ULVCheckGateway();
            },
            GATEWAY_AVAILABLE, {}, {}, "", [] { EXPECT_EQ(fake::Made(Call::EmailGateway), 0); }),
        Row("service centre", Call::ServiceCentre, -1, 0, check, GATEWAY_NOT_AVAILABLE,
            {"FAIL: GetServiceCenter"}, {"FAIL: GetServiceCenter\n"}, retry,
            [] { EXPECT_EQ(fake::Made(Call::EmailGateway), 0); }),
        Row(
            "empty service centre", Call::ServiceCentre, 0, 0,
            [] {
                fake::tapi.serviceCentre = "";
                return ULVCheckGateway();
            },
            GATEWAY_NOT_AVAILABLE, {"INV: SCAddress emtpy"}, {"INV: SCAddress emtpy\n"}, retry,
            [] { EXPECT_EQ(fake::Made(Call::EmailGateway), 0); }),
        Row("gateway, from the setup file", Call::EmailGateway, -1, 0, check, GATEWAY_AVAILABLE,
            {getGateway},
            {"Email Gateway from TAPI is \n\n", "Email Gateway from SMS setup is 6245\n\n"}, "",
            [] { EXPECT_STREQ(ulvState.emailGatewayAddress, "6245"); }),
        Row(
            "gateway, no setup file", Call::EmailGateway, -1, 0,
            [this] {
                std::remove((root_ + "/zel_app/setup/zel_sms.cfg").c_str());
                return ULVCheckGateway();
            },
            GATEWAY_NOT_AVAILABLE, {getGateway, "FAIL: GetEmailGateway"},
            {"Can't open the flex file\n", "FAIL: GetEmailGateway\n"}, retry,
            [] { EXPECT_STREQ(ulvState.emailGatewayAddress, ""); }),
        Row("gateway from the phone", Call::EmailGateway, 0, 0, check, GATEWAY_AVAILABLE, {},
            {"Email Gateway from TAPI is 7777\n\n"}, "",
            [this] {
                EXPECT_STREQ(ulvState.emailGatewayAddress, "7777");  // the setup file unread
                EXPECT_EQ(TraceCount("Email Gateway from SMS setup is 6245\n\n"), 0);
            }),
        Row(
            "retry once confirmed", Call::ServiceCentre, -1, ULV_TIMER_GATEWAY_ID,
            [] {
                gatewayState = GATEWAY_STATE_CONFIRMED;
                ULVTimerHandler();
                return 0;
            },
            0, {}, {"In ULV Timer Handler timer id = 6\n"}, "",
            [] { EXPECT_EQ(fake::Made(Call::ServiceCentre), 0); }),
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::remove((root_ + "/zel_user/download/appwrite/ulvPanicInfo").c_str());
        PrepareGateway("EMAIL_GATEWAY = 6245\n");
        if (row.armedId != 0) ULVStartTimer(row.armedId, 900);
        fake::rtc.requests.clear();
        fake::aplog.records.clear();
        fake::tapi.gateway = "7777";
        fake::Fail(row.call, 22, row.times);
        EXPECT_EQ(row.act(), row.returns);
        EXPECT_TRUE(InOrder(fake::aplog.Texts(), row.logs));
        EXPECT_TRUE(InOrder(TraceMessages(), row.traces));
        EXPECT_EQ(TimerRequests(), row.requests);
        row.next();
    }
}

}  // namespace
