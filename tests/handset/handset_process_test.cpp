// The simulated handset as a real process, driven through the sim telephony client library the
// daemon links: what the calls answer, refused connections, timed and malformed telephony
// messages, SMS submissions and their confirmations, restarts and the ways the handset stops.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/tapi.h"
#include "process.h"

namespace {

// Simulated seconds pass 50 times faster than real ones in these tests.
constexpr char kTimeScale[] = "50";
const uint16_t kSubscription[] = {SERVICE_AVAILABILITY_MSGID, REGISTERED_MSGID,
                                  SIGNAL_QUALITY_MSGID, SMS_SEND_CNF_MSGID};

struct FreeData {
    void operator()(void* data) const { std::free(data); }
};

// One telephony message as the daemon receives it, its data released with the object.
struct Message {
    int result = -1;
    uint16_t msgId = 0;
    uint16_t length = 0;
    std::unique_ptr<void, FreeData> data;
    const uint8_t* bytes() const { return static_cast<const uint8_t*>(data.get()); }
};

uint32_t Host32(const uint8_t* at) {
    uint32_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// A submission record built by hand from the layout, numbers in the processor's own order:
// 0 pid, 2 service centre[42], 44 destination[44], 88 u32 0, 92 u16 length, 94 text as 16-bit
// units and a 0 unit, 6496 validity byte.
std::vector<uint8_t> SubmitRecord(uint8_t pid, const std::string& centre,
                                  const std::string& destination, const std::string& text,
                                  uint8_t validity) {
    std::vector<uint8_t> record(TAPI_SMS_SUBMIT_RECORD_SIZE, 0);
    record[0] = pid;
    std::memcpy(record.data() + 2, centre.data(), centre.size());
    std::memcpy(record.data() + 44, destination.data(), destination.size());
    uint16_t length = static_cast<uint16_t>(text.size());
    std::memcpy(record.data() + 92, &length, 2);
    for (size_t i = 0; i < text.size(); ++i) {
        uint16_t unit = static_cast<unsigned char>(text[i]);
        std::memcpy(record.data() + 94 + 2 * i, &unit, 2);
    }
    record[6496] = validity;
    return record;
}

class HandsetProcess : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("ULV_SIM_ROOT", root_.path().c_str(), 1);
        setenv("ULV_TIME_SCALE", kTimeScale, 1);
    }
    void TearDown() override { TAPI_CLIENT_Fini(); }

    std::string Path(const std::string& relative) const { return root_.path() + "/" + relative; }
    std::string Output() const { return ulvtest::ReadFile(outputPath_); }

    // Writes the scenario, prepares the root and serves it; waits until the handset listens.
    void Start(const std::string& scenario) {
        ASSERT_TRUE(ulvtest::WriteFile(Path("scenario.txt"), scenario));
        outputPath_ = Path("handset.out");
        handset_ = ulvtest::ChildProcess::Spawn(
            {ULV_HANDSET_PATH, "--root", root_.path(), "--scenario", Path("scenario.txt"),
             "--prepare"},
            {std::string("ULV_TIME_SCALE=") + kTimeScale}, outputPath_);
        ASSERT_TRUE(ulvtest::WaitForFileContaining(outputPath_, "listening on"))
            << "handset did not start:\n" << Output();
    }

    // TAPI_CLIENT_Init as the daemon calls it.
    int Subscribe() { return TAPI_CLIENT_Init(kSubscription, 4); }

    // Waits (with a deadline) until a message is readable, then reads it.
    Message Read(int fd) {
        Message message;
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(ulvtest::kDefaultDeadlineSeconds * 1000)) != 1) {
            ADD_FAILURE() << "no telephony message within the deadline";
            return message;
        }
        TapiMessage raw{};
        message.result = TAPI_CLIENT_ReadAndMallocMsg(fd, &raw);
        if (message.result == 0) {
            message.msgId = raw.msgId;
            message.length = raw.length;
            message.data.reset(raw.data);
        }
        return message;
    }

    // A raw connection with the given hello. Returns the descriptor, or -1 when the handset
    // did not answer "K".
    int RawConnect(const std::vector<uint8_t>& hello) {
        int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::string path = Path("sim/tapi.sock");
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        uint8_t answer = 0;
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(hello.size()) ||
            recv(fd, &answer, 1, 0) != 1 || answer != 'K') {
            close(fd);
            return -1;
        }
        return fd;
    }

    // One raw request on a calls connection; returns the result and the payload.
    int32_t RawCall(int fd, const std::vector<uint8_t>& request, std::vector<uint8_t>* payload) {
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        std::vector<uint8_t> response(8192);
        ssize_t got = recv(fd, response.data(), response.size(), 0);
        if (got < 4) {
            ADD_FAILURE() << "no answer to a request of " << request.size() << " bytes";
            return 0;
        }
        if (payload != nullptr) payload->assign(response.begin() + 4, response.begin() + got);
        return static_cast<int32_t>(response[0] | response[1] << 8 | response[2] << 16 |
                                    static_cast<uint32_t>(response[3]) << 24);
    }

    ulvtest::SandboxRoot root_;
    std::string outputPath_;
    ulvtest::ChildProcess handset_;  // declared after the root: killed before it is removed
};

TEST_F(HandsetProcess, PrepareCreatesTheSandboxAndTheBootFile) {
    std::string root = Path("phone");
    ulvtest::ChildProcess prepare = ulvtest::ChildProcess::Spawn(
        {ULV_HANDSET_PATH, "--root", root, "--prepare"}, {"ULV_SIM_UPTIME=4321"});
    int status = -1;
    ASSERT_TRUE(prepare.WaitExit(&status));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    for (const char* directory :
         {"sim", "tmp", "dev", "dev/mtdblock", "zellocal/panic", "zellocal/ulv_app_dump",
          "zel_user/download/appwrite", "zel_app/setup"}) {
        struct stat info {};
        EXPECT_EQ(stat((root + "/" + directory).c_str(), &info), 0) << directory;
        EXPECT_TRUE(S_ISDIR(info.st_mode)) << directory;
    }
    struct stat marker {};
    ASSERT_EQ(stat((root + "/dev/rtc_sw").c_str(), &marker), 0);
    EXPECT_TRUE(S_ISREG(marker.st_mode));
    EXPECT_EQ(marker.st_size, 0);
    // "<monotonic ns> <uptime s>"
    std::string boot = ulvtest::ReadFile(root + "/sim/boot");
    EXPECT_EQ(boot.substr(boot.find(' ')), " 4321\n");
    EXPECT_FALSE(ulvtest::ReadFile(root + "/sim/tapi.sock").size() > 0);
}

TEST_F(HandsetProcess, CallsAnswerTheScenarioValues) {
    Start(
        "network 001-01\n"
        "service 0\n"
        "signal 7\n"
        "ap_version AP_R2.1\n"
        "bp_version \"BP R9\"\n"
        "flex_version FLEX_77\n"
        "serial 0123456789ABCDEF\n"
        "service_centre +15550001\n"
        "email_gateway \"\"\n"
        "call_time 3600\n"
        "generic_data 000102030405060708090a0b0c0d0e0f1011121314151617\n"
        "validity 0xa7\n");
    ASSERT_GT(Subscribe(), 0);

    char country[TAPI_NETWORK_CODE_SIZE] = {};
    char network[TAPI_NETWORK_CODE_SIZE] = {};
    ASSERT_EQ(TAPI_NETWORK_GetCurrentNetworkId(country, network), 0);
    EXPECT_STREQ(country, "001");
    EXPECT_STREQ(network, "01");

    uint8_t available = 9;
    ASSERT_EQ(TAPI_ACCE_GetServiceAvailability(&available), 0);
    EXPECT_EQ(available, 0);
    uint8_t quality[TAPI_SIGNAL_QUALITY_SIZE] = {};
    ASSERT_EQ(TAPI_ACCE_GetSiginalQuality(quality), 0);
    EXPECT_EQ(quality[0], 7);

    uint8_t ap[TAPI_AP_VERSION_INFO_SIZE];
    std::memset(ap, 0xEE, sizeof ap);
    ASSERT_EQ(TAPI_ACCE_GetApVersionInfo(ap), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ap), 8), std::string("AP_R2.1\0", 8));
    EXPECT_EQ(ap[47], 0);  // the whole buffer is written

    uint8_t bp[TAPI_BP_VERSION_INFO_SIZE];
    std::memset(bp, 0xEE, sizeof bp);
    ASSERT_EQ(TAPI_ACCE_GetBpVersionInfo(bp), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bp), 6), std::string("BP R9\0", 6));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bp) + 48, 8), std::string("FLEX_77\0", 8));
    EXPECT_EQ(bp[191], 0);

    uint8_t serial[TAPI_FACTORY_SERIAL_SIZE] = {};
    ASSERT_EQ(TAPI_ACCE_GetFactorySerialNo(serial), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(serial), 16), "0123456789ABCDEF");

    char centre[TAPI_SMS_ADDRESS_SIZE] = {};
    ASSERT_EQ(TAPI_SMS_GetServiceCenter(centre), 0);
    EXPECT_STREQ(centre, "+15550001");
    char gateway[TAPI_SMS_ADDRESS_SIZE] = "stale";
    ASSERT_EQ(TAPI_SMS_GetEmailGateway(gateway), 0);
    EXPECT_STREQ(gateway, "");

    uint32_t period = 255;
    uint8_t validity = 0;
    ASSERT_EQ(TAPI_SMS_ExpirePeriodToUINT8(&period, &validity), 0);
    EXPECT_EQ(validity, 0xa7);
    uint32_t callTime = 0;
    ASSERT_EQ(TAPI_ULV_GetCallTime(&callTime), 0);
    EXPECT_EQ(callTime, 3600u);
    uint8_t generic[TAPI_GENERIC_DATA_SIZE] = {};
    ASSERT_EQ(TAPI_ULV_GetGenericData(generic), 0);
    for (size_t i = 0; i < sizeof generic; ++i) EXPECT_EQ(generic[i], i);

    // Every call shows on the handset's output as it happens.
    EXPECT_TRUE(ulvtest::WaitForFileContaining(outputPath_, "call GetGenericData -> 0"));
    std::string output = Output();
    EXPECT_NE(output.find("call GetServiceCenter -> 0 \"+15550001\""), std::string::npos)
        << output;
    EXPECT_NE(output.find("call GetCurrentNetworkId -> 0 001-01"), std::string::npos) << output;
}

TEST_F(HandsetProcess, EmptyScenarioIsAHealthyPhone) {
    Start("");
    ASSERT_GT(Subscribe(), 0);
    char country[TAPI_NETWORK_CODE_SIZE] = {};
    char network[TAPI_NETWORK_CODE_SIZE] = {};
    ASSERT_EQ(TAPI_NETWORK_GetCurrentNetworkId(country, network), 0);
    EXPECT_EQ(std::string(country) + "-" + network, "310-410");
    uint8_t available = 0;
    ASSERT_EQ(TAPI_ACCE_GetServiceAvailability(&available), 0);
    EXPECT_EQ(available, 1);
    uint8_t quality[TAPI_SIGNAL_QUALITY_SIZE] = {};
    ASSERT_EQ(TAPI_ACCE_GetSiginalQuality(quality), 0);
    EXPECT_EQ(quality[0], 20);
    char centre[TAPI_SMS_ADDRESS_SIZE] = {};
    ASSERT_EQ(TAPI_SMS_GetServiceCenter(centre), 0);
    EXPECT_STREQ(centre, "+4412345");
}

TEST_F(HandsetProcess, InjectedFailuresRunOutAfterTheirCount) {
    Start(
        "fail ServiceCentre 2 result 7\n"
        "fail GetCallTime\n");
    ASSERT_GT(Subscribe(), 0);
    char centre[TAPI_SMS_ADDRESS_SIZE] = "untouched";
    EXPECT_EQ(TAPI_SMS_GetServiceCenter(centre), 7);
    EXPECT_EQ(TAPI_SMS_GetServiceCenter(centre), 7);
    EXPECT_STREQ(centre, "untouched");  // a failing call fills nothing
    EXPECT_EQ(TAPI_SMS_GetServiceCenter(centre), 0);
    EXPECT_STREQ(centre, "+4412345");
    uint32_t callTime = 0;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(TAPI_ULV_GetCallTime(&callTime), -1);
    uint8_t available = 0;
    EXPECT_EQ(TAPI_ACCE_GetServiceAvailability(&available), 0);
}

TEST_F(HandsetProcess, RefusesTheFirstConnections) {
    Start("refuse_connections 2\n");
    EXPECT_EQ(Subscribe(), -1);
    EXPECT_EQ(Subscribe(), -1);
    int fd = Subscribe();
    ASSERT_GT(fd, 0);
    uint8_t available = 0;
    EXPECT_EQ(TAPI_ACCE_GetServiceAvailability(&available), 0);
    EXPECT_NE(Output().find("refuse connection 2 of 2"), std::string::npos) << Output();
}

TEST_F(HandsetProcess, RefusesEveryConnection) {
    Start("refuse_connections all\n");
    for (int attempt = 0; attempt < 4; ++attempt) EXPECT_EQ(Subscribe(), -1) << attempt;
}

TEST_F(HandsetProcess, PushesScheduledMessagesFromTheSubscription) {
    Start(
        "at 1 signal 20\n"
        "at 0 service 1\n"
        "at 0.5 registered 001-01\n");
    int fd = Subscribe();
    ASSERT_GT(fd, 0);

    Message service = Read(fd);
    ASSERT_EQ(service.result, 0);
    EXPECT_EQ(service.msgId, SERVICE_AVAILABILITY_MSGID);
    ASSERT_EQ(service.length, 1);
    EXPECT_EQ(service.bytes()[0], 1);

    Message registered = Read(fd);
    ASSERT_EQ(registered.result, 0);
    EXPECT_EQ(registered.msgId, REGISTERED_MSGID);
    ASSERT_EQ(registered.length, 7);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(registered.bytes()), 7),
              std::string("001-01\0", 7));

    Message signal = Read(fd);
    ASSERT_EQ(signal.result, 0);
    EXPECT_EQ(signal.msgId, SIGNAL_QUALITY_MSGID);
    ASSERT_EQ(signal.length, 4);
    EXPECT_EQ(Host32(signal.bytes()), 20u);  // the phone's own byte order
    EXPECT_NE(Output().find("push SERVICE_AVAILABILITY 01"), std::string::npos) << Output();
}

TEST_F(HandsetProcess, MalformedPushesReachTheClientAsTheyAre) {
    Start(
        "at 0 msg 0x0701 null\n"
        "at 0 msg 0x0701 len 4 null\n"
        "at 0 msg 0x070A hex 3030312d30312d3030312d30312d303100\n"
        "at 0 msg 0x0999 hex 01\n"
        "at 0 garbage\n");
    int fd = Subscribe();
    ASSERT_GT(fd, 0);

    Message null = Read(fd);
    ASSERT_EQ(null.result, 0);
    EXPECT_EQ(null.msgId, SIGNAL_QUALITY_MSGID);
    EXPECT_EQ(null.length, 0);
    EXPECT_EQ(null.data, nullptr);

    Message announced = Read(fd);
    ASSERT_EQ(announced.result, 0);
    EXPECT_EQ(announced.length, 4);
    EXPECT_EQ(announced.data, nullptr);

    Message tooLong = Read(fd);
    ASSERT_EQ(tooLong.result, 0);
    EXPECT_EQ(tooLong.msgId, REGISTERED_MSGID);
    EXPECT_EQ(tooLong.length, 17);
    ASSERT_NE(tooLong.data, nullptr);
    EXPECT_EQ(tooLong.bytes()[16], 0);

    // Raw messages go out even without a subscription.
    Message unknown = Read(fd);
    ASSERT_EQ(unknown.result, 0);
    EXPECT_EQ(unknown.msgId, 0x0999);

    EXPECT_EQ(Read(fd).result, -1);  // shorter than a message head
}

TEST_F(HandsetProcess, CloseMakesTheNextReadFail) {
    Start("at 0.5 close\n");
    int fd = Subscribe();
    ASSERT_GT(fd, 0);
    EXPECT_EQ(Read(fd).result, -1);
    EXPECT_TRUE(ulvtest::WaitForFileContaining(outputPath_, "session 1: closed by the scenario"));
}

TEST_F(HandsetProcess, SubmissionsAreLoggedAndConfirmedWithTheirSequence) {
    Start(
        "sequence 100 step 5\n"
        "confirm 0,7\n"
        "confirm_delay 1\n");
    int fd = Subscribe();
    ASSERT_GT(fd, 0);

    std::string report;
    for (int i = 0; i < 152; ++i) report += static_cast<char>('A' + i % 26);
    std::vector<uint8_t> ordinary = SubmitRecord(0, "+4412345", "+447700900123", report, 0xa7);
    uint32_t sequence = 0;
    ASSERT_EQ(TAPI_SMS_SendSmUnblockMode(ordinary.data(), &sequence), 0);
    EXPECT_EQ(sequence, 100u);
    std::string expected =
        "SMS seq=100 pid=0x00 sc=+4412345 dest=+447700900123 len=152 vp=0xa7 text=" + report +
        "\n";
    EXPECT_EQ(ulvtest::ReadFile(Path("sim/sms.log")), expected);

    Message first = Read(fd);
    ASSERT_EQ(first.result, 0);
    EXPECT_EQ(first.msgId, SMS_SEND_CNF_MSGID);
    ASSERT_EQ(first.length, 12);
    EXPECT_EQ(Host32(first.bytes()), 100u);
    EXPECT_EQ(Host32(first.bytes() + 8), 0u);

    // E-mail form: address, blank, report cut to 160 characters, sent to the gateway.
    std::string mail = "someone@example.com " + report.substr(0, 140);
    std::vector<uint8_t> email = SubmitRecord(0x32, "+4412345", "6245", mail, 0xa7);
    ASSERT_EQ(TAPI_SMS_SendSmUnblockMode(email.data(), &sequence), 0);
    EXPECT_EQ(sequence, 105u);
    EXPECT_TRUE(ulvtest::WaitForFileContaining(
        Path("sim/sms.log"),
        "SMS seq=105 pid=0x32 sc=+4412345 dest=6245 len=160 vp=0xa7 text=" + mail + "\n"));

    Message second = Read(fd);
    ASSERT_EQ(second.result, 0);
    EXPECT_EQ(second.msgId, SMS_SEND_CNF_MSGID);
    ASSERT_EQ(second.length, 12);
    EXPECT_EQ(Host32(second.bytes()), 105u);
    EXPECT_EQ(Host32(second.bytes() + 8), 7u);
    EXPECT_EQ(Output().find("SMS-WARNING"), std::string::npos) << Output();
}

TEST_F(HandsetProcess, RefusedSubmissionsAndScriptedSilence) {
    Start(
        "submit refuse,accept\n"
        "confirm 0,none,3\n"
        "confirm_delay 0\n");
    int fd = Subscribe();
    ASSERT_GT(fd, 0);
    std::vector<uint8_t> record = SubmitRecord(0, "+4412345", "555", "PING", 0xff);
    uint32_t sequence = 77;
    EXPECT_EQ(TAPI_SMS_SendSmUnblockMode(record.data(), &sequence), -1);
    EXPECT_EQ(sequence, 77u);  // a refusal gives no sequence number
    ASSERT_EQ(TAPI_SMS_SendSmUnblockMode(record.data(), &sequence), 0);
    EXPECT_EQ(sequence, 1u);   // refusals do not use up sequence numbers
    ASSERT_EQ(TAPI_SMS_SendSmUnblockMode(record.data(), &sequence), 0);
    EXPECT_EQ(sequence, 2u);

    // The second submission is never confirmed: the next message confirms the third.
    Message confirmation = Read(fd);
    ASSERT_EQ(confirmation.result, 0);
    EXPECT_EQ(confirmation.msgId, SMS_SEND_CNF_MSGID);
    ASSERT_EQ(confirmation.length, 12);
    EXPECT_EQ(Host32(confirmation.bytes()), 2u);
    EXPECT_EQ(Host32(confirmation.bytes() + 8), 3u);
    EXPECT_EQ(ulvtest::ReadFile(Path("sim/sms.log")),
              "SMS refused pid=0x00 sc=+4412345 dest=555 len=4 vp=0xff text=PING\n"
              "SMS seq=1 pid=0x00 sc=+4412345 dest=555 len=4 vp=0xff text=PING\n"
              "SMS seq=2 pid=0x00 sc=+4412345 dest=555 len=4 vp=0xff text=PING\n");
}

TEST_F(HandsetProcess, DefectsOfAReadableRecordShowOnTheOutputOnly) {
    Start("");
    ASSERT_GT(Subscribe(), 0);
    // A 44-byte destination leaves no room for its NUL, and the text lacks its 0 unit.
    std::vector<uint8_t> record = SubmitRecord(0, "+4412345", std::string(44, '9'), "AB", 0xff);
    record[94 + 2 * 2] = 'C';
    uint32_t sequence = 0;
    ASSERT_EQ(TAPI_SMS_SendSmUnblockMode(record.data(), &sequence), 0);
    EXPECT_EQ(ulvtest::ReadFile(Path("sim/sms.log")),
              "SMS seq=1 pid=0x00 sc=+4412345 dest=" + std::string(44, '9') +
                  " len=2 vp=0xff text=AB\n");
    ASSERT_TRUE(ulvtest::WaitForFileContaining(outputPath_,
                                               "SMS-WARNING seq=1: text is not followed by a 0"))
        << Output();
    EXPECT_NE(Output().find("SMS-WARNING seq=1: destination has no NUL within 44 bytes"),
              std::string::npos)
        << Output();
}

TEST_F(HandsetProcess, MalformedRequestsGetMinusOneAndTheHandsetCarriesOn) {
    Start("");
    // A subscription whose count does not match its identifiers is closed unanswered.
    EXPECT_EQ(RawConnect({'E', 2, 0, 0x02, 0x07}), -1);
    EXPECT_EQ(RawConnect({'X'}), -1);
    int calls = RawConnect({'C'});
    ASSERT_GE(calls, 0);
    std::vector<uint8_t> payload;
    EXPECT_EQ(RawCall(calls, {0x07}, nullptr), -1);                 // shorter than a call code
    EXPECT_EQ(RawCall(calls, {99, 0}, nullptr), -1);                // unknown call
    EXPECT_EQ(RawCall(calls, {0x02, 0x00, 0x01}, nullptr), -1);     // payload on a query
    EXPECT_EQ(RawCall(calls, {0x09, 0x00, 0xff}, nullptr), -1);     // period cut short
    EXPECT_EQ(RawCall(calls, std::vector<uint8_t>(9000, 0x0a), nullptr), -1);  // too large
    std::vector<uint8_t> shortRecord(2 + 100, 0);
    shortRecord[0] = 0x0a;
    EXPECT_EQ(RawCall(calls, shortRecord, nullptr), -1);
    // A record whose text length runs past the validity byte.
    std::vector<uint8_t> longText(2, 0);
    longText[0] = 0x0a;
    std::vector<uint8_t> record = SubmitRecord(0, "+1", "2", "x", 0);
    uint16_t length = 5000;
    std::memcpy(record.data() + 92, &length, 2);
    longText.insert(longText.end(), record.begin(), record.end());
    EXPECT_EQ(RawCall(calls, longText, nullptr), -1);
    EXPECT_NE(ulvtest::ReadFile(Path("sim/sms.log")).find("SMS malformed: text length 5000"),
              std::string::npos);

    ASSERT_EQ(RawCall(calls, {0x02, 0x00}, &payload), 0);
    EXPECT_EQ(payload, std::vector<uint8_t>{1});
    close(calls);
    ASSERT_GT(Subscribe(), 0);  // still serving
}

TEST_F(HandsetProcess, ARestartedClientIsServedAndItsScheduleStartsAgain) {
    // The late signal is 10 real seconds away from each subscription: were the schedule kept
    // from an earlier session, it would be due at once and come before the confirmation.
    Start(
        "confirm_delay 0\n"
        "at 0 service 1\n"
        "at 500 signal 9\n");
    std::vector<uint8_t> record = SubmitRecord(0, "+4412345", "555", "PING", 0xff);
    for (uint32_t run = 1; run <= 3; ++run) {
        int fd = Subscribe();
        ASSERT_GT(fd, 0) << "run " << run;
        Message service = Read(fd);
        ASSERT_EQ(service.result, 0) << "run " << run;
        EXPECT_EQ(service.msgId, SERVICE_AVAILABILITY_MSGID) << "run " << run;
        uint32_t sequence = 0;
        ASSERT_EQ(TAPI_SMS_SendSmUnblockMode(record.data(), &sequence), 0) << "run " << run;
        EXPECT_EQ(sequence, run);  // sequence numbers run on across clients
        Message confirmation = Read(fd);
        ASSERT_EQ(confirmation.result, 0) << "run " << run;
        EXPECT_EQ(confirmation.msgId, SMS_SEND_CNF_MSGID) << "run " << run;
        ASSERT_EQ(confirmation.length, 12);
        EXPECT_EQ(Host32(confirmation.bytes()), run);
        TAPI_CLIENT_Fini();
    }
    EXPECT_TRUE(ulvtest::WaitForFileContaining(outputPath_, "session 3: subscribed"));
}

TEST_F(HandsetProcess, SigtermStopsCleanlyAndRemovesTheSocket) {
    Start("");
    ASSERT_GT(Subscribe(), 0);
    ASSERT_EQ(handset_.Kill(SIGTERM), 0);
    int status = -1;
    ASSERT_TRUE(handset_.WaitExit(&status));
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(access(Path("sim/tapi.sock").c_str(), F_OK), 0);
}

TEST_F(HandsetProcess, ExitAfterCloseEndsTheRunWithTheSession) {
    Start("exit_after_close\n");
    ASSERT_GT(Subscribe(), 0);
    uint8_t available = 0;
    EXPECT_EQ(TAPI_ACCE_GetServiceAvailability(&available), 0);
    TAPI_CLIENT_Fini();  // the daemon going away
    int status = -1;
    ASSERT_TRUE(handset_.WaitExit(&status));
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(Output().find("session 1: closed by the client"), std::string::npos) << Output();
}

TEST_F(HandsetProcess, ExitEventStopsTheHandset) {
    Start("at 0.5 exit\n");
    // A subscription alone starts the schedule.
    int events = RawConnect({'E', 1, 0, 0x02, 0x07});
    ASSERT_GE(events, 0);
    int status = -1;
    ASSERT_TRUE(handset_.WaitExit(&status));
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(access(Path("sim/tapi.sock").c_str(), F_OK), 0);
    uint8_t byte = 0;
    EXPECT_EQ(recv(events, &byte, 1, 0), 0);  // hung up
    close(events);
}

TEST_F(HandsetProcess, BadScenarioStopsBeforeListening) {
    ASSERT_TRUE(ulvtest::WriteFile(Path("scenario.txt"), "# fine\nsignal 20\nbogus 1\n"));
    std::string output = Path("handset.out");
    ulvtest::ChildProcess handset = ulvtest::ChildProcess::Spawn(
        {ULV_HANDSET_PATH, "--root", root_.path(), "--scenario", Path("scenario.txt"),
         "--prepare"},
        {}, output);
    int status = -1;
    ASSERT_TRUE(handset.WaitExit(&status));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_NE(ulvtest::ReadFile(output).find("scenario:3: unknown directive 'bogus'"),
              std::string::npos)
        << ulvtest::ReadFile(output);
    // Nothing was prepared or listened on.
    EXPECT_NE(access(Path("sim").c_str(), F_OK), 0);
}

}  // namespace
