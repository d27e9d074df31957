#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace ulvtest {

namespace {

std::vector<std::string> SplitBlanks(const char* text) {
    std::vector<std::string> words;
    std::istringstream stream(text != nullptr ? text : "");
    std::string word;
    while (stream >> word) words.push_back(word);
    return words;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& text : strings) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

double MonotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void PauseBriefly() {
    timespec pause{0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
}

}  // namespace

std::vector<std::string> EmulatorPrefix() { return SplitBlanks(std::getenv("ULV_TEST_EMULATOR")); }

ChildProcess ChildProcess::Spawn(const std::vector<std::string>& argv,
                                 const std::string& outputPath) {
    if (argv.empty()) throw std::invalid_argument("ChildProcess::Spawn: empty argv");
    std::vector<std::string> command = EmulatorPrefix();
    command.insert(command.end(), argv.begin(), argv.end());
    return SpawnNative(command, outputPath);
}

ChildProcess ChildProcess::SpawnNative(const std::vector<std::string>& command,
                                       const std::string& outputPath) {
    if (command.empty()) throw std::invalid_argument("ChildProcess::SpawnNative: empty argv");
    std::vector<std::string> words = command;
    std::vector<char*> args = Pointers(words);

    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        // Only async-signal-safe calls from here on.
        if (!outputPath.empty()) {
            int fd = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0 || dup2(fd, STDERR_FILENO) < 0) _exit(127);
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    return ChildProcess(pid);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        Reap();
        pid_ = other.pid_;
        other.pid_ = -1;
    }
    return *this;
}

ChildProcess::~ChildProcess() { Reap(); }

void ChildProcess::Reap() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

int ChildProcess::Kill(int signal) {
    if (pid_ <= 0) return -1;
    return kill(pid_, signal);
}

bool ChildProcess::WaitExit(int* status, double seconds) {
    if (pid_ <= 0) return false;
    double deadline = MonotonicSeconds() + seconds;
    for (;;) {
        int result = 0;
        pid_t done = waitpid(pid_, &result, WNOHANG);
        if (done == pid_) {
            if (status != nullptr) *status = result;
            pid_ = -1;
            return true;
        }
        if (done < 0 && errno != EINTR) return false;
        if (MonotonicSeconds() >= deadline) return false;
        PauseBriefly();
    }
}

SandboxRoot::SandboxRoot() {
    // Unix socket paths are limited to 107 bytes; a long TMPDIR would not leave room.
    const char* base = std::getenv("TMPDIR");
    std::string directory = (base != nullptr && base[0] != '\0' && std::strlen(base) <= 40)
                                ? base
                                : "/tmp";
    std::string pattern = directory + "/ulv-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
    path_ = pattern;
}

SandboxRoot::~SandboxRoot() {
    if (std::getenv("ULV_TEST_KEEP") != nullptr) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

bool WaitUntil(const std::function<bool()>& condition, double seconds) {
    double deadline = MonotonicSeconds() + seconds;
    for (;;) {
        if (condition()) return true;
        if (MonotonicSeconds() >= deadline) return false;
        PauseBriefly();
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return "";
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

bool WriteFile(const std::string& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    file.close();
    return !file.fail();
}

}  // namespace ulvtest
