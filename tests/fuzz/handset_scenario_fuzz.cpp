// ulv-handset's scenario parser on a whole scenario text (ParseScenario).
//
// Input: the text.
#include <string_view>

#include "fuzz_support.h"
#include "scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    handset::Scenario scenario;
    handset::ScenarioError error;
    const bool ok = handset::ParseScenario(text, &scenario, &error);
    if (!ok) {
        // A refusal names a line of the text and says why.
        size_t lines = 1;
        for (char c : text) lines += c == '\n';
        FUZZ_CHECK(error.line >= 1 && static_cast<size_t>(error.line) <= lines);
        FUZZ_CHECK(!error.message.empty());
        return 0;
    }
    // Events come in time order, each from a line of the text.
    for (size_t i = 0; i < scenario.events.size(); ++i) {
        const handset::TimedEvent& event = scenario.events[i];
        FUZZ_CHECK(event.at >= 0);
        FUZZ_CHECK(event.line >= 1);
        if (i > 0) FUZZ_CHECK(scenario.events[i - 1].at <= event.at);
        FUZZ_CHECK(!event.dataNull || event.data.empty());
    }
    FUZZ_CHECK(!scenario.submit.empty() && !scenario.confirm.empty());
    return 0;
}
