// ulv-fleet on SQLite and on the PostgreSQL server that ULV_FLEET_TEST_PG names (a URI that
// scripts/test.sh sets; the PostgreSQL cases are skipped without it), every store a schema of
// its own there; the road from the daemon on simulated handsets; the page in a real browser.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <regex>
#include <sstream>

#include "daemon_world.h"
#include "decoder.h"
#include "ingest.h"
#include "panic_log.h"
#include "report_bytes.h"
#include "summary.h"

namespace {

using namespace ulv::fleet;
using reporttest::Handset;
using reporttest::Text;
using ulvtest::DaemonWorld;

enum class Backend { kSqlite, kPostgres };
constexpr int64_t kDay1 = 1767571200;  // 2026-01-05 00:00:00 UTC
constexpr int64_t kHour = 3600;
const Handset kA{"SN00000001", "AP_R1", "FLEX_7", 0x2679};
const Handset kB{"SN00000001", "AP_R2", "FLEX_8", 0x3a02};  // the same handset on release B
const Handset kOther{"SN00000002", "AP_R1", "FLEX_7", 0x2679};
const Handset kOtherB{"SN00000002", "AP_R2", "FLEX_8", 0x3a02};
const Handset kZeros{"", "AP_R1", "FLEX_7", 0x2679};  // a serial the phone never gave

// A fresh, empty store; `uri` is what --db takes, empty without a server.
struct TestStore {
    explicit TestStore(Backend backend) {
        if (backend == Backend::kSqlite) {
            uri = dir.path() + "/fleet.db";
        } else if (pg && *pg) {
            static int count = 0;
            schema = "t" + std::to_string(getpid()) + "_" + std::to_string(count++);
            OpenPostgresStore(pg)->Script("DROP SCHEMA IF EXISTS " + schema +
                                          " CASCADE; CREATE SCHEMA " + schema);
            uri = std::string(pg) + (std::strchr(pg, '?') ? "&" : "?") +
                  "options=-csearch_path%3D" + schema;
        }
    }
    ~TestStore() {
        opened.reset();
        if (!schema.empty()) OpenPostgresStore(pg)->Script("DROP SCHEMA " + schema + " CASCADE");
    }
    Store& store() {  // opened (and migrated) on first use
        if (!opened) opened = OpenStore(uri);
        return *opened;
    }
    const char* pg = std::getenv("ULV_FLEET_TEST_PG");
    ulvtest::SandboxRoot dir;
    std::string uri, schema;
    std::unique_ptr<Store> opened;
};

// Runs ulv-fleet; its standard output (and error, when `withErrors`).
std::string RunFleet(std::vector<std::string> args, int* status = nullptr,
                     bool withErrors = false) {
    ulvtest::SandboxRoot dir;
    const std::string out = dir.path() + "/out.txt";
    args.insert(args.begin(),
                {"/bin/sh", "-c", "\"$0\" \"$@\" >" + out + (withErrors ? " 2>&1" : " 2>/dev/null"),
                 ULV_FLEET_EXE});
    int wait = -1;
    const bool ended = ulvtest::ChildProcess::SpawnNative(args).WaitExit(&wait, 120);
    if (status) *status = ended && WIFEXITED(wait) ? WEXITSTATUS(wait) : -1;
    return ulvtest::ReadFile(out);
}

struct Line {
    int64_t at;  // seconds after kDay1
    std::string text;
};

// A periodic report received `hour` hours after kDay1.
Line P(int64_t hour, uint32_t uptimeMs, const Handset& h = kA) {
    return {hour * kHour, Text(Periodic(h, uptimeMs, 7))};
}

std::string Csv(const std::vector<Line>& lines) {
    std::string csv = "received_at,sender,text\n";
    for (const Line& l : lines) csv += std::to_string(kDay1 + l.at) + ",+15550100," + l.text + "\n";
    return csv;
}

IngestStats Ingest(Store& store, const std::string& input, std::ostream* progress = nullptr,
                   int64_t every = 50000) {
    Ingester ingester(store, kDay1, progress, every);
    std::istringstream in(input);
    ReadInputs(in, "input", [&](const InputText& text) { ingester.Add(text); });
    ingester.Finish();
    return ingester.stats();
}

// The rows of a query, one "cell|cell" line each.
std::string Dump(Store& store, const std::string& sql) {
    std::string out;
    for (const Row& row : store.Query(sql))
        for (size_t i = 0; i < row.size(); ++i)
            out += CellText(row[i]) + (i + 1 < row.size() ? "|" : "\n");
    return out;
}

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// An e-mail text: 30 characters of address and blank leave 130 of the 152 report characters.
std::string Cut(const std::string& text) {
    return ("ops.crash.reports@example.com " + text).substr(0, 160);
}

class FleetStore : public ::testing::TestWithParam<Backend> {
  protected:
    void SetUp() override {
        if (db_.uri.empty()) GTEST_SKIP() << "ULV_FLEET_TEST_PG is not set: no PostgreSQL server";
    }
    Store& store() { return db_.store(); }
    TestStore db_{GetParam()};
};

// Resends differ in call time and uptime only; distinct events differ in what they report.
TEST_P(FleetStore, ResendsMergeAndDistinctEventsNeverDo) {
    const std::string crash = Text(Crash(kA, 1000, 7, 0x100, 0x51));
    const std::string resent = Text(Crash(kA, 901000, 9, 0x100, 0x51));
    const std::string core = Text(CoreDump(kA, 1000, 7, 0x65000000, "camera", "libc.so", 0x1a2c));
    const std::string coreResent =
        Text(CoreDump(kA, 5000, 8, 0x65000000, "camera", "libc.so", 0x1a2c));
    const std::string coreOther =
        Text(CoreDump(kA, 1000, 7, 0x65000001, "camera", "libc.so", 0x1a2c));
    const std::string toB = Text(SoftwareChange(kB, 1000, "AP_R1", "FLEX_7"));
    const std::string toBLater = Text(SoftwareChange(kB, 1800000, "AP_R1", "FLEX_7"));
    const std::string toBAgain = Text(SoftwareChange(kB, 3000, "AP_R1", "FLEX_7"));
    const std::string toA = Text(SoftwareChange(kA, 2000, "AP_R2", "FLEX_8"));
    const std::string zeros = Text(SoftwareChange(kZeros, 1000, "AP_R0", "FLEX_6"));
    const std::string zerosLater = Text(SoftwareChange(kZeros, 5000, "AP_R0", "FLEX_6"));
    struct Case {
        int64_t stored, duplicates;
        std::vector<Line> lines;
        const char* name;
    };
    // clang-format off
    const Case cases[] = {
        {1, 1, {{0, crash}, {9, crash}}, "the same text twice"},
        {1, 1, {{0, crash}, {kHour, resent}}, "a crash resent with a later call time and uptime"},
        {2, 0, {{0, crash}, {0, Text(Crash(kOther, 1000, 7, 0x100, 0x51))}}, "another handset"},
        {2, 0, {{0, crash}, {0, Text(Crash(kA, 2000, 7, 0x101, 0x51))}}, "at another time"},
        {2, 0, {{0, Text(Crash(kA, 1000, 7, 0x100, 0x51, 0x10))},
                {0, Text(Crash(kA, 2000, 7, 0x100, 0x51, 0x20))}}, "other data only"},
        {1, 1, {{0, core}, {60, coreResent}}, "a core dump resent"},
        {2, 0, {{0, core}, {0, coreOther}}, "core dumps of two files"},
        {2, 0, {P(0, 1000), P(0, 2000)}, "periodic at other uptimes"},
        {2, 0, {P(0, 1000), {0, Text(Periodic(kA, 1000, 7, 2))}}, "other usage data"},
        {2, 0, {{0, Text(Header(kA, 0, 1000))}, {0, Text(Header(kA, 0, 2000))}}, "header only"},
        {2, 1, {{0, toB}, P(1, 900000, kB), {2 * kHour, toBLater}},
         "a software change resent while the handset runs the new release"},
        {1, 1, {{2 * kHour, toBLater}, {0, toB}}, "a resend that arrives before its original"},
        {3, 0, {{0, toB}, {kHour, toA}, {2 * kHour, toBAgain}}, "back and forth between releases"},
        {3, 0, {{0, toB}, P(1, 2000), {2 * kHour, toBAgain}},
         "back and forth with the change back never received"},
        {2, 0, {{0, zeros}, {kHour, zerosLater}}, "a serial of zeros names no handset to merge"},
        {1, 1, {{0, Cut(crash)}, {kHour, Cut(resent)}}, "a cut e-mail crash and its cut resend"},
        {2, 0, {{0, Cut(crash)}, {0, crash}}, "a cut e-mail crash and the same crash whole"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestStore fresh(GetParam());
        const int64_t read = static_cast<int64_t>(c.lines.size());
        const IngestStats first = Ingest(fresh.store(), Csv(c.lines));
        EXPECT_EQ(SummaryLine(first), SummaryLine({read, c.stored, c.duplicates, 0}));
        // Ingesting it all again adds nothing.
        const IngestStats again = Ingest(fresh.store(), Csv(c.lines));
        EXPECT_EQ(SummaryLine(again), SummaryLine({read, 0, read, 0}));
        EXPECT_EQ(Dump(fresh.store(), "SELECT COUNT(*) FROM reports"),
                  std::to_string(c.stored) + "\n");
    }
    // The first of a report and its resends is the one kept, with its own call time.
    TestStore fresh(GetParam());
    Ingest(fresh.store(), Csv({{0, Text(Periodic(kA, 1000, 3))}, {0, crash}, {kHour, resent},
                               {0, coreResent}, {0, core}}));
    EXPECT_EQ(Dump(fresh.store(), "SELECT kind, call_time FROM reports ORDER BY kind"),
              "coreDump|8\ncrash|7\nperiodic|3\n");
}

// Texts that are no report are kept once with their reason. Cut e-mail texts are stored flagged:
// the crash data is cut after 21 of its 36 bytes; a core dump keeps its task name but loses the
// library name and everything after it. Progress is shown every so many texts.
TEST_P(FleetStore, RejectedTextsAreKeptOnceAndCutTextsStoredFlagged) {
    reporttest::Message unknown = Periodic(kA, 1000, 7);
    unknown[0] = 7;
    const std::string periodic = Text(Periodic(kA, 1, 7)),
                      crash = Text(Crash(kA, 1, 7, 0x200, 0x51));
    const std::string input =
        Csv({{0, Cut(Text(Crash(kA, 1000, 7, 0x100, 0x00082000, 0xc0)))},
             {0, Cut(Text(CoreDump(kA, 1000, 7, 0x65000000, "camera", "libc.so", 1)))},
             {0, crash},
             {0, crash},
             {0, "AAJB!UF9S"},
             {0, periodic.substr(0, 100)},
             {0, Text(unknown)},
             {0, "ops@example.com AAJBUF9SMQAA"}}) +
        "1767571200\nyesterday,+1555," + periodic + "\n";
    std::ostringstream progress;
    EXPECT_EQ(SummaryLine(Ingest(store(), input, &progress, 4)),
              "read 10, stored 3, duplicates 1, rejected 6");
    EXPECT_EQ(progress.str(),
              "ulv-fleet: read 4, stored 3, duplicates 1, rejected 0 so far\n"
              "ulv-fleet: read 8, stored 3, duplicates 1, rejected 4 so far\n");
    EXPECT_EQ(Dump(store(),
                   "SELECT kind, truncated, crash_id, signature FROM reports ORDER BY event_time"),
              "crash|1|532480|kernel pc 0xc0c1c2c3\n"  // the pc opens the crash data
              "crash|0|81|crash id 0x00000051\n"
              "coreDump|1||core camera ?+?\n");
    EXPECT_EQ(Dump(store(), "SELECT source, reason FROM rejected ORDER BY source"),
              "input:10|CSV line without the three fields received_at,sender,text\n"
              "input:11|unreadable received time 'yesterday'\n"
              "input:6|'!' at position 5 is not in the report alphabet\n"
              "input:7|75 bytes is not a report length (64, 104 or 112 bytes)\n"
              "input:8|unknown report type 7\n"
              "input:9|text cut short before the header's serial number\n");
    EXPECT_EQ(SummaryLine(Ingest(store(), input)), "read 10, stored 0, duplicates 4, rejected 6");
    EXPECT_EQ(Dump(store(), "SELECT COUNT(*) FROM rejected"), "6\n");
}

TEST_P(FleetStore, UptimeOnAReleaseRunsFromFirstToLastReportAcrossTheWrap) {
    const Line zerosChange = {0, Text(SoftwareChange(kZeros, 1000, "AP_R0", "FLEX_6"))};
    const struct {
        const char* name;
        std::vector<Line> lines;
        int64_t spanMs;
    } cases[] = {
        {"in order", {P(0, 1000), P(1, 3601000), P(2, 7201000)}, 7200000},
        {"out of order", {P(2, 7201000), P(0, 1000), P(1, 3601000)}, 7200000},
        {"across the 32-bit wrap", {P(0, 4294000000u), P(1, 1000000), P(2, 2000000)}, 2967296},
        {"across the wrap, last first", {P(2, 2000000), P(0, 4294000000u), P(1, 1000000)}, 2967296},
        {"one report", {P(0, 5000)}, 0},
        // Swapped on the way (a step of 2^31 ms or more): it adds nothing, and counting goes on
        // from the larger.
        {"an older uptime received later",
         {P(0, 1000), P(1, 7215000), P(2, 7200000), P(3, 7230000)},
         7229000},
        {"an older uptime received earlier", {P(3, 7200000), P(2, 7215000), P(0, 1000)}, 7199000},
        {"a serial of zeros adds to no one's time",
         {zerosChange, P(1, 5000, kZeros), P(2, 1000000000, kZeros), P(2, 1000), P(3, 3601000)},
         3600000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestStore fresh(GetParam());
        Ingest(fresh.store(), Csv(c.lines));
        const Summary s = Summarize(fresh.store(), {});
        ASSERT_EQ(s.releases.size(), 1u);
        EXPECT_EQ(s.releases[0].handsets, 1);
        EXPECT_EQ(s.releases[0].uptimeMs, c.spanMs);
    }
}

// A small fleet whose figures are worked out by hand.
TEST_P(FleetStore, SummaryAnswersTheFleetQuestions) {
    const Handset c{"SN00000003", "AP_R2", "FLEX_8", 0x3a02};
    const Handset quiet{"SN00000004", "AP_R2", "FLEX_8", 0x3a02};
    std::vector<Line> lines = {
        // kA: 10 h on AP_R1, a BP panic and a kernel panic.
        P(0, 1000),
        {5 * kHour, Text(Crash(kA, 18001000, 2, 0x100, 0x51))},
        P(10, 36001000),
        {11 * kHour, Text(Crash(kA, 36002000, 3, 0x200, 0x00082002, 0xc0))},
        // kOther: 5 h on AP_R1, the same BP panic id on the next day.
        P(24, 1000, kOther),
        {29 * kHour, Text(Crash(kOther, 18001000, 2, 0x100, 0x51))},
        // c: moves from AP_R1 to AP_R2 on day 2, a core dump there, 2 h of uptime.
        {26 * kHour, Text(SoftwareChange(c, 1000, "AP_R1", "FLEX_7"))},
        {27 * kHour, Text(CoreDump(c, 3601000, 2, 0x65000000, "camera", "libc.so", 0x1a2c))},
        P(28, 7201000, c),
    };
    // quiet: periodic reports every 6 hours, then none after day 1 12:00; c reports every
    // 6 hours until the end, 2 days later: c is not silent, quiet is, and so is kA (10 hours
    // between its periodic reports, none for 41 hours); kOther has one, no rhythm.
    for (uint32_t k = 0; k < 3; ++k) lines.push_back(P(6 * k, 1000 + k * 21600000, quiet));
    for (uint32_t k = 1; k <= 4; ++k) lines.push_back(P(28 + 6 * k, 7201000 + k * 21600000, c));
    Ingest(store(), Csv(lines));

    const Summary s = Summarize(store(), {});
    EXPECT_EQ(
        RenderSummaryJson(s),
        "{\"releases\":[{\"apLabel\":\"AP_R1\",\"flexVersion\":\"FLEX_7\",\"fingerprint\":"
        "\"0x2679\",\"handsets\":2,\"crashes\":3,\"uptimeMs\":54001000,"
        "\"crashesPer1000Hours\":199.9963},{\"apLabel\":\"AP_R2\",\"flexVersion\":\"FLEX_8\","
        "\"fingerprint\":\"0x3a02\",\"handsets\":2,\"crashes\":1,\"uptimeMs\":136800000,"
        "\"crashesPer1000Hours\":26.3158}],\"signatures\":[{\"signature\":"
        "\"crash id 0x00000051\",\"reports\":2,\"handsets\":2,\"firstSeen\":"
        "\"2026-01-05 05:00:00\",\"lastSeen\":\"2026-01-06 05:00:00\"},{\"signature\":"
        "\"core camera libc.so+0x00001a2c\",\"reports\":1,\"handsets\":1,\"firstSeen\":"
        "\"2026-01-06 03:00:00\",\"lastSeen\":\"2026-01-06 03:00:00\"},{\"signature\":"
        "\"kernel pc 0xc0c1c2c3\",\"reports\":1,\"handsets\":1,\"firstSeen\":"
        "\"2026-01-05 11:00:00\",\"lastSeen\":\"2026-01-05 11:00:00\"}],\"softwareChanges\":"
        "[{\"day\":\"2026-01-06\",\"from\":{\"apLabel\":\"AP_R1\",\"flexVersion\":\"FLEX_7\"},"
        "\"to\":{\"apLabel\":\"AP_R2\",\"flexVersion\":\"FLEX_8\"},\"handsets\":1}],"
        "\"silent\":[{\"serial\":\"SN00000001\",\"lastSeen\":\"2026-01-05 11:00:00\","
        "\"medianGapSeconds\":36000,\"silentForSeconds\":147600},{\"serial\":\"SN00000004\","
        "\"lastSeen\":\"2026-01-05 12:00:00\",\"medianGapSeconds\":21600,"
        "\"silentForSeconds\":144000}],\"asOf\":\"2026-01-07 04:00:00\"}\n");
    EXPECT_NE(RenderTables(s).find("AP_R1     FLEX_7        0x2679              2        3"),
              std::string::npos)
        << RenderTables(s);
    // --since: only what was received from day 2 on.
    SummaryOptions since;
    since.since = kDay1 + 24 * kHour;
    const Summary later = Summarize(store(), since);
    ASSERT_EQ(later.signatures.size(), 2u);
    EXPECT_EQ(later.signatures[0].reports, 1);
    EXPECT_EQ(later.releases[0].release.apLabel + " " + std::to_string(later.releases[0].crashes),
              "AP_R1 1");
}

TEST_P(FleetStore, SchemaIsMigratedOnceAndANewerStoreIsRefused) {
    EXPECT_EQ(Migrate(store()), Migrations().back().version);
    EXPECT_EQ(Dump(store(), "SELECT COUNT(*) FROM schema_migrations"),
              std::to_string(Migrations().size()) + "\n");
    store().Run("INSERT INTO schema_migrations (version, name) VALUES ($1, 'from the future')",
                {int64_t{Migrations().back().version + 1}});
    EXPECT_THROW(Migrate(store()), StoreError);
}

INSTANTIATE_TEST_SUITE_P(Backends, FleetStore,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres),
                         [](const ::testing::TestParamInfo<Backend>& backend) {
                             return backend.param == Backend::kSqlite ? "Sqlite" : "Postgres";
                         });

TEST(FleetSummary, AnEmptyStoreAndAPageOfOneDay) {
    TestStore db(Backend::kSqlite);
    SummaryOptions page;
    page.forPage = true;
    const Summary s = Summarize(db.store(), page);
    EXPECT_EQ(s.now, 0);
    EXPECT_EQ(Occurrences(RenderTables(s), "(none)\n"), 4u) << RenderTables(s);
    EXPECT_EQ(RenderSummaryJson(s),
              "{\"releases\":[],\"signatures\":[],\"softwareChanges\":[],"
              "\"silent\":[],\"asOf\":null}\n");
    EXPECT_EQ(Occurrences(RenderHtml(s), "<rect"), 0u);
    EXPECT_EQ(Occurrences(RenderHtml(s), "<polyline"), 1u);  // reports per day, with no point
    Ingest(db.store(), Csv({{0, Text(Crash(kA, 1000, 7, 0x100, 0x51))}}));
    const std::string html = RenderHtml(Summarize(db.store(), page));
    EXPECT_NE(html.find("<circle cx=\"50.0\" cy=\"10.0\""), std::string::npos) << html;
    EXPECT_EQ(html.find("nan"), std::string::npos);
}

TEST(FleetInput, ReadsTheThreeInputForms) {
    const struct {
        const char* name;
        std::string input;
        std::vector<std::string> expected;  // source|received|sender|text|problem
    } cases[] = {
        {"sms.log: only submissions with a sequence number, escapes undone",
         "SMS seq=1 pid=0x00 sc=+44 dest=+1555 len=4 vp=0xff "
         "text=AB\\x20C\\\\\\x2B\\x2d\\x39\\xZ1\\x4\n"
         "SMS-WARNING seq=1: destination has no NUL within 44 bytes\n"
         "SMS refused pid=0x00 sc=+44 dest=+1555 len=4 vp=0xff text=ABCD\n"
         "SMS malformed: text length 5000 runs past the record\n"
         "SMS seq=2 pid=0x32 sc=+44 dest=6245 len=6 vp=0xff text=a@b.c AB\\u0041\n",
         {"f:1|-|-|AB C\\+-9\\xZ1\\x4|", "f:5|-|-|a@b.c ABA|"}},
        {"CSV with a header, quotes and a comma inside the text",
         "received_at,sender,text\n"
         "2026-01-05T10:00:00Z,\"+1 555\xff\",ABCD\n\n"
         "1767607200,+1555,\"AB,CD\"\n"
         "2026-01-05 11:00:00+01:00,,ABCD\n",
         {"f:2|1767607200|+1 555\\xff|ABCD|", "f:4|1767607200|+1555|AB,CD|",
          "f:5|1767607200|-|ABCD|"}},
        {"CSV: a quoted text goes on over its line break, a quote never closed to the end",
         "1767607200,+1555,\"x\n2099-01-01T00:00Z,+1,ABCD\"\n"
         "1767607200,+1555,ABCD\n"
         "1767607200,+1555,\"AB\"\"\nCD\n",
         {"f:1|1767607200|+1555|x\n2099-01-01T00:00Z,+1,ABCD|", "f:3|1767607200|+1555|ABCD|",
          "f:4|1767607200|+1555|AB\"\nCD|"}},
        {"mbox: Date and From headers, the body's first line",
         "From gateway Mon Jan  5 10:00:00 2026\n"
         "From: SMS Gateway <+15550100@sms.example.net>\n"
         "Date: Mon, 5 Jan 2026 11:00:00 +0100\n"
         "Subject: report\n\n"
         "ops@example.com ABCD\n"
         "second line\n"
         "From gateway Mon Jan  5 10:00:00 2026\n"
         "Date: 5 Jan 2026 10:00 GMT\n"
         "From: +15550101@sms.example.net\n\n\n"
         "x@y ABCD\r\n"
         "From gateway Mon Jan  5 10:00:00 2026\n"
         "Date: someday\n\n"
         "x@y ABCD\n",
         {"f:1|1767607200|+15550100@sms.example.net|ops@example.com ABCD|",
          "f:8|1767607200|+15550101@sms.example.net|x@y ABCD|",
          "f:14|-|-|x@y ABCD|unreadable Date: header"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::istringstream in(c.input);
        std::vector<std::string> seen;
        ReadInputs(in, "f", [&](const InputText& t) {
            seen.push_back(t.source + "|" + (t.receivedAt ? std::to_string(*t.receivedAt) : "-") +
                           "|" + t.sender.value_or("-") + "|" + t.text + "|" + t.problem);
        });
        EXPECT_EQ(seen, c.expected);
    }
}

TEST(FleetInput, ParsesTimesAndRefusesWhatIsNoTime) {
    const std::pair<std::string, int64_t> good[] = {
        {"1767571200", kDay1},
        {"2026-01-05", kDay1},
        {"2026-01-05T00:00Z", kDay1},
        {"2026-01-05 01:30:00+01:30", kDay1},
        {"2024-02-29T12:00:00Z", 1709208000},
        {"2026-01-04T23:00:00.250-01:00", kDay1},
        {"1970-01-01", 0},
        {"2100-03-01", 4107542400},  // 2100: no leap day
        {"2400-02-29", 13574563200}};
    for (const auto& [text, seconds] : good) EXPECT_EQ(ParseTime(text), seconds) << text;
    // A time that ends where its text does, even when the characters after it are digits.
    EXPECT_FALSE(ParseTime(std::string_view("2026-01-05T10:00:30", 17)));
    EXPECT_EQ(ParseTime(std::string_view("2026-01-05T10:00:30", 16)), kDay1 + 10 * kHour);
    for (const char* bad : {"", "2026-13-01", "2026-01-32", "2026-01-05T25:00", "05/01/2026",
                            "2026-01-05 10", "2026-01-05T10:00+1", "12345678901234"})
        EXPECT_FALSE(ParseTime(bad)) << bad;
    EXPECT_EQ(ParseMailDate("Mon, 5 Jan 2026 01:00:00 +0100"), kDay1);
    EXPECT_EQ(ParseMailDate("05 Jan 2026 00:00 UT"), kDay1);
    EXPECT_FALSE(ParseMailDate("Mon, 5 Foo 2026 01:00:00 +0100"));
    EXPECT_FALSE(ParseMailDate("4294967301 Jan 2026 10:00:00 +0000"));  // no int overflow
    EXPECT_FALSE(ParseMailDate("005 Jan 2026 10:00:00 +0000"));
    EXPECT_EQ(FormatTime(kDay1 + 3661), "2026-01-05 01:01:01");
}

struct RoadHandset {
    std::string serial, apLabel, flexVersion;
    bool updated;  // from AP_R1 / FLEX_7 since its configuration was last saved
    std::vector<std::pair<uint32_t, uint32_t>> panics;  // BP panic id, time stamp
    bool email = false;
    bool failFirst = false;  // the first report's confirmation says it failed: resent next start
};

// The handset runs in its own sandbox, on accelerated time.
std::unique_ptr<DaemonWorld> StartHandset(const RoadHandset& h) {
    auto world = std::make_unique<DaemonWorld>(/*timeScale=*/3600, /*startUptime=*/1000);
    std::map<std::string, std::string> config = {
        {"ulv_report_duration", "6"},  // the shortest
        {"ulv_lst_bldinfo_baselabel", h.updated ? "AP_R1" : h.apLabel},
        {"ulv_last_flex_version", h.updated ? "FLEX_7" : h.flexVersion}};
    if (h.email) {
        config["ulv_sms_address_type"] = "1";
        config["ulv_destination_address"] = "fleet.crash.reports@example.com";  // 31 characters
    }
    world->WriteConfig(config);
    std::string log;
    for (const auto& [id, stamp] : h.panics)
        log += ulvtest::BpPanicRecord(id, stamp, ulvtest::Counting(0x40, 8));
    ulvtest::WriteFile(world->Path("zellocal/panic/bp_panic.log1"), log);
    world->StartHandset("ap_version " + h.apLabel + "\nbp_version BP.12.34\nflex_version " +
                        h.flexVersion + "\nserial " + h.serial + "\ncall_time 7\n" +
                        (h.failFirst ? "confirm 9,0\n" : ""));
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

TEST(FleetRoad, ReportsFromTheDaemonEndAsFleetFigures) {
    const RoadHandset handsets[] = {
        // Its crash report is confirmed as failed and sent again at the next start. It goes
        // first, so that its second run overlaps the others' waits.
        {"SNFLEET004", "AP_R1", "FLEX_7", false, {{0x53, 0x400}}, false, true},
        // Updated since its last start: a software-change report (its panic is marked handled).
        {"SNFLEET001", "AP_R2", "FLEX_8", /*updated=*/true, {{0x51, 0x100}}},
        {"SNFLEET002", "AP_R2", "FLEX_8", false, {{0x51, 0x100}, {0x52, 0x200}}},
        // Through the e-mail gateway: 31 characters of address cut every 152-character text.
        {"SNFLEET003", "AP_R2", "FLEX_8", false, {{0x51, 0x300}}, /*email=*/true},
    };
    std::vector<std::unique_ptr<DaemonWorld>> worlds;
    for (const RoadHandset& h : handsets) worlds.push_back(StartHandset(h));
    // Each sends its crash or software-change reports, then its periodic report once 6 hours
    // of uptime have passed. The failing one is started again: it resends the crash report,
    // then sends another periodic report.
    StopAfter(*worlds[0], 2);
    setenv("ULV_SIM_ROOT", worlds[0]->root().c_str(), 1);
    setenv("ZEL_APP_WRITE_PATH", worlds[0]->Path("zel_app").c_str(), 1);
    ASSERT_EQ(worlds[0]->StartDaemon(), 0);
    ASSERT_GT(worlds[0]->WaitForDaemonPid(), 0);
    StopAfter(*worlds[0], 4);
    for (size_t i = 1; i < worlds.size(); ++i) StopAfter(*worlds[i], handsets[i].panics.size() + 1);
    // What the texts say, worked out with the decoder: per handset the texts and the uptime
    // from its first to its last report (file order is sending order).
    ulvtest::SandboxRoot dir;
    std::vector<std::string> ingest = {"ingest", "--db", "", "--received", "2026-01-05T10:00:00Z"};
    int64_t texts[4] = {}, uptime[4] = {}, all = 0;
    for (size_t i = 0; i < worlds.size(); ++i) {
        const std::string log = ulvtest::ReadFile(worlds[i]->Path("sim/sms.log"));
        ingest.push_back(dir.path() + "/" + handsets[i].serial + ".sms.log");
        ulvtest::WriteFile(ingest.back(), log);
        int64_t first = 0;
        for (const std::string& line : DaemonWorld::Lines(log)) {
            const auto d = ulv::decode::DecodeInput(1, DaemonWorld::SmsText(line));
            ASSERT_TRUE(d.report && d.report->header.serialNumber) << line;
            const auto& serial = *d.report->header.serialNumber;
            EXPECT_EQ(std::string(serial.begin(), serial.end()), handsets[i].serial);
            if (!texts[i]++) first = *d.report->header.uptimeMs;
            uptime[i] = *d.report->header.uptimeMs - first;
            ++all;
        }
    }
    worlds.clear();
    for (Backend backend : {Backend::kSqlite, Backend::kPostgres}) {
        TestStore db(backend);
        if (db.uri.empty()) continue;
        SCOPED_TRACE(db.uri);
        ingest[2] = db.uri;
        int status = -1;
        // The resent crash is in its log twice, as two different texts: one duplicate.
        EXPECT_EQ(RunFleet(ingest, &status), SummaryLine({all, all - 1, 1, 0}) + "\n");
        EXPECT_EQ(status, 0);
        EXPECT_EQ(RunFleet(ingest), SummaryLine({all, 0, all, 0}) + "\n");

        const std::string json = RunFleet({"summary", "--db", db.uri, "--json"}, &status);
        EXPECT_EQ(status, 0);
        const std::string release = "\",\"fingerprint\":\"0x[0-9a-f]{4}\",\"handsets\":";
        const std::string crashId = "\\{\"signature\":\"crash id 0x000000";
        for (const std::string& expected : std::vector<std::string>{
                 "AP_R2\",\"flexVersion\":\"FLEX_8" + release + "3,\"crashes\":3,\"uptimeMs\":" +
                     std::to_string(uptime[1] + uptime[2] + uptime[3]) + ",",
                 "AP_R1\",\"flexVersion\":\"FLEX_7" + release +
                     "1,\"crashes\":1,\"uptimeMs\":" + std::to_string(uptime[0]) + ",",
                 crashId + "51\",\"reports\":2,\"handsets\":2,", crashId + "52\",\"reports\":1,",
                 crashId + "53\",\"reports\":1,",
                 "\"softwareChanges\":\\[\\{\"day\":\"2026-01-05\",\"from\":\\{\"apLabel\":"
                 "\"AP_R1\",\"flexVersion\":\"FLEX_7\"\\},\"to\":\\{\"apLabel\":\"AP_R2\","
                 "\"flexVersion\":\"FLEX_8\"\\},\"handsets\":1\\}\\],\"silent\":\\[\\]"})
            EXPECT_TRUE(std::regex_search(json, std::regex(expected))) << expected << "\n" << json;
        // The e-mail handset's texts are all cut, and stored flagged.
        EXPECT_EQ(Dump(db.store(),
                       "SELECT COUNT(*), SUM(truncated) FROM reports WHERE serial = 'SNFLEET003'"),
                  std::to_string(texts[3]) + "|" + std::to_string(texts[3]) + "\n");
        // The terminal tables say the same.
        const std::string tables = RunFleet({"summary", "--db", db.uri});
        EXPECT_TRUE(std::regex_search(tables, std::regex("\ncrash id 0x00000051 +2 +2 ")))
            << tables;
    }
}

TEST(FleetCommand, ExitStatusSaysWhatWentWrong) {
    TestStore db(Backend::kSqlite);
    const std::string dir = db.dir.path(), csv = dir + "/in.csv", missing = dir + "/missing.csv";
    const std::string page = dir + "/no/such/dir/page.html";
    ulvtest::WriteFile(csv, "1767571200,+1," + Text(Periodic(kA, 1000, 1)) + "\nbad\n");
    const struct {
        std::vector<std::string> args;
        int status;
        std::string output;  // standard output and error
    } cases[] = {
        {{"ingest", "--db", db.uri, missing, csv},
         1,
         "ulv-fleet: cannot read " + missing +
             ": No such file or directory\nread 2, stored 1, duplicates 0, rejected 1\n"},
        {{"html", "--db", db.uri, page}, 1, "ulv-fleet: cannot write " + page + "\n"},
        {{"summary", "--db", dir + "/no/such/dir/fleet.db"}, 1, "ulv-fleet: cannot open "},
        {{"report"}, 2, "ulv-fleet: unknown command report\n"},
        {{"summary", "--since", "last week"}, 2, "ulv-fleet: --since needs a time"},
        {{"ingest", "--json"}, 2, "ulv-fleet: unknown option --json\n"},
        {{"html", "--db", db.uri}, 2, "ulv-fleet: html needs one output file\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back());
        int status = -1;
        const std::string output = RunFleet(c.args, &status, /*withErrors=*/true);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(output.rfind(c.output, 0), 0u) << output;
    }
}

TEST(FleetPage, RendersItsChartsInABrowserWithoutTheNetwork) {
    if (access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "chromium is not installed";
    TestStore db(Backend::kSqlite);
    const std::string dir = db.dir.path(), page = dir + "/fleet.html";
    std::vector<Line> lines;
    for (uint32_t k = 0; k < 3; ++k) {
        lines.push_back({k * 86400, Text(Periodic(kA, 1000 + k * 3600000, 1))});
        lines.push_back({k * 86400, Text(Crash(kA, 2000 + k * 3600000, 1, 100 + k, 0x51))});
    }
    lines.push_back({86400, Text(SoftwareChange(kOtherB, 1000, "AP_R1", "FLEX_7"))});
    lines.push_back({2 * 86400, Text(CoreDump(kOtherB, 3601000, 1, 5, "cam<era>", "libc.so", 16))});
    Ingest(db.store(), Csv(lines));
    int status = -1;
    RunFleet({"html", "--db", db.uri, page}, &status);
    ASSERT_EQ(status, 0);
    // Self-contained: no script, style sheet, image or font is fetched.
    EXPECT_FALSE(
        std::regex_search(ulvtest::ReadFile(page), std::regex("(src|href)=|@import|url\\(")));
    ulvtest::ChildProcess chromium = ulvtest::ChildProcess::SpawnNative(
        {"/bin/sh", "-c", "cd \"$0\" && exec \"$@\" >out.html 2>chromium.log", dir,
         "/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
         "--no-first-run", "--disable-background-networking", "--disable-component-update",
         "--disable-sync", "--user-data-dir=" + dir + "/profile", "--dump-dom", "file://" + page});
    EXPECT_TRUE(chromium.WaitExit(&status, 120));
    const std::string dom = ulvtest::ReadFile(dir + "/out.html");
    ASSERT_NE(dom.find("</html>"), std::string::npos) << ulvtest::ReadFile(dir + "/chromium.log");
    // Crash rate bars, one per release: AP_R1 3 crashes in 7201 s (first periodic report to
    // last crash), AP_R2 1 crash in 1 h.
    EXPECT_EQ(Occurrences(dom, "<rect class=\"bar\""), 2u);
    EXPECT_NE(dom.find("data-release=\"AP_R1 / FLEX_7 / 0x2679\" data-rate=\"1499.7917\""),
              std::string::npos)
        << dom;
    EXPECT_NE(dom.find("data-release=\"AP_R2 / FLEX_8 / 0x3a02\" data-rate=\"1000.0000\""),
              std::string::npos);
    // Reports per day: one line through three days; the roll-out: one line per release.
    const size_t perDay = dom.find("<svg id=\"reports-per-day\""),
                 rollout = dom.find("<svg id=\"rollout\"");
    ASSERT_LT(perDay, rollout);
    ASSERT_NE(rollout, std::string::npos);
    EXPECT_EQ(Occurrences(dom.substr(perDay, rollout - perDay), "<polyline"), 1u);
    EXPECT_EQ(Occurrences(dom.substr(perDay, rollout - perDay), "<circle"), 3u);
    EXPECT_EQ(Occurrences(dom.substr(rollout), "<polyline"), 2u);
    // The signature table, the task name escaped.
    EXPECT_NE(dom.find("<td>crash id 0x00000051</td><td class=\"n\">3</td><td class=\"n\">1</td>"),
              std::string::npos);
    EXPECT_NE(dom.find("<td>core cam&lt;era&gt; libc.so+0x00000010</td>"), std::string::npos);
}

}  // namespace
