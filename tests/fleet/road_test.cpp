// The full road: the real daemon on simulated handsets sends its reports, the handsets' sms.log
// files are ingested by ulv-fleet, and the summary shows what the scenario produced; on both
// back ends. Then the fleet page, rendered by a real browser.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <map>
#include <regex>

#include "daemon_world.h"
#include "decoder.h"
#include "fleet_support.h"
#include "panic_log.h"

namespace {

using fleettest::Backend;
using fleettest::RunFleet;
using ulvtest::DaemonWorld;

struct RoadHandset {
    std::string serial, apLabel, flexVersion;
    std::string lastLabel, lastFlex;  // what its configuration last saw
    std::vector<std::pair<uint32_t, uint32_t>> panics;  // BP panic id, time stamp
    bool email = false;
    bool failFirst = false;  // the first report's confirmation says it failed: resent next start
};

// The handsets run side by side, each in its own sandbox, on accelerated time.
constexpr double kTimeScale = 3600;

std::unique_ptr<DaemonWorld> StartHandset(const RoadHandset& h) {
    // The world sets the sandbox's environment in this process; the processes started next
    // take it with them.
    auto world = std::make_unique<DaemonWorld>(kTimeScale, /*startUptime=*/1000);
    std::map<std::string, std::string> config = {{"ulv_report_duration", "6"},  // the shortest
                                                 {"ulv_lst_bldinfo_baselabel", h.lastLabel},
                                                 {"ulv_last_flex_version", h.lastFlex}};
    if (h.email) {
        config["ulv_sms_address_type"] = "1";
        config["ulv_destination_address"] = "fleet.crash.reports@example.com";  // 31 characters
    }
    world->WriteConfig(config);
    std::string log;
    for (const auto& [id, timestamp] : h.panics) log += ulvtest::BpPanicRecord(id, timestamp, ulvtest::Counting(0x40, 8));
    ulvtest::WriteFile(world->Path("zellocal/panic/bp_panic.log1"), log);
    world->StartHandset("ap_version " + h.apLabel + "\nbp_version BP.12.34\nflex_version " + h.flexVersion +
                        "\nserial " + h.serial + "\ncall_time 7\n" + (h.failFirst ? "confirm 9,0\n" : ""));
    EXPECT_EQ(world->StartDaemon(), 0);
    EXPECT_GT(world->WaitForDaemonPid(), 0);
    return world;
}

// Waits until `count` SMS went out, then stops the daemon.
void StopAfter(DaemonWorld& world, size_t count) {
    EXPECT_TRUE(world.WaitForSmsCount(count, /*seconds=*/90)) << world.Aplog();
    world.KillDaemon(SIGTERM);
    int status = 0;
    EXPECT_TRUE(world.WaitDaemonExit(&status));
}

// What the texts themselves say, worked out with the decoder: per serial, the number of texts
// and the uptime from its first to its last report.
struct Expected {
    std::map<std::string, std::pair<int, int64_t>> perSerial;  // texts, uptime ms span
    int texts = 0;
};

Expected FromLogs(const std::vector<std::string>& logs) {
    Expected e;
    std::map<std::string, std::pair<int64_t, int64_t>> range;
    for (const std::string& log : logs) {
        std::istringstream in(log);
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("SMS seq=", 0) != 0) continue;
            const ulv::decode::DecodedInput d = ulv::decode::DecodeInput(1, DaemonWorld::SmsText(line));
            if (!d.report || !d.report->header.serialNumber) continue;
            const auto& raw = *d.report->header.serialNumber;
            const std::string serial(raw.begin(), raw.end());
            const int64_t uptime = *d.report->header.uptimeMs;
            auto [it, fresh] = range.emplace(serial, std::make_pair(uptime, uptime));
            it->second.second = uptime;  // file order is sending order
            ++e.perSerial[serial].first;
            ++e.texts;
        }
    }
    for (const auto& [serial, r] : range) e.perSerial[serial].second = r.second - r.first;
    return e;
}

// The JSON object of one release in the summary ("" when missing).
std::string ReleaseObject(const std::string& json, const std::string& label, const std::string& flex) {
    std::smatch match;
    const std::regex object("\\{\"apLabel\":\"" + label + "\",\"flexVersion\":\"" + flex + "\"[^}]*\\}");
    return std::regex_search(json, match, object) ? match.str() : "";
}

std::string SignatureObject(const std::string& json, const std::string& signature) {
    std::smatch match;
    return std::regex_search(json, match, std::regex("\\{\"signature\":\"" + signature + "\"[^}]*\\}")) ? match.str() : "";
}

TEST(FleetRoad, ReportsFromTheDaemonEndAsFleetFigures) {
    const std::vector<RoadHandset> handsets = {
        // Its crash report is confirmed as failed and sent again at the next start. It goes
        // first, so that its second run overlaps the others' waits.
        {"SNFLEET004", "AP_R1", "FLEX_7", "AP_R1", "FLEX_7", {{0x53, 0x400}}, false, /*failFirst=*/true},
        // Updated since its last start: a software-change report (its panic is marked handled).
        {"SNFLEET001", "AP_R2", "FLEX_8", "AP_R1", "FLEX_7", {{0x51, 0x100}}},
        {"SNFLEET002", "AP_R2", "FLEX_8", "AP_R2", "FLEX_8", {{0x51, 0x100}, {0x52, 0x200}}},
        // Through the e-mail gateway: 31 characters of address cut every 152-character text.
        {"SNFLEET003", "AP_R2", "FLEX_8", "AP_R2", "FLEX_8", {{0x51, 0x300}}, /*email=*/true},
    };
    std::vector<std::unique_ptr<DaemonWorld>> worlds;
    for (const RoadHandset& h : handsets) worlds.push_back(StartHandset(h));
    // Each sends its crash or software-change reports, then its periodic report once 6 hours
    // of uptime have passed. The failing one is started again: it resends the crash report,
    // then sends another periodic report.
    for (size_t i = 0; i < handsets.size(); ++i) {
        SCOPED_TRACE(handsets[i].serial);
        DaemonWorld& world = *worlds[i];
        StopAfter(world, handsets[i].failFirst ? 2 : handsets[i].panics.size() + 1);
        if (!handsets[i].failFirst) continue;
        setenv("ULV_SIM_ROOT", world.root().c_str(), 1);
        setenv("ZEL_APP_WRITE_PATH", world.Path("zel_app").c_str(), 1);
        ASSERT_EQ(world.StartDaemon(), 0);
        ASSERT_GT(world.WaitForDaemonPid(), 0);
        StopAfter(world, 4);
    }
    ulvtest::SandboxRoot dir;
    std::vector<std::string> logs, files;
    for (size_t i = 0; i < handsets.size(); ++i) {
        logs.push_back(ulvtest::ReadFile(worlds[i]->Path("sim/sms.log")));
        files.push_back(dir.path() + "/" + handsets[i].serial + ".sms.log");
        ulvtest::WriteFile(files.back(), logs.back());
    }
    worlds.clear();
    const Expected expected = FromLogs(logs);
    ASSERT_EQ(expected.perSerial.size(), 4u);
    // The resent crash is in the log twice, as two different texts.
    const std::string& resent = logs[0];
    ASSERT_EQ(std::count(resent.begin(), resent.end(), '\n'), expected.perSerial.at("SNFLEET004").first);

    for (Backend backend : {Backend::kSqlite, Backend::kPostgres}) {
        SCOPED_TRACE(fleettest::BackendName(backend));
        fleettest::TestStore db(backend);
        if (!db.available()) {
            std::printf("PostgreSQL skipped: ULV_FLEET_TEST_PG is not set\n");
            continue;
        }
        std::vector<std::string> ingest{"ingest", "--db", db.uri(), "--received", "2026-01-05T10:00:00Z"};
        ingest.insert(ingest.end(), files.begin(), files.end());
        int status = -1;
        EXPECT_EQ(RunFleet(ingest, &status),
                  "read " + std::to_string(expected.texts) + ", stored " + std::to_string(expected.texts - 1) +
                      ", duplicates 1, rejected 0\n");
        EXPECT_EQ(status, 0);
        EXPECT_EQ(RunFleet(ingest), "read " + std::to_string(expected.texts) + ", stored 0, duplicates " +
                                        std::to_string(expected.texts) + ", rejected 0\n");

        const std::string json = RunFleet({"summary", "--db", db.uri(), "--json"}, &status);
        EXPECT_EQ(status, 0);
        const std::string r2 = ReleaseObject(json, "AP_R2", "FLEX_8");
        const std::string r1 = ReleaseObject(json, "AP_R1", "FLEX_7");
        ASSERT_FALSE(r1.empty()) << json;
        ASSERT_FALSE(r2.empty()) << json;
        const int64_t r2Uptime = expected.perSerial.at("SNFLEET001").second +
                                 expected.perSerial.at("SNFLEET002").second +
                                 expected.perSerial.at("SNFLEET003").second;
        const int64_t r1Uptime = expected.perSerial.at("SNFLEET004").second;
        EXPECT_EQ(fleettest::JsonNumber(r2, "handsets"), 3);
        EXPECT_EQ(fleettest::JsonNumber(r2, "crashes"), 3);
        EXPECT_EQ(fleettest::JsonNumber(r2, "uptimeMs"), static_cast<double>(r2Uptime));
        EXPECT_NEAR(fleettest::JsonNumber(r2, "crashesPer1000Hours"), 3 * 3.6e9 / static_cast<double>(r2Uptime), 1e-3);
        EXPECT_EQ(fleettest::JsonNumber(r1, "handsets"), 1);
        EXPECT_EQ(fleettest::JsonNumber(r1, "crashes"), 1);
        EXPECT_EQ(fleettest::JsonNumber(r1, "uptimeMs"), static_cast<double>(r1Uptime));

        const std::string s51 = SignatureObject(json, "crash id 0x00000051");
        EXPECT_EQ(fleettest::JsonNumber(s51, "reports"), 2) << json;
        EXPECT_EQ(fleettest::JsonNumber(s51, "handsets"), 2);
        EXPECT_EQ(fleettest::JsonNumber(SignatureObject(json, "crash id 0x00000052"), "reports"), 1);
        EXPECT_EQ(fleettest::JsonNumber(SignatureObject(json, "crash id 0x00000053"), "reports"), 1);
        EXPECT_NE(json.find("\"softwareChanges\":[{\"day\":\"2026-01-05\",\"from\":{\"apLabel\":\"AP_R1\","
                            "\"flexVersion\":\"FLEX_7\"},\"to\":{\"apLabel\":\"AP_R2\",\"flexVersion\":\"FLEX_8\"},"
                            "\"handsets\":1}]"),
                  std::string::npos)
            << json;
        EXPECT_NE(json.find("\"silent\":[]"), std::string::npos);

        // The e-mail handset's texts are all cut, and stored flagged.
        const ulv::fleet::Rows cut = db.store().Query(
            "SELECT COUNT(*), SUM(truncated) FROM reports WHERE serial = 'SNFLEET003'");
        EXPECT_EQ(ulv::fleet::CellInt(cut[0][0]), expected.perSerial.at("SNFLEET003").first);
        EXPECT_EQ(ulv::fleet::CellInt(cut[0][1]), expected.perSerial.at("SNFLEET003").first);

        // The terminal tables say the same.
        const std::string tables = RunFleet({"summary", "--db", db.uri()});
        EXPECT_TRUE(std::regex_search(tables, std::regex("\ncrash id 0x00000051 +2 +2 "))) << tables;
    }
}

TEST(FleetCommand, ExitStatusSaysWhatWentWrong) {
    fleettest::TestStore db(Backend::kSqlite);
    ulvtest::SandboxRoot dir;
    const std::string csv = dir.path() + "/in.csv";
    ulvtest::WriteFile(csv, "1767571200,+1," + fleettest::Text(fleettest::Periodic({}, 1000, 1)) + "\nbad\n");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string output;  // standard output and error
    };
    const std::vector<Case> cases = {
        {{"ingest", "--db", db.uri(), dir.path() + "/missing.csv", csv}, 1,
         "ulv-fleet: cannot read " + dir.path() + "/missing.csv: No such file or directory\n"
         "read 2, stored 1, duplicates 0, rejected 1\n"},
        {{"html", "--db", db.uri(), dir.path() + "/no/such/dir/page.html"}, 1,
         "ulv-fleet: cannot write " + dir.path() + "/no/such/dir/page.html\n"},
        {{"summary", "--db", dir.path() + "/no/such/dir/fleet.db"}, 1, "ulv-fleet: cannot open "},
        {{"report"}, 2, "ulv-fleet: unknown command report\n"},
        {{"summary", "--since", "last week"}, 2, "ulv-fleet: --since needs a time"},
        {{"ingest", "--json"}, 2, "ulv-fleet: unknown option --json\n"},
        {{"html", "--db", db.uri()}, 2, "ulv-fleet: html needs one output file\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back());
        int status = -1;
        const std::string output = RunFleet(c.args, &status, /*withErrors=*/true);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(output.rfind(c.output, 0), 0u) << output;
    }
}

std::string Chromium() {
    for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromium-browser"})
        if (access(path, X_OK) == 0) return path;
    return "";
}

// Runs the headless browser on a page; its standard output.
std::string RunChromium(const std::string& page, const std::vector<std::string>& what, const std::string& dir) {
    std::vector<std::string> argv = {Chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                                     "--no-first-run", "--disable-background-networking",
                                     "--disable-component-update", "--disable-sync",
                                     "--user-data-dir=" + dir + "/profile-" + std::to_string(what.size())};
    argv.insert(argv.end(), what.begin(), what.end());
    argv.push_back("file://" + page);
    std::vector<std::string> command{"/bin/sh", "-c", "cd \"$0\" && exec \"$@\" >out.html 2>chromium.log", dir};
    command.insert(command.end(), argv.begin(), argv.end());
    ulvtest::ChildProcess child = ulvtest::ChildProcess::SpawnNative(command);
    int status = -1;
    EXPECT_TRUE(child.WaitExit(&status, 120));
    return ulvtest::ReadFile(dir + "/out.html");
}

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(FleetPage, RendersItsChartsInABrowserWithoutTheNetwork) {
    if (Chromium().empty()) GTEST_SKIP() << "chromium is not installed";
    fleettest::TestStore db(Backend::kSqlite);
    ulvtest::SandboxRoot dir;
    const fleettest::Handset a{"SN00000001", "AP_R1", "FLEX_7", 0x2679};
    const fleettest::Handset b{"SN00000002", "AP_R2", "FLEX_8", 0x3a02};
    std::string csv = "received_at,sender,text\n";
    const int64_t day = 1767571200;
    for (int k = 0; k < 3; ++k) {
        csv += std::to_string(day + k * 86400) + ",+1," + fleettest::Text(fleettest::Periodic(a, 1000 + k * 3600000u, 1)) + "\n";
        csv += std::to_string(day + k * 86400) + ",+1," + fleettest::Text(fleettest::Crash(a, 2000 + k * 3600000u, 1, 100 + k, 0x51)) + "\n";
    }
    csv += std::to_string(day + 86400) + ",+1," + fleettest::Text(fleettest::SoftwareChange(b, 1000, "AP_R1", "FLEX_7")) + "\n";
    csv += std::to_string(day + 2 * 86400) + ",+1," + fleettest::Text(fleettest::CoreDump(b, 3601000, 1, 5, "cam<era>", "libc.so", 16)) + "\n";
    ulvtest::WriteFile(dir.path() + "/in.csv", csv);
    int status = -1;
    RunFleet({"ingest", "--db", db.uri(), dir.path() + "/in.csv"}, &status);
    ASSERT_EQ(status, 0);
    const std::string page = dir.path() + "/fleet.html";
    RunFleet({"html", "--db", db.uri(), page}, &status);
    ASSERT_EQ(status, 0);
    const std::string html = ulvtest::ReadFile(page);
    // Self-contained: no script, style sheet, image or font is fetched.
    EXPECT_EQ(std::regex_search(html, std::regex("(src|href)=|@import|url\\(")), false);

    const std::string dom = RunChromium(page, {"--dump-dom"}, dir.path());
    ASSERT_NE(dom.find("</html>"), std::string::npos) << ulvtest::ReadFile(dir.path() + "/chromium.log");
    // Crash rate bars, one per release: AP_R1 3 crashes in 7201 s (first periodic report to
    // last crash), AP_R2 1 crash in 1 h.
    EXPECT_EQ(Occurrences(dom, "<rect class=\"bar\""), 2u);
    EXPECT_NE(dom.find("data-release=\"AP_R1 / FLEX_7 / 0x2679\" data-rate=\"1499.7917\""), std::string::npos) << dom;
    EXPECT_NE(dom.find("data-release=\"AP_R2 / FLEX_8 / 0x3a02\" data-rate=\"1000.0000\""), std::string::npos);
    // Reports per day: one line through three days; the roll-out: one line per release.
    const size_t perDay = dom.find("<svg id=\"reports-per-day\"");
    const size_t rollout = dom.find("<svg id=\"rollout\"");
    ASSERT_NE(perDay, std::string::npos);
    ASSERT_NE(rollout, std::string::npos);
    const std::string perDaySvg = dom.substr(perDay, rollout - perDay);
    EXPECT_EQ(Occurrences(perDaySvg, "<polyline"), 1u);
    EXPECT_EQ(Occurrences(perDaySvg, "<circle"), 3u);
    EXPECT_EQ(Occurrences(dom.substr(rollout), "<polyline"), 2u);
    // The signature table, the task name escaped.
    EXPECT_NE(dom.find("<td>crash id 0x00000051</td><td class=\"n\">3</td><td class=\"n\">1</td>"), std::string::npos);
    EXPECT_NE(dom.find("<td>core cam&lt;era&gt; libc.so+0x00000010</td>"), std::string::npos);

    RunChromium(page, {"--screenshot=" + dir.path() + "/fleet.png", "--window-size=1000,1600"}, dir.path());
    const std::string png = ulvtest::ReadFile(dir.path() + "/fleet.png");
    ASSERT_GT(png.size(), 1000u) << ulvtest::ReadFile(dir.path() + "/chromium.log");
    EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
}

}  // namespace
