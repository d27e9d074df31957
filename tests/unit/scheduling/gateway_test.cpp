#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "daemon_fixture.h"
#include "scheduling/scheduling.h"
#include "state/daemon_state.h"
#include "state/flex_config.h"
#include "timer_requests.h"

namespace {

constexpr char kSetupFile[] = "zel_app/setup/zel_sms.cfg";

class GatewayTest : public DaemonTest {
protected:
    // Configuration read with the given address type (1: e-mail through the gateway).
    void Prepare(int addressType) {
        WriteConfig({{"ulv_sms_address_type", std::to_string(addressType)}});
        ASSERT_EQ(ULVGetFlexConfig(), 0);
        ASSERT_EQ(ulvState.outgoingSms.addressType, static_cast<uint32_t>(addressType));
        ConnectDevices();
        fake::aplog.records.clear();
    }

    static long LogPosition(const std::string& text) {
        std::vector<std::string> texts = fake::aplog.Texts();
        auto found = std::find(texts.begin(), texts.end(), text);
        return found == texts.end() ? -1 : found - texts.begin();
    }

    // The retry timer armed for 15 s by this check, as a first start.
    static void ExpectRetryTimerArmed() {
        EXPECT_EQ(TimerRequests(), std::vector<std::string>{"start 0:0:15"});
        EXPECT_EQ(ulvState.currentTimerId, ULV_TIMER_GATEWAY_ID);
        EXPECT_EQ(ulvState.armedTimer.hours, 0u);
        EXPECT_EQ(ulvState.armedTimer.minutes, 0u);
        EXPECT_EQ(ulvState.armedTimer.seconds, 15u);
        EXPECT_EQ(ulvState.armedTimer.reserved, 0u);
    }
};

TEST_F(GatewayTest, PhoneNumberDestinationNeedsOnlyTheServiceCentre) {
    Prepare(0);
    fake::tapi.gateway = "6245";
    EXPECT_EQ(ULVCheckGateway(), 0);
    EXPECT_STREQ(ulvState.serviceCentreAddress, "+4412345");
    EXPECT_EQ(fake::tapi.gatewayCalls, 0);
    EXPECT_TRUE(TimerRequests().empty());
    EXPECT_TRUE(fake::aplog.Texts().empty());
    EXPECT_TRUE(TraceMessages().empty());
}

TEST_F(GatewayTest, ServiceCentreMissingArmsTheRetryTimerWithoutAGatewayLookup) {
    struct Case {
        const char* name;
        int queryResult;
        const char* address;
        const char* log;  // no line ending
    };
    const Case cases[] = {
        {"query fails", -1, "+4412345", "FAIL: GetServiceCenter"},
        {"address empty", 0, "", "INV: SCAddress emtpy"},
    };
    for (const Case& c : cases) {
        for (int addressType : {0, 1}) {
            SCOPED_TRACE(std::string(c.name) + ", address type " + std::to_string(addressType));
            ResetProcessState();
            std::filesystem::remove(root_ + "/zel_user/download/appwrite/ulvPanicInfo");
            Prepare(addressType);
            fake::tapi.serviceCentreResult = c.queryResult;
            fake::tapi.serviceCentre = c.address;
            fake::tapi.gateway = "6245";

            EXPECT_EQ(ULVCheckGateway(), 4);

            EXPECT_EQ(fake::tapi.gatewayCalls, 0);
            ExpectRetryTimerArmed();
            // Logged, and traced with a line ending, before the timer starts.
            EXPECT_EQ(LogPosition(c.log), 0);
            EXPECT_EQ(TraceMessages(), std::vector<std::string>{std::string(c.log) + "\n"});
        }
    }
}

TEST_F(GatewayTest, GatewayFromTheLibraryLeavesTheSetupFileUnread) {
    for (bool setupFilePresent : {true, false}) {
        SCOPED_TRACE(setupFilePresent ? "setup file present" : "setup file absent");
        ResetProcessState();
        std::filesystem::remove(root_ + "/zel_user/download/appwrite/ulvPanicInfo");
        std::filesystem::remove(root_ + "/" + kSetupFile);
        if (setupFilePresent) WriteFile(kSetupFile, "EMAIL_GATEWAY = 9999\n");
        Prepare(1);
        fake::tapi.gateway = "6245@gw";

        EXPECT_EQ(ULVCheckGateway(), 0);

        EXPECT_STREQ(ulvState.emailGatewayAddress, "6245@gw");
        EXPECT_EQ(fake::tapi.gatewayCalls, 1);
        // Nothing about the setup file: neither "Can't open" nor a value read from it.
        EXPECT_EQ(TraceMessages(),
                  std::vector<std::string>{"Email Gateway from TAPI is 6245@gw\n\n"});
        EXPECT_TRUE(fake::aplog.Texts().empty());
        EXPECT_TRUE(TimerRequests().empty());
    }
}

TEST_F(GatewayTest, EmptyGatewayFromTheLibraryFallsBackToTheSetupFile) {
    struct Case {
        const char* name;
        std::string setup;
        std::string gateway;  // empty: the check fails
    };
    const std::vector<Case> cases = {
        {"plain line", "EMAIL_GATEWAY = 6245\n", "6245"},
        {"after section, comment and empty line",
         "[SmsSetup]\n# the gateway\n\nEMAIL_GATEWAY = 6245\n", "6245"},
        {"other keys around", "SMS_CENTRE = 1\nEMAIL_GATEWAY = 77\nVALIDITY = 3\n", "77"},
        {"25 characters give their first 20",
         "EMAIL_GATEWAY = ABCDEFGHIJKLMNOPQRSTUVWXY\n", "ABCDEFGHIJKLMNOPQRST"},
        {"first word only", "EMAIL_GATEWAY = 6245 via operator\n", "6245"},
        {"last line without line ending", "EMAIL_GATEWAY = 6245", "6245"},
        {"only the first matching line counts",
         "EMAIL_GATEWAY = 1111\nEMAIL_GATEWAY = 2222\n", "1111"},
        {"comment and section lines holding the key are skipped",
         "#EMAIL_GATEWAY = 1111\n[EMAIL_GATEWAY = 2222]\nEMAIL_GATEWAY = 3333\n", "3333"},
        {"key without blanks", "EMAIL_GATEWAY=6245\n", ""},
        {"key without the blank after =", "EMAIL_GATEWAY =6245\n", ""},
        {"key indented", " EMAIL_GATEWAY = 6245\n", ""},
        {"key only in a comment", "#EMAIL_GATEWAY = 1111\n", ""},
        {"first matching line empty", "EMAIL_GATEWAY = \nEMAIL_GATEWAY = 2222\n", ""},
        {"empty file", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        std::filesystem::remove(root_ + "/zel_user/download/appwrite/ulvPanicInfo");
        WriteFile(kSetupFile, c.setup);
        Prepare(1);

        const bool found = !c.gateway.empty();
        EXPECT_EQ(ULVCheckGateway(), found ? 0 : 4);

        EXPECT_EQ(std::string(ulvState.emailGatewayAddress), c.gateway);
        EXPECT_EQ(LogPosition("TAPI_SMS_GetEmailGateway failure - 0\n\r"), 0);
        std::vector<std::string> expected = {
            "Email Gateway from TAPI is \n\n",
            "Email Gateway from SMS setup is " + c.gateway + "\n\n"};
        if (found) {
            EXPECT_TRUE(TimerRequests().empty());
        } else {
            expected.push_back("FAIL: GetEmailGateway\n");
            EXPECT_GT(LogPosition("FAIL: GetEmailGateway"), 0);
            ExpectRetryTimerArmed();
        }
        EXPECT_EQ(TraceMessages(), expected);
    }
}

TEST_F(GatewayTest, FailedLibraryQueryClearsTheGatewayBeforeTheFallback) {
    Prepare(1);
    std::strcpy(ulvState.emailGatewayAddress, "stale");
    fake::tapi.gatewayResult = -3;
    EXPECT_EQ(ULVCheckGateway(), 4);
    EXPECT_EQ(LogPosition("TAPI_SMS_GetEmailGateway failure - -3\n\r"), 0);
    for (char byte : ulvState.emailGatewayAddress) EXPECT_EQ(byte, '\0');
    // The buffer is traced as the library left it; the setup file is missing here.
    EXPECT_EQ(TraceMessages(), (std::vector<std::string>{"Email Gateway from TAPI is stale\n\n",
                                                         "Can't open the flex file\n",
                                                         "FAIL: GetEmailGateway\n"}));
    ExpectRetryTimerArmed();
}

TEST_F(GatewayTest, SetupFilePathOf256CharactersOrMoreIsNotOpened) {
    // ZEL_APP_WRITE_PATH of 238 characters: "<it>/setup/zel_sms.cfg" is 256 long.
    const std::string base = root_ + "/" + std::string(237 - root_.size(), 'p');
    ASSERT_EQ(base.size(), 238u);
    std::filesystem::create_directories(base + "/setup");
    WriteFile(base.substr(root_.size() + 1) + "/setup/zel_sms.cfg", "EMAIL_GATEWAY = 6245\n");
    Prepare(1);
    setenv("ZEL_APP_WRITE_PATH", base.c_str(), 1);

    EXPECT_EQ(ULVCheckGateway(), 4);

    const std::string shown = (base + "/setup/zel_sms.cfg").substr(0, 255);
    EXPECT_EQ(TraceMessages(), (std::vector<std::string>{"Email Gateway from TAPI is \n\n",
                                                         "The file name is trucated - " + shown +
                                                             "\n",
                                                         "FAIL: GetEmailGateway\n"}));
    EXPECT_EQ(ulvState.emailGatewayAddress[0], '\0');
    setenv("ZEL_APP_WRITE_PATH", (root_ + "/zel_app").c_str(), 1);
}

TEST_F(GatewayTest, SetupFilePathOf255CharactersIsRead) {
    const std::string base = root_ + "/" + std::string(236 - root_.size(), 'p');
    ASSERT_EQ(base.size(), 237u);
    WriteFile(base.substr(root_.size() + 1) + "/setup/zel_sms.cfg", "EMAIL_GATEWAY = 6245\n");
    Prepare(1);
    setenv("ZEL_APP_WRITE_PATH", base.c_str(), 1);
    EXPECT_EQ(ULVCheckGateway(), 0);
    EXPECT_STREQ(ulvState.emailGatewayAddress, "6245");
    setenv("ZEL_APP_WRITE_PATH", (root_ + "/zel_app").c_str(), 1);
}

}  // namespace
