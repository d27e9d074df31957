#include "scenario.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "sim_protocol.h"

namespace handset {

namespace {

constexpr CallInfo kCalls[kCallCount] = {
    {sim::kCallNetworkId, "GetCurrentNetworkId", "NetworkId"},
    {sim::kCallServiceAvail, "GetServiceAvailability", "ServiceAvailability"},
    {sim::kCallSignalQuality, "GetSiginalQuality", "SignalQuality"},
    {sim::kCallApVersion, "GetApVersionInfo", "ApVersion"},
    {sim::kCallBpVersion, "GetBpVersionInfo", "BpVersion"},
    {sim::kCallSerialNo, "GetFactorySerialNo", "SerialNo"},
    {sim::kCallServiceCentre, "GetServiceCenter", "ServiceCentre"},
    {sim::kCallEmailGateway, "GetEmailGateway", "EmailGateway"},
    {sim::kCallExpirePeriod, "ExpirePeriodToUINT8", "ExpirePeriod"},
    {sim::kCallSendSms, "SendSmUnblockMode", "SendSms"},
    {sim::kCallCallTime, "GetCallTime", "CallTime"},
    {sim::kCallGenericData, "GetGenericData", "GenericData"},
};

// The largest data block one event packet carries.
constexpr size_t kMaxEventData = sim::kMaxPacket - sim::kEventHeadSize;

struct Token {
    std::string text;
    bool quoted = false;
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Splits one line into words. A word in double quotes may hold blanks, '#' and the escapes
// \" \\ and \xHH; outside quotes '#' starts a comment.
bool Tokenize(std::string_view line, std::vector<Token>* tokens, std::string* error) {
    size_t i = 0;
    while (i < line.size()) {
        if (IsBlank(line[i])) {
            ++i;
            continue;
        }
        if (line[i] == '#') break;
        Token token;
        if (line[i] == '"') {
            token.quoted = true;
            ++i;
            bool closed = false;
            while (i < line.size()) {
                char c = line[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c != '\\') {
                    token.text.push_back(c);
                    continue;
                }
                if (i >= line.size()) break;
                char escaped = line[i++];
                if (escaped == '"' || escaped == '\\') {
                    token.text.push_back(escaped);
                } else if (escaped == 'x' && i + 1 < line.size() && HexValue(line[i]) >= 0 &&
                           HexValue(line[i + 1]) >= 0) {
                    token.text.push_back(
                        static_cast<char>(HexValue(line[i]) * 16 + HexValue(line[i + 1])));
                    i += 2;
                } else {
                    *error = "unknown escape in quoted text (use \\\", \\\\ or \\xHH)";
                    return false;
                }
            }
            if (!closed) {
                *error = "quoted text is not closed";
                return false;
            }
            if (i < line.size() && !IsBlank(line[i]) && line[i] != '#') {
                *error = "quoted text must be followed by a blank";
                return false;
            }
        } else {
            while (i < line.size() && !IsBlank(line[i]) && line[i] != '#') token.text += line[i++];
        }
        tokens->push_back(std::move(token));
    }
    return true;
}

// Whole unsigned number, decimal or 0x hexadecimal, at most `max`.
bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || IsBlank(text[0])) return false;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) base = 16;
    errno = 0;
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(text.c_str(), &end, base);
    if (errno != 0 || end != text.c_str() + text.size() || parsed > max) return false;
    *value = parsed;
    return true;
}

bool ParseU8(const std::string& text, uint8_t* value) {
    uint64_t parsed = 0;
    if (!ParseUnsigned(text, UINT8_MAX, &parsed)) return false;
    *value = static_cast<uint8_t>(parsed);
    return true;
}

bool ParseU16(const std::string& text, uint16_t* value) {
    uint64_t parsed = 0;
    if (!ParseUnsigned(text, UINT16_MAX, &parsed)) return false;
    *value = static_cast<uint16_t>(parsed);
    return true;
}

bool ParseU32(const std::string& text, uint32_t* value) {
    uint64_t parsed = 0;
    if (!ParseUnsigned(text, UINT32_MAX, &parsed)) return false;
    *value = static_cast<uint32_t>(parsed);
    return true;
}

bool ParseI32(const std::string& text, int32_t* value) {
    bool negative = !text.empty() && text[0] == '-';
    uint64_t magnitude = 0;
    if (!ParseUnsigned(negative ? text.substr(1) : text,
                       negative ? uint64_t{1} << 31 : uint64_t{INT32_MAX}, &magnitude))
        return false;
    *value = negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude))
                      : static_cast<int32_t>(magnitude);
    return true;
}

// Simulated seconds: digits with at most one decimal point, below a year.
bool ParseSeconds(const std::string& text, double* seconds) {
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos ||
        std::count(text.begin(), text.end(), '.') > 1 || text == ".")
        return false;
    double parsed = std::strtod(text.c_str(), nullptr);
    if (!std::isfinite(parsed) || parsed > 365.0 * 86400) return false;
    *seconds = parsed;
    return true;
}

// Hex bytes written as one or more words of digit pairs ("01 02", "0102").
bool ParseHexBytes(const std::vector<Token>& words, size_t first, std::vector<uint8_t>* bytes) {
    for (size_t w = first; w < words.size(); ++w) {
        const std::string& text = words[w].text;
        if (text.empty() || text.size() % 2 != 0) return false;
        for (size_t i = 0; i < text.size(); i += 2) {
            int high = HexValue(text[i]);
            int low = HexValue(text[i + 1]);
            if (high < 0 || low < 0) return false;
            bytes->push_back(static_cast<uint8_t>(high * 16 + low));
        }
    }
    return true;
}

void StoreHost32(uint8_t* at, uint32_t value) { std::memcpy(at, &value, sizeof value); }

template <size_t N>
void StoreText(std::array<uint8_t, N>& buffer, size_t offset, const std::string& text) {
    std::memcpy(buffer.data() + offset, text.data(), text.size());
}

class LineParser {
public:
    LineParser(Scenario* scenario, std::map<std::string, int>* seen)
        : scenario_(scenario), seen_(seen) {}

    bool Parse(int line, const std::vector<Token>& words, std::string* error);

private:
    bool Fail(const std::string& message) {
        *error_ = message;
        return false;
    }
    // A directive that sets one value may appear once.
    bool Once(const std::string& key) {
        auto [it, inserted] = seen_->emplace(key, line_);
        if (!inserted) return Fail(key + " already given on line " + std::to_string(it->second));
        return true;
    }
    bool Count(size_t minimum, size_t maximum, const char* usage) {
        if (words_->size() < minimum || words_->size() > maximum)
            return Fail(std::string("usage: ") + usage);
        return true;
    }
    // One text value that fits a buffer of `size` bytes.
    bool Text(size_t index, size_t size, const char* usage, std::string* text) {
        if (!Count(index + 1, index + 1, usage)) return false;
        *text = (*words_)[index].text;
        if (text->size() > size)
            return Fail(std::string(usage) + ": at most " + std::to_string(size) + " bytes");
        return true;
    }
    const std::string& Word(size_t index) const { return (*words_)[index].text; }

    bool Network();
    bool TextValue(const std::string& name);
    bool FailDirective();
    bool RefuseConnections();
    bool Submit();
    bool Sequence();
    bool Confirm();
    bool At();
    bool AtMessage(TimedEvent* event, size_t next);

    Scenario* scenario_;
    std::map<std::string, int>* seen_;
    int line_ = 0;
    const std::vector<Token>* words_ = nullptr;
    std::string* error_ = nullptr;
};

bool LineParser::Parse(int line, const std::vector<Token>& words, std::string* error) {
    line_ = line;
    words_ = &words;
    error_ = error;
    const std::string& name = words[0].text;
    if (words[0].quoted) return Fail("a line must start with a directive");

    if (name == "network") return Once(name) && Network();
    if (name == "ap_version" || name == "bp_version" || name == "flex_version" ||
        name == "serial" || name == "service_centre" || name == "email_gateway")
        return Once(name) && TextValue(name);
    if (name == "service") {
        if (!Once(name) || !Count(2, 2, "service 0|1")) return false;
        if (!ParseU8(Word(1), &scenario_->serviceAvailable))
            return Fail("service: a byte value, 1 meaning in service");
        return true;
    }
    if (name == "signal") {
        if (!Once(name) || !Count(2, 2, "signal STRENGTH")) return false;
        if (!ParseU8(Word(1), &scenario_->signalStrength))
            return Fail("signal: a strength from 0 to 31, or 99 for no reading");
        return true;
    }
    if (name == "call_time") {
        if (!Once(name) || !Count(2, 2, "call_time N")) return false;
        if (!ParseU32(Word(1), &scenario_->callTime))
            return Fail("call_time: an unsigned 32-bit number");
        return true;
    }
    if (name == "generic_data") {
        if (!Once(name) || !Count(2, SIZE_MAX, "generic_data HEX")) return false;
        std::vector<uint8_t> bytes;
        if (!ParseHexBytes(words, 1, &bytes) || bytes.size() != TAPI_GENERIC_DATA_SIZE)
            return Fail("generic_data: exactly 24 bytes in hex");
        std::copy(bytes.begin(), bytes.end(), scenario_->genericData.begin());
        return true;
    }
    if (name == "validity") {
        if (!Once(name) || !Count(2, 2, "validity BYTE")) return false;
        if (!ParseU8(Word(1), &scenario_->validity)) return Fail("validity: a byte value");
        return true;
    }
    if (name == "fail") return FailDirective();
    if (name == "refuse_connections") return Once(name) && RefuseConnections();
    if (name == "submit") return Once(name) && Submit();
    if (name == "sequence") return Once(name) && Sequence();
    if (name == "confirm") return Once(name) && Confirm();
    if (name == "confirm_delay") {
        if (!Once(name) || !Count(2, 2, "confirm_delay SECONDS")) return false;
        if (!ParseSeconds(Word(1), &scenario_->confirmDelay))
            return Fail("confirm_delay: simulated seconds, such as 2 or 0.5");
        return true;
    }
    if (name == "exit_after_close") {
        if (!Once(name) || !Count(1, 1, "exit_after_close")) return false;
        scenario_->exitAfterClose = true;
        return true;
    }
    if (name == "at") return At();
    return Fail("unknown directive '" + name + "'");
}

bool LineParser::Network() {
    std::string id;
    if (!Text(1, 2 * TAPI_NETWORK_CODE_SIZE, "network COUNTRY-NETWORK", &id)) return false;
    size_t dash = id.find('-');
    // The client's buffers hold 7 characters and a NUL each.
    constexpr size_t kMaxCode = TAPI_NETWORK_CODE_SIZE - 1;
    if (dash == std::string::npos || dash == 0 || dash > kMaxCode || dash + 1 == id.size() ||
        id.size() - dash - 1 > kMaxCode)
        return Fail("network: country code and network code of 1 to 7 characters, as 310-410");
    scenario_->countryCode = id.substr(0, dash);
    scenario_->networkCode = id.substr(dash + 1);
    return true;
}

bool LineParser::TextValue(const std::string& name) {
    std::string text;
    Scenario& s = *scenario_;
    if (name == "email_gateway" && words_->size() == 1) {
        s.emailGateway.fill(0);
        return true;
    }
    if (name == "ap_version") {
        if (!Text(1, s.apVersion.size(), "ap_version TEXT", &text)) return false;
        s.apVersion.fill(0);
        StoreText(s.apVersion, 0, text);
    } else if (name == "bp_version") {
        if (!Text(1, kBpVersionTextSize, "bp_version TEXT", &text)) return false;
        std::fill(s.bpVersion.begin(), s.bpVersion.begin() + kFlexVersionOffset, 0);
        StoreText(s.bpVersion, 0, text);
    } else if (name == "flex_version") {
        if (!Text(1, kFlexVersionSize, "flex_version TEXT", &text)) return false;
        std::fill(s.bpVersion.begin() + kFlexVersionOffset,
                  s.bpVersion.begin() + kFlexVersionOffset + kFlexVersionSize, 0);
        StoreText(s.bpVersion, kFlexVersionOffset, text);
    } else if (name == "serial") {
        if (!Text(1, s.serial.size(), "serial TEXT", &text)) return false;
        s.serial.fill(0);
        StoreText(s.serial, 0, text);
    } else if (name == "service_centre") {
        if (!Text(1, s.serviceCentre.size(), "service_centre TEXT", &text)) return false;
        s.serviceCentre.fill(0);
        StoreText(s.serviceCentre, 0, text);
    } else {
        if (!Text(1, s.emailGateway.size(), "email_gateway [TEXT]", &text)) return false;
        s.emailGateway.fill(0);
        StoreText(s.emailGateway, 0, text);
    }
    return true;
}

// fail CALL [COUNT] [result N]
bool LineParser::FailDirective() {
    const char* usage = "fail CALL [COUNT] [result N]";
    if (!Count(2, 5, usage)) return false;
    const CallInfo* call = FindCall(Word(1));
    if (call == nullptr) return Fail("fail: unknown call '" + Word(1) + "'");
    if (!Once(std::string("fail ") + call->name)) return false;
    CallFailure failure;
    failure.active = true;
    failure.always = true;
    size_t next = 2;
    if (next < words_->size() && Word(next) != "result") {
        if (!ParseU32(Word(next), &failure.remaining) || failure.remaining == 0)
            return Fail("fail: the count is a number of calls, at least 1");
        failure.always = false;
        ++next;
    }
    if (next < words_->size()) {
        if (Word(next) != "result" || next + 2 != words_->size())
            return Fail(std::string("usage: ") + usage);
        if (!ParseI32(Word(next + 1), &failure.result) || failure.result == 0)
            return Fail("fail: the result is a nonzero 32-bit number");
    }
    scenario_->failures[call->code] = failure;
    return true;
}

bool LineParser::RefuseConnections() {
    if (!Count(2, 2, "refuse_connections COUNT|all")) return false;
    if (Word(1) == "all") {
        scenario_->refuseAll = true;
        return true;
    }
    if (!ParseU32(Word(1), &scenario_->refuseConnections))
        return Fail("refuse_connections: a number of connections or 'all'");
    return true;
}

// Splits "a,b,c" (possibly written with blanks after the commas) into its items.
std::vector<std::string> CommaList(const std::vector<Token>& words, size_t first) {
    std::string joined;
    for (size_t i = first; i < words.size(); ++i) joined += words[i].text;
    std::vector<std::string> items;
    std::string item;
    std::istringstream stream(joined);
    while (std::getline(stream, item, ',')) items.push_back(item);
    if (!joined.empty() && joined.back() == ',') items.emplace_back();
    return items;
}

bool LineParser::Submit() {
    if (!Count(2, SIZE_MAX, "submit accept|refuse[,accept|refuse...]")) return false;
    std::vector<SubmitAnswer> answers;
    const std::vector<std::string> items = CommaList(*words_, 1);
    // Submissions index the list (the last entry repeats): it needs one entry at least.
    if (items.empty()) return Fail("submit: the list is empty");
    for (const std::string& item : items) {
        if (item == "accept") {
            answers.push_back(SubmitAnswer::kAccept);
        } else if (item == "refuse") {
            answers.push_back(SubmitAnswer::kRefuse);
        } else {
            return Fail("submit: each entry is accept or refuse, not '" + item + "'");
        }
    }
    scenario_->submit = std::move(answers);
    return true;
}

// sequence FIRST [step N]
bool LineParser::Sequence() {
    const char* usage = "sequence FIRST [step N]";
    if (words_->size() != 2 && words_->size() != 4) return Fail(std::string("usage: ") + usage);
    if (!ParseU32(Word(1), &scenario_->firstSequence))
        return Fail("sequence: the first number is an unsigned 32-bit number");
    if (words_->size() == 4 &&
        (Word(2) != "step" || !ParseU32(Word(3), &scenario_->sequenceStep)))
        return Fail(std::string("usage: ") + usage);
    return true;
}

bool LineParser::Confirm() {
    if (!Count(2, SIZE_MAX, "confirm RESULT|none[,RESULT|none...]")) return false;
    std::vector<std::optional<uint32_t>> results;
    const std::vector<std::string> items = CommaList(*words_, 1);
    if (items.empty()) return Fail("confirm: the list is empty");
    for (const std::string& item : items) {
        uint32_t result = 0;
        if (item == "none") {
            results.emplace_back();
        } else if (ParseU32(item, &result)) {
            results.emplace_back(result);
        } else {
            return Fail("confirm: each entry is a result number or none, not '" + item + "'");
        }
    }
    scenario_->confirm = std::move(results);
    return true;
}

bool LineParser::At() {
    if (words_->size() < 3) return Fail("usage: at SECONDS EVENT ...");
    TimedEvent event;
    event.line = line_;
    if (!ParseSeconds(Word(1), &event.at))
        return Fail("at: simulated seconds since the client subscribed, such as 5 or 0.5");
    const std::string& what = Word(2);
    if (what == "service") {
        uint8_t value = 0;
        if (!Count(4, 4, "at T service BYTE")) return false;
        if (!ParseU8(Word(3), &value)) return Fail("at T service: a byte value");
        event.msgId = SERVICE_AVAILABILITY_MSGID;
        event.data = {value};
    } else if (what == "registered") {
        std::string id;
        if (!Text(3, kMaxEventData - 1, "at T registered NETWORK-ID", &id)) return false;
        event.msgId = REGISTERED_MSGID;
        event.data.assign(id.begin(), id.end());
        event.data.push_back(0);
    } else if (what == "signal") {
        uint32_t level = 0;
        if (!Count(4, 4, "at T signal LEVEL")) return false;
        if (!ParseU32(Word(3), &level)) return Fail("at T signal: an unsigned 32-bit level");
        event.msgId = SIGNAL_QUALITY_MSGID;
        event.data.resize(4);
        StoreHost32(event.data.data(), level);
    } else if (what == "confirm") {
        uint32_t sequence = 0;
        uint32_t result = 0;
        if (!Count(5, 5, "at T confirm SEQUENCE RESULT")) return false;
        if (!ParseU32(Word(3), &sequence) || !ParseU32(Word(4), &result))
            return Fail("at T confirm: two unsigned 32-bit numbers");
        event.msgId = SMS_SEND_CNF_MSGID;
        event.data.assign(12, 0);
        StoreHost32(event.data.data(), sequence);
        StoreHost32(event.data.data() + 8, result);
    } else if (what == "msg") {
        if (!AtMessage(&event, 3)) return false;
    } else if (what == "close" || what == "garbage" || what == "exit") {
        if (!Count(3, 3, "at T close|garbage|exit")) return false;
        event.kind = what == "close"     ? TimedEvent::Kind::kClose
                     : what == "garbage" ? TimedEvent::Kind::kGarbage
                                         : TimedEvent::Kind::kExit;
    } else {
        return Fail("at: unknown event '" + what + "'");
    }
    scenario_->events.push_back(std::move(event));
    return true;
}

// msg ID [len N] null | msg ID hex [BYTES...] | msg ID text TEXT
bool LineParser::AtMessage(TimedEvent* event, size_t next) {
    const char* usage = "at T msg ID ([len N] null | hex [BYTES] | text TEXT)";
    if (words_->size() < next + 2) return Fail(std::string("usage: ") + usage);
    if (!ParseU16(Word(next), &event->msgId)) return Fail("at T msg: a 16-bit message identifier");
    event->raw = true;
    ++next;
    if (Word(next) == "len") {
        // A length with data would let the client's caller read past the data block, which the
        // real library never does; only the null form may announce a length.
        if (words_->size() != next + 3 || Word(next + 2) != "null")
            return Fail("at T msg: 'len N' goes only with null data");
        if (!ParseU16(Word(next + 1), &event->nullLength))
            return Fail("at T msg: the length is a 16-bit number");
        event->dataNull = true;
        return true;
    }
    if (Word(next) == "null") {
        if (words_->size() != next + 1) return Fail(std::string("usage: ") + usage);
        event->dataNull = true;
        return true;
    }
    if (Word(next) == "hex") {
        if (!ParseHexBytes(*words_, next + 1, &event->data))
            return Fail("at T msg hex: bytes as pairs of hex digits");
    } else if (Word(next) == "text") {
        std::string text;
        if (!Text(next + 1, kMaxEventData, "at T msg ID text TEXT", &text)) return false;
        event->data.assign(text.begin(), text.end());
    } else {
        return Fail(std::string("usage: ") + usage);
    }
    if (event->data.size() > kMaxEventData)
        return Fail("at T msg: at most " + std::to_string(kMaxEventData) + " data bytes");
    return true;
}

}  // namespace

Scenario::Scenario() {
    StoreText(apVersion, 0, "ULVSIM_AP_1.0");
    StoreText(bpVersion, 0, "ULVSIM_BP_1.0");
    StoreText(bpVersion, kFlexVersionOffset, "ULVSIM_FLEX_1.0");
    StoreText(serial, 0, "SIM0000001");
    StoreText(serviceCentre, 0, "+4412345");
    StoreText(emailGateway, 0, "6245");
}

const CallInfo* FindCall(std::string_view name) {
    std::string_view bare = name;
    for (std::string_view prefix : {"TAPI_NETWORK_", "TAPI_ACCE_", "TAPI_SMS_", "TAPI_ULV_"}) {
        if (bare.substr(0, prefix.size()) == prefix) bare.remove_prefix(prefix.size());
    }
    if (bare == "GetSignalQuality") bare = "GetSiginalQuality";  // the library's spelling
    for (const CallInfo& call : kCalls) {
        if (bare == call.name || name == call.shortName) return &call;
    }
    return nullptr;
}

const CallInfo* FindCall(uint16_t code) {
    for (const CallInfo& call : kCalls) {
        if (call.code == code) return &call;
    }
    return nullptr;
}

bool ParseScenario(std::string_view text, Scenario* scenario, ScenarioError* error) {
    *scenario = Scenario();
    std::map<std::string, int> seen;
    LineParser parser(scenario, &seen);
    int lineNumber = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        std::vector<Token> words;
        std::string message;
        if (!Tokenize(line, &words, &message) ||
            (!words.empty() && !parser.Parse(lineNumber, words, &message))) {
            *error = ScenarioError{lineNumber, message};
            return false;
        }
    }
    std::stable_sort(scenario->events.begin(), scenario->events.end(),
                     [](const TimedEvent& a, const TimedEvent& b) { return a.at < b.at; });
    return true;
}

bool LoadScenarioFile(const std::string& path, Scenario* scenario, ScenarioError* error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = ScenarioError{0, "cannot open " + path + ": " + std::strerror(errno)};
        return false;
    }
    std::ostringstream content;
    content << file.rdbuf();
    if (file.bad()) {
        *error = ScenarioError{0, "cannot read " + path};
        return false;
    }
    return ParseScenario(content.str(), scenario, error);
}

}  // namespace handset
