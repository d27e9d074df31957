#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "daemon/daemon.h"

namespace {

bool IsOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

// Runs `body` in a child process, whose descriptors it may close at will; its exit code.
template <typename Body>
int InChild(Body body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST(InheritedDescriptors, ListedOnesAboveTwoAreClosedAcrossSeveralDirectoryReads) {
    // 150 descriptors take several reads of the listing; one far above them too.
    for (int wanted : {1, 150}) {
        SCOPED_TRACE(wanted);
        int code = InChild([wanted] {
            for (int standard = 0; standard <= 2; ++standard)
                if (!IsOpen(standard) && open("/dev/null", O_RDONLY) != standard) return 9;
            int opened[151];
            int count = 0;
            for (; count < wanted; ++count) {
                opened[count] = open("/dev/null", O_RDONLY);
                if (opened[count] < 0) return 10;
            }
            opened[count] = fcntl(opened[0], F_DUPFD, 900);
            if (opened[count++] < 900) return 11;
            if (ULVCloseListedDescriptors() != 0) return 12;
            for (int i = 0; i < count; ++i)
                if (IsOpen(opened[i])) return 13;
            for (int standard = 0; standard <= 2; ++standard)
                if (!IsOpen(standard)) return 14;
            return 0;
        });
        EXPECT_EQ(code, 0);
    }
}

}  // namespace
