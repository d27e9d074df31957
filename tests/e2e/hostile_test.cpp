// The daemon among other processes that can write to /tmp, and with labels the telephony
// library can return: what another process places where the daemon writes is never written
// through, and a label with a blank survives every boot.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "daemon_world.h"
#include "panic_log.h"

namespace {

using ulvtest::BpPanicRecord;
using ulvtest::Counting;
using ulvtest::DaemonWorld;
using ulvtest::ExitCode;

constexpr char kSameSoftware[] =
    "ap_version AP_R1\nbp_version BP.12.34\nflex_version FLEX_7\nserial SN01234567\n";

// The kind of what is at `path`, without following a link: 'f' regular, 'l' link, 'p' FIFO.
char KindAt(const std::string& path, mode_t* mode = nullptr) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) return '-';
    if (mode != nullptr) *mode = status.st_mode & 07777;
    return S_ISREG(status.st_mode) ? 'f' : S_ISLNK(status.st_mode) ? 'l'
                                         : S_ISFIFO(status.st_mode) ? 'p' : '?';
}

void Ends(DaemonWorld& world) {
    world.KillDaemon(SIGTERM);
    int status = -1;
    ASSERT_TRUE(world.WaitDaemonExit(&status)) << world.Aplog();
    EXPECT_EQ(ExitCode(status), 0);
}

// An attacker places a link to a file the daemon may write, or a FIFO nobody reads, at the
// configuration copy and at the pid file before the daemon starts.
TEST(HostileFiles, LinksAndFifosPlacedInTmpAreReplacedNeverWrittenThrough) {
    const char* const kVictim = "victim";
    const std::pair<char, char> plants[] = {{'l', 'p'}, {'p', 'l'}};  // ulv.cfg, ulv.pid
    for (const auto& [atConfig, atPid] : plants) {
        SCOPED_TRACE(std::string("ulv.cfg ") + atConfig + ", ulv.pid " + atPid);
        DaemonWorld world;
        world.WriteConfig({{"ulv_last_panic_timestamp", "10"}});
        ulvtest::WriteFile(world.Path("zellocal/panic/bp_panic.log1"),
                           BpPanicRecord(7, 0x20, Counting(0, 36)));
        ASSERT_TRUE(ulvtest::WriteFile(world.Path(kVictim), "precious"));
        for (const auto& [kind, name] : {std::pair{atConfig, "tmp/ulv.cfg"}, {atPid, "tmp/ulv.pid"}}) {
            const std::string path = world.Path(name);
            ASSERT_EQ(kind == 'l' ? symlink(world.Path(kVictim).c_str(), path.c_str())
                                  : mkfifo(path.c_str(), 0666),
                      0);
        }
        world.StartHandset(kSameSoftware);
        ASSERT_EQ(world.StartDaemon(/*keepPidPath=*/true), 0);
        const pid_t pid = world.WaitForDaemonPid();
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(world.WaitForTrace("\tSchedule periodic Timer\n")) << world.Aplog();
        EXPECT_EQ(world.SmsLines().size(), 1u);  // reported and saved, as on a clean phone
        Ends(world);

        EXPECT_EQ(ulvtest::ReadFile(world.Path(kVictim)), "precious");
        mode_t mode = 0;
        ASSERT_EQ(KindAt(world.Path("tmp/ulv.pid"), &mode), 'f');
        EXPECT_EQ(ulvtest::ReadFile(world.Path("tmp/ulv.pid")), std::to_string(pid));
        ASSERT_EQ(KindAt(world.Path("tmp/ulv.cfg"), &mode), 'f');
        EXPECT_EQ(mode, 0600u);
        EXPECT_EQ(ulvtest::ReadFile(world.Path("tmp/ulv.cfg")), world.ConfigFile());
        EXPECT_EQ(world.ConfigValue("ulv_last_panic_timestamp"), "20");
    }
}

// A label with a blank, as the telephony library may return it, is the same software at every
// boot: each boot's new panic is reported, none is taken for old news of a software change.
TEST(HostileLabels, LabelWithABlankIsTheSameSoftwareAcrossBoots) {
    DaemonWorld world;
    world.WriteConfig({{"ulv_lst_bldinfo_baselabel", ""}, {"ulv_last_flex_version", ""}});
    world.StartHandset("ap_version \"R1 2.0\"\nflex_version \"FLEX 7\"\nbp_version BP.1\n");
    std::string log;
    for (int boot = 0; boot <= 3; ++boot) {
        SCOPED_TRACE("boot " + std::to_string(boot));
        if (boot > 0) log += BpPanicRecord(boot, 0x100 * boot, Counting(boot, 36));
        ulvtest::WriteFile(world.Path("zellocal/panic/bp_panic.log1"), log);
        ulvtest::WriteFile(world.Path("zel_user/download/appwrite/ulvPanicInfo"), "");
        ASSERT_EQ(world.StartDaemon(), 0);
        ASSERT_GT(world.WaitForDaemonPid(), 0);
        ASSERT_TRUE(world.WaitForTrace("\tSchedule periodic Timer\n")) << world.Aplog();
        Ends(world);

        const std::vector<std::string> sms = world.SmsLines();
        ASSERT_EQ(sms.size(), static_cast<size_t>(boot + 1));
        const std::string decoded = ulvtest::Decode({DaemonWorld::SmsText(sms.back())});
        if (boot == 0) {
            EXPECT_NE(decoded.find("\"kind\":\"softwareChange\""), std::string::npos) << decoded;
            EXPECT_NE(decoded.find("\"apBuildLabel\":\"R1 2.0\""), std::string::npos) << decoded;
        } else {
            EXPECT_NE(decoded.find("\"kind\":\"crash\""), std::string::npos) << decoded;
            EXPECT_NE(decoded.find("\"timestamp\":" + std::to_string(0x100 * boot)),
                      std::string::npos)
                << decoded;
        }
        EXPECT_EQ(world.ConfigValue("ulv_lst_bldinfo_baselabel"), "R1\\x202.0");
        EXPECT_EQ(world.ConfigValue("ulv_last_flex_version"), "FLEX\\x207");
        EXPECT_EQ(world.ConfigValue("ulv_last_num_panics"), std::to_string(boot));
    }
}

}  // namespace
