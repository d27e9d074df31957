#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace ulvtest {

std::vector<std::string> EmulatorPrefix() {
    const char* text = std::getenv("ULV_TEST_EMULATOR");
    std::istringstream stream(text != nullptr ? text : "");
    std::vector<std::string> words;
    for (std::string word; stream >> word;) words.push_back(word);
    return words;
}

ChildProcess ChildProcess::Spawn(const std::vector<std::string>& argv,
                                 const std::string& outputPath) {
    std::vector<std::string> command = EmulatorPrefix();
    command.insert(command.end(), argv.begin(), argv.end());
    return SpawnNative(command, outputPath);
}

ChildProcess ChildProcess::SpawnNative(const std::vector<std::string>& command,
                                       const std::string& outputPath) {
    if (command.empty()) throw std::invalid_argument("ChildProcess: empty argv");
    std::vector<std::string> words = command;
    std::vector<char*> args;
    for (std::string& word : words) args.push_back(word.data());
    args.push_back(nullptr);
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

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        Reap();
        std::swap(pid_, other.pid_);
    }
    return *this;
}

void ChildProcess::Reap() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

bool ChildProcess::WaitExit(int* status, double seconds) {
    int result = 0;
    if (pid_ <= 0 || !WaitUntil([&] { return waitpid(pid_, &result, WNOHANG) == pid_; }, seconds))
        return false;
    pid_ = -1;
    if (status != nullptr) *status = result;
    return true;
}

std::string RunToEnd(const std::vector<std::string>& argv, int* exitCode, bool native) {
    char path[] = "/tmp/ulv-run-XXXXXX";
    close(mkstemp(path));
    ChildProcess child =
        native ? ChildProcess::SpawnNative(argv, path) : ChildProcess::Spawn(argv, path);
    int status = 0;
    *exitCode = child.WaitExit(&status) && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::string output = ReadFile(path);
    unlink(path);
    return output;
}

SandboxRoot::SandboxRoot() {
    // Unix socket paths are limited to 107 bytes; a long TMPDIR would not leave room.
    const char* base = std::getenv("TMPDIR");
    std::string pattern = (base != nullptr && base[0] != '\0' && std::strlen(base) <= 40)
                              ? std::string(base) + "/ulv-XXXXXX"
                              : "/tmp/ulv-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
    path_ = pattern;
}

SandboxRoot::~SandboxRoot() {
    std::error_code ignored;
    if (std::getenv("ULV_TEST_KEEP") == nullptr) std::filesystem::remove_all(path_, ignored);
}

bool WaitUntil(const std::function<bool()>& condition, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string ReadFile(const std::string& path) {
    std::ostringstream content;
    content << std::ifstream(path, std::ios::binary).rdbuf();
    return content.str();
}

bool WriteFile(const std::string& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary);
    file << content;
    file.close();  // a write that fails on the flush fails here
    return !file.fail();
}

}  // namespace ulvtest
