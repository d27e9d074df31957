#include "daemon_world.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
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

// How the reaper saw `who` ("launcher" or a pid) end.
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

std::string DaemonWorld::SmsText(const std::string& line) {
    size_t at = line.find(" text=");
    return at == std::string::npos ? "" : line.substr(at + 6);
}

std::vector<std::string> DaemonWorld::Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

std::string Decode(const std::vector<std::string>& texts, int* exitCode) {
    std::vector<std::string> argv{ULV_DECODE_PATH};
    argv.insert(argv.end(), texts.begin(), texts.end());
    int code = 0;
    return RunToEnd(argv, exitCode != nullptr ? exitCode : &code);
}

std::vector<std::string> DecodeAll(const std::vector<std::string>& smsLines) {
    std::vector<std::string> texts;
    for (const std::string& line : smsLines) texts.push_back(DaemonWorld::SmsText(line));
    std::vector<std::string> decoded;
    for (const std::string& json : DaemonWorld::Lines(Decode(texts)))
        if (json.rfind("{", 0) == 0) decoded.push_back(json);
    return decoded;
}

std::string JsonField(const std::string& json, const std::string& name) {
    std::smatch match;
    std::regex field("\"" + name + "\":(\"[^\"]*\"|[^,}]*)");
    return std::regex_search(json, match, field) ? match[1].str() : "";
}

::testing::AssertionResult Launch(DaemonWorld& world, bool settle, bool keepPid) {
    if (world.StartDaemon(keepPid) != 0) return ::testing::AssertionFailure() << "launcher";
    if (world.WaitForDaemonPid() <= 0) return ::testing::AssertionFailure() << "no pid file";
    if (settle && !world.WaitForTrace("\tSchedule periodic Timer\n"))
        return ::testing::AssertionFailure() << world.Aplog();
    return ::testing::AssertionSuccess();
}

int Ended(DaemonWorld& world, double seconds) {
    int status = 0;
    if (!world.WaitDaemonExit(&status, seconds)) return -1000;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -status;
}

::testing::AssertionResult Stop(DaemonWorld& world) {
    world.KillDaemon(SIGTERM);
    const int code = Ended(world);
    if (code == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "exit " << code << "\n" << world.Aplog();
}

::testing::AssertionResult Restart(DaemonWorld& world) {
    ::testing::AssertionResult stopped = Stop(world);
    if (!stopped) return stopped;
    WriteFile(world.Path("zel_user/download/appwrite/ulvPanicInfo"), "");
    return Launch(world);
}

}  // namespace ulvtest
