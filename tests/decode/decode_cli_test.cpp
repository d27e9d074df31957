// The ulv-decode executable itself: input numbering, output streams and exit status.
//
// Cross builds run the executable through the emulator named by ULV_TEST_EMULATOR, a command
// prefix split at blanks (empty or unset on the host).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "report_vectors.h"

namespace {

using ulv::decode::testing::ReferenceEncode;
using ulv::decode::testing::SampleCrashMessage;
using ulv::decode::testing::SampleHeader;
using ulv::decode::testing::SamplePeriodicMessage;

struct RunResult {
    int exitStatus = -1;  // -1 when the process did not exit normally
    std::string out;
    std::string err;
};

std::vector<std::string> CommandLine(const std::vector<std::string>& args) {
    std::vector<std::string> argv;
    if (const char* emulator = std::getenv("ULV_TEST_EMULATOR")) {
        std::istringstream words(emulator);
        for (std::string word; words >> word;) argv.push_back(word);
    }
    argv.push_back(ULV_DECODE_EXE);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// Runs the decoder with args, feeding it input, and collects both output streams. All three
// pipes are served together, so neither side can block the other.
RunResult RunDecoder(const std::vector<std::string>& args, const std::string& input) {
    std::signal(SIGPIPE, SIG_IGN);  // the decoder may exit before it has read everything
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2 failed";
        return {};
    }
    const std::vector<std::string> command = CommandLine(args);
    std::vector<char*> argv;
    for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        execvp(argv[0], argv.data());
        const std::string failed = "cannot run " + command[0] + "\n";
        [[maybe_unused]] const ssize_t ignored = write(STDERR_FILENO, failed.data(), failed.size());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        ADD_FAILURE() << "fork failed";
        close(in[1]);
        close(out[0]);
        close(err[0]);
        return {};
    }
    fcntl(in[1], F_SETFL, O_NONBLOCK);

    RunResult result;
    size_t written = 0;
    int inFd = in[1];
    if (input.empty()) {
        close(inFd);
        inFd = -1;
    }
    int outFd = out[0];
    int errFd = err[0];
    while (inFd >= 0 || outFd >= 0 || errFd >= 0) {
        pollfd fds[3] = {{inFd, POLLOUT, 0}, {outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
        if (poll(fds, 3, /* timeout= */ -1) < 0) {
            ADD_FAILURE() << "poll failed";
            break;
        }
        if (inFd >= 0 && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t n = write(inFd, input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            if (n < 0 || written == input.size()) {
                close(inFd);
                inFd = -1;
            }
        }
        int* readFds[2] = {&outFd, &errFd};
        std::string* sinks[2] = {&result.out, &result.err};
        for (int i = 0; i < 2; ++i) {
            if (*readFds[i] < 0 || !(fds[i + 1].revents & (POLLIN | POLLERR | POLLHUP))) continue;
            char buffer[4096];
            const ssize_t n = read(*readFds[i], buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else {
                close(*readFds[i]);
                *readFds[i] = -1;
            }
        }
    }
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        result.exitStatus = WEXITSTATUS(status);
    return result;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

TEST(DecodeCli, StandardInputGoesOnAfterABadLineAndExitsNonZero) {
    const std::string crash = ReferenceEncode(SampleCrashMessage());
    const std::string cut = ("user@example.com " + crash).substr(0, 160);
    const std::string input = crash + "\n" +  // line 1
                              "\n" +          // line 2
                              "a@b.io " + ReferenceEncode(SamplePeriodicMessage()) + "\r\n" +  // 3
                              "AAAA!AAA\n" +                     // line 4
                              "   \n" +                          // line 5
                              cut + "\n" +                       // line 6
                              ReferenceEncode(SampleHeader(0));  // line 7, no LF

    const RunResult r = RunDecoder({}, input);
    EXPECT_EQ(r.exitStatus, 1);
    const std::vector<std::string> out = Lines(r.out);
    ASSERT_EQ(out.size(), 4u) << r.out;
    EXPECT_TRUE(StartsWith(out[0], "{\"input\":1,\"address\":null,\"type\":0,")) << out[0];
    EXPECT_TRUE(StartsWith(out[1], "{\"input\":3,\"address\":\"a@b.io\",\"type\":2,")) << out[1];
    EXPECT_TRUE(StartsWith(out[2], "{\"input\":6,\"address\":\"user@example.com\",")) << out[2];
    EXPECT_NE(out[2].find("\"truncated\":true"), std::string::npos);
    EXPECT_TRUE(StartsWith(out[3], "{\"input\":7,")) << out[3];
    for (const std::string& line : out) EXPECT_EQ(line.back(), '}');

    EXPECT_EQ(Lines(r.err),
              (std::vector<std::string>{
                  "ulv-decode: input 4: '!' at position 5 is not in the report alphabet",
                  "ulv-decode: input 6: text cut short: 5 of 112 bytes missing"}));
}

TEST(DecodeCli, DecodesEachArgumentAndTakesNoOptions) {
    const std::string crash = ReferenceEncode(SampleCrashMessage());
    const RunResult good = RunDecoder({crash, ReferenceEncode(SampleHeader(0))}, "");
    EXPECT_EQ(good.exitStatus, 0);
    EXPECT_EQ(good.err, "");
    const std::vector<std::string> out = Lines(good.out);
    ASSERT_EQ(out.size(), 2u) << good.out;
    EXPECT_TRUE(StartsWith(out[0], "{\"input\":1,")) << out[0];
    EXPECT_TRUE(StartsWith(out[1], "{\"input\":2,")) << out[1];

    // "----" is a report text (FF FF FF), not an option; it is too short to be a report.
    const RunResult bad = RunDecoder({crash, "----", crash}, "");
    EXPECT_EQ(bad.exitStatus, 1);
    EXPECT_EQ(Lines(bad.out).size(), 2u) << bad.out;
    EXPECT_EQ(bad.err,
              "ulv-decode: input 2: 3 bytes is not a report length (64, 104 or 112 bytes)\n");
}

TEST(DecodeCli, EmptyStandardInputIsNotAnError) {
    const RunResult r = RunDecoder({}, "");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

}  // namespace
