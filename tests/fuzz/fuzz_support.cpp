#include "fuzz_support.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "process_reset.h"

namespace fs = std::filesystem;

// The libFuzzer builds link every fsync of the daemon here (-Wl,--wrap=fsync): the flushes guard
// the configuration against power cuts, which a fuzz run does not have, and they cost most of
// the time of the targets that save it. The replays keep the real call.
extern "C" int __wrap_fsync(int) { return 0; }

namespace ulvfuzz {

namespace {

// The directories the daemon expects below its root; their contents go between inputs.
constexpr const char* kDirectories[] = {"sim", "tmp", "dev/mtdblock", "zellocal/panic",
                                        "zellocal/ulv_app_dump", "zel_user/download/appwrite",
                                        "zel_app/setup"};

std::string& RootPath() {
    static std::string root;
    return root;
}

// On tmpfs a directory's size counts its entries, so one still at the size it had when it was
// last emptied needs no listing (the listing costs more syscalls than most inputs make). On
// other file systems every directory is listed for every input.
bool rootOnTmpfs = false;
off_t emptySizes[std::size(kDirectories)];

off_t DirectorySize(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? status.st_size : -1;
}

void RemoveRoot() {
    std::error_code ignored;
    if (!RootPath().empty()) fs::remove_all(RootPath(), ignored);
}

void CreateRoot() {
    // In memory where the machine has it: every input writes and removes sandbox files.
    const char* base = std::getenv("ULV_FUZZ_DIR");
    if (base == nullptr) base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/ulv-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) Fail(__FILE__, __LINE__, "mkdtemp");
    RootPath() = pattern;
    struct statfs system {};
    rootOnTmpfs = statfs(pattern.c_str(), &system) == 0 && system.f_type == TMPFS_MAGIC;
    for (size_t d = 0; d < std::size(kDirectories); ++d) {
        const std::string path = RootPath() + "/" + kDirectories[d];
        fs::create_directories(path);
        emptySizes[d] = DirectorySize(path);
    }
    setenv("ULV_SIM_ROOT", RootPath().c_str(), 1);
    setenv("ZEL_APP_WRITE_PATH", (RootPath() + "/zel_app").c_str(), 1);
    // Kernel panic times are local times: one zone, so that an input means the same anywhere.
    setenv("TZ", "UTC", 1);
    tzset();
    std::atexit(RemoveRoot);
}

}  // namespace

void Fail(const char* file, int line, const char* condition) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
    std::abort();
}

InputScope BeginInput() {
    if (RootPath().empty()) CreateRoot();
    ResetProcessState();
    std::error_code ignored;
    for (size_t d = 0; d < std::size(kDirectories); ++d) {
        const std::string path = RootPath() + "/" + kDirectories[d];
        if (rootOnTmpfs && DirectorySize(path) == emptySizes[d]) continue;
        for (const auto& entry : fs::directory_iterator(path, ignored))
            fs::remove_all(entry.path(), ignored);
    }
    return {};
}

// What the input allocated (lists, fake records) is freed within the input, so libFuzzer's
// count of allocations and frees per input balances and it looks for leaks only where one is.
InputScope::~InputScope() { ResetProcessState(); }

void PlaceFile(const char* relative, const uint8_t* data, size_t size) {
    const fs::path path = fs::path(RootPath()) / relative;
    fs::create_directories(path.parent_path());
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) Fail(__FILE__, __LINE__, "open a sandbox file");
    for (size_t done = 0; done < size;) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) Fail(__FILE__, __LINE__, "write a sandbox file");
        done += static_cast<size_t>(n);
    }
    close(fd);
}

void RemoveFile(const char* relative) {
    std::error_code ignored;
    fs::remove(fs::path(RootPath()) / relative, ignored);
}

std::string Root() { return RootPath(); }

uint8_t Input::U8() { return at_ < size_ ? data_[at_++] : 0; }
uint16_t Input::U16() { return static_cast<uint16_t>(U8() << 8 | U8()); }
uint32_t Input::U32() {
    const uint32_t high = U16();
    return high << 16 | U16();
}

std::string_view Input::Bytes(size_t count) {
    if (count > size_ - at_) count = size_ - at_;
    std::string_view part(reinterpret_cast<const char*>(data_ + at_), count);
    at_ += count;
    return part;
}

}  // namespace ulvfuzz
