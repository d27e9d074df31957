#include "daemon_fixture.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "config_text.h"
#include "daemon/daemon.h"
#include "platform/paths.h"
#include "platform/rtc_sw.h"
#include "process.h"
#include "state/daemon_state.h"

namespace fs = std::filesystem;

size_t OpenDescriptors() {
    const fs::directory_iterator fds("/proc/self/fd");
    return static_cast<size_t>(std::distance(begin(fds), end(fds)));
}

::testing::AssertionResult InOrder(const std::vector<std::string>& actual,
                                   const std::vector<std::string>& expected) {
    size_t at = 0;
    for (const std::string& record : actual)
        if (at < expected.size() && record == expected[at]) ++at;
    if (at == expected.size()) return ::testing::AssertionSuccess();
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    failure << "missing \"" << expected[at] << "\" in order among:";
    for (const std::string& record : actual) failure << "\n  \"" << record << "\"";
    return failure;
}

void DaemonTest::SetUp() {
    char pattern[] = "/tmp/ulv-unit-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    for (const char* dir : {"sim", "tmp", "dev/mtdblock", "zellocal/panic", "zellocal/ulv_app_dump",
                            "zel_user/download/appwrite", "zel_app/setup"})
        fs::create_directories(fs::path(root_) / dir);
    if (const char* zone = std::getenv("TZ")) zone_ = zone;
    setenv("ULV_SIM_ROOT", root_.c_str(), 1);
    setenv("ZEL_APP_WRITE_PATH", (root_ + "/zel_app").c_str(), 1);
    ResetProcessState();
}

void DaemonTest::TearDown() {
    zone_ ? setenv("TZ", zone_->c_str(), 1) : unsetenv("TZ");
    tzset();
    ResetProcessState();
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

void DaemonTest::WriteFile(const std::string& relative, const std::string& content) {
    const fs::path path = fs::path(root_) / relative;
    fs::create_directories(path.parent_path());
    ulvtest::WriteFile(path, content);
}

std::string DaemonTest::ReadFile(const std::string& relative) const {
    return ulvtest::ReadFile(fs::path(root_) / relative);
}

bool DaemonTest::Exists(const std::string& relative) const {
    return fs::exists(fs::path(root_) / relative);
}

std::string DaemonTest::ConfigText(const std::map<std::string, std::string>& values) {
    return ulvtest::ConfigText(values);
}

void DaemonTest::WriteConfig(const std::map<std::string, std::string>& values) {
    WriteFile("zel_app/setup/ulv.cfg", ConfigText(values));
}

std::vector<std::string> DaemonTest::TraceMessages() const {
    // Records are "dd mm yyyy hh:mm:ss ./ULV_x.cpp:N\t" and a message that may span lines: a
    // message ends at the start of the line holding the next ".cpp:".
    std::vector<std::string> messages;
    const std::string text = TraceFile();
    for (size_t at = 0, tab; (tab = text.find('\t', at)) != std::string::npos;) {
        const size_t next = text.find(".cpp:", tab);
        const size_t line = next == std::string::npos ? next : text.rfind('\n', next);
        at = line == std::string::npos || line < tab ? text.size() : line + 1;
        messages.push_back(text.substr(tab + 1, at - tab - 1));
    }
    return messages;
}

int DaemonTest::TraceCount(const std::string& message) const {
    const std::vector<std::string> messages = TraceMessages();
    return static_cast<int>(std::count(messages.begin(), messages.end(), message));
}

void DaemonTest::ConnectDevices() {
    PlatformPathBuffer buffer;
    ulvState.timerFd = RtcSwOpen(PlatformResolvePath(TIMER_DEVICE_PATH, buffer));
    ulvState.tapiFd = TAPI_CLIENT_Init(nullptr, 0);
}
