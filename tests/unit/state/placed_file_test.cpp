#include "state/placed_file.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <tuple>

#include "daemon_fixture.h"

namespace {

using PlacedFileTest = DaemonTest;

// What another process could leave at a path the daemon reads, and what the open must give
// (a directory and a missing file: through the configuration file).
TEST_F(PlacedFileTest, OpensOnlyFilesOfTheExpectedKindWithoutFollowingOrBlocking) {
    WriteFile("evidence", "secret-free bytes");
    WriteFile("secret", "the target of a planted link");
    const std::string root = root_ + "/";
    ASSERT_EQ(symlink((root + "secret").c_str(), (root + "link").c_str()), 0);
    ASSERT_EQ(mkfifo((root + "fifo").c_str(), 0600), 0);  // no writer: a blocking open waits

    const std::tuple<const char*, PlacedKind, int> cases[] = {
        // errno, 0: opens
        {"evidence", PlacedKind::Regular, 0},
        {"link", PlacedKind::Regular, ELOOP},
        {"fifo", PlacedKind::RegularOrDevice, EINVAL},
        {"/dev/null", PlacedKind::RegularOrDevice, EINVAL},  // a character device
    };
    for (const auto& [name, kind, error] : cases) {
        SCOPED_TRACE(name);
        errno = 0;
        const int fd = ULVOpenPlaced((name[0] == '/' ? name : root + name).c_str(), kind);
        char bytes[64] = {};
        EXPECT_EQ(fd < 0 ? errno : 0, error);
        if (fd < 0) {
            EXPECT_EQ(fd, -1);
            continue;
        }
        EXPECT_EQ(ULVReadFull(fd, bytes, sizeof bytes), 17);
        EXPECT_STREQ(bytes, "secret-free bytes");
        close(fd);
    }
}

TEST_F(PlacedFileTest, ReadFullStopsAtTheEndAndWriteAllWritesEverything) {
    const std::string path = root_ + "/out";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    const std::string text(70000, 'x');  // more than one pipe or page worth
    EXPECT_TRUE(ULVWriteAll(fd, text.data(), text.size()));
    ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
    std::string back(80000, '\0');
    EXPECT_EQ(ULVReadFull(fd, back.data(), back.size()), 70000);
    EXPECT_EQ(back.substr(0, 70000), text);
    // The end is the end even when errno still holds an interruption from earlier.
    errno = EINTR;
    EXPECT_EQ(ULVReadFull(fd, back.data(), 1), 0);
    errno = EINTR;
    int pieces = 0;
    ULVReadLinePieces(
        fd, [](const char*, size_t, void* n) { return ++*static_cast<int*>(n) > 0; }, &pieces);
    EXPECT_EQ(pieces, 0);
    close(fd);
    EXPECT_FALSE(ULVWriteAll(fd, "y", 1));
    EXPECT_EQ(ULVReadFull(fd, back.data(), 1), -1);
    EXPECT_EQ(ULVCreateFresh((root_ + "/no/such/directory").c_str(), 0600), -1);
    EXPECT_EQ(errno, ENOENT);
}

// A device or a pipe may hand over less than asked: the rest goes after what came first.
TEST_F(PlacedFileTest, ReadFullJoinsShortReads) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], "abc", 3), 3);
    std::thread writer([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        int waiting = 3;  // the second part once the first has been read
        while (waiting > 0 && ioctl(ends[0], FIONREAD, &waiting) == 0 &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        EXPECT_EQ(write(ends[1], "defg", 4), 4);
        close(ends[1]);
    });
    char back[8] = {};
    EXPECT_EQ(ULVReadFull(ends[0], back, sizeof back), 7);
    writer.join();
    EXPECT_STREQ(back, "abcdefg");
    close(ends[0]);
}

}  // namespace
