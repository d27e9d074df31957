#include "ingest.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <istream>
#include <ostream>
#include <vector>

#include "decoder.h"

namespace ulv::fleet {
namespace {

namespace decode = ulv::decode;

// Texts per transaction: large enough that a million reports do not wait on a million syncs,
// small enough that an interrupted ingest loses little and a waiting reader is not starved.
constexpr int kBatchSize = 2000;
// Lines longer than any report text in any form are cut before they are kept as rejected.
constexpr size_t kMaxKeptText = 512;
// A CSV record that runs over lines (a quoted text with line breaks) is read up to this size.
constexpr size_t kMaxCsvRecord = 4096;

std::string Printable(std::string_view text) {
    std::string out;
    for (unsigned char c : text.substr(0, kMaxKeptText)) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    return out;
}

// A fixed-width text field up to its first NUL, non-printing bytes escaped.
std::string FieldText(const std::optional<decode::Bytes>& field) {
    if (!field) return "";
    std::string text(field->begin(), field->end());
    return Printable(text.substr(0, text.find('\0')));
}

std::string Hex(const decode::Bytes& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) out += {kDigits[b >> 4], kDigits[b & 15]};
    return out;
}

std::string HexNumber(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08" PRIx32, value);
    return text;
}

std::string Opt(const std::optional<uint32_t>& value) {
    return value ? std::to_string(*value) : "?";
}

// FNV-1a, 64 bits, and the length: keys of texts and identities. Keys are only compared
// within one handset's texts (the prefix holds the serial), where a collision is out of reach.
std::string TextKey(std::string_view prefix, std::string_view text) {
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char c : text) hash = (hash ^ c) * 0x100000001b3ULL;
    char key[40];
    std::snprintf(key, sizeof key, "%016" PRIx64 ".%zu", hash, text.size());
    return std::string(prefix) + "|" + key;
}

// Kernel panic ids: the pc at the panic opens the crash data.
constexpr uint32_t kKernelPanicId = 0x00082000;
constexpr uint32_t kForcedKernelPanicId = 0x00082002;
constexpr int64_t kSecondsPerDay = 86400;

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// What a report adds to the store.
struct Record {
    std::string identity;
    std::string serial, kind, apLabel, flexVersion;
    int64_t fingerprint = 0, uptimeMs = 0;
    bool isCrash = false;
    std::optional<int64_t> callTime, eventTime, crashId;
    std::optional<std::string> signature, prevApLabel, prevFlexVersion;
};

Param Nullable(const std::optional<int64_t>& v) { return v ? Param(*v) : Param(); }
Param Nullable(const std::optional<std::string>& v) { return v ? Param(*v) : Param(); }

// Report identity, from content only (never the call time or the uptime of a report that a
// handset builds again for a resend):
//   crash          serial, time stamp, id, the data bytes it carries
//   core dump      serial, file time, task, library, offset, signal, pc, lr
//   periodic       serial, uptime, call time, generic usage data: each is a new measurement,
//                  so only the very same report merges
//   header only    serial, release, uptime (it carries nothing else)
//   software change  resolved against the store: see SoftwareChangeIdentity
// A field a cut text does not hold is "?" in the identity; the resend of a cut text is cut
// at the same place (same address), so it meets the same identity.
std::optional<Record> MakeRecord(const decode::Report& report, std::string* reason) {
    const decode::ReportHeader& h = report.header;
    if (!h.serialNumber || !h.uptimeMs || !h.imageFingerprint) {
        *reason = "text cut short before the header's serial number";
        return std::nullopt;
    }
    Record r;
    r.serial = FieldText(h.serialNumber);
    r.apLabel = FieldText(h.apBuildLabel);
    r.flexVersion = FieldText(h.flexVersion);
    r.fingerprint = *h.imageFingerprint;
    r.uptimeMs = *h.uptimeMs;
    const std::string release = r.apLabel + "|" + r.flexVersion + "|" + std::to_string(r.fingerprint);
    switch (report.kind) {
    case decode::ReportKind::kCrash: {
        const auto& b = std::get<decode::CrashBody>(report.body);
        r.kind = "crash";
        r.isCrash = true;
        if (b.callTime) r.callTime = *b.callTime;
        if (b.timestamp) r.eventTime = *b.timestamp;
        if (b.id) r.crashId = *b.id;
        const decode::Bytes data = b.data.value_or(decode::Bytes{});
        if (b.id && (*b.id == kKernelPanicId || *b.id == kForcedKernelPanicId)) {
            r.signature = data.size() >= 4
                              ? "kernel pc " + HexNumber(static_cast<uint32_t>(data[0]) << 24 |
                                                         static_cast<uint32_t>(data[1]) << 16 |
                                                         static_cast<uint32_t>(data[2]) << 8 | data[3])
                              : "kernel pc ?";
        } else {
            // BP and QUELA panics share the id space on the wire: the id is the signature.
            r.signature = b.id ? "crash id " + HexNumber(*b.id) : "crash id ?";
        }
        r.identity = "crash|" + r.serial + "|" + Opt(b.timestamp) + "|" + Opt(b.id) + "|" + Hex(data);
        break;
    }
    case decode::ReportKind::kCoreDump: {
        const auto& b = std::get<decode::CoreDumpBody>(report.body);
        r.kind = "coreDump";
        r.isCrash = true;
        if (b.callTime) r.callTime = *b.callTime;
        if (b.fileTime) r.eventTime = *b.fileTime;
        const std::string task = b.taskName ? FieldText(b.taskName) : "?";
        const std::string lib = b.libName ? FieldText(b.libName) : "?";
        r.signature = "core " + task + " " + lib + "+" + (b.pcOffset ? HexNumber(*b.pcOffset) : "?");
        r.identity = "coreDump|" + r.serial + "|" + Opt(b.fileTime) + "|" + task + "|" + lib + "|" +
                     Opt(b.pcOffset) + "|" + (b.signal ? std::to_string(*b.signal) : "?") + "|" +
                     Opt(b.pc) + "|" + Opt(b.lr);
        break;
    }
    case decode::ReportKind::kUndetermined: {
        const auto& b = std::get<decode::OpaqueBody>(report.body);
        r.kind = "undetermined";
        r.isCrash = true;
        if (b.callTime) r.callTime = *b.callTime;
        // The call time is left out: only a resend differs in it.
        const decode::Bytes rest(b.bytes.size() > 4 ? b.bytes.begin() + 4 : b.bytes.end(), b.bytes.end());
        r.identity = "undetermined|" + r.serial + "|" + Hex(rest);
        break;
    }
    case decode::ReportKind::kHeaderOnly:
        r.kind = "headerOnly";
        r.identity = "headerOnly|" + r.serial + "|" + release + "|" + std::to_string(r.uptimeMs);
        break;
    case decode::ReportKind::kPeriodic: {
        const auto& b = std::get<decode::PeriodicBody>(report.body);
        r.kind = "periodic";
        if (b.callTime) r.callTime = *b.callTime;
        r.identity = "periodic|" + r.serial + "|" + std::to_string(r.uptimeMs) + "|" + Opt(b.callTime) +
                     "|" + Hex(b.genericData.value_or(decode::Bytes{}));
        break;
    }
    case decode::ReportKind::kSoftwareChange: {
        const auto& b = std::get<decode::SoftwareChangeBody>(report.body);
        r.kind = "softwareChange";
        r.prevApLabel = b.previousApBuildLabel ? FieldText(b.previousApBuildLabel) : "?";
        r.prevFlexVersion = b.previousFlexVersion ? FieldText(b.previousFlexVersion) : "?";
        r.identity = "softwareChange|" + r.serial + "|" + *r.prevApLabel + "|" + *r.prevFlexVersion +
                     "|" + release + "|" + std::to_string(r.uptimeMs);
        break;
    }
    case decode::ReportKind::kUnknown:
        *reason = "unknown report type " + std::to_string(h.reportType.value_or(0));
        return std::nullopt;
    }
    // Stored compact: kind, serial and a hash of the fields above.
    r.identity = TextKey(r.kind + "|" + r.serial, r.identity);
    return r;
}

// A software change body says only "from A to B", and a handset that goes back and forth
// sends equal ones for distinct changes, while a resend of one change carries another uptime.
// They are told apart by what lies between them: a resend comes while the handset still runs
// B, so a stored change from A to B with no report of that handset on another release between
// the two (by received time, then ingest order) is the same change. A distinct A-to-B change
// needs the handset back on A in between, which its B-to-A report or any report from A shows.
std::string SoftwareChangeIdentity(Store& store, const Record& r, int64_t receivedAt, int64_t arrival) {
    // A serial of zeros names no handset: two such changes are two, whatever they share.
    if (r.serial.empty()) return r.identity;
    static const std::string kEarlier =
        "SELECT identity, received_at, arrival FROM reports WHERE kind = 'softwareChange'"
        " AND serial = $1 AND prev_ap_label = $2 AND prev_flex_version = $3 AND ap_label = $4"
        " AND flex_version = $5 AND fingerprint = $6 AND received_at <= $7"
        " ORDER BY received_at DESC, arrival DESC LIMIT 1";
    static const std::string kLater =
        "SELECT identity, received_at, arrival FROM reports WHERE kind = 'softwareChange'"
        " AND serial = $1 AND prev_ap_label = $2 AND prev_flex_version = $3 AND ap_label = $4"
        " AND flex_version = $5 AND fingerprint = $6 AND received_at > $7"
        " ORDER BY received_at ASC, arrival ASC LIMIT 1";
    // Reports of the handset on another release strictly between two points (at, arrival).
    static const std::string kBetween =
        "SELECT COUNT(*) FROM reports WHERE serial = $1"
        " AND (ap_label <> $2 OR flex_version <> $3 OR fingerprint <> $4)"
        " AND (received_at > $5 OR (received_at = $5 AND arrival > $6))"
        " AND (received_at < $7 OR (received_at = $7 AND arrival < $8))";
    const Params key{r.serial, *r.prevApLabel, *r.prevFlexVersion, r.apLabel, r.flexVersion,
                     r.fingerprint, receivedAt};
    for (const std::string* sql : {&kEarlier, &kLater}) {
        const Rows found = store.Query(*sql, key);
        if (found.empty()) continue;
        const int64_t at = CellInt(found[0][1]);
        const int64_t order = CellInt(found[0][2]);
        const bool earlier = sql == &kEarlier;
        const Params between{r.serial, r.apLabel, r.flexVersion, r.fingerprint,
                             earlier ? at : receivedAt, earlier ? order : arrival,
                             earlier ? receivedAt : at, earlier ? arrival : order};
        if (CellInt(store.Query(kBetween, between)[0][0]) == 0) return CellText(found[0][0]);
    }
    return r.identity;
}

std::string_view TrimLine(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    return line;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The text field of an sms.log line: \xHH bytes, \uHHHH units (above 0xff kept as the escape,
// which the decoder then refuses by name), \\ a backslash.
std::string UnescapeSmsText(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        const char what = text[i + 1];
        const size_t digits = what == 'x' ? 2 : what == 'u' ? 4 : 0;
        if (what == '\\') {
            out += '\\';
            ++i;
            continue;
        }
        int value = 0;
        bool ok = digits > 0 && i + 2 + digits <= text.size();
        for (size_t d = 0; ok && d < digits; ++d) {
            const int v = HexValue(text[i + 2 + d]);
            ok = v >= 0;
            value = value * 16 + v;
        }
        if (ok && value <= 0xff) {
            out += static_cast<char>(value);
            i += 1 + digits;
        } else {
            out += text[i];
        }
    }
    return out;
}

// CSV fields (RFC 4180 quoting: "a,b" and "" for a quote inside).
// Whether a quoted field is still open at the end of `record`: an SMS text may hold a line
// break, and the record then goes on over the next line.
bool CsvQuoteOpen(std::string_view record) {
    bool quoted = false;
    for (const char c : record)
        if (c == '"') quoted = !quoted;  // a doubled quote inside a field toggles twice
    return quoted;
}

std::vector<std::string> CsvFields(std::string_view line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                fields.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                fields.back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = FloorDiv(y, 400);
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool Digits(std::string_view s, size_t at, size_t count, int* value) {
    if (at + count > s.size()) return false;
    *value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        *value = *value * 10 + (s[i] - '0');
    }
    return true;
}

std::optional<int64_t> CivilSeconds(int year, int month, int day, int hour, int minute, int second) {
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    return DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * kSecondsPerDay +
           hour * 3600 + minute * 60 + second;
}

// "+hh:mm", "+hhmm", "Z", "GMT", "UT", "UTC": the zone's offset east of UTC in seconds.
std::optional<int64_t> ZoneOffset(std::string_view zone) {
    zone = Trim(zone);
    if (zone.empty() || zone == "Z" || zone == "GMT" || zone == "UT" || zone == "UTC") return 0;
    if (zone[0] != '+' && zone[0] != '-') return std::nullopt;
    int hours, minutes;
    if (Digits(zone, 1, 2, &hours) && zone.size() == 6 && zone[3] == ':' && Digits(zone, 4, 2, &minutes)) {
    } else if (!(zone.size() == 5 && Digits(zone, 1, 2, &hours) && Digits(zone, 3, 2, &minutes))) {
        return std::nullopt;
    }
    const int64_t offset = hours * 3600 + minutes * 60;
    return zone[0] == '-' ? -offset : offset;
}

}  // namespace

std::optional<int64_t> ParseTime(std::string_view text) {
    text = Trim(text);
    if (text.empty()) return std::nullopt;
    if (text.find_first_not_of("0123456789") == std::string_view::npos) {
        if (text.size() > 12) return std::nullopt;
        return std::stoll(std::string(text));
    }
    int year, month, day, hour = 0, minute = 0, second = 0;
    if (!Digits(text, 0, 4, &year) || text.size() < 10 || text[4] != '-' || !Digits(text, 5, 2, &month) ||
        text[7] != '-' || !Digits(text, 8, 2, &day))
        return std::nullopt;
    size_t at = 10;
    if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
        if (!Digits(text, at + 1, 2, &hour) || at + 3 >= text.size() || text[at + 3] != ':' ||
            !Digits(text, at + 4, 2, &minute))
            return std::nullopt;
        at += 6;
        if (at < text.size() && text[at] == ':') {
            if (!Digits(text, at + 1, 2, &second)) return std::nullopt;
            at += 3;
            while (at < text.size() && (text[at] == '.' || (text[at] >= '0' && text[at] <= '9'))) ++at;
        }
    }
    const std::optional<int64_t> offset = ZoneOffset(text.substr(at));
    const std::optional<int64_t> seconds = CivilSeconds(year, month, day, hour, minute, second);
    if (!offset || !seconds) return std::nullopt;
    return *seconds - *offset;
}

std::optional<int64_t> ParseMailDate(std::string_view text) {
    text = Trim(text);
    if (const size_t comma = text.find(','); comma != std::string_view::npos) text = Trim(text.substr(comma + 1));
    static constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::vector<std::string_view> words;
    while (!text.empty()) {
        const size_t end = text.find(' ');
        if (end != 0) words.push_back(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    if (words.size() < 4) return std::nullopt;
    int day, year, hour, minute, second = 0, month = 0;
    if (words[0].size() > 2 || !Digits(words[0], 0, words[0].size(), &day) || !Digits(words[2], 0, 4, &year) ||
        words[2].size() != 4)
        return std::nullopt;
    for (int m = 0; m < 12; ++m)
        if (words[1] == kMonths[m]) month = m + 1;
    const std::string_view clock = words[3];
    if (!Digits(clock, 0, 2, &hour) || clock.size() < 5 || clock[2] != ':' || !Digits(clock, 3, 2, &minute))
        return std::nullopt;
    if (clock.size() == 8 && (clock[5] != ':' || !Digits(clock, 6, 2, &second))) return std::nullopt;
    const std::optional<int64_t> offset = ZoneOffset(words.size() > 4 ? words[4] : "");
    const std::optional<int64_t> seconds = CivilSeconds(year, month, day, hour, minute, second);
    if (!offset || !seconds) return std::nullopt;
    return *seconds - *offset;
}

std::string FormatTime(int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

std::string FormatDay(int64_t day) { return FormatTime(day * kSecondsPerDay).substr(0, 10); }

InputForm DetectForm(std::string_view firstLine) {
    if (firstLine.rfind("From ", 0) == 0) return InputForm::kMbox;
    if (firstLine.rfind("SMS ", 0) == 0 || firstLine.rfind("SMS-", 0) == 0) return InputForm::kSmsLog;
    return InputForm::kCsv;
}

void ReadInputs(std::istream& in, const std::string& name, const std::function<void(const InputText&)>& sink) {
    std::string raw;
    int number = 0;
    std::optional<InputForm> form;
    // mbox: the e-mail being read, if any.
    InputText mail;
    bool inMail = false, inHeaders = false;
    auto flushMail = [&] {
        if (inMail) {
            if (inHeaders || mail.text.empty()) mail.problem = "e-mail without a report text";
            sink(mail);
        }
        inMail = false;
    };
    // CSV: a record whose quoted field goes on over the next line, and where it began.
    std::string record;
    int recordLine = 0;
    auto flushCsv = [&] {
        InputText input;
        input.source = name + ":" + std::to_string(recordLine);
        input.line = recordLine;
        std::vector<std::string> fields = CsvFields(record);
        const std::string text = std::move(record);
        record.clear();
        if (Trim(fields[0]) == "received_at") return;  // the header line
        if (fields.size() < 3) {
            input.problem = "CSV line without the three fields received_at,sender,text";
            input.text = text;
        } else {
            input.receivedAt = ParseTime(fields[0]);
            if (!input.receivedAt) input.problem = "unreadable received time '" + Printable(fields[0]) + "'";
            if (!Trim(fields[1]).empty()) input.sender = Printable(Trim(fields[1]));
            // A text with commas of its own arrives split; join the rest back.
            input.text = fields[2];
            for (size_t i = 3; i < fields.size(); ++i) input.text += "," + fields[i];
        }
        sink(input);
    };
    while (std::getline(in, raw)) {
        ++number;
        const std::string_view line = TrimLine(raw);
        if (!form) {
            if (Trim(line).empty()) continue;
            form = DetectForm(line);
        }
        InputText input;
        input.source = name + ":" + std::to_string(number);
        input.line = number;
        switch (*form) {
        case InputForm::kSmsLog: {
            // Only submissions that got a sequence number left the handset; refused and
            // malformed records never reached the receiving side.
            if (line.rfind("SMS seq=", 0) != 0) continue;
            const size_t at = line.find(" text=");
            if (at == std::string_view::npos) {
                input.problem = "sms.log line without text=";
                input.text = std::string(line);
            } else {
                input.text = UnescapeSmsText(line.substr(at + 6));
            }
            sink(input);
            break;
        }
        case InputForm::kCsv: {
            if (record.empty()) {
                if (Trim(line).empty()) continue;
                recordLine = number;
            } else {
                record += '\n';
            }
            record += line;
            // Bounded: a quote never closed ends its record at the bound or at the end.
            if (CsvQuoteOpen(record) && record.size() < kMaxCsvRecord) continue;
            flushCsv();
            break;
        }
        case InputForm::kMbox: {
            if (line.rfind("From ", 0) == 0 && (!inMail || !inHeaders)) {
                flushMail();
                mail = input;
                inMail = inHeaders = true;
                continue;
            }
            if (!inMail) continue;
            if (inHeaders) {
                if (line.empty()) {
                    inHeaders = false;
                } else if (line.rfind("Date:", 0) == 0) {
                    mail.receivedAt = ParseMailDate(line.substr(5));
                    if (!mail.receivedAt) mail.problem = "unreadable Date: header";
                } else if (line.rfind("From:", 0) == 0) {
                    std::string_view from = Trim(line.substr(5));
                    if (const size_t open = from.find('<'); open != std::string_view::npos) {
                        const size_t close = from.find('>', open);
                        from = from.substr(open + 1, close == std::string_view::npos ? close : close - open - 1);
                    }
                    mail.sender = Printable(from);
                }
            } else if (mail.text.empty() && !Trim(line).empty()) {
                mail.text = std::string(line);  // the e-mail form: address, blank, report text
            }
            break;
        }
        }
    }
    if (form == InputForm::kMbox) flushMail();
    if (!record.empty()) flushCsv();  // its quote never closed
}

Ingester::Ingester(Store& store, int64_t defaultReceived, std::ostream* progress, int64_t progressEvery)
    : store_(store), defaultReceived_(defaultReceived), progress_(progress), progressEvery_(progressEvery) {
    nextArrival_ = CellInt(store_.Query("SELECT MAX(arrival) FROM reports")[0][0]) + 1;
}

Ingester::~Ingester() {
    if (inBatch_) {
        try {
            store_.Script("ROLLBACK");
        } catch (...) {
        }
    }
}

void Ingester::BeginBatch() {
    if (!inBatch_) {
        store_.Script("BEGIN");
        inBatch_ = true;
    }
}

void Ingester::Finish() {
    if (inBatch_) {
        inBatch_ = false;
        store_.Script("COMMIT");
    }
}

void Ingester::Close() {
    Finish();
    // A bulk load leaves the planner with the statistics of a small store.
    if (stats_.stored > 0) store_.Optimize();
}

void Ingester::Reject(const InputText& input, int64_t receivedAt, const std::string& reason) {
    ++stats_.rejected;
    store_.Run(
        "INSERT INTO rejected (text_key, received_at, sender, source, text, reason)"
        " VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT (text_key) DO NOTHING",
        {TextKey("r", input.sender.value_or("") + "\n" + input.text), receivedAt, Nullable(input.sender),
         input.source, Printable(input.text), reason});
}

void Ingester::Add(const InputText& input) {
    BeginBatch();
    ++stats_.read;
    const int64_t receivedAt = input.receivedAt.value_or(defaultReceived_);
    if (!input.problem.empty()) {
        Reject(input, receivedAt, input.problem);
    } else {
        const decode::DecodedInput decoded = decode::DecodeInput(input.line, input.text);
        std::string reason;
        std::optional<Record> record;
        if (decoded.report) {
            record = MakeRecord(*decoded.report, &reason);
        } else {
            for (const std::string& problem : decoded.problems) reason += (reason.empty() ? "" : "; ") + problem;
            if (reason.empty()) reason = "no report";
        }
        if (!record) {
            Reject(input, receivedAt, reason);
        } else {
            Record& r = *record;
            const int64_t arrival = nextArrival_++;
            // The report text itself, without an e-mail address in front.
            std::string_view text = Trim(input.text);
            if (decoded.address) text = Trim(text.substr(text.find(' ') + 1));
            if (r.kind == "softwareChange") r.identity = SoftwareChangeIdentity(store_, r, receivedAt, arrival);
            const int64_t newMessage = store_.Run(
                "INSERT INTO messages (text_key, identity) VALUES ($1, $2) ON CONFLICT (text_key) DO NOTHING",
                {TextKey(r.serial, text), r.identity});
            const int64_t newReport =
                newMessage == 0
                    ? 0
                    : store_.Run(
                          "INSERT INTO reports (identity, serial, kind, is_crash, ap_label, flex_version,"
                          " fingerprint, uptime_ms, received_at, day, arrival, sender, truncated, call_time,"
                          " event_time, crash_id, signature, prev_ap_label, prev_flex_version, text)"
                          " VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16, $17,"
                          " $18, $19, $20) ON CONFLICT (identity) DO NOTHING",
                          {r.identity, r.serial, r.kind, int64_t{r.isCrash}, r.apLabel, r.flexVersion,
                           r.fingerprint, r.uptimeMs, receivedAt, FloorDiv(receivedAt, kSecondsPerDay), arrival,
                           Nullable(input.sender), int64_t{decoded.report->truncated}, Nullable(r.callTime),
                           Nullable(r.eventTime), Nullable(r.crashId), Nullable(r.signature),
                           Nullable(r.prevApLabel), Nullable(r.prevFlexVersion), Printable(input.text)});
            if (newReport == 0) {
                ++stats_.duplicates;
            } else {
                ++stats_.stored;
                // The handset's time on this release grows by the uptime from the report next to
                // it in time, modulo 2^32 ms: the header's count wraps every 49.7 days. A step of
                // 2^31 ms or more is a step back (reports swapped on the way, or the uptime of an
                // unclean end that was never saved): it adds nothing, and the larger uptime stays
                // the one the next step counts from. A serial of zeros (never read from the phone)
                // names no handset: its reports add to no one's time.
                static const std::string kUp =
                    "((excluded.last_up - spans.last_up) % 4294967296 + 4294967296) % 4294967296";
                static const std::string kDown =
                    "((spans.first_up - excluded.first_up) % 4294967296 + 4294967296) % 4294967296";
                static const std::string kLater = "excluded.last_at >= spans.last_at";
                static const std::string kEarlier = "excluded.first_at < spans.first_at";
                static const std::string kSpans =
                    "INSERT INTO spans (serial, ap_label, flex_version, fingerprint, first_at, first_up,"
                    " last_at, last_up, span_ms) VALUES ($1, $2, $3, $4, $5, $6, $5, $6, 0)"
                    " ON CONFLICT (serial, ap_label, flex_version, fingerprint) DO UPDATE SET"
                    " span_ms = spans.span_ms + CASE"
                    "  WHEN " + kLater + " THEN CASE WHEN " + kUp + " < 2147483648 THEN " + kUp + " ELSE 0 END"
                    "  WHEN " + kEarlier + " THEN CASE WHEN " + kDown + " < 2147483648 THEN " + kDown + " ELSE 0 END"
                    "  ELSE 0 END,"
                    " first_at = CASE WHEN " + kEarlier + " THEN excluded.first_at ELSE spans.first_at END,"
                    " first_up = CASE WHEN " + kEarlier + " AND " + kDown + " < 2147483648"
                    "  THEN excluded.first_up ELSE spans.first_up END,"
                    " last_at = CASE WHEN " + kLater + " THEN excluded.last_at ELSE spans.last_at END,"
                    " last_up = CASE WHEN " + kLater + " AND " + kUp + " < 2147483648"
                    "  THEN excluded.last_up ELSE spans.last_up END";
                if (!r.serial.empty())
                    store_.Run(kSpans, {r.serial, r.apLabel, r.flexVersion, r.fingerprint, receivedAt, r.uptimeMs});
            }
        }
    }
    if (++batchCount_ >= kBatchSize) {
        Finish();
        batchCount_ = 0;
    }
    if (progress_ && progressEvery_ > 0 && stats_.read % progressEvery_ == 0)
        *progress_ << "ulv-fleet: " << SummaryLine(stats_) << " so far" << std::endl;
}

std::string SummaryLine(const IngestStats& stats) {
    return "read " + std::to_string(stats.read) + ", stored " + std::to_string(stats.stored) + ", duplicates " +
           std::to_string(stats.duplicates) + ", rejected " + std::to_string(stats.rejected);
}

}  // namespace ulv::fleet
