// A fresh daemon process state per test, in a fresh sandbox root, with the fake handset
// services of tests/fakes.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fakes.h"
#include "process_reset.h"

class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A file below the sandbox root ("zellocal/panic/bp_panic.log1", ...).
    void WriteFile(const std::string& relative, const std::string& content);
    std::string ReadFile(const std::string& relative) const;
    bool Exists(const std::string& relative) const;

    // The configuration file: the 19 lines as the daemon writes them, with the given values
    // in place of the defaults (destination "+15550100", duration 24, delay 5, ...).
    static std::string ConfigText(const std::map<std::string, std::string>& values = {});
    void WriteConfig(const std::map<std::string, std::string>& values = {});
    std::string ConfigFile() const { return ReadFile("zel_app/setup/ulv.cfg"); }

    // Trace records: whole file, and the message parts (after the tab) in order.
    std::string TraceFile() const { return ReadFile("zel_user/download/appwrite/ulvPanicInfo"); }
    std::vector<std::string> TraceMessages() const;
    int TraceCount(const std::string& message) const;

    // Opens the fake timer device as the daemon's timerFd and connects the fake telephony
    // client as its tapiFd.
    void ConnectDevices();

    std::string root_;

private:
    std::optional<std::string> zone_;  // TZ as the test found it: a test may change it
};

// Descriptors this process holds: the daemon's code must close every file it opens.
size_t OpenDescriptors();

// `expected` are among `actual` in this order, each equal to a whole record.
::testing::AssertionResult InOrder(const std::vector<std::string>& actual,
                                   const std::vector<std::string>& expected);

