// The scenario of the simulated handset: what its telephony service answers, which calls fail,
// which connections it refuses, how it treats SMS submissions and which telephony messages it
// pushes when. The text format is documented in tools/handset/README.md; the parser here is the
// only reader of it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/tapi.h"

namespace handset {

// The calls of the telephony client library, by their wire code (sim_protocol.h).
struct CallInfo {
    uint16_t code;
    const char* name;       // the library's name without "TAPI_xxx_", as printed
    const char* shortName;  // the protocol's name, accepted in scenarios as well
};
inline constexpr size_t kCallCount = 12;
// Finds a call by either of its names, or by its full library name ("TAPI_SMS_GetServiceCenter").
const CallInfo* FindCall(std::string_view name);
// The printed name of a call code; nullptr for an unknown code.
const CallInfo* FindCall(uint16_t code);

// Buffer layouts the handset fills. The BP version buffer carries the flex version at a fixed
// place after the version text.
inline constexpr size_t kBpVersionTextSize = 48;
inline constexpr size_t kFlexVersionOffset = 48;
inline constexpr size_t kFlexVersionSize = 20;
static_assert(kFlexVersionOffset + kFlexVersionSize <= TAPI_BP_VERSION_INFO_SIZE);

// The result a failing call answers unless the scenario names another.
inline constexpr int32_t kDefaultFailResult = -1;

struct CallFailure {
    bool active = false;
    bool always = false;     // fail every time, otherwise only `remaining` more times
    uint32_t remaining = 0;
    int32_t result = kDefaultFailResult;
};

enum class SubmitAnswer { kAccept, kRefuse };

// A timed action of the handset, `at` simulated seconds after a client subscribed.
struct TimedEvent {
    enum class Kind {
        kMessage,  // a telephony message
        kClose,    // hang up on the client
        kGarbage,  // a packet shorter than a message head
        kExit,     // stop the handset
    };
    Kind kind = Kind::kMessage;
    double at = 0;
    int line = 0;
    uint16_t msgId = 0;
    // Raw messages go out whether or not the client subscribed to their identifier, and may
    // carry the data-null flag with any length.
    bool raw = false;
    bool dataNull = false;
    uint16_t nullLength = 0;  // the length announced with null data
    std::vector<uint8_t> data;
};

struct Scenario {
    // Values the calls answer.
    std::string countryCode = "310";
    std::string networkCode = "410";
    uint8_t serviceAvailable = 1;
    uint8_t signalStrength = 20;
    std::array<uint8_t, TAPI_AP_VERSION_INFO_SIZE> apVersion{};
    std::array<uint8_t, TAPI_BP_VERSION_INFO_SIZE> bpVersion{};  // text and flex version
    std::array<uint8_t, TAPI_FACTORY_SERIAL_SIZE> serial{};
    std::array<uint8_t, TAPI_SMS_ADDRESS_SIZE> serviceCentre{};
    std::array<uint8_t, TAPI_SMS_ADDRESS_SIZE> emailGateway{};
    uint32_t callTime = 0;
    std::array<uint8_t, TAPI_GENERIC_DATA_SIZE> genericData{};
    uint8_t validity = 255;

    // Failure injection, indexed by call code.
    std::array<CallFailure, kCallCount + 1> failures{};

    // Connection refusal: the first `refuseConnections` subscriptions, or all of them.
    uint32_t refuseConnections = 0;
    bool refuseAll = false;

    // SMS submissions. Both lists are indexed by the submission's ordinal over the handset's
    // life; the last entry repeats. An empty confirmation entry sends no confirmation.
    std::vector<SubmitAnswer> submit{SubmitAnswer::kAccept};
    uint32_t firstSequence = 1;
    uint32_t sequenceStep = 1;
    std::vector<std::optional<uint32_t>> confirm{0u};
    double confirmDelay = 2;

    bool exitAfterClose = false;

    // In order of time; events of equal time keep their order in the file.
    std::vector<TimedEvent> events;

    Scenario();  // the defaults of a healthy phone
};

struct ScenarioError {
    int line = 0;  // 0: not tied to a line (the file could not be read)
    std::string message;
};

// Parses scenario text. Returns false and fills `error` at the first bad line.
bool ParseScenario(std::string_view text, Scenario* scenario, ScenarioError* error);
bool LoadScenarioFile(const std::string& path, Scenario* scenario, ScenarioError* error);

}  // namespace handset
