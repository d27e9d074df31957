// The scenario reader of the simulated handset: the healthy phone an empty scenario gives, and
// bad lines named as "scenario:LINE: message", the way ulv-handset prints them before it stops.
#include "scenario.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "process.h"

namespace handset {
namespace {

TEST(HandsetScenario, EmptyScenarioIsAHealthyPhone) {
    Scenario s;
    ScenarioError error;
    ASSERT_TRUE(ParseScenario("# nothing but a comment\n\n   \n", &s, &error)) << error.message;
    EXPECT_EQ(s.countryCode + "-" + s.networkCode, "310-410");
    EXPECT_EQ(s.serviceAvailable, 1);
    EXPECT_EQ(s.signalStrength, 20);
    EXPECT_STREQ(reinterpret_cast<const char*>(s.serviceCentre.data()), "+4412345");
    EXPECT_STREQ(reinterpret_cast<const char*>(s.emailGateway.data()), "6245");
    EXPECT_EQ(s.submit, std::vector<SubmitAnswer>{SubmitAnswer::kAccept});
    EXPECT_EQ(s.confirm, std::vector<std::optional<uint32_t>>{0u});
    EXPECT_EQ(s.firstSequence, 1u);
    EXPECT_EQ(s.sequenceStep, 1u);
    EXPECT_EQ(s.confirmDelay, 2);
    EXPECT_EQ(s.refuseConnections, 0u);
    EXPECT_FALSE(s.refuseAll || s.exitAfterClose);
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
    const std::string scenario = root.path() + "/scenario.txt";
    const std::string output = root.path() + "/handset.out";
    ASSERT_TRUE(ulvtest::WriteFile(scenario, "# fine\nsignal 20\nbogus 1\n"));
    ulvtest::ChildProcess handset = ulvtest::ChildProcess::Spawn(
        {ULV_HANDSET_PATH, "--root", root.path(), "--scenario", scenario, "--prepare"}, output);
    int status = -1;
    ASSERT_TRUE(handset.WaitExit(&status));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_EQ(ulvtest::ReadFile(output), "scenario:3: unknown directive 'bogus'\n");
    EXPECT_NE(access((root.path() + "/sim").c_str(), F_OK), 0);
}

}  // namespace
}  // namespace handset
