// The simulated handset: the healthy phone an empty scenario gives, bad lines named as
// "scenario:LINE: message" the way ulv-handset prints them before it stops, and the reading of
// the 6500-byte SMS submission record into its log line.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <tuple>

#include "process.h"
#include "scenario.h"
#include "submission.h"

namespace handset {
namespace {

TEST(HandsetScenario, EmptyScenarioIsAHealthyPhone) {
    Scenario s;
    ScenarioError error;
    ASSERT_TRUE(ParseScenario("# nothing but a comment\n\n   \n", &s, &error)) << error.message;
    EXPECT_EQ(std::tie(s.countryCode, s.networkCode, s.serviceAvailable, s.signalStrength),
              std::make_tuple("310", "410", 1, 20));
    EXPECT_STREQ(reinterpret_cast<const char*>(s.serviceCentre.data()), "+4412345");
    EXPECT_STREQ(reinterpret_cast<const char*>(s.emailGateway.data()), "6245");
    EXPECT_EQ(s.submit, std::vector<SubmitAnswer>{SubmitAnswer::kAccept});
    EXPECT_EQ(s.confirm, std::vector<std::optional<uint32_t>>{0u});
    EXPECT_EQ(std::tie(s.firstSequence, s.sequenceStep, s.confirmDelay, s.refuseConnections,
                       s.refuseAll, s.exitAfterClose),
              std::make_tuple(1u, 1u, 2.0, 0u, false, false));
    EXPECT_TRUE(s.events.empty());
    for (const CallFailure& failure : s.failures) EXPECT_FALSE(failure.active);
}

TEST(HandsetScenario, RejectsABadLineNamingItsNumber) {
    const std::pair<const char*, const char*> cases[] = {
        {"# c\n\nbogus 1\n", "scenario:3: unknown directive 'bogus'"},
        {"signal 20\nsignal 21\n", "scenario:2: signal already given on line 1"},
        {"signal 256\n", "scenario:1: signal: a strength from 0 to 31, or 99 for no reading"},
        {"ap_version \"open\n", "scenario:1: quoted text is not closed"},
        {"fail Nothing\n", "scenario:1: fail: unknown call 'Nothing'"},
        {"submit accept,maybe\n",
         "scenario:1: submit: each entry is accept or refuse, not 'maybe'"},
        {"submit \"\"\n", "scenario:1: submit: the list is empty"},
        {"confirm \"\"\n", "scenario:1: confirm: the list is empty"},
        {"at 1 ring\n", "scenario:1: at: unknown event 'ring'"},
        {"at 1 msg 0x0701 hex 0\n", "scenario:1: at T msg hex: bytes as pairs of hex digits"},
    };
    for (const auto& [text, printed] : cases) {
        Scenario scenario;
        ScenarioError error;
        ASSERT_FALSE(ParseScenario(text, &scenario, &error)) << text;
        EXPECT_EQ("scenario:" + std::to_string(error.line) + ": " + error.message, printed);
    }
}

TEST(HandsetScenario, BadScenarioStopsTheHandsetBeforeItPreparesAnything) {
    ulvtest::SandboxRoot root;
    const std::string scenario = root.path() + "/scenario.txt", output = root.path() + "/out";
    ASSERT_TRUE(ulvtest::WriteFile(scenario, "# fine\nsignal 20\nbogus 1\n"));
    ulvtest::ChildProcess handset = ulvtest::ChildProcess::Spawn(
        {ULV_HANDSET_PATH, "--root", root.path(), "--scenario", scenario, "--prepare"}, output);
    int status = -1;
    ASSERT_TRUE(handset.WaitExit(&status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    EXPECT_EQ(ulvtest::ReadFile(output), "scenario:3: unknown directive 'bogus'\n");
    EXPECT_NE(access((root.path() + "/sim").c_str(), F_OK), 0);
}

// A record built by hand from the layout, numbers in the processor's own order: 0 pid,
// 2 centre[42], 44 destination[44], 88 u32 0, 92 u16 length, 94 text units, 6496 validity.
std::vector<uint8_t> Record(uint8_t pid, const std::string& centre, const std::string& destination,
                            const std::u16string& text, uint8_t validity) {
    std::vector<uint8_t> record(6500, 0);
    record[0] = pid;
    std::memcpy(record.data() + 2, centre.data(), centre.size());
    std::memcpy(record.data() + 44, destination.data(), destination.size());
    const uint16_t length = static_cast<uint16_t>(text.size());
    std::memcpy(record.data() + 92, &length, 2);
    std::memcpy(record.data() + 94, text.data(), 2 * text.size());
    record[6496] = validity;
    return record;
}

TEST(HandsetSubmission, ReadsPhoneAndEmailRecordsIntoTheLogLine) {
    // The e-mail form's centre and gateway are the longest that keep their NUL (41 and 43).
    const std::string centre(41, 'c'), gateway(43, 'g');
    const std::tuple<std::vector<uint8_t>, uint32_t, std::string> cases[] = {
        {Record(0, "+4412345", "+447700900123", u"AB1\x263a", 0xa7), 100,
         "SMS seq=100 pid=0x00 sc=+4412345 dest=+447700900123 len=4 vp=0xa7 text=AB1\\u263a"},
        {Record(0x32, centre, gateway, u"a@b.c YWJj-+==", 0xff), 7,
         "SMS seq=7 pid=0x32 sc=" + centre + " dest=" + gateway +
             " len=14 vp=0xff text=a@b.c YWJj-+=="},
    };
    for (const auto& [record, sequence, line] : cases) {
        Submission submission;
        std::string error;
        ASSERT_TRUE(DecodeSubmission(record.data(), record.size(), &submission, &error)) << error;
        EXPECT_TRUE(submission.warnings.empty()) << submission.warnings.front();
        EXPECT_EQ(FormatSubmission(submission, &sequence), line);
    }
}

}  // namespace
}  // namespace handset
