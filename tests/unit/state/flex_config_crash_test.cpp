// A process killed while it rewrites the configuration leaves a whole file behind: the old
// one or the new one, never a mixture or nothing.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <random>
#include <string>
#include <thread>

#include "daemon_fixture.h"
#include "flex_records.h"
#include "state/daemon_state.h"
#include "state/flex_config.h"

namespace {

using FlexConfigCrashTest = DaemonTest;

constexpr int kRounds = 60;
constexpr int kDeadlineMs = 30000;  // per awaited write; only a hung child gets near it

// Reads one byte from `fd`, waiting at most the deadline. False on time-out or end of file.
bool ReadOne(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kDeadlineMs) != 1) return false;
    char byte = 0;
    return read(fd, &byte, 1) == 1;
}

// Counts the bytes left in the pipe until its writer is gone.
int Drain(int fd) {
    int count = 0;
    char buffer[256];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) count += static_cast<int>(n);
        else if (n == 0 || errno != EINTR) return count;
    }
}

// Rewrites the configuration for ever, alternating the two records and starting with the one
// that is not on disk, so every completed write changes the file. Reports each completed write
// with one byte on `doneFd`. Never returns: it is killed.
[[noreturn]] void RewriteForever(const FlexConfig (&records)[2], int onDisk, int doneFd) {
    for (int k = 1;; ++k) {
        ulvState.flexConfig = records[(onDisk + k) % 2];
        ULVSetFlexConfig();
        const char done = 1;
        if (write(doneFd, &done, 1) != 1) _exit(3);
    }
}

TEST_F(FlexConfigCrashTest, KilledWriterLeavesTheOldOrTheNewFileWhole) {
    const FlexConfig records[2] = {flexrecords::RecordA(), flexrecords::RecordB()};
    const std::string texts[2] = {flexrecords::kRecordAText, flexrecords::kRecordBText};
    ulvState.flexConfig = records[0];
    ULVSetFlexConfig();
    ASSERT_EQ(ConfigFile(), texts[0]);

    // A fixed seed: the same kill moments on every run. Any moment is a valid one.
    std::mt19937 random(0x5EED);
    std::uniform_int_distribution<int> awaitedWrites(1, 2);
    std::uniform_int_distribution<int> killDelayUs(0, 3000);

    int onDisk = 0;
    int seen[2] = {0, 0};
    long completedWrites = 0;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        int pipeFds[2];
        ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(pipeFds[0]);
            RewriteForever(records, onDisk, pipeFds[1]);
        }
        close(pipeFds[1]);

        // Let the child finish one or two writes, then kill it somewhere in a later one.
        const int awaited = awaitedWrites(random);
        bool started = true;
        for (int i = 0; i < awaited && started; ++i) started = ReadOne(pipeFds[0]);
        std::this_thread::sleep_for(std::chrono::microseconds(killDelayUs(random)));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        const int completed = (started ? awaited : 0) + Drain(pipeFds[0]);
        close(pipeFds[0]);
        ASSERT_TRUE(started) << "the child completed no write in time";
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
        completedWrites += completed;

        const std::string text = ConfigFile();
        const int index = text == texts[0] ? 0 : text == texts[1] ? 1 : -1;
        ASSERT_NE(index, -1) << "neither record:\n" << text;
        ++seen[index];
        onDisk = index;

        fake::aplog = {};
        ulvState.flexConfig = FlexConfig{};
        ASSERT_EQ(ULVGetFlexConfig(), 0);
        flexrecords::ExpectSameConfig(ulvState.flexConfig, records[index]);
        EXPECT_TRUE(fake::aplog.records.empty());
    }
    // The writer really ran: at least the awaited writes of every round, and the kills left
    // each record behind at some point.
    EXPECT_GE(completedWrites, kRounds);
    EXPECT_GT(seen[0], 0);
    EXPECT_GT(seen[1], 0);
    RecordProperty("completed_writes", static_cast<int>(completedWrites));
    RecordProperty("kills_leaving_a", seen[0]);
    RecordProperty("kills_leaving_b", seen[1]);
}

}  // namespace
