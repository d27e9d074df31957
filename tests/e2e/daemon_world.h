// One simulated handset with its sandbox root, and the real daemon running against it: the
// processes the end-to-end tests start, on accelerated time.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>

#include <map>
#include <string>
#include <vector>

#include "process.h"

namespace ulvtest {

class DaemonWorld {
  public:
    // `timeScale` simulated seconds pass per real second; the simulated uptime starts at
    // `startUptime` seconds. Sets the sandbox's environment in this process, so that every
    // process started from here and the sim platform linked in here use it.
    explicit DaemonWorld(double timeScale = 200, long startUptime = 1000);
    ~DaemonWorld();

    const std::string& root() const { return sandbox_.path(); }
    std::string Path(const std::string& relative) const { return root() + "/" + relative; }

    void WriteConfig(const std::map<std::string, std::string>& values = {});
    std::string ConfigFile() const { return ReadFile(Path("zel_app/setup/ulv.cfg")); }
    // A value of the configuration file as written ("" when the key is missing).
    std::string ConfigValue(const std::string& key) const;

    void StartHandset(const std::string& scenario);
    // Starts the daemon; the exit status of the launching process (the daemon detaches), or
    // -1 when it did not end in time. The pid file of an earlier start is removed first,
    // unless the test placed something there for the daemon to meet.
    int StartDaemon(bool keepPidPath = false);
    // The daemon's pid from its pid file, once written as a regular file (0 when it never was;
    // whatever else is at the path is never opened, so a FIFO cannot block the test).
    pid_t WaitForDaemonPid(double seconds = kDefaultDeadlineSeconds);
    pid_t pid() const { return daemonPid_; }
    // Waits for the detached daemon to end; its wait status in `status`.
    bool WaitDaemonExit(int* status, double seconds = kDefaultDeadlineSeconds);
    void KillDaemon(int signal);

    // The platform log as the sim writes it ("A 0 3 text\n\r" lines), the trace file, and
    // the SMS the handset received (one "SMS ..." line each).
    std::string Aplog() const { return ReadFile(Path("sim/aplog.log")); }
    std::string Trace() const { return ReadFile(Path("zel_user/download/appwrite/ulvPanicInfo")); }
    std::vector<std::string> SmsLines() const { return Lines(ReadFile(Path("sim/sms.log"))); }
    // Text records of the platform log with exactly this text (written as the sim shows it,
    // e.g. "Exit ULV!\\n\\r").
    int AplogCount(const std::string& shownText) const;
    bool WaitForAplog(const std::string& shownText, int count = 1) const;
    bool WaitForTrace(const std::string& text, double seconds = kDefaultDeadlineSeconds) const;
    bool WaitForSmsCount(size_t count, double seconds = kDefaultDeadlineSeconds) const;
    // The report text of an SMS line (after "text="), and its other fields ("seq", "dest"..).
    static std::string SmsText(const std::string& line);
    static std::string SmsField(const std::string& line, const std::string& field);
    static std::vector<std::string> Lines(const std::string& text);

  private:
    // How the reaper saw `who` ("launcher" or a pid) end.
    bool ReapedStatus(const std::string& who, int* status, double seconds) const;

    SandboxRoot sandbox_;
    ChildProcess handset_;
    ChildProcess reaper_;
    std::string reaperStatus_;
    int starts_ = 0;
    pid_t daemonPid_ = 0;
};

// The exit code of a wait status; a negative number for a process ended by a signal.
inline int ExitCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -status;
}

// Runs ulv-decode on report texts; its standard output, one JSON object per line.
std::string Decode(const std::vector<std::string>& texts, int* exitStatus = nullptr);

}  // namespace ulvtest
