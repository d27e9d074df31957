#include "fuzz_support.h"

#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "process_reset.h"

namespace fs = std::filesystem;

// The libFuzzer builds link every fsync of the daemon here (-Wl,--wrap=fsync): a fuzz run has no
// power cuts, and the flushes cost most of the time of the targets that save the configuration.
// The replays keep the real call.
extern "C" int __wrap_fsync(int) {
    return 0;
}

namespace ulvfuzz {

namespace {

// The directories the daemon expects below its root; their contents go between inputs.
constexpr const char* kDirectories[] = {"sim",
                                        "tmp",
                                        "dev/mtdblock",
                                        "zellocal/panic",
                                        "zellocal/ulv_app_dump",
                                        "zel_user/download/appwrite",
                                        "zel_app/setup"};
std::string root;
std::error_code ignored;
// On tmpfs a directory's size counts its entries: one at its size when emptied needs no listing
// (which costs more syscalls than most inputs make). Elsewhere every directory is listed.
bool onTmpfs = false;
off_t emptySizes[std::size(kDirectories)];

off_t SizeOf(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? status.st_size : -1;
}

void CreateRoot() {
    // In memory where the machine has it: every input writes and removes sandbox files.
    const char* base = std::getenv("ULV_FUZZ_DIR");
    if (base == nullptr) base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/ulv-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) Fail(__FILE__, __LINE__, "mkdtemp");
    root = pattern;
    struct statfs system {};
    onTmpfs = statfs(root.c_str(), &system) == 0 && system.f_type == TMPFS_MAGIC;
    for (size_t d = 0; d < std::size(kDirectories); ++d) {
        fs::create_directories(root + "/" + kDirectories[d]);
        emptySizes[d] = SizeOf(root + "/" + kDirectories[d]);
    }
    setenv("ULV_SIM_ROOT", root.c_str(), 1);
    setenv("ZEL_APP_WRITE_PATH", (root + "/zel_app").c_str(), 1);
    // Kernel panic times are local times: one zone, so that an input means the same anywhere.
    setenv("TZ", "UTC", 1);
    tzset();
    std::atexit([] { fs::remove_all(root, ignored); });
}

}  // namespace

void Fail(const char* file, int line, const char* condition) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
    std::abort();
}

InputScope BeginInput() {
    if (root.empty()) CreateRoot();
    ResetProcessState();
    for (size_t d = 0; d < std::size(kDirectories); ++d) {
        const std::string path = root + "/" + kDirectories[d];
        if (onTmpfs && SizeOf(path) == emptySizes[d]) continue;
        for (const auto& entry : fs::directory_iterator(path, ignored))
            fs::remove_all(entry.path(), ignored);
    }
    return {};
}

// What the input allocated (lists, fake records) is freed within the input, so libFuzzer's
// count of allocations and frees per input balances and it looks for leaks only where one is.
InputScope::~InputScope() {
    ResetProcessState();
}

std::string PlaceFile(const std::string& relative, std::string_view content) {
    const std::string path = root + "/" + relative;
    std::ofstream file(path, std::ios::binary);
    if (!file.write(content.data(), static_cast<std::streamsize>(content.size())).flush())
        Fail(__FILE__, __LINE__, "write a sandbox file");
    return path;
}

}  // namespace ulvfuzz
