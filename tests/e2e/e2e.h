// What the end-to-end tests share: starting and stopping the daemon, and reading back what it
// sent (report texts through ulv-decode) and saved.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "daemon_world.h"

namespace ulvtest {

// A handset running the software the default configuration last saw.
inline constexpr char kSameSoftware[] =
    "ap_version AP_R1\nbp_version BP.12.34\nflex_version FLEX_7\nserial SN01234567\n"
    "call_time 7\n";

using Values = std::vector<std::pair<std::string, std::string>>;

inline std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (uint8_t b : bytes) text += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
    return text;
}

inline int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
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

inline void ExpectJson(const std::string& json, const Values& fields) {
    for (const auto& [name, value] : fields) EXPECT_EQ(JsonField(json, name), value) << name;
}

inline void ExpectConfig(const DaemonWorld& world, const Values& values) {
    for (const auto& [key, value] : values) EXPECT_EQ(world.ConfigValue(key), value) << key;
}

// Platform log records (as the sim shows them) and how often each must appear.
inline void ExpectAplog(const DaemonWorld& world,
                        const std::vector<std::pair<std::string, int>>& n) {
    for (const auto& [text, count] : n) EXPECT_EQ(world.AplogCount(text), count) << text;
}

// Starts the daemon; with `settle`, waits until it has handled everything due at start-up
// (the core dump timer has handed over to the periodic schedule).
inline ::testing::AssertionResult Launch(DaemonWorld& world, bool settle = true,
                                         bool keepPidPath = false) {
    if (world.StartDaemon(keepPidPath) != 0) return ::testing::AssertionFailure() << "launcher";
    if (world.WaitForDaemonPid() <= 0) return ::testing::AssertionFailure() << "no pid file";
    if (settle && !world.WaitForTrace("\tSchedule periodic Timer\n"))
        return ::testing::AssertionFailure() << world.Aplog();
    return ::testing::AssertionSuccess();
}

// The exit code of the daemon once it ended (-1000 when it did not in time).
inline int Ended(DaemonWorld& world, double seconds = kDefaultDeadlineSeconds) {
    int status = 0;
    return world.WaitDaemonExit(&status, seconds) ? ExitCode(status) : -1000;
}

// SIGTERM; the daemon must leave with status 0.
inline ::testing::AssertionResult Stop(DaemonWorld& world) {
    world.KillDaemon(SIGTERM);
    const int code = Ended(world);
    if (code == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "exit " << code << "\n" << world.Aplog();
}

// Stops the daemon, empties its trace and starts it again.
inline ::testing::AssertionResult Restart(DaemonWorld& world) {
    ::testing::AssertionResult stopped = Stop(world);
    if (!stopped) return stopped;
    WriteFile(world.Path("zel_user/download/appwrite/ulvPanicInfo"), "");
    return Launch(world);
}

}  // namespace ulvtest
