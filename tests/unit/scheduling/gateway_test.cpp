#include "scheduling_fixture.h"

namespace {

using GatewayTest = SchedulingTest;

TEST_F(GatewayTest, PhoneNumberDestinationNeverAsksForTheGateway) {
    Prepare({{"ulv_sms_address_type", "0"}});
    EXPECT_EQ(ULVCheckGateway(), GATEWAY_AVAILABLE);
    EXPECT_EQ(fake::Made(fake::Call::EmailGateway), 0);
    EXPECT_EQ(TimerRequests(), "");
}

TEST_F(GatewayTest, FailingServiceCentreIsRetriedEvery15sAndGivenUpOnThe13thExpiry) {
    Prepare({{"ulv_sms_address_type", "1"}});
    fake::Fail(fake::Call::ServiceCentre, -1);
    EXPECT_EQ(ULVCheckGateway(), GATEWAY_NOT_AVAILABLE);
    EXPECT_EQ(TimerRequests(), "start 0,0,15,0");
    for (int expiry = 1; expiry <= 12; ++expiry) {
        ULVTimerHandler();
        ASSERT_EQ(gatewayState, GATEWAY_STATE_CHECK_FAILED) << "expiry " << expiry;
    }
    EXPECT_EQ(fake::Made(fake::Call::ServiceCentre), 13);
    ULVTimerHandler();
    EXPECT_EQ(fake::Made(fake::Call::ServiceCentre), 13);
    EXPECT_EQ(gatewayState, GATEWAY_STATE_GIVE_UP);
    EXPECT_EQ(TimerRequests(), "start 0,0,15,0; delete 0,0,15,0");
}

TEST_F(GatewayTest, EmptyGatewayFromThePhoneIsReadFromTheSetupFile) {
    const std::pair<const char*, const char*> cases[] = {
        // setup file, gateway ("": none)
        {"EMAIL_GATEWAY = 6245\n", "6245"},
        {"[Sms]\n# gateway\n\nSMS_CENTRE = 1\nEMAIL_GATEWAY = 77 via operator", "77"},
        {"EMAIL_GATEWAY = ABCDEFGHIJKLMNOPQRSTUVWXY\n", "ABCDEFGHIJKLMNOPQRST"},
        {"EMAIL_GATEWAY = 1111\nEMAIL_GATEWAY = 2222\n", "1111"},
        {"#EMAIL_GATEWAY = 1111\n[EMAIL_GATEWAY = 2222]\nEMAIL_GATEWAY = 3333\n", "3333"},
        {"EMAIL_GATEWAY=6245\n", ""},
        {"EMAIL_GATEWAY =6245\n", ""},
        {" EMAIL_GATEWAY = 6245\n", ""},
    };
    for (auto [setup, gateway] : cases) {
        SCOPED_TRACE(setup);
        WriteFile("zel_app/setup/zel_sms.cfg", setup);
        Prepare({{"ulv_sms_address_type", "1"}});
        const bool found = gateway[0] != '\0';
        EXPECT_EQ(ULVCheckGateway(), found ? GATEWAY_AVAILABLE : GATEWAY_NOT_AVAILABLE);
        EXPECT_STREQ(ulvState.emailGatewayAddress, gateway);
        EXPECT_EQ(TimerRequests(), found ? "" : "start 0,0,15,0");
    }
}

}  // namespace
