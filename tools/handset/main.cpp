// ulv-handset: the simulated handset of the sim target. Prepares a sandbox root for the daemon
// and serves the telephony service that the sim client library talks to. See README.md beside
// this file for the command line and the scenario format.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "scenario.h"
#include "server.h"
#include "sim_env.h"

namespace {

constexpr int kExitUsage = 2;

// The directories the daemon's fixed paths need below the root; parents come first.
constexpr const char* kSandboxDirectories[] = {
    "sim",      "tmp",      "dev",               "dev/mtdblock",
    "zellocal", "zellocal/panic",                "zellocal/ulv_app_dump",
    "zel_user", "zel_user/download",             "zel_user/download/appwrite",
    "zel_app",  "zel_app/setup",
};

void Usage() {
    std::fprintf(stderr,
                 "usage: ulv-handset --root DIR --prepare\n"
                 "       ulv-handset --root DIR --scenario FILE [--prepare]\n"
                 "  --prepare        create the sandbox directories, the timer device marker and\n"
                 "                   the boot file (uptime ULV_SIM_UPTIME, default 0) and the flash\n"
                 "                   images dev/mtdblock/{bpsw,kern,root} where missing\n"
                 "  --scenario FILE  serve the telephony service as FILE says until SIGTERM\n");
}

bool MakeDirectory(const std::string& path) {
    if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
    std::fprintf(stderr, "ulv-handset: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
}

// ULV_SIM_UPTIME: the simulated uptime at preparation, whole seconds.
bool StartingUptime(long* seconds) {
    const char* text = std::getenv("ULV_SIM_UPTIME");
    *seconds = 0;
    if (text == nullptr || text[0] == '\0') return true;
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 0) {
        std::fprintf(stderr, "ulv-handset: ULV_SIM_UPTIME must be whole seconds, not '%s'\n", text);
        return false;
    }
    *seconds = value;
    return true;
}

// Small distinct flash images, so that a fresh sandbox has a real image fingerprint; images
// already there (a test's or a release's own) are kept. Sizes are not multiples of the read
// buffer or of the hash block, so that the daemon's partial reads are exercised.
bool WriteFlashImages(const std::string& root) {
    struct Image {
        const char* name;
        size_t size;
        unsigned seed;
    } const images[] = {{"bpsw", 9000, 0x5A}, {"kern", 20000, 0xC3}, {"root", 4099, 0x17}};
    for (const Image& image : images) {
        const std::string path = root + "/dev/mtdblock/" + image.name;
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST) continue;
        std::string bytes(image.size, '\0');
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>((i * 31 + image.seed + (i >> 8)) & 0xFF);
        bool written = fd >= 0 && write(fd, bytes.data(), bytes.size()) ==
                                      static_cast<ssize_t>(bytes.size());
        if (fd >= 0) close(fd);
        if (!written) {
            std::fprintf(stderr, "ulv-handset: cannot write %s\n", path.c_str());
            return false;
        }
    }
    return true;
}

int Prepare(const std::string& root) {
    long uptime = 0;
    if (!StartingUptime(&uptime)) return kExitUsage;
    // The root itself, with its parents, may not exist yet.
    for (size_t slash = root.find('/', 1); slash != std::string::npos;
         slash = root.find('/', slash + 1))
        if (!MakeDirectory(root.substr(0, slash))) return 1;
    if (!MakeDirectory(root)) return 1;
    for (const char* directory : kSandboxDirectories)
        if (!MakeDirectory(root + "/" + directory)) return 1;
    // The sim timer device opens only when its marker file exists.
    std::string marker = root + "/dev/rtc_sw";
    int fd = open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "ulv-handset: cannot create %s: %s\n", marker.c_str(),
                     std::strerror(errno));
        return 1;
    }
    close(fd);
    if (!WriteFlashImages(root)) return 1;
    if (sim::WriteBoot(uptime) != 0) {
        std::fprintf(stderr, "ulv-handset: cannot write the boot file under %s\n", root.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string root;
    std::string scenarioPath;
    bool prepare = false;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "--prepare") {
            prepare = true;
        } else if ((argument == "--root" || argument == "--scenario") && i + 1 < argc) {
            (argument == "--root" ? root : scenarioPath) = argv[++i];
        } else if (argument == "--help" || argument == "-h") {
            Usage();
            return 0;
        } else {
            Usage();
            return kExitUsage;
        }
    }
    if (root.empty() || (!prepare && scenarioPath.empty())) {
        Usage();
        return kExitUsage;
    }
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    // The shared sim code (boot file, time scale) finds the sandbox through the environment.
    setenv("ULV_SIM_ROOT", root.c_str(), /*overwrite=*/1);

    // The scenario is read first, so that a bad one changes nothing on disk.
    handset::Scenario scenario;
    if (!scenarioPath.empty()) {
        handset::ScenarioError error;
        if (!handset::LoadScenarioFile(scenarioPath, &scenario, &error)) {
            if (error.line > 0) {
                std::fprintf(stderr, "scenario:%d: %s\n", error.line, error.message.c_str());
            } else {
                std::fprintf(stderr, "scenario: %s\n", error.message.c_str());
            }
            return kExitUsage;
        }
    }
    if (prepare) {
        int status = Prepare(root);
        if (status != 0 || scenarioPath.empty()) return status;
    }
    handset::Server server(std::move(scenario), root);
    return server.Run();
}
