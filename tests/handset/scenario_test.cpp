// The scenario reader of the simulated handset: defaults, value buffers, event data as it goes
// on the wire, and the rejection of every kind of bad line with its line number.
#include "scenario.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace handset {
namespace {

Scenario Parse(const std::string& text) {
    Scenario scenario;
    ScenarioError error;
    EXPECT_TRUE(ParseScenario(text, &scenario, &error))
        << "line " << error.line << ": " << error.message;
    return scenario;
}

template <size_t N>
std::string Bytes(const std::array<uint8_t, N>& buffer, size_t offset, size_t size) {
    return std::string(reinterpret_cast<const char*>(buffer.data()) + offset, size);
}

uint32_t Host32(const std::vector<uint8_t>& data, size_t offset) {
    uint32_t value = 0;
    std::memcpy(&value, data.data() + offset, sizeof value);
    return value;
}

TEST(HandsetScenario, EmptyScenarioIsAHealthyPhone) {
    Scenario s = Parse("# nothing but a comment\n\n   \n");
    EXPECT_EQ(s.countryCode, "310");
    EXPECT_EQ(s.networkCode, "410");
    EXPECT_EQ(s.serviceAvailable, 1);
    EXPECT_EQ(s.signalStrength, 20);
    EXPECT_EQ(Bytes(s.serviceCentre, 0, 9), std::string("+4412345\0", 9));
    EXPECT_NE(s.emailGateway[0], 0);
    EXPECT_NE(s.apVersion[0], 0);
    EXPECT_NE(s.bpVersion[kFlexVersionOffset], 0);
    ASSERT_EQ(s.submit.size(), 1u);
    EXPECT_EQ(s.submit[0], SubmitAnswer::kAccept);
    EXPECT_EQ(s.firstSequence, 1u);
    EXPECT_EQ(s.sequenceStep, 1u);
    ASSERT_EQ(s.confirm.size(), 1u);
    EXPECT_EQ(s.confirm[0], std::optional<uint32_t>(0));
    EXPECT_EQ(s.confirmDelay, 2);
    EXPECT_EQ(s.refuseConnections, 0u);
    EXPECT_FALSE(s.refuseAll);
    EXPECT_FALSE(s.exitAfterClose);
    EXPECT_TRUE(s.events.empty());
    for (const CallFailure& failure : s.failures) EXPECT_FALSE(failure.active);
}

TEST(HandsetScenario, TextValuesFillTheirBuffersAndClearTheRest) {
    Scenario s = Parse(
        "network 001-01\n"
        "ap_version \"AP 2.0 \\\"beta\\\"\"   # quoted, with blanks and escapes\n"
        "bp_version BP_R7\n"
        "flex_version FLEX\\x01   # unquoted: a backslash is an ordinary character\n"
        "serial 0123456789ABCDEF\n"
        "service_centre \"\"\n"
        "email_gateway\n");
    EXPECT_EQ(s.countryCode, "001");
    EXPECT_EQ(s.networkCode, "01");
    EXPECT_EQ(Bytes(s.apVersion, 0, 16), std::string("AP 2.0 \"beta\"\0\0\0", 16));
    EXPECT_EQ(s.apVersion[47], 0);
    // The BP text replaces the default text only; the flex version sits at byte 48.
    EXPECT_EQ(Bytes(s.bpVersion, 0, 6), std::string("BP_R7\0", 6));
    EXPECT_EQ(Bytes(s.bpVersion, kFlexVersionOffset, 9), std::string("FLEX\\x01\0", 9));
    EXPECT_EQ(Bytes(s.serial, 0, 16), "0123456789ABCDEF");  // all 16 bytes, no NUL
    EXPECT_EQ(s.serviceCentre[0], 0);
    EXPECT_EQ(s.emailGateway, decltype(s.emailGateway){});
}

TEST(HandsetScenario, QuotedHexEscapeGivesTheByte) {
    Scenario s = Parse("ap_version \"A\\x00B\\xff\"\n");
    EXPECT_EQ(Bytes(s.apVersion, 0, 5), std::string("A\0B\xff\0", 5));
}

TEST(HandsetScenario, NumbersAndHexBlocks) {
    Scenario s = Parse(
        "service 0\n"
        "signal 99\n"
        "call_time 0xFFFFFFFF\n"
        "validity 0xa7\n"
        "generic_data 00010203 04050607 08090a0b0c0d0e0f 1011121314151617\n"
        "confirm_delay 0.25\n"
        "sequence 4000000000 step 7\n"
        "refuse_connections 3\n"
        "exit_after_close\n");
    EXPECT_EQ(s.serviceAvailable, 0);
    EXPECT_EQ(s.signalStrength, 99);
    EXPECT_EQ(s.callTime, 0xFFFFFFFFu);
    EXPECT_EQ(s.validity, 0xa7);
    for (size_t i = 0; i < s.genericData.size(); ++i) EXPECT_EQ(s.genericData[i], i);
    EXPECT_EQ(s.confirmDelay, 0.25);
    EXPECT_EQ(s.firstSequence, 4000000000u);
    EXPECT_EQ(s.sequenceStep, 7u);
    EXPECT_EQ(s.refuseConnections, 3u);
    EXPECT_TRUE(s.exitAfterClose);
}

TEST(HandsetScenario, FailureAcceptsEveryNameOfACall) {
    Scenario s = Parse(
        "fail GetServiceCenter 3\n"
        "fail EmailGateway result 42\n"
        "fail TAPI_ULV_GetCallTime 1 result -5\n"
        "fail GetSignalQuality\n");
    const CallFailure& centre = s.failures[FindCall("ServiceCentre")->code];
    EXPECT_TRUE(centre.active);
    EXPECT_FALSE(centre.always);
    EXPECT_EQ(centre.remaining, 3u);
    EXPECT_EQ(centre.result, kDefaultFailResult);
    const CallFailure& gateway = s.failures[FindCall("GetEmailGateway")->code];
    EXPECT_TRUE(gateway.always);
    EXPECT_EQ(gateway.result, 42);
    const CallFailure& callTime = s.failures[FindCall("CallTime")->code];
    EXPECT_EQ(callTime.remaining, 1u);
    EXPECT_EQ(callTime.result, -5);
    EXPECT_TRUE(s.failures[FindCall("GetSiginalQuality")->code].always);
    EXPECT_FALSE(s.failures[FindCall("GetApVersionInfo")->code].active);
}

TEST(HandsetScenario, SubmissionListsKeepTheirOrder) {
    Scenario s = Parse(
        "submit accept,refuse, accept\n"
        "confirm 0,none,7\n"
        "refuse_connections all\n");
    ASSERT_EQ(s.submit.size(), 3u);
    EXPECT_EQ(s.submit[0], SubmitAnswer::kAccept);
    EXPECT_EQ(s.submit[1], SubmitAnswer::kRefuse);
    EXPECT_EQ(s.submit[2], SubmitAnswer::kAccept);
    ASSERT_EQ(s.confirm.size(), 3u);
    EXPECT_EQ(s.confirm[0], std::optional<uint32_t>(0));
    EXPECT_FALSE(s.confirm[1].has_value());
    EXPECT_EQ(s.confirm[2], std::optional<uint32_t>(7));
    EXPECT_TRUE(s.refuseAll);
}

TEST(HandsetScenario, EventsAreOrderedByTimeThenByLine) {
    Scenario s = Parse(
        "at 5 close\n"
        "at 1 service 1\n"
        "at 0.5 garbage\n"
        "at 1 signal 3\n"
        "at 9 exit\n");
    ASSERT_EQ(s.events.size(), 5u);
    EXPECT_EQ(s.events[0].kind, TimedEvent::Kind::kGarbage);
    EXPECT_EQ(s.events[1].line, 2);
    EXPECT_EQ(s.events[2].line, 4);
    EXPECT_EQ(s.events[3].kind, TimedEvent::Kind::kClose);
    EXPECT_EQ(s.events[4].kind, TimedEvent::Kind::kExit);
}

TEST(HandsetScenario, EventDataIsWhatGoesOnTheWire) {
    Scenario s = Parse(
        "at 0 service 1\n"
        "at 0 registered 310-410\n"
        "at 0 signal 20\n"
        "at 0 confirm 9 3\n"
        "at 0 msg 0x070A hex 3030312d30312d41424344454647484900\n"
        "at 0 msg 0x0701 null\n"
        "at 0 msg 0x0701 len 4 null\n"
        "at 0 msg 0x1234 text \"a b\"\n"
        "at 0 msg 0x0702 hex\n");
    ASSERT_EQ(s.events.size(), 9u);
    const auto& e = s.events;
    EXPECT_EQ(e[0].msgId, 0x0702);
    EXPECT_EQ(e[0].data, std::vector<uint8_t>{1});
    EXPECT_FALSE(e[0].raw);
    EXPECT_EQ(e[1].msgId, 0x070A);
    // The network id text goes with its NUL.
    EXPECT_EQ(e[1].data, std::vector<uint8_t>({'3', '1', '0', '-', '4', '1', '0', 0}));
    EXPECT_EQ(e[2].msgId, 0x0701);
    ASSERT_EQ(e[2].data.size(), 4u);
    EXPECT_EQ(Host32(e[2].data, 0), 20u);
    // Confirmation record: sequence, unused, result.
    EXPECT_EQ(e[3].msgId, 0x030D);
    ASSERT_EQ(e[3].data.size(), 12u);
    EXPECT_EQ(Host32(e[3].data, 0), 9u);
    EXPECT_EQ(Host32(e[3].data, 4), 0u);
    EXPECT_EQ(Host32(e[3].data, 8), 3u);
    EXPECT_TRUE(e[4].raw);
    EXPECT_EQ(e[4].data.size(), 17u);
    EXPECT_TRUE(e[5].dataNull);
    EXPECT_EQ(e[5].nullLength, 0);
    EXPECT_TRUE(e[6].dataNull);
    EXPECT_EQ(e[6].nullLength, 4);
    EXPECT_EQ(e[7].msgId, 0x1234);
    EXPECT_EQ(e[7].data, std::vector<uint8_t>({'a', ' ', 'b'}));
    EXPECT_FALSE(e[8].dataNull);
    EXPECT_TRUE(e[8].data.empty());
}

struct BadScenario {
    const char* text;
    int line;
    const char* message;  // a part of the message
};

class HandsetScenarioRejects : public ::testing::TestWithParam<BadScenario> {};

TEST_P(HandsetScenarioRejects, NamesTheLineAndTheProblem) {
    const BadScenario& bad = GetParam();
    Scenario scenario;
    ScenarioError error;
    ASSERT_FALSE(ParseScenario(bad.text, &scenario, &error)) << bad.text;
    EXPECT_EQ(error.line, bad.line) << bad.text;
    EXPECT_NE(error.message.find(bad.message), std::string::npos)
        << bad.text << " gave: " << error.message;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, HandsetScenarioRejects,
    ::testing::Values(
        BadScenario{"bogus 1\n", 1, "unknown directive 'bogus'"},
        BadScenario{"# c\n\nnetwork 310410\n", 3, "network:"},
        BadScenario{"network 12345678-1\n", 1, "network:"},
        BadScenario{"network 310-\n", 1, "network:"},
        BadScenario{"signal 256\n", 1, "signal:"},
        BadScenario{"signal 20 21\n", 1, "usage: signal"},
        BadScenario{"service\n", 1, "usage: service"},
        BadScenario{"service -1\n", 1, "service:"},
        BadScenario{"serial 0123456789ABCDEFG\n", 1, "at most 16 bytes"},
        BadScenario{"service_centre 012345678901234567890123456789012345678901X\n", 1,
                    "at most 42 bytes"},
        BadScenario{"bp_version 0123456789012345678901234567890123456789012345678\n", 1,
                    "at most 48 bytes"},
        BadScenario{"flex_version 012345678901234567890\n", 1, "at most 20 bytes"},
        BadScenario{"ap_version two words\n", 1, "usage: ap_version"},
        BadScenario{"call_time 4294967296\n", 1, "call_time:"},
        BadScenario{"generic_data 00\n", 1, "exactly 24 bytes"},
        BadScenario{"generic_data 0g0102030405060708090a0b0c0d0e0f1011121314151617\n", 1,
                    "exactly 24 bytes"},
        BadScenario{"ap_version \"open\n", 1, "not closed"},
        BadScenario{"ap_version \"a\\q\"\n", 1, "escape"},
        BadScenario{"ap_version \"a\"b\n", 1, "followed by a blank"},
        BadScenario{"signal 20\nsignal 21\n", 2, "already given on line 1"},
        BadScenario{"fail Nothing\n", 1, "unknown call 'Nothing'"},
        BadScenario{"fail GetServiceCenter 0\n", 1, "at least 1"},
        BadScenario{"fail GetServiceCenter result 0\n", 1, "nonzero"},
        BadScenario{"fail GetServiceCenter 2 result\n", 1, "usage: fail"},
        BadScenario{"fail SendSms\nfail SendSmUnblockMode 2\n", 2, "already given"},
        BadScenario{"refuse_connections some\n", 1, "refuse_connections:"},
        BadScenario{"submit accept,maybe\n", 1, "not 'maybe'"},
        BadScenario{"confirm 0,,1\n", 1, "not ''"},
        BadScenario{"confirm 0,\n", 1, "not ''"},
        BadScenario{"sequence 1 stride 2\n", 1, "usage: sequence"},
        BadScenario{"confirm_delay 1e3\n", 1, "confirm_delay:"},
        BadScenario{"exit_after_close now\n", 1, "usage: exit_after_close"},
        BadScenario{"at 1\n", 1, "usage: at"},
        BadScenario{"at -1 service 1\n", 1, "at: simulated seconds"},
        BadScenario{"at 1.2.3 close\n", 1, "at: simulated seconds"},
        BadScenario{"at 1 ring\n", 1, "unknown event 'ring'"},
        BadScenario{"at 1 service\n", 1, "usage: at T service"},
        BadScenario{"at 1 service 256\n", 1, "at T service"},
        BadScenario{"at 1 signal 4294967296\n", 1, "at T signal"},
        BadScenario{"at 1 confirm 5\n", 1, "usage: at T confirm"},
        BadScenario{"at 1 close now\n", 1, "usage: at T close"},
        BadScenario{"at 1 msg 0x10000 null\n", 1, "16-bit message identifier"},
        BadScenario{"at 1 msg 0x0701\n", 1, "usage: at T msg"},
        BadScenario{"at 1 msg 0x0701 len 4 hex 01\n", 1, "only with null"},
        BadScenario{"at 1 msg 0x0701 null 4\n", 1, "usage: at T msg"},
        BadScenario{"at 1 msg 0x0701 hex 0\n", 1, "pairs of hex digits"},
        BadScenario{"at 1 msg 0x0701 raw 00\n", 1, "usage: at T msg"}));

}  // namespace
}  // namespace handset
