// One simulated handset with its sandbox root, and the real daemon running against it, on
// accelerated time; and reading back what the daemon sent (through ulv-decode) and saved.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "process.h"

namespace ulvtest {

inline int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class DaemonWorld {
  public:
    // `timeScale` simulated seconds pass per real second, from an uptime of `startUptime`
    // seconds. Sets the sandbox's environment in this process, for every process started from
    // here and for the sim platform linked in.
    explicit DaemonWorld(double timeScale = 200, long startUptime = 1000);
    ~DaemonWorld() { KillDaemon(SIGKILL); }

    const std::string& root() const { return sandbox_.path(); }
    std::string Path(const std::string& relative) const { return root() + "/" + relative; }

    void WriteConfig(const std::map<std::string, std::string>& values = {});
    std::string ConfigFile() const { return ReadFile(Path("zel_app/setup/ulv.cfg")); }
    std::string ConfigValue(const std::string& key) const;  // "" when missing

    void StartHandset(const std::string& scenario);
    // The launcher's exit status (the daemon detaches), -1 when it did not end in time. The pid
    // file of an earlier start is removed first unless `keepPidPath`.
    int StartDaemon(bool keepPidPath = false);
    // The pid in the pid file once that is a regular file (0 if never: a FIFO is not opened).
    pid_t WaitForDaemonPid(double seconds = kDefaultDeadlineSeconds);
    pid_t pid() const { return daemonPid_; }
    bool WaitDaemonExit(int* status, double seconds = kDefaultDeadlineSeconds);
    void KillDaemon(int signal) {
        if (daemonPid_ > 0) kill(daemonPid_, signal);
    }

    // The platform log ("A 0 3 text\n\r" lines), the trace, the SMS received ("SMS ..." lines).
    std::string Aplog() const { return ReadFile(Path("sim/aplog.log")); }
    std::string Trace() const { return ReadFile(Path("zel_user/download/appwrite/ulvPanicInfo")); }
    std::vector<std::string> SmsLines() const { return Lines(ReadFile(Path("sim/sms.log"))); }
    // Platform log records with exactly this text, as the sim shows it ("Exit ULV!\\n\\r").
    int AplogCount(const std::string& shown) const {
        return Count(Aplog(), "\nA 0 3 " + shown + "\n");
    }
    bool WaitForAplog(const std::string& shown, int count = 1) const {
        return WaitUntil([&] { return AplogCount(shown) >= count; });
    }
    bool WaitForTrace(const std::string& text) const {
        return WaitUntil([&] { return Count(Trace(), text) > 0; });
    }
    bool WaitForSmsCount(size_t count, double seconds = kDefaultDeadlineSeconds) const {
        return WaitUntil([&] { return SmsLines().size() >= count; }, seconds);
    }
    static std::string SmsText(const std::string& line);  // the report text, after "text="
    static std::vector<std::string> Lines(const std::string& text);

  private:
    bool ReapedStatus(const std::string& who, int* status, double seconds) const;

    SandboxRoot sandbox_;
    ChildProcess handset_;
    ChildProcess reaper_;
    std::string reaperStatus_;
    int starts_ = 0;
    pid_t daemonPid_ = 0;
};

// A handset running the software the default configuration last saw.
inline constexpr char kSameSoftware[] =
    "ap_version AP_R1\nbp_version BP.12.34\nflex_version FLEX_7\nserial SN01234567\n"
    "call_time 7\n";

using Values = std::vector<std::pair<std::string, std::string>>;

// Runs ulv-decode on report texts; its output, one JSON object per line, and its exit code.
std::string Decode(const std::vector<std::string>& texts, int* exitCode = nullptr);
// The JSON lines ulv-decode prints for these SMS.
std::vector<std::string> DecodeAll(const std::vector<std::string>& smsLines);
// A JSON field of one ulv-decode line, as its raw text ("287454020", "\"0x00000002\"").
std::string JsonField(const std::string& json, const std::string& name);

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
::testing::AssertionResult Launch(DaemonWorld& world, bool settle = true, bool keepPid = false);
// The daemon's exit code once it ended (negative: a signal, -1000: not in time).
int Ended(DaemonWorld& world, double seconds = kDefaultDeadlineSeconds);
// SIGTERM; the daemon must leave with status 0.
::testing::AssertionResult Stop(DaemonWorld& world);
// Stops the daemon, empties its trace and starts it again.
::testing::AssertionResult Restart(DaemonWorld& world);

}  // namespace ulvtest
