// ulv-handset's scenario parser on a whole scenario text (ParseScenario). Input: the text.
#include <algorithm>

#include "fuzz_support.h"
#include "scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text = ulvfuzz::Input(data, size).Rest();
    handset::Scenario scenario;
    handset::ScenarioError error;
    if (!handset::ParseScenario(text, &scenario, &error)) {
        // A refusal names a line of the text and says why.
        const auto lines = std::count(text.begin(), text.end(), '\n') + 1;
        FUZZ_CHECK(error.line >= 1 && error.line <= lines && !error.message.empty());
        return 0;
    }
    // Events come in time order, each from a line of the text.
    for (size_t i = 0; i < scenario.events.size(); ++i) {
        const handset::TimedEvent& event = scenario.events[i];
        FUZZ_CHECK(event.at >= 0 && event.line >= 1);
        FUZZ_CHECK(i == 0 || scenario.events[i - 1].at <= event.at);
        FUZZ_CHECK(!event.dataNull || event.data.empty());
    }
    FUZZ_CHECK(!scenario.submit.empty() && !scenario.confirm.empty());
    return 0;
}
