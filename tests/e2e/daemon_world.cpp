#include "daemon_world.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "config_text.h"

namespace ulvtest {

DaemonWorld::DaemonWorld(double timeScale, long startUptime) {
    char scale[64];
    std::snprintf(scale, sizeof scale, "%.6g", timeScale);
    setenv("ULV_SIM_ROOT", root().c_str(), 1);
    setenv("ULV_TIME_SCALE", scale, 1);
    setenv("ZEL_APP_WRITE_PATH", Path("zel_app").c_str(), 1);
    setenv("ULV_SIM_UPTIME", std::to_string(startUptime).c_str(), 1);  // read by --prepare
    int code = 0;
    const std::string output = RunToEnd({ULV_HANDSET_PATH, "--root", root(), "--prepare"}, &code);
    if (code != 0) std::fprintf(stderr, "ulv-handset --prepare failed: %s\n", output.c_str());
}

void DaemonWorld::WriteConfig(const std::map<std::string, std::string>& values) {
    WriteFile(Path("zel_app/setup/ulv.cfg"), ConfigText(values));
}

std::string DaemonWorld::ConfigValue(const std::string& key) const {
    for (const std::string& line : Lines(ConfigFile()))
        if (line.rfind(key + " = ", 0) == 0) return line.substr(key.size() + 3);
    return "";
}

void DaemonWorld::StartHandset(const std::string& scenario) {
    WriteFile(Path("scenario.txt"), scenario);
    handset_ = ChildProcess::Spawn(
        {ULV_HANDSET_PATH, "--root", root(), "--scenario", Path("scenario.txt")},
        Path("handset.out"));
    WaitUntil([&] { return access(Path("sim/tapi.sock").c_str(), F_OK) == 0; });  // serving
}

int DaemonWorld::StartDaemon(bool keepPidPath) {
    if (!keepPidPath) unlink(Path("tmp/ulv.pid").c_str());
    daemonPid_ = 0;
    // The daemon detaches; the reaper it starts under sees how every process of it ends.
    reaperStatus_ = Path("reaped-" + std::to_string(++starts_) + ".txt");
    std::vector<std::string> command{ULV_TEST_REAPER_PATH, reaperStatus_};
    for (const std::string& word : EmulatorPrefix()) command.push_back(word);
    command.push_back(ULV_DAEMON_PATH);
    reaper_ = ChildProcess::SpawnNative(command, Path("daemon.out"));
    int status = -1;
    if (!ReapedStatus("launcher", &status, kDefaultDeadlineSeconds)) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool DaemonWorld::ReapedStatus(const std::string& who, int* status, double seconds) const {
    return WaitUntil(
        [&] {
            for (const std::string& line : Lines(ReadFile(reaperStatus_)))
                if (line.rfind(who + " ", 0) == 0)
                    return *status = std::atoi(line.c_str() + who.size() + 1), true;
            return false;
        },
        seconds);
}

pid_t DaemonWorld::WaitForDaemonPid(double seconds) {
    std::string text;
    WaitUntil(
        [&] {
            struct stat status {};
            if (lstat(Path("tmp/ulv.pid").c_str(), &status) != 0 || !S_ISREG(status.st_mode))
                return false;
            text = ReadFile(Path("tmp/ulv.pid"));
            return !text.empty();
        },
        seconds);
    return daemonPid_ = static_cast<pid_t>(std::atol(text.c_str()));
}

bool DaemonWorld::WaitDaemonExit(int* status, double seconds) {
    if (daemonPid_ <= 0 || !ReapedStatus(std::to_string(daemonPid_), status, seconds)) return false;
    daemonPid_ = 0;
    return true;
}

int DaemonWorld::AplogCount(const std::string& shownText) const {
    int count = 0;
    for (const std::string& line : Lines(Aplog())) count += line == "A 0 3 " + shownText;
    return count;
}

bool DaemonWorld::WaitForAplog(const std::string& shownText, int count) const {
    return WaitUntil([&] { return AplogCount(shownText) >= count; });
}

bool DaemonWorld::WaitForTrace(const std::string& text) const {
    return WaitUntil([&] { return Trace().find(text) != std::string::npos; });
}

bool DaemonWorld::WaitForSmsCount(size_t count, double seconds) const {
    return WaitUntil([&] { return SmsLines().size() >= count; }, seconds);
}

std::string DaemonWorld::SmsText(const std::string& line) {
    size_t at = line.find(" text=");
    return at == std::string::npos ? "" : line.substr(at + 6);
}

std::string DaemonWorld::SmsField(const std::string& line, const std::string& field) {
    size_t at = line.find(" " + field + "=");
    if (at == std::string::npos) return "";
    at += field.size() + 2;
    return line.substr(at, line.find(' ', at) - at);
}

std::vector<std::string> DaemonWorld::Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

std::string Decode(const std::vector<std::string>& texts) {
    std::vector<std::string> argv{ULV_DECODE_PATH};
    argv.insert(argv.end(), texts.begin(), texts.end());
    int code = 0;
    return RunToEnd(argv, &code);
}

}  // namespace ulvtest
