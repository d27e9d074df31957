// Every kind of panic the handset keeps, end to end: BP panic logs, QUELA panic blocks and the
// kernel panic partition, from the files to delivered (or rolled back) reports.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "e2e.h"
#include "panic_log.h"

namespace {

using namespace ulvtest;

constexpr char kPartition[] = "dev/mtdblock/kpanic";
constexpr char kPanicTime[] = "2007-03-05 14:07:09";  // 1173103629 = 0x45ec240d in UTC
constexpr char kPanicSeconds[] = "1173103629";

// BP 0x300 and 0x200, QUELA 0x500 and 0x400 (one in each file of its kind), a kernel panic.
// The daemon converts the partition's local time in the zone of TZ, inherited from here.
void PlaceEveryKind(const DaemonWorld& world, bool forced) {
    setenv("TZ", "UTC0", 1);
    WriteFile(world.Path("zellocal/panic/bp_panic.log1"),
              BpPanicRecord(0xB1, 0x300, Counting(1, 4)));
    WriteFile(world.Path("zellocal/panic/bp_panic.log2"),
              BpPanicRecord(0xB2, 0x200, Counting(2, 4)));
    WriteFile(world.Path("zellocal/panic/qupanic_block.a"),
              QuelaPanicRecord(0xA1, 0x500, Counting(3, 40), /*padding=*/3));
    WriteFile(world.Path("zellocal/panic/qupanic_block.b"),
              QuelaPanicRecord(0xA2, 0x400, Counting(4, 4)));
    WriteFile(world.Path(kPartition), KernelPanicText(kPanicTime, "C0012ABC", forced));
}

TEST(Panics, EveryKindIsReportedOnceBpThenQuelaThenKernel) {
    DaemonWorld world;
    world.WriteConfig(
        {{"ulv_last_panic_timestamp", "10"}, {"ulv_last_ap_quela_panic_timestamp", "10"}});
    PlaceEveryKind(world, /*forced=*/true);
    world.StartHandset(kSameSoftware);
    ASSERT_TRUE(Launch(world));

    const std::vector<std::string> decoded = DecodeAll(world.SmsLines());
    ASSERT_EQ(decoded.size(), 5u);
    // Time stamp, id, the data's first bytes.
    const std::tuple<const char*, const char*, std::string> expected[] = {
        {"512", "\"0x000000b2\"", "02030405"},
        {"768", "\"0x000000b1\"", "01020304"},
        {"1024", "\"0x000000a2\"", "04050607"},
        {"1280", "\"0x000000a1\"", Hex(Counting(3, 36))},
        {kPanicSeconds, "\"0x00082002\"", "c0012abc"},
    };
    for (size_t i = 0; i < decoded.size(); ++i) {
        const auto& [stamp, id, data] = expected[i];
        ExpectJson(decoded[i], {{"timestamp", stamp}, {"id", id}});
        EXPECT_EQ(JsonField(decoded[i], "data").substr(1, data.size()), data) << decoded[i];
    }
    ExpectJson(decoded[4], {{"idName", "\"forced kernel panic\""},
                            {"data", "\"c0012abc" + std::string(64, '0') + "\""}});
    ExpectConfig(world, {{"ulv_last_panic_timestamp", "300"},
                         {"ulv_last_num_panics", "2"},
                         {"ulv_last_ap_quela_panic_timestamp", "500"},
                         {"ulv_last_ap_quela_num_panics", "2"},  // counts down
                         {"ulv_last_ap_kernel_timestamp", "45ec240d"}});

    ASSERT_TRUE(Restart(world));
    EXPECT_EQ(world.SmsLines().size(), 5u);
    EXPECT_NE(world.Trace().find(std::string("No new Kernel panic - ") + kPanicSeconds + "\n"),
              std::string::npos);
}

TEST(Panics, AFailedQuelaDeliveryRollsBackAndTheNextStartResendsWithTheKernelPanic) {
    setenv("TZ", "UTC0", 1);
    DaemonWorld world;
    world.WriteConfig({{"ulv_last_ap_quela_panic_timestamp", "10"}});
    WriteFile(world.Path("zellocal/panic/qupanic_block.a"),
              QuelaPanicRecord(0xA1, 0x400, Counting(1, 4)) +
                  QuelaPanicRecord(0xA2, 0x500, Counting(2, 4)));
    WriteFile(world.Path(kPartition), KernelPanicText(kPanicTime, "00000001", false));
    // The second report (the second QUELA panic) fails on delivery; every later one goes through.
    world.StartHandset(std::string(kSameSoftware) + "confirm 0,1,0\n");
    ASSERT_TRUE(Launch(world, /*settle=*/false));
    ASSERT_TRUE(world.WaitForTrace("\tRecd. failure for SMS Send\n")) << world.Aplog();
    ASSERT_TRUE(world.WaitForAplog("Some thing was sent, to begin periodic timer\\n\\r", 3));
    EXPECT_EQ(world.SmsLines().size(), 2u);
    ExpectConfig(world, {{"ulv_last_ap_quela_panic_timestamp", "400"},  // rolled back
                         {"ulv_last_ap_kernel_timestamp", "0"}});       // not lost

    ASSERT_TRUE(Restart(world));
    const std::vector<std::string> decoded = DecodeAll(world.SmsLines());
    ASSERT_EQ(decoded.size(), 4u);
    const char* stamps[] = {"1024", "1280", "1280", kPanicSeconds};
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(JsonField(decoded[i], "timestamp"), stamps[i]);
    EXPECT_EQ(JsonField(decoded[3], "idName"), "\"kernel panic\"");
    ExpectConfig(world, {{"ulv_last_ap_quela_panic_timestamp", "500"},
                         {"ulv_last_ap_kernel_timestamp", "45ec240d"}});
}

// The first start after provisioning (no software seen yet) reports the software and marks
// every panic of every kind handled without a report.
TEST(Panics, AfterASoftwareChangeEveryKindIsMarkedHandledWithoutAReport) {
    DaemonWorld world;
    world.WriteConfig({{"ulv_lst_bldinfo_baselabel", ""}, {"ulv_last_flex_version", ""}});
    PlaceEveryKind(world, /*forced=*/false);
    WriteFile(
        world.Path("zellocal/panic/bp_panic.log1"),
        BpPanicRecord(0xB1, 0x300, Counting(1, 4)) + BpPanicRecord(0xB0, 0x100, Counting(0, 8)));
    world.StartHandset(kSameSoftware);
    ASSERT_TRUE(Launch(world));

    const std::vector<std::string> sms = world.SmsLines();
    ASSERT_EQ(sms.size(), 1u);
    EXPECT_EQ(DaemonWorld::SmsText(sms[0]).size(), 140u);
    ExpectJson(DecodeAll(sms).at(0), {{"kind", "\"softwareChange\""},
                                      {"apBuildLabel", "\"AP_R1\""},
                                      {"previousApBuildLabel", "\"\""},
                                      {"bpTotalCount", "3"}});
    // The newest time stamp and the count of each kind, and the new software.
    ExpectConfig(world, {{"ulv_last_panic_timestamp", "300"},
                         {"ulv_last_num_panics", "3"},
                         {"ulv_last_ap_quela_panic_timestamp", "500"},
                         {"ulv_last_ap_kernel_timestamp", "45ec240d"},
                         {"ulv_lst_bldinfo_baselabel", "AP_R1"},
                         {"ulv_last_flex_version", "FLEX_7"}});
    ASSERT_TRUE(Restart(world));
    EXPECT_EQ(world.SmsLines().size(), 1u);
}

// What another process could place at the partition's path: the daemon neither blocks, nor
// follows a link (to a file holding a panic), nor spends its memory, and keeps its schedule.
TEST(Panics, AFifoALinkOrAHugeBinaryPartitionLeavesTheScheduleRunning) {
    setenv("TZ", "UTC0", 1);
    DaemonWorld world;
    world.WriteConfig();
    world.StartHandset(kSameSoftware);
    const std::string partition = world.Path(kPartition);
    WriteFile(world.Path("secret"), KernelPanicText(kPanicTime, "C0012ABC", false));
    std::string random(16u << 20, '\0');
    std::mt19937 bytes(0xD15C);
    for (char& c : random) c = static_cast<char>(bytes());
    const std::pair<std::function<void()>, const char*> cases[] = {
        {[&] { ASSERT_EQ(mkfifo(partition.c_str(), 0600), 0); }, "failed to get kernel panic info"},
        {[&] { std::filesystem::create_symlink(world.Path("secret"), partition); },
         "failed to get kernel panic info"},
        {[&] { WriteFile(partition, random); }, "close pipe"},
    };
    for (const auto& [place, traced] : cases) {
        std::filesystem::remove(partition);
        place();
        WriteFile(world.Path("zel_user/download/appwrite/ulvPanicInfo"), "");
        ASSERT_TRUE(Launch(world)) << traced;
        EXPECT_NE(world.Trace().find(std::string(traced) + "\n\n"), std::string::npos) << traced;
        EXPECT_NE(world.Trace().find("No new Kernel panic - -1\n"), std::string::npos) << traced;
        ASSERT_TRUE(Stop(world));
    }
    EXPECT_TRUE(world.SmsLines().empty());
}

}  // namespace
