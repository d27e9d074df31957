#include "summary.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <tuple>

#include "decoder.h"
#include "ingest.h"

namespace ulv::fleet {
namespace {

constexpr double kMsPer1000Hours = 1000.0 * 3600.0 * 1000.0;

template <typename F>
Rows Timed(Summary& summary, const std::string& name, F&& query) {
    const auto start = std::chrono::steady_clock::now();
    Rows rows = query();
    summary.timings.emplace_back(
        name, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return rows;
}

Release ReleaseOf(const Row& row, size_t at) {
    return Release{CellText(row[at]), CellText(row[at + 1]), CellInt(row[at + 2])};
}

std::string Hex16(int64_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", static_cast<unsigned>(value & 0xffff));
    return text;
}

}  // namespace

bool Release::operator<(const Release& o) const {
    return std::tie(apLabel, flexVersion, fingerprint) < std::tie(o.apLabel, o.flexVersion, o.fingerprint);
}

std::string Release::Name() const { return apLabel + " / " + flexVersion + " / " + Hex16(fingerprint); }

Summary Summarize(Store& store, const SummaryOptions& options) {
    Summary s;
    const int64_t since = options.since.value_or(INT64_MIN / 2);

    // Crashes per release, and each release's handsets and uptime from the spans.
    std::map<Release, ReleaseRow> releases;
    for (const Row& row : Timed(s, "crashes per release", [&] {
             return store.Query(
                 "SELECT ap_label, flex_version, fingerprint, COUNT(*) FROM reports"
                 " WHERE is_crash = 1 AND received_at >= $1 GROUP BY ap_label, flex_version, fingerprint",
                 {since});
         })) {
        ReleaseRow& r = releases[ReleaseOf(row, 0)];
        r.crashes = CellInt(row[3]);
    }
    for (const Row& row : Timed(s, "handsets and uptime per release", [&] {
             return store.Query(
                 "SELECT ap_label, flex_version, fingerprint, COUNT(*), SUM(span_ms) FROM spans"
                 " WHERE last_at >= $1 GROUP BY ap_label, flex_version, fingerprint",
                 {since});
         })) {
        ReleaseRow& r = releases[ReleaseOf(row, 0)];
        r.handsets = CellInt(row[3]);
        r.uptimeMs = CellInt(row[4]);
    }
    for (auto& [release, row] : releases) {
        row.release = release;
        if (row.uptimeMs > 0) row.crashesPer1000Hours = row.crashes * kMsPer1000Hours / static_cast<double>(row.uptimeMs);
        s.releases.push_back(row);
    }
    std::stable_sort(s.releases.begin(), s.releases.end(),
                     [](const ReleaseRow& a, const ReleaseRow& b) { return a.crashes > b.crashes; });

    for (const Row& row : Timed(s, "top crash signatures", [&] {
             return store.Query(
                 "SELECT signature, COUNT(*), COUNT(DISTINCT serial), MIN(received_at), MAX(received_at)"
                 " FROM reports WHERE signature IS NOT NULL AND received_at >= $1"
                 " GROUP BY signature ORDER BY COUNT(*) DESC, signature LIMIT $2",
                 {since, int64_t{options.signatureLimit}});
         }))
        s.signatures.push_back(
            {CellText(row[0]), CellInt(row[1]), CellInt(row[2]), CellInt(row[3]), CellInt(row[4])});

    for (const Row& row : Timed(s, "software changes", [&] {
             return store.Query(
                 "SELECT day, prev_ap_label, prev_flex_version, ap_label, flex_version, COUNT(*)"
                 " FROM reports WHERE kind = 'softwareChange' AND day >= $1"
                 " GROUP BY day, prev_ap_label, prev_flex_version, ap_label, flex_version"
                 " ORDER BY day, COUNT(*) DESC, ap_label, flex_version",
                 {since / 86400});
         }))
        s.softwareChanges.push_back({CellInt(row[0]), CellText(row[1]), CellText(row[2]), CellText(row[3]),
                                     CellText(row[4]), CellInt(row[5])});

    // Silent handsets: the reference time is the newest report in the store, so that an old
    // export reads as it did when it was taken (the clock of the machine says nothing of it).
    const Rows newest = Timed(s, "newest report", [&] { return store.Query("SELECT MAX(received_at) FROM reports"); });
    s.now = CellInt(newest[0][0]);
    // A handset's last report of any kind is the latest end of its spans; the median gap of
    // its periodic reports is worked out here from their received times, read in order from
    // the index (the window functions both stores offer take many times longer at a million
    // reports).
    std::map<std::string, int64_t> lastSeen;
    for (const Row& row : Timed(s, "last report per handset", [&] {
             return store.Query("SELECT serial, MAX(last_at) FROM spans GROUP BY serial");
         }))
        lastSeen[CellText(row[0])] = CellInt(row[1]);
    const Rows periodic = Timed(s, "periodic report times", [&] {
        return store.Query("SELECT serial, received_at FROM reports WHERE kind = 'periodic' ORDER BY serial, received_at");
    });
    std::vector<int64_t> gaps;
    for (size_t i = 0; i < periodic.size();) {
        const std::string& serial = CellText(periodic[i][0]);
        gaps.clear();
        size_t j = i + 1;
        for (; j < periodic.size() && *periodic[j][0] == serial; ++j)
            gaps.push_back(CellInt(periodic[j][1]) - CellInt(periodic[j - 1][1]));
        i = j;
        if (gaps.empty()) continue;  // one periodic report tells no rhythm
        std::sort(gaps.begin(), gaps.end());
        const size_t n = gaps.size();
        const int64_t median = n % 2 ? gaps[n / 2] : (gaps[n / 2 - 1] + gaps[n / 2]) / 2;
        const int64_t last = lastSeen[serial];
        if (median > 0 && s.now - last > 2 * median) s.silent.push_back({serial, last, median, s.now - last});
    }
    std::sort(s.silent.begin(), s.silent.end(),
              [](const SilentRow& a, const SilentRow& b) { return std::tie(b.silentFor, a.serial) < std::tie(a.silentFor, b.serial); });

    if (options.forPage) {
        for (const Row& row : Timed(s, "reports per day", [&] {
                 // By whole days: the day index answers alone.
                 return store.Query("SELECT day, COUNT(*) FROM reports WHERE day >= $1 GROUP BY day ORDER BY day",
                                    {since / 86400});
             }))
            s.reportsPerDay.push_back({CellInt(row[0]), CellInt(row[1])});
        std::map<Release, Rollout> rollout;
        for (const Row& row : Timed(s, "roll-out", [&] {
                 return store.Query(
                     "SELECT ap_label, flex_version, fingerprint, first_at / 86400, COUNT(*) FROM spans"
                     " GROUP BY ap_label, flex_version, fingerprint, first_at / 86400 ORDER BY 4");
             })) {
            Rollout& r = rollout[ReleaseOf(row, 0)];
            r.release = ReleaseOf(row, 0);
            r.firstSeen.push_back({CellInt(row[3]), CellInt(row[4])});
        }
        for (auto& [release, r] : rollout) s.rollout.push_back(r);
    }
    return s;
}

namespace {

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Hours(int64_t ms) { return Fixed(static_cast<double>(ms) / 3600000.0, 1); }

std::string Duration(int64_t seconds) {
    if (seconds >= 86400) return Fixed(static_cast<double>(seconds) / 86400.0, 1) + " d";
    if (seconds >= 3600) return Fixed(static_cast<double>(seconds) / 3600.0, 1) + " h";
    return std::to_string(seconds) + " s";
}

// A plain text table: columns padded to their widest cell, numbers right-aligned.
std::string Table(const std::string& title, const std::vector<std::string>& head,
                  const std::vector<std::vector<std::string>>& rows, const std::vector<bool>& right) {
    std::vector<size_t> width(head.size());
    for (size_t c = 0; c < head.size(); ++c) width[c] = head[c].size();
    for (const auto& row : rows)
        for (size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
    auto line = [&](const std::vector<std::string>& cells) {
        std::string out;
        for (size_t c = 0; c < cells.size(); ++c) {
            const std::string pad(width[c] - cells[c].size(), ' ');
            out += (c ? "  " : "") + (right[c] ? pad + cells[c] : cells[c] + (c + 1 < cells.size() ? pad : ""));
        }
        return out + "\n";
    };
    std::string out = title + "\n" + line(head);
    for (const auto& row : rows) out += line(row);
    if (rows.empty()) out += "(none)\n";
    return out + "\n";
}

std::string Json(const std::string& text) { return decode::JsonString(text); }

std::string Html(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string ReleaseJson(const Release& r) {
    return "\"apLabel\":" + Json(r.apLabel) + ",\"flexVersion\":" + Json(r.flexVersion) +
           ",\"fingerprint\":\"" + Hex16(r.fingerprint) + "\"";
}

}  // namespace

std::string RenderTables(const Summary& s) {
    std::vector<std::vector<std::string>> rows;
    for (const ReleaseRow& r : s.releases)
        rows.push_back({r.release.apLabel, r.release.flexVersion, Hex16(r.release.fingerprint),
                        std::to_string(r.handsets), std::to_string(r.crashes), Hours(r.uptimeMs),
                        r.crashesPer1000Hours ? Fixed(*r.crashesPer1000Hours, 2) : "-"});
    std::string out = Table("Crashes per release",
                            {"AP label", "flex version", "fingerprint", "handsets", "crashes", "uptime h",
                             "per 1000 h"},
                            rows, {false, false, false, true, true, true, true});
    rows.clear();
    for (const SignatureRow& r : s.signatures)
        rows.push_back({r.signature, std::to_string(r.reports), std::to_string(r.handsets), FormatTime(r.firstSeen),
                        FormatTime(r.lastSeen)});
    out += Table("Top crash signatures", {"signature", "reports", "handsets", "first seen", "last seen"}, rows,
                 {false, true, true, false, false});
    rows.clear();
    for (const SoftwareChangeRow& r : s.softwareChanges)
        rows.push_back({FormatDay(r.day), r.fromApLabel + " / " + r.fromFlexVersion,
                        r.toApLabel + " / " + r.toFlexVersion, std::to_string(r.handsets)});
    out += Table("Software changes", {"day", "from", "to", "handsets"}, rows, {false, false, false, true});
    rows.clear();
    for (const SilentRow& r : s.silent)
        rows.push_back({r.serial, FormatTime(r.lastSeen), Duration(r.medianGap), Duration(r.silentFor)});
    out += Table("Silent handsets (as of " + (s.now ? FormatTime(s.now) : std::string("-")) +
                     ": no report for over twice their median periodic gap)",
                 {"serial", "last report", "median gap", "silent for"}, rows, {false, false, true, true});
    return out;
}

std::string RenderSummaryJson(const Summary& s) {
    std::string out = "{\"releases\":[";
    for (size_t i = 0; i < s.releases.size(); ++i) {
        const ReleaseRow& r = s.releases[i];
        out += std::string(i ? "," : "") + "{" + ReleaseJson(r.release) + ",\"handsets\":" + std::to_string(r.handsets) +
               ",\"crashes\":" + std::to_string(r.crashes) + ",\"uptimeMs\":" + std::to_string(r.uptimeMs) +
               ",\"crashesPer1000Hours\":" + (r.crashesPer1000Hours ? Fixed(*r.crashesPer1000Hours, 4) : "null") + "}";
    }
    out += "],\"signatures\":[";
    for (size_t i = 0; i < s.signatures.size(); ++i) {
        const SignatureRow& r = s.signatures[i];
        out += std::string(i ? "," : "") + "{\"signature\":" + Json(r.signature) + ",\"reports\":" +
               std::to_string(r.reports) + ",\"handsets\":" + std::to_string(r.handsets) +
               ",\"firstSeen\":" + Json(FormatTime(r.firstSeen)) + ",\"lastSeen\":" + Json(FormatTime(r.lastSeen)) + "}";
    }
    out += "],\"softwareChanges\":[";
    for (size_t i = 0; i < s.softwareChanges.size(); ++i) {
        const SoftwareChangeRow& r = s.softwareChanges[i];
        out += std::string(i ? "," : "") + "{\"day\":" + Json(FormatDay(r.day)) + ",\"from\":{\"apLabel\":" +
               Json(r.fromApLabel) + ",\"flexVersion\":" + Json(r.fromFlexVersion) + "},\"to\":{\"apLabel\":" +
               Json(r.toApLabel) + ",\"flexVersion\":" + Json(r.toFlexVersion) + "},\"handsets\":" +
               std::to_string(r.handsets) + "}";
    }
    out += "],\"silent\":[";
    for (size_t i = 0; i < s.silent.size(); ++i) {
        const SilentRow& r = s.silent[i];
        out += std::string(i ? "," : "") + "{\"serial\":" + Json(r.serial) + ",\"lastSeen\":" +
               Json(FormatTime(r.lastSeen)) + ",\"medianGapSeconds\":" + std::to_string(r.medianGap) +
               ",\"silentForSeconds\":" + std::to_string(r.silentFor) + "}";
    }
    out += "],\"asOf\":" + (s.now ? Json(FormatTime(s.now)) : std::string("null")) + "}\n";
    return out;
}

namespace {

constexpr const char* kColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd",
                                    "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"};

std::string Num(double v) { return Fixed(v, 1); }

// Horizontal bars, one per release.
std::string CrashRateChart(const Summary& s) {
    const double rowHeight = 28, labelWidth = 260, barWidth = 420;
    double top = 0;
    for (const ReleaseRow& r : s.releases) top = std::max(top, r.crashesPer1000Hours.value_or(0));
    const double height = rowHeight * static_cast<double>(std::max<size_t>(s.releases.size(), 1)) + 10;
    std::string svg = "<svg id=\"crash-rate\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                      Num(labelWidth + barWidth + 90) + "\" height=\"" + Num(height) + "\" role=\"img\">";
    double y = 5;
    for (const ReleaseRow& r : s.releases) {
        const double rate = r.crashesPer1000Hours.value_or(0);
        const double w = top > 0 ? rate / top * barWidth : 0;
        svg += "<text x=\"0\" y=\"" + Num(y + 17) + "\" font-size=\"12\">" + Html(r.release.Name()) + "</text>";
        svg += "<rect class=\"bar\" data-release=\"" + Html(r.release.Name()) + "\" data-rate=\"" +
               (r.crashesPer1000Hours ? Fixed(rate, 4) : "") + "\" x=\"" + Num(labelWidth) + "\" y=\"" + Num(y + 4) +
               "\" width=\"" + Num(w) + "\" height=\"" + Num(rowHeight - 8) + "\" fill=\"#d62728\"/>";
        svg += "<text x=\"" + Num(labelWidth + w + 6) + "\" y=\"" + Num(y + 17) + "\" font-size=\"12\">" +
               (r.crashesPer1000Hours ? Fixed(rate, 2) : "no uptime") + "</text>";
        y += rowHeight;
    }
    return svg + "</svg>";
}

// Polylines over days; `series` of (name, points (day, value)).
std::string LineChart(const std::string& id, const std::vector<std::pair<std::string, std::vector<DayCount>>>& series) {
    const double width = 640, height = 220, left = 50, bottom = 30, top = 10;
    int64_t minDay = INT64_MAX, maxDay = INT64_MIN, maxValue = 1;
    for (const auto& [name, points] : series)
        for (const DayCount& p : points) {
            minDay = std::min(minDay, p.day);
            maxDay = std::max(maxDay, p.day);
            maxValue = std::max(maxValue, p.reports);
        }
    std::string svg = "<svg id=\"" + id + "\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Num(width) +
                      "\" height=\"" + Num(height + 20 * static_cast<double>(series.size())) + "\" role=\"img\">";
    svg += "<line x1=\"" + Num(left) + "\" y1=\"" + Num(height - bottom) + "\" x2=\"" + Num(width) + "\" y2=\"" +
           Num(height - bottom) + "\" stroke=\"#333\"/>";
    svg += "<line x1=\"" + Num(left) + "\" y1=\"" + Num(top) + "\" x2=\"" + Num(left) + "\" y2=\"" +
           Num(height - bottom) + "\" stroke=\"#333\"/>";
    svg += "<text x=\"4\" y=\"" + Num(top + 10) + "\" font-size=\"11\">" + std::to_string(maxValue) + "</text>";
    if (minDay <= maxDay) {
        svg += "<text x=\"" + Num(left) + "\" y=\"" + Num(height - 10) + "\" font-size=\"11\">" + FormatDay(minDay) + "</text>";
        svg += "<text x=\"" + Num(width - 70) + "\" y=\"" + Num(height - 10) + "\" font-size=\"11\">" +
               FormatDay(maxDay) + "</text>";
    }
    const double span = minDay < maxDay ? static_cast<double>(maxDay - minDay) : 1.0;
    for (size_t i = 0; i < series.size(); ++i) {
        const std::string colour = kColours[i % std::size(kColours)];
        std::string points;
        for (const DayCount& p : series[i].second) {
            const double x = left + static_cast<double>(p.day - minDay) / span * (width - left - 10);
            const double y = height - bottom - static_cast<double>(p.reports) / static_cast<double>(maxValue) * (height - bottom - top);
            points += (points.empty() ? "" : " ") + Num(x) + "," + Num(y);
        }
        svg += "<polyline class=\"series\" data-name=\"" + Html(series[i].first) + "\" points=\"" + points +
               "\" fill=\"none\" stroke=\"" + colour + "\" stroke-width=\"2\"/>";
        for (const DayCount& p : series[i].second) {
            const double x = left + static_cast<double>(p.day - minDay) / span * (width - left - 10);
            const double y = height - bottom - static_cast<double>(p.reports) / static_cast<double>(maxValue) * (height - bottom - top);
            svg += "<circle cx=\"" + Num(x) + "\" cy=\"" + Num(y) + "\" r=\"3\" fill=\"" + colour + "\"><title>" +
                   FormatDay(p.day) + ": " + std::to_string(p.reports) + "</title></circle>";
        }
        if (series.size() > 1)
            svg += "<text x=\"" + Num(left) + "\" y=\"" + Num(height + 14 + 20 * static_cast<double>(i)) +
                   "\" font-size=\"12\" fill=\"" + colour + "\">" + Html(series[i].first) + "</text>";
    }
    return svg + "</svg>";
}

}  // namespace

std::string RenderHtml(const Summary& s) {
    std::string out =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>ulv fleet</title>"
        "<style>body{font-family:sans-serif;margin:2em;color:#222}table{border-collapse:collapse}"
        "td,th{border:1px solid #ccc;padding:3px 8px;font-size:13px}td.n{text-align:right}"
        "h2{margin-top:1.5em}</style></head><body>\n<h1>ulv fleet</h1>\n<p id=\"as-of\">As of " +
        (s.now ? FormatTime(s.now) : std::string("-")) + " UTC</p>\n";
    out += "<h2>Crashes per 1,000 hours of uptime, by release</h2>\n" + CrashRateChart(s) + "\n";
    out += "<h2>Reports per day</h2>\n" + LineChart("reports-per-day", {{"reports", s.reportsPerDay}}) + "\n";
    out += "<h2>Top crash signatures</h2>\n<table id=\"signatures\"><thead><tr><th>signature</th><th>reports</th>"
           "<th>handsets</th><th>first seen</th><th>last seen</th></tr></thead><tbody>";
    for (const SignatureRow& r : s.signatures)
        out += "<tr><td>" + Html(r.signature) + "</td><td class=\"n\">" + std::to_string(r.reports) +
               "</td><td class=\"n\">" + std::to_string(r.handsets) + "</td><td>" + FormatTime(r.firstSeen) +
               "</td><td>" + FormatTime(r.lastSeen) + "</td></tr>";
    out += "</tbody></table>\n";
    // Roll-out: handsets that have reported from a release, cumulated by the day they first did.
    std::vector<std::pair<std::string, std::vector<DayCount>>> rollout;
    for (const Rollout& r : s.rollout) {
        std::vector<DayCount> cumulative;
        int64_t total = 0;
        for (const DayCount& p : r.firstSeen) cumulative.push_back({p.day, total += p.reports});
        rollout.emplace_back(r.release.Name(), cumulative);
    }
    out += "<h2>Roll-out: handsets seen on each release</h2>\n" + LineChart("rollout", rollout) + "\n";
    out += "</body></html>\n";
    return out;
}

}  // namespace ulv::fleet
