// Each timer device request and gateway query failing on its own: the exact log and trace
// texts, the device requests made, and what the schedule does next.
#include <functional>

#include "scheduling_fixture.h"

namespace {

using fake::Call;
using Texts = std::vector<std::string>;
using SchedulingFailureTest = SchedulingTest;

TEST_F(SchedulingFailureTest, EachFailingRequestOrQueryIsLoggedAndTheScheduleGoesOn) {
    struct Row {
        const char* name;
        Call call;
        int times;              // failures (every call when negative)
        uint8_t armedId;        // armed for 900 s first when not 0
        std::function<int()> act;
        int returns;
        Texts logs, traces;
        const char* requests;
        std::function<void()> next;
    };
    auto check = [] { return ULVCheckGateway(); };
    const Row rows[] = {
        {"first start", Call::TimerStart, -1, 0, [] { ULVStartTimer(2, 900); return 0; }, 0,
         {"Timer firing for the first time\n\r", "ULV Start timer ioctl error = 22\n\r"}, {},
         "start 0,15,0,0", [] {
             EXPECT_EQ(timerFirstTime, 0);
             EXPECT_EQ(ulvState.currentTimerId, 2);
         }},
        {"restart's start", Call::TimerStart, -1, 2, [] { ULVStartTimer(6, 15); return 0; }, 0,
         {"ULV Start timer ioctl error = 22\n\r"}, {}, "start 0,0,15,0; delete 0,15,0,0",
         [] { EXPECT_EQ(ulvState.armedTimer.seconds, 15u); }},
        {"restart's delete", Call::TimerDelete, -1, 2, [] { ULVStartTimer(6, 15); return 0; },
         0, {"Hardware delete timer error 22\n\r"}, {}, "start 0,0,15,0; delete 0,15,0,0",
         [] { EXPECT_EQ(ulvState.currentTimerId, 6); }},
        {"delete", Call::TimerDelete, -1, 2, ULVDeleteTimer, 22,
         {"Hardware delete timer error 22\n\r"}, {"ULV DeleteTimer failed\n"}, "delete 0,15,0,0",
         [] { EXPECT_EQ(timerFirstTime, 0); }},  // the next start is no first one
        {"service centre", Call::ServiceCentre, -1, 0, check, GATEWAY_NOT_AVAILABLE,
         {"FAIL: GetServiceCenter"}, {"FAIL: GetServiceCenter\n"}, "start 0,0,15,0",
         [] { EXPECT_EQ(fake::Made(Call::EmailGateway), 0); }},
        {"empty service centre", Call::ServiceCentre, 0, 0,
         [] { fake::tapi.serviceCentre = ""; return ULVCheckGateway(); }, GATEWAY_NOT_AVAILABLE,
         {"INV: SCAddress emtpy"}, {"INV: SCAddress emtpy\n"}, "start 0,0,15,0",
         [] { EXPECT_EQ(fake::Made(Call::EmailGateway), 0); }},
        {"gateway, from the setup file", Call::EmailGateway, -1, 0, check, GATEWAY_AVAILABLE,
         {"TAPI_SMS_GetEmailGateway failure - 22\n\r"},
         {"Email Gateway from TAPI is \n\n", "Email Gateway from SMS setup is 6245\n\n"}, "",
         [] { EXPECT_STREQ(ulvState.emailGatewayAddress, "6245"); }},
        {"gateway, no setup file", Call::EmailGateway, -1, 0,
         [this] {
             std::remove((root_ + "/zel_app/setup/zel_sms.cfg").c_str());
             return ULVCheckGateway();
         },
         GATEWAY_NOT_AVAILABLE, {"TAPI_SMS_GetEmailGateway failure - 22\n\r",
                                 "FAIL: GetEmailGateway"},
         {"Can't open the flex file\n", "FAIL: GetEmailGateway\n"}, "start 0,0,15,0",
         [] { EXPECT_STREQ(ulvState.emailGatewayAddress, ""); }},
        {"gateway from the phone", Call::EmailGateway, 0, 0, check, GATEWAY_AVAILABLE, {},
         {"Email Gateway from TAPI is 7777\n\n"}, "", [this] {
             EXPECT_STREQ(ulvState.emailGatewayAddress, "7777");  // the setup file unread
             EXPECT_EQ(TraceCount("Email Gateway from SMS setup is 6245\n\n"), 0);
         }},
        {"retry once confirmed", Call::ServiceCentre, -1, ULV_TIMER_GATEWAY_ID,
         [] { gatewayState = GATEWAY_STATE_CONFIRMED; ULVTimerHandler(); return 0; }, 0, {},
         {"In ULV Timer Handler timer id = 6\n"}, "",
         [] { EXPECT_EQ(fake::Made(Call::ServiceCentre), 0); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        WriteFile("zel_app/setup/zel_sms.cfg", "EMAIL_GATEWAY = 6245\n");
        std::remove((root_ + "/zel_user/download/appwrite/ulvPanicInfo").c_str());
        Prepare({{"ulv_sms_address_type", "1"}}, row.armedId, 900);
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
