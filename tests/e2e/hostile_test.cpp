// The daemon among processes that can write to /tmp, and with labels the telephony library can
// return: what is placed where the daemon writes is never written through, and a label with a
// blank is the same software at every boot.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "e2e.h"
#include "panic_log.h"

namespace {

using namespace ulvtest;

// What is at `path` (not following a link) and its mode bits.
std::pair<std::filesystem::file_type, unsigned> Kind(const std::string& path) {
    const auto status = std::filesystem::symlink_status(path);
    return {status.type(), static_cast<unsigned>(status.permissions())};
}

// A link to a file the daemon may write, or a FIFO nobody reads, placed at the configuration
// copy and at the pid file before the daemon starts.
TEST(HostileFiles, LinksAndFifosPlacedInTmpAreReplacedNeverWrittenThrough) {
    for (const bool linkAtConfig : {true, false}) {
        SCOPED_TRACE(linkAtConfig ? "link at ulv.cfg, FIFO at ulv.pid" : "the other way round");
        DaemonWorld world;
        world.WriteConfig({{"ulv_last_panic_timestamp", "10"}});
        WriteFile(world.Path("zellocal/panic/bp_panic.log1"),
                  BpPanicRecord(7, 0x20, Counting(0, 36)));
        ASSERT_TRUE(WriteFile(world.Path("victim"), "precious"));
        const std::string link = world.Path(linkAtConfig ? "tmp/ulv.cfg" : "tmp/ulv.pid");
        const std::string fifo = world.Path(linkAtConfig ? "tmp/ulv.pid" : "tmp/ulv.cfg");
        ASSERT_EQ(symlink(world.Path("victim").c_str(), link.c_str()), 0);
        ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
        world.StartHandset("ap_version AP_R1\nflex_version FLEX_7\n");
        ASSERT_TRUE(Launch(world, /*settle=*/true, /*keepPidPath=*/true));
        const pid_t pid = world.pid();
        ASSERT_TRUE(Stop(world));

        EXPECT_EQ(ReadFile(world.Path("victim")), "precious");
        const auto regular = std::filesystem::file_type::regular;
        EXPECT_EQ(Kind(world.Path("tmp/ulv.pid")), std::pair(regular, 0644u));
        EXPECT_EQ(ReadFile(world.Path("tmp/ulv.pid")), std::to_string(pid));
        ASSERT_EQ(Kind(world.Path("tmp/ulv.cfg")), std::pair(regular, 0600u));
        EXPECT_EQ(ReadFile(world.Path("tmp/ulv.cfg")), world.ConfigFile());
        ExpectConfig(world, {{"ulv_last_panic_timestamp", "20"}});  // reported and saved
    }
}

// The software-change report of the first boot, then three boots with a new panic each: every
// panic is reported, none is taken for old news of a software change.
TEST(HostileLabels, LabelWithABlankIsTheSameSoftwareAtEveryBoot) {
    DaemonWorld world;
    world.WriteConfig({{"ulv_lst_bldinfo_baselabel", ""}, {"ulv_last_flex_version", ""}});
    world.StartHandset("ap_version \"R1 2.0\"\nflex_version \"FLEX 7\"\n");
    std::string log;
    for (int boot = 0; boot <= 3; ++boot) {
        SCOPED_TRACE("boot " + std::to_string(boot));
        if (boot > 0) log += BpPanicRecord(boot, 0x100 * boot, Counting(boot, 36));
        WriteFile(world.Path("zellocal/panic/bp_panic.log1"), log);
        WriteFile(world.Path("zel_user/download/appwrite/ulvPanicInfo"), "");
        ASSERT_TRUE(Launch(world));
        ASSERT_TRUE(Stop(world));

        // One report a boot: the software change, then each new panic, saved when confirmed.
        const std::vector<std::string> sms = world.SmsLines();
        ASSERT_EQ(sms.size(), static_cast<size_t>(boot + 1));
        EXPECT_EQ(JsonField(Decode({DaemonWorld::SmsText(sms.back())}), "kind"),
                  boot == 0 ? "\"softwareChange\"" : "\"crash\"");
        ExpectConfig(world,
                     {{"ulv_last_panic_timestamp", boot == 0 ? "0" : std::to_string(boot) + "00"},
                      {"ulv_lst_bldinfo_baselabel", "R1\\x202.0"},
                      {"ulv_last_flex_version", "FLEX\\x207"}});
    }
}

}  // namespace
