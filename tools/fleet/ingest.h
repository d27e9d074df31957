// Ingest: report texts as they arrive at the receiving side, in three forms, decoded with the
// decoder library and stored once each.
//
//   sms.log  the simulated handset's log: "SMS seq=N ... text=TEXT" lines (no received time)
//   CSV      an SMS gateway export: received_at,sender,text (an optional header line)
//   mbox     e-mails from the e-mail gateway: "From " separated, Date: and From: headers, the
//            body's first line the e-mail form "address text"
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "store.h"

namespace ulv::fleet {

// One text as it arrived.
struct InputText {
    std::string source;                  // "file:line"
    int line = 0;
    std::optional<int64_t> receivedAt;   // none: the ingest's default time
    std::optional<std::string> sender;
    std::string text;
    std::string problem;                 // set when the input line itself is unreadable
};

enum class InputForm { kSmsLog, kCsv, kMbox };

// The form of an input from its first non-empty line.
InputForm DetectForm(std::string_view firstLine);

// Reads every text of `in` (named `name` in sources) and hands each to `sink`.
void ReadInputs(std::istream& in, const std::string& name,
                const std::function<void(const InputText&)>& sink);

// Times: seconds since 1970 ("1767225600"), or an ISO date "2026-01-05", optionally with a
// time "T10:00" / " 10:00:30" and a zone "Z" / "+01:00" (UTC without one).
std::optional<int64_t> ParseTime(std::string_view text);
// An e-mail Date: header, "Mon, 5 Jan 2026 10:00:00 +0000" (the weekday optional).
std::optional<int64_t> ParseMailDate(std::string_view text);
std::string FormatTime(int64_t seconds);  // "2026-01-05 10:00:00"
std::string FormatDay(int64_t day);       // "2026-01-05"

struct IngestStats {
    int64_t read = 0;
    int64_t stored = 0;
    int64_t duplicates = 0;
    int64_t rejected = 0;
};

class Ingester {
public:
    // `defaultReceived`: the received time of texts that carry none. Progress lines go to
    // `progress` (may be null) every `progressEvery` texts.
    Ingester(Store& store, int64_t defaultReceived, std::ostream* progress,
             int64_t progressEvery = 50000);
    ~Ingester();
    void Add(const InputText& input);
    void Finish();  // commits the last batch
    void Close();   // commits, and refreshes the store's statistics when anything was stored
    const IngestStats& stats() const { return stats_; }

private:
    void Reject(const InputText& input, int64_t receivedAt, const std::string& reason);
    void BeginBatch();

    Store& store_;
    int64_t defaultReceived_;
    std::ostream* progress_;
    int64_t progressEvery_;
    int64_t nextArrival_ = 0;
    int batchCount_ = 0;
    bool inBatch_ = false;
    IngestStats stats_;
};

std::string SummaryLine(const IngestStats& stats);

}  // namespace ulv::fleet
