// Every kind of panic the handset keeps, end to end: BP panic logs, QUELA panic blocks and the
// kernel panic partition, from the files to delivered (or rolled back) reports.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "daemon_world.h"
#include "decoded.h"
#include "panic_log.h"

namespace {

using ulvtest::BpPanicRecord;
using ulvtest::Counting;
using ulvtest::DaemonWorld;
using ulvtest::DecodeAll;
using ulvtest::ExitCode;
using ulvtest::JsonField;
using ulvtest::KernelPanicText;
using ulvtest::QuelaPanicRecord;
using ulvtest::WaitForSchedule;

// The handset of these tests runs the software the default configuration last saw.
constexpr char kSameSoftware[] =
    "ap_version AP_R1\nbp_version BP.12.34\nflex_version FLEX_7\nserial SN01234567\n"
    "call_time 7\n";
constexpr char kPartition[] = "dev/mtdblock/kpanic";
constexpr char kPanicTime[] = "2007-03-05 14:07:09";  // 1173103629 = 0x45ec240d in UTC
constexpr char kPanicSeconds[] = "1173103629";

// The daemon converts the partition's local time in the zone of TZ, inherited from here.
void UseUtc() { setenv("TZ", "UTC0", 1); }

// BP 0x300 and 0x200, QUELA 0x500 and 0x400 (one in each file of its kind), a kernel panic.
void PlaceEveryKind(const DaemonWorld& world, bool forced) {
    ulvtest::WriteFile(world.Path("zellocal/panic/bp_panic.log1"),
                       BpPanicRecord(0xB1, 0x300, Counting(1, 4)));
    ulvtest::WriteFile(world.Path("zellocal/panic/bp_panic.log2"),
                       BpPanicRecord(0xB2, 0x200, Counting(2, 4)));
    ulvtest::WriteFile(world.Path("zellocal/panic/qupanic_block.a"),
                       QuelaPanicRecord(0xA1, 0x500, Counting(3, 40), /*padding=*/3));
    ulvtest::WriteFile(world.Path("zellocal/panic/qupanic_block.b"),
                       QuelaPanicRecord(0xA2, 0x400, Counting(4, 4)));
    ulvtest::WriteFile(world.Path(kPartition), KernelPanicText(kPanicTime, "C0012ABC", forced));
}

void Restart(DaemonWorld& world) {
    world.KillDaemon(SIGTERM);
    int status = 0;
    ASSERT_TRUE(world.WaitDaemonExit(&status));
    ASSERT_EQ(ExitCode(status), 0);
    ulvtest::WriteFile(world.Path("zel_user/download/appwrite/ulvPanicInfo"), "");
    ASSERT_EQ(world.StartDaemon(), 0);
    ASSERT_GT(world.WaitForDaemonPid(), 0);
    ASSERT_TRUE(WaitForSchedule(world)) << world.Aplog();
}

TEST(Panics, EveryKindIsReportedOnceBpThenQuelaThenKernel) {
    UseUtc();
    DaemonWorld world;
    world.WriteConfig({{"ulv_last_panic_timestamp", "10"},
                       {"ulv_last_ap_quela_panic_timestamp", "10"}});
    PlaceEveryKind(world, /*forced=*/true);
    world.StartHandset(kSameSoftware);
    ASSERT_EQ(world.StartDaemon(), 0);
    ASSERT_GT(world.WaitForDaemonPid(), 0);
    ASSERT_TRUE(WaitForSchedule(world)) << world.Aplog();

    const std::vector<std::string> decoded = DecodeAll(world.SmsLines());
    ASSERT_EQ(decoded.size(), 5u);
    // Time stamp, id, the data's first bytes.
    const std::tuple<const char*, const char*, std::string> expected[] = {
        {"512", "\"0x000000b2\"", "02030405"},
        {"768", "\"0x000000b1\"", "01020304"},
        {"1024", "\"0x000000a2\"", "04050607"},
        {"1280", "\"0x000000a1\"", ulvtest::Hex(Counting(3, 36))},
        {kPanicSeconds, "\"0x00082002\"", "c0012abc"},
    };
    for (size_t i = 0; i < decoded.size(); ++i) {
        const auto& [stamp, id, data] = expected[i];
        EXPECT_EQ(JsonField(decoded[i], "timestamp"), stamp) << decoded[i];
        EXPECT_EQ(JsonField(decoded[i], "id"), id) << decoded[i];
        EXPECT_EQ(JsonField(decoded[i], "data").substr(1, data.size()), data) << decoded[i];
    }
    EXPECT_EQ(JsonField(decoded[4], "idName"), "\"forced kernel panic\"");
    EXPECT_EQ(JsonField(decoded[4], "data"), "\"c0012abc" + std::string(64, '0') + "\"");

    EXPECT_EQ(world.ConfigValue("ulv_last_panic_timestamp"), "300");
    EXPECT_EQ(world.ConfigValue("ulv_last_num_panics"), "2");
    EXPECT_EQ(world.ConfigValue("ulv_last_ap_quela_panic_timestamp"), "500");
    EXPECT_EQ(world.ConfigValue("ulv_last_ap_quela_num_panics"), "2");  // counts down
    EXPECT_EQ(world.ConfigValue("ulv_last_ap_kernel_timestamp"), "45ec240d");

    Restart(world);
    EXPECT_EQ(world.SmsLines().size(), 5u);
    EXPECT_NE(world.Trace().find(std::string("No new Kernel panic - ") + kPanicSeconds + "\n"),
              std::string::npos);
}

TEST(Panics, AFailedQuelaDeliveryRollsBackAndTheNextStartResendsWithTheKernelPanic) {
    UseUtc();
    DaemonWorld world;
    world.WriteConfig({{"ulv_last_ap_quela_panic_timestamp", "10"}});
    ulvtest::WriteFile(world.Path("zellocal/panic/qupanic_block.a"),
                       QuelaPanicRecord(0xA1, 0x400, Counting(1, 4)) +
                           QuelaPanicRecord(0xA2, 0x500, Counting(2, 4)));
    ulvtest::WriteFile(world.Path(kPartition), KernelPanicText(kPanicTime, "00000001", false));
    // The second report (the second QUELA panic) fails on delivery; every later one goes through.
    world.StartHandset(std::string(kSameSoftware) + "confirm 0,1,0\n");
    ASSERT_EQ(world.StartDaemon(), 0);
    ASSERT_GT(world.WaitForDaemonPid(), 0);
    ASSERT_TRUE(world.WaitForTrace("\tRecd. failure for SMS Send\n")) << world.Aplog();
    ASSERT_TRUE(world.WaitForAplog("Some thing was sent, to begin periodic timer\\n\\r", 3));
    EXPECT_EQ(world.SmsLines().size(), 2u);
    EXPECT_EQ(world.ConfigValue("ulv_last_ap_quela_panic_timestamp"), "400");  // rolled back
    EXPECT_EQ(world.ConfigValue("ulv_last_ap_kernel_timestamp"), "0");         // not lost

    Restart(world);
    const std::vector<std::string> decoded = DecodeAll(world.SmsLines());
    ASSERT_EQ(decoded.size(), 4u);
    const char* stamps[] = {"1024", "1280", "1280", kPanicSeconds};
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(JsonField(decoded[i], "timestamp"), stamps[i]);
    EXPECT_EQ(JsonField(decoded[3], "idName"), "\"kernel panic\"");
    EXPECT_EQ(world.ConfigValue("ulv_last_ap_quela_panic_timestamp"), "500");
    EXPECT_EQ(world.ConfigValue("ulv_last_ap_kernel_timestamp"), "45ec240d");
}

TEST(Panics, AfterASoftwareChangeEveryKindIsMarkedHandledWithoutAReport) {
    UseUtc();
    DaemonWorld world;
    world.WriteConfig({{"ulv_lst_bldinfo_baselabel", ""}, {"ulv_last_flex_version", ""}});
    PlaceEveryKind(world, /*forced=*/false);
    world.StartHandset(kSameSoftware);
    ASSERT_EQ(world.StartDaemon(), 0);
    ASSERT_GT(world.WaitForDaemonPid(), 0);
    ASSERT_TRUE(WaitForSchedule(world)) << world.Aplog();

    const std::vector<std::string> decoded = DecodeAll(world.SmsLines());
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(JsonField(decoded[0], "kind"), "\"softwareChange\"");
    EXPECT_EQ(world.ConfigValue("ulv_last_panic_timestamp"), "300");
    EXPECT_EQ(world.ConfigValue("ulv_last_num_panics"), "2");
    EXPECT_EQ(world.ConfigValue("ulv_last_ap_quela_panic_timestamp"), "500");
    EXPECT_EQ(world.ConfigValue("ulv_last_ap_kernel_timestamp"), "45ec240d");

    Restart(world);
    EXPECT_EQ(world.SmsLines().size(), 1u);
}

// What another process could place at the partition's path: the daemon neither blocks, nor
// follows a link (to a file holding a panic), nor spends its memory, and keeps its schedule.
TEST(Panics, AFifoALinkOrAHugeBinaryPartitionLeavesTheScheduleRunning) {
    UseUtc();
    DaemonWorld world;
    world.WriteConfig();
    world.StartHandset(kSameSoftware);
    const std::string partition = world.Path(kPartition);
    ulvtest::WriteFile(world.Path("secret"), KernelPanicText(kPanicTime, "C0012ABC", false));
    std::string random(16u << 20, '\0');
    std::mt19937 bytes(0xD15C);
    for (char& c : random) c = static_cast<char>(bytes());
    const std::pair<std::function<void()>, const char*> cases[] = {
        {[&] { ASSERT_EQ(mkfifo(partition.c_str(), 0600), 0); }, "failed to get kernel panic info"},
        {[&] { std::filesystem::create_symlink(world.Path("secret"), partition); },
         "failed to get kernel panic info"},
        {[&] { ulvtest::WriteFile(partition, random); }, "close pipe"},
    };
    for (const auto& [place, traced] : cases) {
        std::filesystem::remove(partition);
        place();
        ulvtest::WriteFile(world.Path("zel_user/download/appwrite/ulvPanicInfo"), "");
        ASSERT_EQ(world.StartDaemon(), 0);
        ASSERT_GT(world.WaitForDaemonPid(), 0);
        ASSERT_TRUE(WaitForSchedule(world)) << traced << world.Aplog();
        EXPECT_NE(world.Trace().find(std::string(traced) + "\n\n"), std::string::npos) << traced;
        EXPECT_NE(world.Trace().find("No new Kernel panic - -1\n"), std::string::npos) << traced;
        world.KillDaemon(SIGTERM);
        int status = 0;
        ASSERT_TRUE(world.WaitDaemonExit(&status));
        EXPECT_EQ(ExitCode(status), 0);
    }
    EXPECT_TRUE(world.SmsLines().empty());
}

}  // namespace
