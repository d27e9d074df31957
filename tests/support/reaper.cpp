// ulv-test-reaper STATUS_FILE PROGRAM [ARG ...]: runs PROGRAM as the subreaper of all it starts,
// so that a daemon that detaches by forking twice is still reaped here. Each descendant that
// ends is appended to STATUS_FILE as "<pid> <wait status>", PROGRAM as "launcher <wait status>".
// Built for the build machine even in cross builds: the emulator does not pass the request on.
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 3 || prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) return 2;
    pid_t launcher = fork();
    if (launcher < 0) return 2;
    if (launcher == 0) {
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, 0);
        if (pid < 0) {
            if (errno == EINTR) continue;
            return 0;  // nothing left
        }
        if (FILE* file = std::fopen(argv[1], "a")) {
            if (pid == launcher)
                std::fprintf(file, "launcher %d\n", status);
            else
                std::fprintf(file, "%d %d\n", static_cast<int>(pid), status);
            std::fclose(file);
        }
    }
}
