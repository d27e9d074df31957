// The image fingerprint end to end: the real daemon digests the sandbox's flash images at its
// start, and its first report carries what coreutils' md5sum and a CRC written here from its
// definition make of the same images.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "daemon_world.h"

namespace {

using ulvtest::DaemonWorld;

// md5sum's digest of each file, in order ("/dev/null" for empty input).
std::vector<std::string> CoreutilsMd5(const DaemonWorld& world,
                                      const std::vector<std::string>& paths) {
    std::vector<std::string> argv{"md5sum"};
    argv.insert(argv.end(), paths.begin(), paths.end());
    const std::string out = world.Path("md5sum.out");
    unlink(out.c_str());
    ulvtest::ChildProcess md5sum = ulvtest::ChildProcess::SpawnNative(argv, out);
    int status = 0;
    EXPECT_TRUE(md5sum.WaitExit(&status) && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::vector<std::string> digests;
    std::istringstream lines(ulvtest::ReadFile(out));
    for (std::string line; std::getline(lines, line);) digests.push_back(line.substr(0, 32));
    return digests;
}

// CRC-16/X-25 bit by bit: reflected polynomial 0x8408, initial 0xFFFF, final XOR 0xFFFF.
uint16_t X25(const std::string& text) {
    uint16_t r = 0xFFFF;
    for (unsigned char b : text) {
        r ^= b;
        for (int bit = 0; bit < 8; ++bit) r = (r & 1) ? (r >> 1) ^ 0x8408 : r >> 1;
    }
    return r ^ 0xFFFF;
}

std::string Hex16(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

// Starts the daemon on a handset whose software the configuration has not seen, so that its
// first report (a software change) goes out at once; returns the fingerprint in that report's
// header as ulv-decode prints it.
std::string FirstReportFingerprint(DaemonWorld& world) {
    world.WriteConfig({{"ulv_lst_bldinfo_baselabel", ""}, {"ulv_last_flex_version", ""}});
    world.StartHandset("ap_version AP_R1\nbp_version BP.12.34\nflex_version FLEX_7\n"
                       "serial SN01234567\n");
    EXPECT_EQ(world.StartDaemon(), 0);
    EXPECT_GT(world.WaitForDaemonPid(), 0);
    if (!world.WaitForSmsCount(1)) return "<no report>: " + world.Trace();
    const std::string json = ulvtest::Decode({DaemonWorld::SmsText(world.SmsLines()[0])});
    std::smatch match;
    return std::regex_search(json, match, std::regex("\"imageFingerprint\":\"([^\"]*)\""))
               ? match[1].str()
               : "<not decoded>: " + json;
}

// Images of a few read buffers and odd lengths, distinct from each other.
std::string Image(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * seed) >> 3);
    return bytes;
}

const std::string kBpsw = Image(70001, 13), kKern = Image(16384, 7), kRoot = Image(40000, 101);

// Runs ulv-fingerprint; its standard output and error, and its exit status in `status`.
std::string RunTool(const DaemonWorld& world, std::vector<std::string> arguments, int* status) {
    arguments.insert(arguments.begin(), ULV_FINGERPRINT_PATH);
    const std::string out = world.Path("tool.out");
    unlink(out.c_str());
    ulvtest::ChildProcess tool = ulvtest::ChildProcess::Spawn(arguments, out);
    int waitStatus = 0;
    *status = tool.WaitExit(&waitStatus) ? ulvtest::ExitCode(waitStatus) : -1000;
    return ulvtest::ReadFile(out);
}

TEST(Fingerprint, FirstReportCarriesTheFingerprintOfTheFlashImages) {
    struct Case {
        const char* name;
        const std::string* kern;  // nullptr: no kernel image
        const std::string* root;
    } const cases[] = {{"as built", &kKern, &kRoot},
                       {"kernel and root swapped", &kRoot, &kKern},
                       {"kernel image missing", nullptr, &kRoot}};
    std::vector<std::string> fingerprints;
    for (const Case& c : cases) {
        DaemonWorld world;
        const std::string bpsw = world.Path("dev/mtdblock/bpsw");
        const std::string kern = world.Path("dev/mtdblock/kern");
        const std::string root = world.Path("dev/mtdblock/root");
        ulvtest::WriteFile(bpsw, kBpsw);
        ulvtest::WriteFile(root, *c.root);
        if (c.kern != nullptr) ulvtest::WriteFile(kern, *c.kern);
        else unlink(kern.c_str());
        const std::vector<std::string> md5 =
            CoreutilsMd5(world, {bpsw, c.kern != nullptr ? kern : "/dev/null", root});
        ASSERT_EQ(md5.size(), 3u);
        const std::string expected = Hex16(X25(md5[0] + md5[2] + md5[1]));
        EXPECT_EQ(FirstReportFingerprint(world), expected) << c.name;
        EXPECT_NE(world.Trace().find("bp md5 is " + md5[0] + "\nroot md5 is " + md5[2] +
                                     "\n kernel md5 is " + md5[1] + "\n\n"),
                  std::string::npos)
            << c.name << ": " << world.Trace();
        EXPECT_NE(world.Trace().find("\tCRC is " + expected + "\n"), std::string::npos) << c.name;
        fingerprints.push_back(expected);
        if (c.kern == nullptr) continue;
        // Release engineering's tool gives the same from the image files.
        int status = 0;
        EXPECT_EQ(RunTool(world, {bpsw, kern, root}, &status),
                  "bpsw " + md5[0] + "  " + bpsw + "\nkern " + md5[1] + "  " + kern + "\nroot " +
                      md5[2] + "  " + root + "\nfingerprint " + expected + "\n");
        EXPECT_EQ(status, 0);
    }
    EXPECT_NE(fingerprints[0], fingerprints[1]);  // joined in a fixed order
}

TEST(Fingerprint, PreparedSandboxHasDistinctImagesAndKeepsItsOwn) {
    DaemonWorld world;  // prepared by ulv-handset --prepare
    const std::string kern = world.Path("dev/mtdblock/kern");
    std::vector<std::string> md5 = CoreutilsMd5(
        world, {world.Path("dev/mtdblock/bpsw"), kern, world.Path("dev/mtdblock/root"), "/dev/null"});
    ASSERT_EQ(md5.size(), 4u);
    std::sort(md5.begin(), md5.end());
    EXPECT_EQ(std::unique(md5.begin(), md5.end()), md5.end());  // distinct, none empty
    ASSERT_TRUE(ulvtest::WriteFile(kern, "own kernel"));
    ulvtest::ChildProcess prepare =
        ulvtest::ChildProcess::Spawn({ULV_HANDSET_PATH, "--root", world.root(), "--prepare"});
    int status = 0;
    ASSERT_TRUE(prepare.WaitExit(&status));
    EXPECT_EQ(ulvtest::ExitCode(status), 0);
    EXPECT_EQ(ulvtest::ReadFile(kern), "own kernel");
}

TEST(Fingerprint, ToolStopsOnAnImageItCannotReadAndOnABadCommandLine) {
    DaemonWorld world;
    const std::string image = world.Path("dev/mtdblock/bpsw");
    const std::string missing = world.Path("missing.img");
    const std::string odd = world.Path("a\"b\\c\td");  // a name JSON must escape
    ASSERT_TRUE(ulvtest::WriteFile(odd, "A"));
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string output;  // a part of what it prints
    } const cases[] = {
        {{image, missing, image}, 1, "cannot open " + missing},
        {{image, world.root(), image}, 1, "cannot read " + world.root()},  // a directory
        {{image, image}, 2, "usage: ulv-fingerprint"},
        {{image, image, image, image}, 2, "usage: ulv-fingerprint"},
        {{"--jsn", image, image, image}, 2, "usage: ulv-fingerprint"},
        {{"-j", image, image, image}, 2, "usage: ulv-fingerprint"},
        {{"--help"}, 0, "usage: ulv-fingerprint"},
        {{odd, image, image, "--json"}, 0, "{\"bpsw\":{\"path\":\"" + world.root() +
                                                "/a\\\"b\\\\c\\u0009d\",\"md5\":\"7fc5"},
    };
    for (const Case& c : cases) {
        int status = 0;
        const std::string output = RunTool(world, c.arguments, &status);
        EXPECT_EQ(status, c.status) << c.arguments[0] << ": " << output;
        EXPECT_NE(output.find(c.output), std::string::npos) << output;
    }
}

}  // namespace
