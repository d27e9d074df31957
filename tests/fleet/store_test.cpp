// The fleet store on both back ends: report identity, rejected texts, uptime on a release,
// the summary figures, the input forms and the schema migrations.
#include <gtest/gtest.h>

#include <sstream>

#include "fleet_support.h"
#include "ingest.h"
#include "summary.h"

namespace {

using namespace ulv::fleet;
using fleettest::Backend;
using fleettest::Handset;
using fleettest::Text;

constexpr int64_t kDay1 = 1767571200;  // 2026-01-05 00:00:00 UTC
constexpr int64_t kHour = 3600;

struct Line {
    int64_t at;
    std::string text;
};

std::string Csv(const std::vector<Line>& lines) {
    std::string csv = "received_at,sender,text\n";
    for (const Line& line : lines) csv += std::to_string(line.at) + ",+15550100," + line.text + "\n";
    return csv;
}

IngestStats Ingest(Store& store, const std::string& input, int64_t defaultReceived = kDay1,
                   std::ostream* progress = nullptr, int64_t every = 50000) {
    Ingester ingester(store, defaultReceived, progress, every);
    std::istringstream in(input);
    ReadInputs(in, "input", [&](const InputText& text) { ingester.Add(text); });
    ingester.Finish();
    return ingester.stats();
}

int64_t Count(Store& store, const std::string& sql) { return CellInt(store.Query(sql)[0][0]); }

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class FleetStore : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        if (!db_.available()) GTEST_SKIP() << "ULV_FLEET_TEST_PG is not set: no PostgreSQL server for this run";
    }
    Store& store() { return db_.store(); }
    fleettest::TestStore db_{GetParam()};
};

const Handset kA{"SN00000001", "AP_R1", "FLEX_7", 0x2679};
const Handset kB{"SN00000001", "AP_R2", "FLEX_8", 0x3a02};  // the same handset on release B
const Handset kOther{"SN00000002", "AP_R1", "FLEX_7", 0x2679};

struct IdentityCase {
    const char* name;
    std::vector<Line> lines;
    int64_t stored, duplicates;
};

// Resends differ in call time and uptime only; distinct events differ in what they report.
TEST_P(FleetStore, ResendsMergeAndDistinctEventsNeverDo) {
    const std::string email = "ops.crash.reports@example.com ";  // cuts 30 characters
    const std::vector<IdentityCase> cases = {
        {"the same text twice", {{kDay1, Text(fleettest::Crash(kA, 1000, 7, 0x100, 0x51))},
                                 {kDay1 + 9, Text(fleettest::Crash(kA, 1000, 7, 0x100, 0x51))}}, 1, 1},
        {"a crash resent with a later call time and uptime",
         {{kDay1, Text(fleettest::Crash(kA, 1000, 7, 0x100, 0x51))},
          {kDay1 + kHour, Text(fleettest::Crash(kA, 901000, 9, 0x100, 0x51))}}, 1, 1},
        {"the same crash from another handset", {{kDay1, Text(fleettest::Crash(kA, 1000, 7, 0x100, 0x51))},
                                                 {kDay1, Text(fleettest::Crash(kOther, 1000, 7, 0x100, 0x51))}}, 2, 0},
        {"two crashes at other times", {{kDay1, Text(fleettest::Crash(kA, 1000, 7, 0x100, 0x51))},
                                        {kDay1, Text(fleettest::Crash(kA, 2000, 7, 0x101, 0x51))}}, 2, 0},
        {"two crashes that differ in their data only",
         {{kDay1, Text(fleettest::Crash(kA, 1000, 7, 0x100, 0x51, 0x10))},
          {kDay1, Text(fleettest::Crash(kA, 2000, 7, 0x100, 0x51, 0x20))}}, 2, 0},
        {"a core dump resent", {{kDay1, Text(fleettest::CoreDump(kA, 1000, 7, 0x65000000, "camera", "libc.so", 0x1a2c))},
                                {kDay1 + 60, Text(fleettest::CoreDump(kA, 5000, 8, 0x65000000, "camera", "libc.so", 0x1a2c))}}, 1, 1},
        {"core dumps of two files", {{kDay1, Text(fleettest::CoreDump(kA, 1000, 7, 0x65000000, "camera", "libc.so", 0x1a2c))},
                                     {kDay1, Text(fleettest::CoreDump(kA, 1000, 7, 0x65000001, "camera", "libc.so", 0x1a2c))}}, 2, 0},
        {"periodic reports at other uptimes", {{kDay1, Text(fleettest::Periodic(kA, 1000, 7))},
                                               {kDay1, Text(fleettest::Periodic(kA, 2000, 7))}}, 2, 0},
        {"periodic reports with other usage data", {{kDay1, Text(fleettest::Periodic(kA, 1000, 7, 1))},
                                                    {kDay1, Text(fleettest::Periodic(kA, 1000, 7, 2))}}, 2, 0},
        {"header-only reports at other uptimes", {{kDay1, Text(fleettest::Header(kA, 0, 1000))},
                                                  {kDay1, Text(fleettest::Header(kA, 0, 2000))}}, 2, 0},
        {"a software change resent while the handset runs the new release",
         {{kDay1, Text(fleettest::SoftwareChange(kB, 1000, "AP_R1", "FLEX_7"))},
          {kDay1 + kHour, Text(fleettest::Periodic(kB, 900000, 7))},
          {kDay1 + 2 * kHour, Text(fleettest::SoftwareChange(kB, 1800000, "AP_R1", "FLEX_7"))}}, 2, 1},
        {"a resend that arrives before its original",
         {{kDay1 + 2 * kHour, Text(fleettest::SoftwareChange(kB, 1800000, "AP_R1", "FLEX_7"))},
          {kDay1, Text(fleettest::SoftwareChange(kB, 1000, "AP_R1", "FLEX_7"))}}, 1, 1},
        {"back and forth between two releases",
         {{kDay1, Text(fleettest::SoftwareChange(kB, 1000, "AP_R1", "FLEX_7"))},
          {kDay1 + kHour, Text(fleettest::SoftwareChange(kA, 2000, "AP_R2", "FLEX_8"))},
          {kDay1 + 2 * kHour, Text(fleettest::SoftwareChange(kB, 3000, "AP_R1", "FLEX_7"))}}, 3, 0},
        {"back and forth with the change back never received",
         {{kDay1, Text(fleettest::SoftwareChange(kB, 1000, "AP_R1", "FLEX_7"))},
          {kDay1 + kHour, Text(fleettest::Periodic(kA, 2000, 7))},
          {kDay1 + 2 * kHour, Text(fleettest::SoftwareChange(kB, 3000, "AP_R1", "FLEX_7"))}}, 3, 0},
        {"a cut e-mail crash and its cut resend",
         {{kDay1, (email + Text(fleettest::Crash(kA, 1000, 7, 0x100, 0x51))).substr(0, 160)},
          {kDay1 + kHour, (email + Text(fleettest::Crash(kA, 901000, 9, 0x100, 0x51))).substr(0, 160)}}, 1, 1},
        {"a cut e-mail crash and the same crash whole", 
         {{kDay1, (email + Text(fleettest::Crash(kA, 1000, 7, 0x100, 0x51))).substr(0, 160)},
          {kDay1, Text(fleettest::Crash(kA, 1000, 7, 0x100, 0x51))}}, 2, 0},
    };
    int n = 0;
    for (const IdentityCase& c : cases) {
        SCOPED_TRACE(c.name);
        fleettest::TestStore fresh(GetParam());
        const IngestStats stats = Ingest(fresh.store(), Csv(c.lines));
        EXPECT_EQ(stats.read, static_cast<int64_t>(c.lines.size()));
        EXPECT_EQ(stats.stored, c.stored);
        EXPECT_EQ(stats.duplicates, c.duplicates);
        EXPECT_EQ(stats.rejected, 0);
        EXPECT_EQ(Count(fresh.store(), "SELECT COUNT(*) FROM reports"), c.stored);
        // Ingesting it all again adds nothing.
        const IngestStats again = Ingest(fresh.store(), Csv(c.lines));
        EXPECT_EQ(again.stored, 0);
        EXPECT_EQ(again.duplicates, static_cast<int64_t>(c.lines.size()));
        EXPECT_EQ(Count(fresh.store(), "SELECT COUNT(*) FROM reports"), c.stored);
        ++n;
    }
    EXPECT_EQ(n, 16);
}

TEST_P(FleetStore, CutEmailTextsAreStoredFlaggedWithTheFieldsTheyCarry) {
    // 30 characters of address and blank leave 130 of the 152: 97 bytes, so the crash data is
    // cut after 21 of its 36 bytes; a core dump keeps its task name but loses the library name
    // and everything after it.
    const std::string email = "ops.crash.reports@example.com ";
    Ingest(store(), Csv({{kDay1, (email + Text(fleettest::Crash(kA, 1000, 7, 0x100, 0x00082000, 0xc0))).substr(0, 160)},
                         {kDay1, (email + Text(fleettest::CoreDump(kA, 1000, 7, 0x65000000, "camera", "libc.so", 0x1a2c))).substr(0, 160)},
                         {kDay1, Text(fleettest::Crash(kA, 1000, 7, 0x200, 0x51))}}));
    const Rows rows = store().Query("SELECT kind, truncated, crash_id, event_time, signature FROM reports ORDER BY event_time");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(CellText(rows[0][0]), "crash");
    EXPECT_EQ(CellInt(rows[0][1]), 1);
    EXPECT_EQ(CellInt(rows[0][2]), 0x00082000);
    EXPECT_EQ(CellText(rows[0][4]), "kernel pc 0xc0c1c2c3");  // the pc opens the crash data
    EXPECT_EQ(CellText(rows[1][0]), "crash");
    EXPECT_EQ(CellInt(rows[1][1]), 0);
    EXPECT_EQ(CellText(rows[1][4]), "crash id 0x00000051");
    EXPECT_EQ(CellText(rows[2][0]), "coreDump");
    EXPECT_EQ(CellInt(rows[2][1]), 1);
    EXPECT_EQ(CellText(rows[2][4]), "core camera ?+?");
}

TEST_P(FleetStore, TextsThatAreNoReportAreKeptOnceWithTheirReason) {
    std::vector<uint8_t> unknown = fleettest::Periodic(kA, 1000, 7);
    unknown[0] = 7;
    const std::string input =
        "received_at,sender,text\n" +
        std::to_string(kDay1) + ",+1555,AAJB!UF9S\n" +                                    // bad character
        std::to_string(kDay1) + ",+1555," + Text(fleettest::Periodic(kA, 1000, 7)).substr(0, 100) + "\n" +  // cut plain text
        std::to_string(kDay1) + ",+1555," + Text(unknown) + "\n" +
        std::to_string(kDay1) + ",+1555\n" +                                              // two fields
        "yesterday,+1555," + Text(fleettest::Periodic(kA, 1000, 7)) + "\n" +
        std::to_string(kDay1) + ",+1555,ops@example.com AAJBUF9SMQAA\n";                  // cut in the header
    const std::vector<std::string> reasons = {
        "is not in the report alphabet", "is not a report length", "unknown report type 7",
        "without the three fields", "unreadable received time 'yesterday'", "cut short before the header's serial number"};
    const IngestStats stats = Ingest(store(), input);
    EXPECT_EQ(stats.rejected, 6);
    EXPECT_EQ(stats.stored, 0);
    const Rows rows = store().Query("SELECT source, reason FROM rejected ORDER BY source");
    ASSERT_EQ(rows.size(), reasons.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(CellText(rows[i][0]), "input:" + std::to_string(i + 2));
        EXPECT_NE(CellText(rows[i][1]).find(reasons[i]), std::string::npos) << CellText(rows[i][1]);
    }
    EXPECT_EQ(Ingest(store(), input).rejected, 6);
    EXPECT_EQ(Count(store(), "SELECT COUNT(*) FROM rejected"), 6);
}

struct SpanCase {
    const char* name;
    std::vector<std::pair<int64_t, uint32_t>> reports;  // received hour, uptime ms
    int64_t spanMs;
};

TEST_P(FleetStore, UptimeOnAReleaseRunsFromFirstToLastReportAcrossTheWrap) {
    const std::vector<SpanCase> cases = {
        {"in order", {{0, 1000}, {1, 3601000}, {2, 7201000}}, 7200000},
        {"out of order", {{2, 7201000}, {0, 1000}, {1, 3601000}}, 7200000},
        {"across the 32-bit wrap", {{0, 4294000000u}, {1, 1000000}, {2, 2000000}}, 2967296},
        {"across the wrap, last first", {{2, 2000000}, {0, 4294000000u}, {1, 1000000}}, 2967296},
        {"one report", {{0, 5000}}, 0},
    };
    for (const SpanCase& c : cases) {
        SCOPED_TRACE(c.name);
        fleettest::TestStore fresh(GetParam());
        std::vector<Line> lines;
        uint32_t call = 0;
        for (const auto& [hour, uptime] : c.reports)
            lines.push_back({kDay1 + hour * kHour, Text(fleettest::Periodic(kA, uptime, ++call))});
        Ingest(fresh.store(), Csv(lines));
        const Summary s = Summarize(fresh.store(), {});
        ASSERT_EQ(s.releases.size(), 1u);
        EXPECT_EQ(s.releases[0].handsets, 1);
        EXPECT_EQ(s.releases[0].uptimeMs, c.spanMs);
    }
}

// A small fleet whose figures are worked out by hand.
TEST_P(FleetStore, SummaryAnswersTheFleetQuestions) {
    const Handset a{"SN00000001", "AP_R1", "FLEX_7", 0x2679};
    const Handset b{"SN00000002", "AP_R1", "FLEX_7", 0x2679};
    const Handset c{"SN00000003", "AP_R2", "FLEX_8", 0x3a02};
    const Handset quiet{"SN00000004", "AP_R2", "FLEX_8", 0x3a02};
    std::vector<Line> lines = {
        // a: 10 h on AP_R1, a BP panic and a kernel panic.
        {kDay1, Text(fleettest::Periodic(a, 1000, 1))},
        {kDay1 + 5 * kHour, Text(fleettest::Crash(a, 18001000, 2, 0x100, 0x51))},
        {kDay1 + 10 * kHour, Text(fleettest::Periodic(a, 36001000, 3))},
        {kDay1 + 11 * kHour, Text(fleettest::Crash(a, 36002000, 3, 0x200, 0x00082002, 0xc0))},
        // b: 5 h on AP_R1, the same BP panic id on the next day.
        {kDay1 + 24 * kHour, Text(fleettest::Periodic(b, 1000, 1))},
        {kDay1 + 29 * kHour, Text(fleettest::Crash(b, 18001000, 2, 0x100, 0x51))},
        // c: moves from AP_R1 to AP_R2 on day 2, a core dump there, 2 h of uptime.
        {kDay1 + 26 * kHour, Text(fleettest::SoftwareChange(c, 1000, "AP_R1", "FLEX_7"))},
        {kDay1 + 27 * kHour, Text(fleettest::CoreDump(c, 3601000, 2, 0x65000000, "camera", "libc.so", 0x1a2c))},
        {kDay1 + 28 * kHour, Text(fleettest::Periodic(c, 7201000, 3))},
    };
    // quiet: periodic reports every 6 hours, then none after day 1 12:00; c reports every
    // 6 hours until the end, 2 days later: c is not silent, quiet is, and so is a (10 hours
    // between its periodic reports, none for 41 hours); b has one periodic report, no rhythm.
    for (int k = 0; k < 3; ++k) lines.push_back({kDay1 + 6 * k * kHour, Text(fleettest::Periodic(quiet, 1000 + k * 21600000u, 1))});
    for (int k = 1; k <= 4; ++k) lines.push_back({kDay1 + (28 + 6 * k) * kHour, Text(fleettest::Periodic(c, 7201000 + k * 21600000u, 3))});
    Ingest(store(), Csv(lines));

    const Summary s = Summarize(store(), {});
    ASSERT_EQ(s.releases.size(), 2u);
    EXPECT_EQ(s.releases[0].release.Name(), "AP_R1 / FLEX_7 / 0x2679");
    EXPECT_EQ(s.releases[0].crashes, 3);
    EXPECT_EQ(s.releases[0].handsets, 2);
    EXPECT_EQ(s.releases[0].uptimeMs, 36001000 + 18000000);
    ASSERT_TRUE(s.releases[0].crashesPer1000Hours);
    EXPECT_NEAR(*s.releases[0].crashesPer1000Hours, 3 * 3.6e9 / 54001000, 1e-9);
    EXPECT_EQ(s.releases[1].release.Name(), "AP_R2 / FLEX_8 / 0x3a02");
    EXPECT_EQ(s.releases[1].crashes, 1);
    EXPECT_EQ(s.releases[1].handsets, 2);
    EXPECT_EQ(s.releases[1].uptimeMs, (7200000 + 4 * 21600000LL) + 2 * 21600000LL);

    ASSERT_EQ(s.signatures.size(), 3u);
    EXPECT_EQ(s.signatures[0].signature, "crash id 0x00000051");
    EXPECT_EQ(s.signatures[0].reports, 2);
    EXPECT_EQ(s.signatures[0].handsets, 2);
    EXPECT_EQ(s.signatures[0].firstSeen, kDay1 + 5 * kHour);
    EXPECT_EQ(s.signatures[0].lastSeen, kDay1 + 29 * kHour);
    EXPECT_EQ(s.signatures[1].signature, "core camera libc.so+0x00001a2c");
    EXPECT_EQ(s.signatures[2].signature, "kernel pc 0xc0c1c2c3");

    ASSERT_EQ(s.softwareChanges.size(), 1u);
    EXPECT_EQ(FormatDay(s.softwareChanges[0].day), "2026-01-06");
    EXPECT_EQ(s.softwareChanges[0].fromApLabel, "AP_R1");
    EXPECT_EQ(s.softwareChanges[0].toFlexVersion, "FLEX_8");
    EXPECT_EQ(s.softwareChanges[0].handsets, 1);

    EXPECT_EQ(s.now, kDay1 + 52 * kHour);
    ASSERT_EQ(s.silent.size(), 2u);
    EXPECT_EQ(s.silent[0].serial, "SN00000001");
    EXPECT_EQ(s.silent[0].medianGap, 10 * kHour);
    EXPECT_EQ(s.silent[0].silentFor, 41 * kHour);
    EXPECT_EQ(s.silent[1].serial, "SN00000004");
    EXPECT_EQ(s.silent[1].medianGap, 6 * kHour);
    EXPECT_EQ(s.silent[1].silentFor, 40 * kHour);

    // --since: only what was received from day 2 on.
    SummaryOptions since;
    since.since = kDay1 + 24 * kHour;
    const Summary later = Summarize(store(), since);
    ASSERT_EQ(later.signatures.size(), 2u);
    EXPECT_EQ(later.signatures[0].reports, 1);
    EXPECT_EQ(later.releases[0].release.apLabel, "AP_R1");
    EXPECT_EQ(later.releases[0].crashes, 1);

    const std::string json = RenderSummaryJson(s);
    EXPECT_EQ(fleettest::JsonNumber(json, "crashes"), 3);
    EXPECT_NE(json.find("\"serial\":\"SN00000004\",\"lastSeen\":\"2026-01-05 12:00:00\",\"medianGapSeconds\":21600,"
                        "\"silentForSeconds\":144000"), std::string::npos) << json;
    EXPECT_NE(RenderTables(s).find("AP_R1     FLEX_7        0x2679              2        3"), std::string::npos)
        << RenderTables(s);
}

TEST_P(FleetStore, SchemaIsMigratedOnceAndANewerStoreIsRefused) {
    EXPECT_EQ(Migrate(store()), Migrations().back().version);
    EXPECT_EQ(Count(store(), "SELECT COUNT(*) FROM schema_migrations"), static_cast<int64_t>(Migrations().size()));
    store().Run("INSERT INTO schema_migrations (version, name) VALUES ($1, 'from the future')",
                {int64_t{Migrations().back().version + 1}});
    EXPECT_THROW(Migrate(store()), StoreError);
}

INSTANTIATE_TEST_SUITE_P(Backends, FleetStore, ::testing::Values(Backend::kSqlite, Backend::kPostgres),
                         [](const ::testing::TestParamInfo<Backend>& backend) { return fleettest::BackendName(backend.param); });

TEST(FleetSummary, AnEmptyStoreGivesEmptyTablesAndAnEmptyPage) {
    fleettest::TestStore db(Backend::kSqlite);
    SummaryOptions page;
    page.forPage = true;
    const Summary s = Summarize(db.store(), page);
    EXPECT_TRUE(s.releases.empty() && s.signatures.empty() && s.softwareChanges.empty() && s.silent.empty());
    EXPECT_EQ(s.now, 0);
    const std::string tables = RenderTables(s);
    EXPECT_EQ(Occurrences(tables, "(none)\n"), 4u) << tables;
    EXPECT_EQ(RenderSummaryJson(s), "{\"releases\":[],\"signatures\":[],\"softwareChanges\":[],\"silent\":[],\"asOf\":null}\n");
    const std::string html = RenderHtml(s);
    EXPECT_EQ(Occurrences(html, "<rect"), 0u);
    EXPECT_EQ(Occurrences(html, "<polyline"), 1u);  // reports per day, with no point
}

TEST(FleetSummary, APageOfOneDayPlacesItsPoints) {
    fleettest::TestStore db(Backend::kSqlite);
    Ingest(db.store(), Csv({{kDay1, Text(fleettest::Crash(kA, 1000, 7, 0x100, 0x51))}}));
    SummaryOptions page;
    page.forPage = true;
    const std::string html = RenderHtml(Summarize(db.store(), page));
    EXPECT_NE(html.find("<circle cx=\"50.0\" cy=\"10.0\""), std::string::npos) << html;
    EXPECT_EQ(html.find("nan"), std::string::npos);
}

TEST(FleetInput, ReadsTheThreeInputForms) {
    struct Case {
        const char* name;
        std::string input;
        std::vector<std::string> expected;  // source|received|sender|text|problem
    };
    const std::vector<Case> cases = {
        {"sms.log: only submissions with a sequence number, escapes undone",
         "SMS seq=1 pid=0x00 sc=+44 dest=+1555 len=4 vp=0xff text=AB\\x20C\\\\\\x2B\\x2d\\x39\\xZ1\\x4\n"
         "SMS-WARNING seq=1: destination has no NUL within 44 bytes\n"
         "SMS refused pid=0x00 sc=+44 dest=+1555 len=4 vp=0xff text=ABCD\n"
         "SMS malformed: text length 5000 runs past the record\n"
         "SMS seq=2 pid=0x32 sc=+44 dest=6245 len=6 vp=0xff text=a@b.c AB\\u0041\n",
         {"f:1|-|-|AB C\\+-9\\xZ1\\x4|", "f:5|-|-|a@b.c ABA|"}},
        {"CSV with a header, quotes and a comma inside the text",
         "received_at,sender,text\n"
         "2026-01-05T10:00:00Z,\"+1 555\xff\",ABCD\n"
         "\n"
         "1767607200,+1555,\"AB,CD\"\n"
         "2026-01-05 11:00:00+01:00,,ABCD\n",
         {"f:2|1767607200|+1 555\\xff|ABCD|", "f:4|1767607200|+1555|AB,CD|", "f:5|1767607200|-|ABCD|"}},
        {"mbox: Date and From headers, the body's first line",
         "From gateway Mon Jan  5 10:00:00 2026\n"
         "From: SMS Gateway <+15550100@sms.example.net>\n"
         "Date: Mon, 5 Jan 2026 11:00:00 +0100\n"
         "Subject: report\n"
         "\n"
         "ops@example.com ABCD\n"
         "second line\n"
         "From gateway Mon Jan  5 10:00:00 2026\n"
         "Date: 5 Jan 2026 10:00 GMT\n"
         "From: +15550101@sms.example.net\n"
         "\n"
         "\n"
         "x@y ABCD\r\n"
         "From gateway Mon Jan  5 10:00:00 2026\n"
         "Date: someday\n"
         "\n"
         "x@y ABCD\n",
         {"f:1|1767607200|+15550100@sms.example.net|ops@example.com ABCD|",
          "f:8|1767607200|+15550101@sms.example.net|x@y ABCD|", "f:14|-|-|x@y ABCD|unreadable Date: header"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::istringstream in(c.input);
        std::vector<std::string> seen;
        ReadInputs(in, "f", [&](const InputText& t) {
            seen.push_back(t.source + "|" + (t.receivedAt ? std::to_string(*t.receivedAt) : "-") + "|" +
                           t.sender.value_or("-") + "|" + t.text + "|" + t.problem);
        });
        EXPECT_EQ(seen, c.expected);
    }
}

TEST(FleetInput, ParsesTimesAndRefusesWhatIsNoTime) {
    const std::vector<std::pair<std::string, int64_t>> good = {
        {"1767571200", kDay1}, {"2026-01-05", kDay1}, {"2026-01-05T00:00Z", kDay1},
        {"2026-01-05 01:30:00+01:30", kDay1}, {"2026-01-04T23:00:00.250-01:00", kDay1},
        {"2024-02-29T12:00:00Z", 1709208000}, {"1970-01-01", 0}};
    for (const auto& [text, seconds] : good) EXPECT_EQ(ParseTime(text), seconds) << text;
    // A time that ends where its text does, even when the characters after it are digits.
    EXPECT_FALSE(ParseTime(std::string_view("2026-01-05T10:00:30", 17)));
    EXPECT_EQ(ParseTime(std::string_view("2026-01-05T10:00:30", 16)), kDay1 + 10 * kHour);
    for (const char* bad : {"", "2026-13-01", "2026-01-32", "2026-01-05T25:00", "05/01/2026", "2026-01-05 10",
                            "2026-01-05T10:00+1", "12345678901234"})
        EXPECT_FALSE(ParseTime(bad)) << bad;
    EXPECT_EQ(ParseMailDate("Mon, 5 Jan 2026 01:00:00 +0100"), kDay1);
    EXPECT_EQ(ParseMailDate("05 Jan 2026 00:00 UT"), kDay1);
    EXPECT_FALSE(ParseMailDate("Mon, 5 Foo 2026 01:00:00 +0100"));
    EXPECT_EQ(FormatTime(kDay1 + 3661), "2026-01-05 01:01:01");
}

TEST(FleetInput, ProgressLinesOnLongInputsAndOneSummaryLine) {
    fleettest::TestStore db(Backend::kSqlite);
    std::vector<Line> lines;
    for (uint32_t k = 0; k < 5; ++k) lines.push_back({kDay1, Text(fleettest::Periodic(kA, 1000 + k, 1))});
    lines.push_back({kDay1, "garbage!"});
    lines.push_back(lines[0]);
    std::ostringstream progress;
    const IngestStats stats = Ingest(db.store(), Csv(lines), kDay1, &progress, 3);
    EXPECT_EQ(progress.str(), "ulv-fleet: read 3, stored 3, duplicates 0, rejected 0 so far\n"
                              "ulv-fleet: read 6, stored 5, duplicates 0, rejected 1 so far\n");
    EXPECT_EQ(SummaryLine(stats), "read 7, stored 5, duplicates 1, rejected 1");
}

}  // namespace
