// The project's programs as real processes (behind the emulator of a cross build, whose command
// words ULV_TEST_EMULATOR holds), a throw-away sandbox root, and waits against a deadline.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace ulvtest {

// Generous: tests share slow machines and run under emulators.
inline constexpr double kDefaultDeadlineSeconds = 20;

// Killed (SIGKILL) and reaped when the object goes, so that a failing test leaves nothing running.
class ChildProcess {
  public:
    // Standard output and error appended to `outputPath` unless empty; exits 127 if it cannot
    // start. SpawnNative: a program of the build machine, no emulator in front.
    static ChildProcess Spawn(const std::vector<std::string>& argv,
                              const std::string& outputPath = "");
    static ChildProcess SpawnNative(const std::vector<std::string>& argv,
                                    const std::string& outputPath = "");

    ChildProcess() = default;
    ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ~ChildProcess() { Reap(); }

    // True, with the wait status in `status`, when it ended within `seconds`.
    bool WaitExit(int* status, double seconds = kDefaultDeadlineSeconds);

  private:
    explicit ChildProcess(pid_t pid) : pid_(pid) {}
    void Reap();
    pid_t pid_ = -1;
};

std::vector<std::string> EmulatorPrefix();

// Runs `argv` to its end: its standard output and error, its exit code in `exitCode` (-1 when
// it did not end normally in time).
std::string RunToEnd(const std::vector<std::string>& argv, int* exitCode, bool native = false);

// A fresh directory with a short path (a Unix socket below it fits sockaddr_un), removed at
// destruction unless ULV_TEST_KEEP is set.
class SandboxRoot {
  public:
    SandboxRoot();
    ~SandboxRoot();
    SandboxRoot(const SandboxRoot&) = delete;
    SandboxRoot& operator=(const SandboxRoot&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

bool WaitUntil(const std::function<bool()>& condition, double seconds = kDefaultDeadlineSeconds);
std::string ReadFile(const std::string& path);  // empty when it cannot be read
bool WriteFile(const std::string& path, const std::string& content);

}  // namespace ulvtest
