// Running the project's programs as real processes (through the emulator of a cross build,
// whose command prefix ULV_TEST_EMULATOR holds, blank separated), a throw-away sandbox root,
// and waiting for what a process writes against a deadline, never a fixed sleep.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace ulvtest {

// Deadlines are generous: tests share slow machines and run under emulators.
inline constexpr double kDefaultDeadlineSeconds = 20;

// A child process that is killed (SIGKILL) and reaped when the object goes, so that a failing
// test leaves nothing running.
class ChildProcess {
  public:
    // Starts `argv` (argv[0] a path or a name in PATH) behind the emulator prefix; standard
    // output and error appended to `outputPath` unless empty. Exits 127 if it cannot start.
    static ChildProcess Spawn(const std::vector<std::string>& argv,
                              const std::string& outputPath = "");
    // As Spawn, for a program built for the build machine itself: no emulator in front.
    static ChildProcess SpawnNative(const std::vector<std::string>& argv,
                                    const std::string& outputPath = "");

    ChildProcess() = default;
    ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ~ChildProcess() { Reap(); }

    // Waits until the process ends or `seconds` pass. Returns true with the wait status in
    // `status` when it ended (and is reaped).
    bool WaitExit(int* status, double seconds = kDefaultDeadlineSeconds);

  private:
    explicit ChildProcess(pid_t pid) : pid_(pid) {}
    void Reap();  // SIGKILL and wait
    pid_t pid_ = -1;
};

// The emulator's command words (empty on the host).
std::vector<std::string> EmulatorPrefix();

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

// Polls `condition` until it holds or `seconds` pass. Returns whether it held.
bool WaitUntil(const std::function<bool()>& condition, double seconds = kDefaultDeadlineSeconds);
// The whole content of a file; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// Writes `content` to `path`. Returns false on failure.
bool WriteFile(const std::string& path, const std::string& content);

}  // namespace ulvtest
