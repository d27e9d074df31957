// ulv-fingerprint [--json] BPSW KERN ROOT: prints the MD5 digests of the three flash image
// files and the 16-bit fingerprint the daemon will carry in its reports on a handset flashed
// with them, so that release engineering can map a fingerprint to a build.
//
// Unlike the daemon, which hashes an unreadable partition as empty input, the tool stops with
// status 1 on a file it cannot open or read in full: a fingerprint computed from a mistyped
// path would map reports to the wrong release. It follows links and reads pipes, so that
// `<(xz -dc root.img.xz)` works.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "decoder.h"
#include "inventory/inventory.h"

namespace {

constexpr int kExitUsage = 2;
constexpr const char* kSlotNames[FINGERPRINT_SLOT_COUNT] = {"bpsw", "kern", "root"};

void Usage(FILE* to) {
    std::fprintf(to,
                 "usage: ulv-fingerprint [--json] BPSW KERN ROOT\n"
                 "  the MD5 digests of the baseband, kernel and root file system images and\n"
                 "  the fingerprint (0x%%04x) the daemon reports for them\n");
}

bool DigestFile(const char* path, char (&slot)[FINGERPRINT_SLOT_SIZE]) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "ulv-fingerprint: cannot open %s: %s\n", path, std::strerror(errno));
        return false;
    }
    const int result = ULVMd5ReadToEnd(fd, slot);
    const int readError = errno;
    close(fd);
    if (result != 0) {
        std::fprintf(stderr, "ulv-fingerprint: cannot read %s: %s\n", path,
                     std::strerror(readError));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool json = false;
    const char* paths[FINGERPRINT_SLOT_COUNT] = {};
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--json") {
            json = true;
        } else if (argument == "--help" || argument == "-h") {
            Usage(stdout);
            return 0;
        } else if (argument.size() > 1 && argument[0] == '-') {
            Usage(stderr);
            return kExitUsage;
        } else if (count < FINGERPRINT_SLOT_COUNT) {
            paths[count++] = argv[i];
        } else {
            Usage(stderr);
            return kExitUsage;
        }
    }
    if (count != FINGERPRINT_SLOT_COUNT) {
        Usage(stderr);
        return kExitUsage;
    }

    FingerprintDigestArea area;
    std::memset(area, 0, sizeof area);
    for (int slot = 0; slot < FINGERPRINT_SLOT_COUNT; ++slot)
        if (!DigestFile(paths[slot], area[slot])) return 1;
    const uint16_t fingerprint = ULVFingerprintDigests(area);

    if (json) {
        std::printf("{");
        for (int slot = 0; slot < FINGERPRINT_SLOT_COUNT; ++slot)
            std::printf("\"%s\":{\"path\":%s,\"md5\":\"%s\"},", kSlotNames[slot],
                        ulv::decode::JsonString(paths[slot]).c_str(), area[slot]);
        std::printf("\"fingerprint\":\"0x%04x\"}\n", fingerprint);
    } else {
        for (int slot = 0; slot < FINGERPRINT_SLOT_COUNT; ++slot)
            std::printf("%s %s  %s\n", kSlotNames[slot], area[slot], paths[slot]);
        std::printf("fingerprint 0x%04x\n", fingerprint);
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
