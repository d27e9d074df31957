// Every kind of panic the handset keeps, end to end: BP panic logs, QUELA panic blocks and the
// kernel panic partition, from the files to delivered (or rolled back) reports.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "daemon_world.h"
#include "panic_log.h"

namespace {

using namespace ulvtest;

constexpr char kPartition[] = "dev/mtdblock/kpanic";
constexpr char kPanicTime[] = "2007-03-05 14:07:09";  // 1173103629 = 0x45ec240d in UTC
constexpr char kPanicSeconds[] = "1173103629";

// BP 0x11223344 (40 bytes of data, padded; an older one before it) and 0x200, QUELA 0x500 and
// 0x400 (one in each file of its kind), a kernel panic. The daemon converts the partition's
// local time in the zone of TZ, inherited from here.
void PlaceEveryKind(const DaemonWorld& world, bool forced) {
    setenv("TZ", "UTC0", 1);
    WriteFile(world.Path("zellocal/panic/bp_panic.log1"),
              BpPanicRecord(0x51, 5, Counting(0, 4)) +
                  BpPanicRecord(0x0B0E0F01, 0x11223344, Counting(0xA0, 40), /*padding=*/5));
    WriteFile(world.Path("zellocal/panic/bp_panic.log2"),
              BpPanicRecord(0xB2, 0x200, Counting(2, 4)));
    WriteFile(world.Path("zellocal/panic/qupanic_block.a"),
              BpPanicRecord(0xA1, 0x500, Counting(3, 40), /*padding=*/3, kQuela));
    WriteFile(world.Path("zellocal/panic/qupanic_block.b"),
              BpPanicRecord(0xA2, 0x400, Counting(4, 4), 0, kQuela));
    WriteFile(world.Path(kPartition), KernelPanicText(kPanicTime, "C0012ABC", forced));
}

constexpr auto kRegular = std::filesystem::file_type::regular;

// What is at `path` (not following a link) and its mode bits.
std::pair<std::filesystem::file_type, unsigned> Kind(const std::string& path) {
    const auto status = std::filesystem::symlink_status(path);
    return {status.type(), static_cast<unsigned>(status.permissions())};
}

// The report's 36 data bytes: the record's first ones, then zeros.
std::string Data36(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (size_t i = 0; i < 36; ++i) {
        const unsigned b = i < bytes.size() ? bytes[i] : 0;
        text += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
    }
    return "\"" + text + "\"";
}

TEST(Panics, EveryKindIsReportedOnceBpThenQuelaThenKernel) {
    DaemonWorld world;
    world.WriteConfig(
        {{"ulv_last_panic_timestamp", "10"}, {"ulv_last_ap_quela_panic_timestamp", "10"}});
    PlaceEveryKind(world, /*forced=*/true);
    world.StartHandset(std::string(kSameSoftware) + "sequence 40\n");
    ASSERT_TRUE(Launch(world));

    const std::vector<std::string> sms = world.SmsLines();
    ASSERT_EQ(sms.size(), 5u);
    EXPECT_EQ(Count(sms[0], " seq=40 ") + Count(sms[0], " dest=+15550100 "), 2) << sms[0];
    EXPECT_EQ(DaemonWorld::SmsText(sms[0]).size(), 152u);
    const std::vector<std::string> decoded = DecodeAll(sms);
    ASSERT_EQ(decoded.size(), 5u);
    const Values expected[] = {
        {{"timestamp", "512"}, {"id", "\"0x000000b2\""}, {"data", Data36(Counting(2, 4))}},
        {{"timestamp", "287454020"},
         {"id", "\"0x0b0e0f01\""},
         {"data", Data36(Counting(0xA0, 40))}},
        {{"timestamp", "1024"}, {"id", "\"0x000000a2\""}, {"data", Data36(Counting(4, 4))}},
        {{"timestamp", "1280"}, {"id", "\"0x000000a1\""}, {"data", Data36(Counting(3, 40))}},
        {{"timestamp", kPanicSeconds},
         {"id", "\"0x00082002\""},
         {"idName", "\"forced kernel panic\""},
         {"data", Data36({0xC0, 0x01, 0x2A, 0xBC})}},
    };
    for (size_t i = 0; i < 5; ++i) {
        ExpectJson(decoded[i], {{"kind", "\"crash\""}, {"callTime", "7"}, {"bpTotalCount", "3"}});
        ExpectJson(decoded[i], expected[i]);
    }
    ExpectConfig(world, {{"ulv_last_panic_timestamp", "11223344"},
                         {"ulv_last_num_panics", "3"},
                         {"ulv_last_ap_quela_panic_timestamp", "500"},
                         {"ulv_last_ap_quela_num_panics", "2"},
                         {"ulv_last_ap_kernel_timestamp", "45ec240d"}});

    ASSERT_TRUE(Restart(world));
    EXPECT_EQ(world.SmsLines().size(), 5u);
    EXPECT_NE(world.Trace().find(std::string("No new Kernel panic - ") + kPanicSeconds + "\n"),
              std::string::npos);
    EXPECT_NE(world.Trace().find("BP: There are 0 new panics of 2 total panics from file "
                                 "/zellocal/panic/bp_panic.log1\n"),
              std::string::npos);
}

TEST(Panics, AFailedQuelaDeliveryRollsBackAndTheNextStartResendsWithTheKernelPanic) {
    setenv("TZ", "UTC0", 1);
    DaemonWorld world;
    world.WriteConfig({{"ulv_last_ap_quela_panic_timestamp", "10"}});
    WriteFile(world.Path("zellocal/panic/qupanic_block.a"),
              BpPanicRecord(0xA1, 0x400, Counting(1, 4), 0, kQuela) +
                  BpPanicRecord(0xA2, 0x500, Counting(2, 4), 0, kQuela));
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
// every panic of every kind handled without a report. Its label has a blank: saved escaped, it
// is the same software at every later boot, which reports only the panics that are new.
TEST(Panics, AfterASoftwareChangeEveryKindIsMarkedHandledWithoutAReport) {
    DaemonWorld world;
    world.WriteConfig({{"ulv_lst_bldinfo_baselabel", ""}, {"ulv_last_flex_version", ""}});
    PlaceEveryKind(world, /*forced=*/false);
    world.StartHandset("ap_version \"R1 2.0\"\nbp_version BP.12.34\nflex_version \"FLEX 7\"\n");
    ASSERT_TRUE(Launch(world));

    const std::vector<std::string> sms = world.SmsLines();
    ASSERT_EQ(sms.size(), 1u);
    EXPECT_EQ(DaemonWorld::SmsText(sms[0]).size(), 140u);
    ExpectJson(DecodeAll(sms).at(0), {{"kind", "\"softwareChange\""},
                                      {"apBuildLabel", "\"R1 2.0\""},
                                      {"previousApBuildLabel", "\"\""},
                                      {"bpTotalCount", "3"}});
    ExpectConfig(world, {{"ulv_last_panic_timestamp", "11223344"},
                         {"ulv_last_num_panics", "3"},
                         {"ulv_last_ap_quela_panic_timestamp", "500"},
                         {"ulv_last_ap_kernel_timestamp", "45ec240d"}});
    std::string log = ReadFile(world.Path("zellocal/panic/bp_panic.log1"));
    for (int boot = 1; boot <= 3; ++boot) {
        SCOPED_TRACE("boot " + std::to_string(boot));
        if (boot > 1) log += BpPanicRecord(boot, 0x12000000 + boot, Counting(0, 4));
        WriteFile(world.Path("zellocal/panic/bp_panic.log1"), log);
        ASSERT_TRUE(Restart(world));
        const std::vector<std::string> sent = world.SmsLines();
        ASSERT_EQ(sent.size(), boot == 1 ? 1u : static_cast<size_t>(boot));
        EXPECT_EQ(JsonField(DecodeAll({sent.back()}).at(0), "kind"),
                  boot == 1 ? "\"softwareChange\"" : "\"crash\"");
        ExpectConfig(world, {{"ulv_last_panic_timestamp",
                              boot == 1 ? "11223344" : "1200000" + std::to_string(boot)},
                             {"ulv_lst_bldinfo_baselabel", "R1\\x202.0"},
                             {"ulv_last_flex_version", "FLEX\\x207"}});
    }
}

// What another process could place at the partition's path: the daemon neither blocks, nor
// follows a link (to a file holding a panic), nor spends its memory, and keeps its schedule.
// A link or a FIFO placed at the configuration copy or the pid file in /tmp is replaced, never
// written through.
TEST(Panics, AFifoALinkOrAHugeBinaryPartitionLeavesTheScheduleRunning) {
    setenv("TZ", "UTC0", 1);
    DaemonWorld world;
    world.WriteConfig();
    world.StartHandset(kSameSoftware);
    const std::string partition = world.Path(kPartition);
    WriteFile(world.Path("secret"), KernelPanicText(kPanicTime, "C0012ABC", false));
    ASSERT_TRUE(WriteFile(world.Path("victim"), "precious"));
    std::string random(16u << 20, '\0');
    std::mt19937 bytes(0xD15C);
    for (char& c : random) c = static_cast<char>(bytes());
    const struct {
        std::function<void()> place;
        const char* traced;
        const char* link;  // in tmp, to the victim
        const char* fifo;
    } cases[] = {
        {[&] { ASSERT_EQ(mkfifo(partition.c_str(), 0600), 0); }, "failed to get kernel panic info",
         "ulv.cfg", "ulv.pid"},
        {[&] { std::filesystem::create_symlink(world.Path("secret"), partition); },
         "failed to get kernel panic info", "ulv.pid", "ulv.cfg"},
        {[&] { WriteFile(partition, random); }, "close pipe", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.traced);
        std::filesystem::remove(partition);
        c.place();
        if (c.link != nullptr) {
            std::filesystem::remove(world.Path("tmp/ulv.cfg"));
            std::filesystem::remove(world.Path("tmp/ulv.pid"));
            std::filesystem::create_symlink(world.Path("victim"), world.Path("tmp/") + c.link);
            ASSERT_EQ(mkfifo((world.Path("tmp/") + c.fifo).c_str(), 0666), 0);
        }
        WriteFile(world.Path("zel_user/download/appwrite/ulvPanicInfo"), "");
        // A pid file of an earlier start would be read before the new one replaced it.
        ASSERT_TRUE(Launch(world, /*settle=*/true, /*keepPid=*/c.link != nullptr));
        EXPECT_EQ(Count(world.Trace(), std::string(c.traced) + "\n\n"), 1);
        EXPECT_EQ(Count(world.Trace(), "No new Kernel panic - -1\n"), 1);
        const pid_t pid = world.pid();
        ASSERT_TRUE(Stop(world));
        EXPECT_EQ(ReadFile(world.Path("victim")), "precious");
        EXPECT_EQ(Kind(world.Path("tmp/ulv.pid")), std::pair(kRegular, 0644u));
        EXPECT_EQ(ReadFile(world.Path("tmp/ulv.pid")), std::to_string(pid));
        EXPECT_EQ(Kind(world.Path("tmp/ulv.cfg")), std::pair(kRegular, 0600u));
        EXPECT_EQ(ReadFile(world.Path("tmp/ulv.cfg")), world.ConfigFile());
    }
    EXPECT_TRUE(world.SmsLines().empty());
}

// An e-mail destination: the phone answers the gateway query with nothing, so the daemon reads
// the gateway from the SMS setup file, and the text starts with the address.
TEST(Panics, EmailDestinationGoesThroughTheGatewayOfTheSetupFile) {
    DaemonWorld world;
    world.WriteConfig({{"ulv_sms_address_type", "1"},
                       {"ulv_destination_address", "ops.crash@example.com"},
                       {"ulv_last_panic_timestamp", "10"}});
    WriteFile(world.Path("zel_app/setup/zel_sms.cfg"),
              "[SmsSetup]\n# EMAIL_GATEWAY = 1111\nEMAIL_GATEWAY = 6245\n");
    WriteFile(world.Path("zellocal/panic/bp_panic.log1"), BpPanicRecord(9, 0x20, Counting(0, 36)));
    world.StartHandset(std::string(kSameSoftware) + "email_gateway\n");
    ASSERT_TRUE(Launch(world));

    const std::vector<std::string> sms = world.SmsLines();
    ASSERT_EQ(sms.size(), 1u);
    for (const char* field : {" pid=0x32 ", " dest=6245 ", " len=160 "})
        EXPECT_NE(sms[0].find(field), std::string::npos) << field << " in " << sms[0];
    const std::string text = DaemonWorld::SmsText(sms[0]);
    EXPECT_EQ(text.rfind("ops.crash@example.com ", 0), 0u);
    EXPECT_EQ(text.size(), 160u);  // 22 + 138 of the 152 report characters
    int exitCode = 0;
    const std::string output = Decode({text}, &exitCode);
    EXPECT_EQ(exitCode, 1);  // cut short by the e-mail form, as the receiver sees it
    ExpectJson(output, {{"truncated", "true"}, {"timestamp", "32"}});
    EXPECT_NE(world.Trace().find("Email Gateway from SMS setup is 6245\n\n"), std::string::npos);
}

}  // namespace
