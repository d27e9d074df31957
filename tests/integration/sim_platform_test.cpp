// The sim platform's own guarantees: it never reaches the host's own paths, and its timer
// device delivers every expiry, as the handset's does.
#include <gtest/gtest.h>
#include <poll.h>

#include "platform/rtc_sw.h"
#include "process.h"
#include "sim_env.h"

namespace {

TEST(SimSandbox, RefusesARootThatWouldReachTheHostsOwnPaths) {
    for (const char* root : {"relative/sandbox", "./sandbox", "/", "//", ""})
        EXPECT_EXIT((setenv("ULV_SIM_ROOT", root, 1), sim::Root()), ::testing::ExitedWithCode(2),
                    "ULV_SIM_ROOT")
            << "'" << root << "'";
}

TEST(SimTimer, EveryExpiryIsDeliveredOnItsOwnWhenTheReaderRunsLate) {
    ulvtest::SandboxRoot sandbox;
    setenv("ULV_SIM_ROOT", sandbox.path().c_str(), 1);
    setenv("ULV_TIME_SCALE", "100", 1);  // a 1-second timer goes off every 10 ms
    constexpr int64_t kIntervalNs = 10'000'000;
    const std::string device = sandbox.path() + "/rtc_sw";
    ASSERT_TRUE(ulvtest::WriteFile(device, ""));
    const int fd = RtcSwOpen(device.c_str());
    RtcSwTimer second{0, 0, 1, 0};
    ASSERT_EQ(RtcSwRequest(fd, RTC_SW_START, &second), 0);
    const int64_t armed = sim::MonotonicNs();
    // The reader comes late: ten expiries or more are due before it looks.
    ASSERT_TRUE(ulvtest::WaitUntil([&] { return sim::MonotonicNs() - armed > 10 * kIntervalNs; }));
    const int64_t due = (sim::MonotonicNs() - armed) / kIntervalNs;
    int64_t delivered = 0;
    for (pollfd entry{fd, POLLIN, 0}; poll(&entry, 1, 0) == 1 && delivered < 100000; ++delivered)
        ASSERT_EQ(RtcSwRequest(fd, RTC_SW_ACK, nullptr), 0);
    EXPECT_GE(delivered, due);
    EXPECT_LE(delivered, (sim::MonotonicNs() - armed) / kIntervalNs + 1);
    EXPECT_EQ(RtcSwClose(fd), 0);
}

}  // namespace
