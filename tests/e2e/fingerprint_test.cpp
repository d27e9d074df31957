// The image fingerprint end to end: the real daemon digests the sandbox's flash images at its
// start, and its first report carries what coreutils' md5sum and a CRC written here from its
// definition make of the same images.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "daemon_world.h"

namespace {

using namespace ulvtest;

// md5sum's digest of each file, in order ("/dev/null" for empty input).
std::vector<std::string> CoreutilsMd5(std::vector<std::string> paths) {
    paths.insert(paths.begin(), "md5sum");
    int status = 0;
    std::vector<std::string> digests;
    for (const std::string& line : DaemonWorld::Lines(RunToEnd(paths, &status, true)))
        digests.push_back(line.substr(0, 32));
    EXPECT_EQ(status, 0);
    return digests;
}

// CRC-16/X-25 bit by bit: reflected polynomial 0x8408, initial 0xFFFF, final XOR 0xFFFF.
std::string X25(const std::string& text) {
    uint16_t r = 0xFFFF;
    for (unsigned char b : text) {
        r ^= b;
        for (int bit = 0; bit < 8; ++bit) r = (r & 1) ? (r >> 1) ^ 0x8408 : r >> 1;
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%04x", r ^ 0xFFFF);
    return hex;
}

// Images of a few read buffers and odd lengths, distinct from each other.
std::string Image(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * seed) >> 3);
    return bytes;
}

const std::string kBpsw = Image(70001, 13), kKern = Image(16384, 7), kRoot = Image(40000, 101);

// Also: the images ulv-handset --prepare leaves are distinct, and it keeps images already there.
TEST(Fingerprint, FirstReportCarriesTheFingerprintOfTheFlashImages) {
    const std::string kMissing;
    const struct {
        const char* name;
        const std::string* kern;  // &kMissing: no kernel image; nullptr: as prepared
        const std::string* root;
    } cases[] = {{"as prepared", nullptr, nullptr},
                 {"as built", &kKern, &kRoot},
                 {"kernel and root swapped", &kRoot, &kKern},
                 {"kernel image missing", &kMissing, &kRoot}};
    std::vector<std::string> fingerprints;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DaemonWorld world;
        const std::string bpsw = world.Path("dev/mtdblock/bpsw");
        const std::string kern = world.Path("dev/mtdblock/kern");
        const std::string root = world.Path("dev/mtdblock/root");
        if (c.kern != nullptr) {
            WriteFile(bpsw, kBpsw);
            WriteFile(root, *c.root);
            WriteFile(kern, *c.kern);
            int status = 0;
            RunToEnd({ULV_HANDSET_PATH, "--root", world.root(), "--prepare"}, &status);
            EXPECT_EQ(status, 0);
            EXPECT_EQ(ReadFile(root), *c.root);
            if (c.kern == &kMissing) {
                unlink(kern.c_str());
            } else {
                EXPECT_EQ(ReadFile(kern), *c.kern);
            }
        }
        const bool hasKern = c.kern != &kMissing;
        const std::vector<std::string> md5 =
            CoreutilsMd5({bpsw, hasKern ? kern : "/dev/null", root});
        ASSERT_EQ(md5.size(), 3u);
        const std::string expected = X25(md5[0] + md5[2] + md5[1]);
        fingerprints.push_back(expected);
        if (c.kern == nullptr) {  // distinct, none the digest of nothing
            std::set<std::string> distinct(md5.begin(), md5.end());
            distinct.insert(CoreutilsMd5({"/dev/null"}).at(0));
            EXPECT_EQ(distinct.size(), 4u);
        }

        // A software the configuration has not seen: the first report goes out at once.
        world.WriteConfig({{"ulv_lst_bldinfo_baselabel", ""}, {"ulv_last_flex_version", ""}});
        world.StartHandset(kSameSoftware);
        ASSERT_TRUE(Launch(world, /*settle=*/false));
        ASSERT_TRUE(world.WaitForSmsCount(1)) << world.Trace();
        EXPECT_EQ(JsonField(DecodeAll(world.SmsLines()).at(0), "imageFingerprint"),
                  "\"" + expected + "\"");
        const std::string trace = world.Trace();
        EXPECT_EQ(Count(trace, "bp md5 is " + md5[0] + "\nroot md5 is " + md5[2] +
                                   "\n kernel md5 is " + md5[1] + "\n\n"),
                  1)
            << trace;
        EXPECT_EQ(Count(trace, "\tCRC is " + expected + "\n"), 1);
        if (!hasKern) continue;
        // Release engineering's tool gives the same from the image files.
        int status = 0;
        EXPECT_EQ(RunToEnd({ULV_FINGERPRINT_PATH, bpsw, kern, root}, &status),
                  "bpsw " + md5[0] + "  " + bpsw + "\nkern " + md5[1] + "  " + kern + "\nroot " +
                      md5[2] + "  " + root + "\nfingerprint " + expected + "\n");
        EXPECT_EQ(status, 0);
    }
    EXPECT_NE(fingerprints[1], fingerprints[2]);  // joined in a fixed order
}

TEST(Fingerprint, ToolStopsOnAnImageItCannotReadAndOnABadCommandLine) {
    DaemonWorld world;
    const std::string image = world.Path("dev/mtdblock/bpsw");
    const std::string missing = world.Path("missing.img");
    const std::string odd = world.Path("a\"b\\c\td");  // a name JSON must escape
    ASSERT_TRUE(WriteFile(odd, "A"));
    const std::string usage = "usage: ulv-fingerprint";
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string output;  // a part of what it prints
    } cases[] = {
        {{image, missing, image}, 1, "cannot open " + missing},
        {{image, world.root(), image}, 1, "cannot read " + world.root()},  // a directory
        {{image, image}, 2, usage},
        {{image, image, image, image}, 2, usage},
        {{"--jsn", image, image, image}, 2, usage},
        {{"-j", image, image, image}, 2, usage},
        {{"--help"}, 0, usage},
        {{odd, image, image, "--json"},
         0,
         "{\"bpsw\":{\"path\":\"" + world.root() + "/a\\\"b\\\\c\\u0009d\",\"md5\":\"7fc5"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{ULV_FINGERPRINT_PATH};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        int status = 0;
        const std::string output = RunToEnd(argv, &status);
        EXPECT_EQ(status, c.status) << c.arguments[0] << ": " << output;
        EXPECT_NE(output.find(c.output), std::string::npos) << output;
    }
}

}  // namespace
