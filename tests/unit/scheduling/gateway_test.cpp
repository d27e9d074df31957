#include <sys/stat.h>
#include <unistd.h>

#include <string>

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
        {std::string("EMAIL_GATEWAY = 12\0""34\n", 22), "12"},
    };
    for (auto [setup, gateway] : cases) {
        SCOPED_TRACE(setup.substr(0, 40));
        WriteFile("zel_app/setup/zel_sms.cfg", setup);
        Prepare({{"ulv_sms_address_type", "1"}});
        const bool found = gateway[0] != '\0';
        EXPECT_EQ(ULVCheckGateway(), found ? GATEWAY_AVAILABLE : GATEWAY_NOT_AVAILABLE);
        EXPECT_STREQ(ulvState.emailGatewayAddress, gateway);
        EXPECT_EQ(TimerRequests(), found ? "" : "start 0,0,15,0");
    }
    // Without the application write path there is no setup file to read.
    Prepare({{"ulv_sms_address_type", "1"}});
    const std::string base = std::getenv("ZEL_APP_WRITE_PATH");
    unsetenv("ZEL_APP_WRITE_PATH");
    EXPECT_EQ(ULVCheckGateway(), GATEWAY_NOT_AVAILABLE);
    setenv("ZEL_APP_WRITE_PATH", base.c_str(), 1);
}

TEST_F(GatewayTest, SetupFilePlacedAsALinkOrFifoIsUnreadableNeverFollowedOrWaitedOn) {
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

}  // namespace
