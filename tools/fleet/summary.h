// The fleet summary: the four questions asked of the store, as data, and their renderings as
// terminal tables, JSON and a self-contained HTML page.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store.h"

namespace ulv::fleet {

struct Release {
    std::string apLabel, flexVersion;
    int64_t fingerprint = 0;
    bool operator<(const Release& o) const;
    std::string Name() const;  // "AP_R1 / FLEX_7 / 0x2679"
};

struct ReleaseRow {
    Release release;
    int64_t crashes = 0;
    int64_t handsets = 0;
    int64_t uptimeMs = 0;          // summed over its handsets
    std::optional<double> crashesPer1000Hours;  // none without any uptime
};

struct SignatureRow {
    std::string signature;
    int64_t reports = 0, handsets = 0, firstSeen = 0, lastSeen = 0;
};

struct SoftwareChangeRow {
    int64_t day = 0;
    std::string fromApLabel, fromFlexVersion, toApLabel, toFlexVersion;
    int64_t handsets = 0;  // reports of this change on that day
};

struct SilentRow {
    std::string serial;
    int64_t lastSeen = 0, medianGap = 0, silentFor = 0;
};

struct DayCount {
    int64_t day = 0, reports = 0;
};

struct Rollout {  // handsets first seen on a release, by day
    Release release;
    std::vector<DayCount> firstSeen;
};

struct Summary {
    std::vector<ReleaseRow> releases;
    std::vector<SignatureRow> signatures;
    std::vector<SoftwareChangeRow> softwareChanges;
    std::vector<SilentRow> silent;
    int64_t now = 0;  // the newest received time in the store, the reference for "silent"
    // For the page only.
    std::vector<DayCount> reportsPerDay;
    std::vector<Rollout> rollout;
    // Query name and seconds it took, in order.
    std::vector<std::pair<std::string, double>> timings;
};

struct SummaryOptions {
    std::optional<int64_t> since;  // received time, inclusive
    int signatureLimit = 20;
    bool forPage = false;          // also the per-day figures of the page
};

Summary Summarize(Store& store, const SummaryOptions& options);

std::string RenderTables(const Summary& summary);
std::string RenderSummaryJson(const Summary& summary);
std::string RenderHtml(const Summary& summary);

}  // namespace ulv::fleet
