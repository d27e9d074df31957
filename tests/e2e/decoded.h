// Reading back what the daemon sent: report texts through ulv-decode, fields of its JSON.
#pragma once

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "daemon_world.h"

namespace ulvtest {

inline std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (uint8_t b : bytes) text += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
    return text;
}

// A JSON field of one ulv-decode line, as its raw text ("287454020", "\"0x00000002\"").
inline std::string JsonField(const std::string& json, const std::string& name) {
    std::smatch match;
    std::regex field("\"" + name + "\":(\"[^\"]*\"|[^,}]*)");
    return std::regex_search(json, match, field) ? match[1].str() : "";
}

// The JSON lines ulv-decode prints for these SMS.
inline std::vector<std::string> DecodeAll(const std::vector<std::string>& lines) {
    std::vector<std::string> texts;
    for (const std::string& line : lines) texts.push_back(DaemonWorld::SmsText(line));
    std::istringstream output(Decode(texts));
    std::vector<std::string> decoded;
    for (std::string json; std::getline(output, json);)
        if (json.rfind("{", 0) == 0) decoded.push_back(json);
    return decoded;
}

// The daemon has handled everything due at start-up once the core dump timer has handed
// over to the periodic schedule.
inline bool WaitForSchedule(const DaemonWorld& world) {
    return world.WaitForTrace("\tSchedule periodic Timer\n");
}

}  // namespace ulvtest
