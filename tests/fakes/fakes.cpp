#include "fakes.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "platform/aplog.h"
#include "platform/clock.h"

namespace fake {

Aplog aplog;
Tapi tapi;
Rtc rtc;
Clock clock;

namespace {

struct Counter {
    int made = 0, result = 0, failures = 0;  // failures < 0: every call
};
std::array<Counter, static_cast<size_t>(Call::Count)> counters;

// Counts the call; the result to answer when it is to fail.
std::optional<int> Injected(Call call) {
    Counter& counter = counters[static_cast<size_t>(call)];
    ++counter.made;
    if (counter.failures == 0) return std::nullopt;
    if (counter.failures > 0) --counter.failures;
    errno = ENODEV;
    return counter.result;
}

// Closes the pair, and opens a new one when `open`: the read end is the descriptor.
int Reopen(int& readFd, int& writeFd, bool open) {
    if (readFd >= 0) close(readFd);
    if (writeFd >= 0) close(writeFd);
    int fds[2] = {-1, -1};
    if (open && pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) std::abort();
    readFd = fds[0];
    writeFd = fds[1];
    return readFd;
}

bool Consume(int fd) {
    char byte = 0;
    return read(fd, &byte, 1) == 1;
}

// Zero-filled past the text, cut at `size` bytes (with its NUL for a C string).
void CopyText(const std::string& text, void* out, size_t size) {
    std::strncpy(static_cast<char*>(out), text.c_str(), size);
}
void CopyString(const std::string& text, char* out, size_t size) {
    CopyText(text, out, size - 1);
    out[size - 1] = '\0';
}

// Records it; a text or the exit is mirrored too (nowhere when no path is set: "" opens nothing).
int Log(AplogRecord record, const char* mirrored = nullptr) {
    aplog.records.push_back(std::move(record));
    int fd = open(aplog.mirrorPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0 && mirrored != nullptr) (void)!write(fd, mirrored, std::strlen(mirrored));
    if (fd >= 0) close(fd);
    return 0;
}

// The injected failure's result, else 0 after `fill` answered the call.
template <typename Fill>
int Answer(Call call, Fill fill) {
    if (std::optional<int> result = Injected(call)) return *result;
    fill();
    return 0;
}
template <size_t N>
int Answer(Call call, const std::array<uint8_t, N>& from, uint8_t* to) {
    return Answer(call, [&] { std::copy(from.begin(), from.end(), to); });
}
int Answer(Call call, const std::string& from, char* to, size_t size = TAPI_SMS_ADDRESS_SIZE) {
    return Answer(call, [&] { CopyString(from, to, size); });
}

}  // namespace

void Fail(Call call, int result, int times) {
    counters[static_cast<size_t>(call)] = {Made(call), result, times};
}

int Made(Call call) {
    return counters[static_cast<size_t>(call)].made;
}

std::vector<std::string> Aplog::Texts() const {
    std::vector<std::string> texts;
    for (const AplogRecord& record : records)
        if (record.kind == 'A') texts.push_back(record.text);
    return texts;
}

std::vector<AplogRecord> Aplog::Binary(uint32_t id) const {
    std::vector<AplogRecord> found;
    for (const AplogRecord& record : records)
        if (record.kind == 'B' && record.id == id) found.push_back(record);
    return found;
}

void Tapi::SetApVersion(const std::string& label) {
    CopyText(label, ap.data(), ap.size());
}

void Tapi::SetBpVersion(const std::string& version, const std::string& flexVersion) {
    bp.fill(0);
    CopyText(version, bp.data(), 48);
    CopyText(flexVersion, bp.data() + 48, 20);
}

void Tapi::Push(uint16_t msgId, std::vector<uint8_t> data) {
    messages.push_back({msgId, std::move(data)});
    (void)!write(eventWriteFd, "", 1);
}

void Tapi::PushU32(uint16_t msgId, uint32_t value) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
    Push(msgId, {bytes, bytes + 4});
}

void Rtc::Fire() {
    (void)!write(writeFd, "", 1);
}

void Reset() {
    Reopen(tapi.eventFd, tapi.eventWriteFd, false);
    Reopen(rtc.readFd, rtc.writeFd, false);
    aplog = Aplog{};
    tapi = Tapi{};
    rtc = Rtc{};
    clock = Clock{};
    counters.fill({});
    tapi.SetApVersion("AP_R1");
    tapi.SetBpVersion("BP.12.34", "FLEX_7");
    CopyText("SN01234567", tapi.serial.data(), tapi.serial.size());
}

}  // namespace fake

using fake::Answer;
using fake::Call;
using fake::Injected;
using fake::rtc;
using fake::tapi;

extern "C" {

int _aplog_init(const char* portName, int flags) {
    return fake::Log({'I', flags, 0, portName, {}});
}

int _aplog_port_log_ascii(int, int level, const char* format, ...) {
    char text[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return fake::Log({'A', level, 0, text, {}}, text);
}

int _aplog_port_log_bin(int, int level, uint32_t recordId, const void* bytes, uint32_t count) {
    const auto* data = static_cast<const uint8_t*>(bytes);
    return fake::Log({'B', level, recordId, {}, std::vector<uint8_t>(data, data + count)});
}

int _aplog_exit(int flags) {
    return fake::Log({'X', flags, 0, {}, {}}, "<_aplog_exit>");
}

int TAPI_CLIENT_Init(const uint16_t* ids, int count) {
    if (std::optional<int> result = Injected(Call::Init)) return *result;
    tapi.subscribed.assign(ids, ids + count);
    fake::Reopen(tapi.eventFd, tapi.eventWriteFd, true);
    for (size_t i = 0; i < tapi.messages.size(); ++i) (void)!write(tapi.eventWriteFd, "", 1);
    return tapi.eventFd;
}

int TAPI_CLIENT_ReadAndMallocMsg(int fd, TapiMessage* message) {
    if (std::optional<int> result = Injected(Call::ReadMessage)) return *result;
    if (fd != tapi.eventFd || !fake::Consume(fd) || tapi.messages.empty()) return -1;
    const fake::TapiMessageSpec next = std::move(tapi.messages.front());
    tapi.messages.pop_front();
    message->msgId = next.msgId;
    message->length = static_cast<uint16_t>(next.data.size());
    message->data = std::malloc(next.data.size() + 1);
    std::copy(next.data.begin(), next.data.end(), static_cast<uint8_t*>(message->data));
    return 0;
}

int TAPI_CLIENT_Fini(void) {
    return Injected(Call::Fini).value_or(0);
}

int TAPI_NETWORK_GetCurrentNetworkId(char* countryCode, char* networkCode) {
    return Answer(Call::NetworkId, [&] {
        fake::CopyString(tapi.countryCode, countryCode, TAPI_NETWORK_CODE_SIZE);
        fake::CopyString(tapi.networkCode, networkCode, TAPI_NETWORK_CODE_SIZE);
    });
}

int TAPI_ACCE_GetServiceAvailability(uint8_t* available) {
    return Answer(Call::ServiceAvailability, [&] { *available = tapi.service; });
}

int TAPI_ACCE_GetSiginalQuality(uint8_t* quality) {
    return Answer(Call::SignalQuality, [&] { quality[0] = tapi.signal; });
}

int TAPI_ACCE_GetApVersionInfo(uint8_t* info) {
    return Answer(Call::ApVersion, tapi.ap, info);
}

int TAPI_ACCE_GetBpVersionInfo(uint8_t* info) {
    return Answer(Call::BpVersion, tapi.bp, info);
}

int TAPI_ACCE_GetFactorySerialNo(uint8_t* serial) {
    return Answer(Call::SerialNo, tapi.serial, serial);
}

int TAPI_SMS_GetServiceCenter(char* address) {
    return Answer(Call::ServiceCentre, tapi.serviceCentre, address);
}

int TAPI_SMS_GetEmailGateway(char* address) {
    return Answer(Call::EmailGateway, tapi.gateway, address);
}

int TAPI_SMS_ExpirePeriodToUINT8(const uint32_t* period, uint8_t* validity) {
    tapi.expirePeriodSeen = *period;
    return Answer(Call::ExpirePeriod, [&] { *validity = tapi.validity; });
}

int TAPI_SMS_SendSmUnblockMode(uint8_t* submitRecord, uint32_t* sequence) {
    tapi.submissions.emplace_back(submitRecord, submitRecord + TAPI_SMS_SUBMIT_RECORD_SIZE);
    return Answer(Call::SendSms, [&] { *sequence = tapi.nextSequence++; });
}

int TAPI_ULV_GetCallTime(uint32_t* callTime) {
    return Answer(Call::CallTime, [&] { *callTime = tapi.callTime; });
}

int TAPI_ULV_GetGenericData(uint8_t* data) {
    return Answer(Call::GenericData, tapi.generic, data);
}

}  // extern "C"

int RtcSwOpen(const char*) {
    if (std::optional<int> result = Injected(Call::TimerOpen)) return *result;
    return fake::Reopen(rtc.readFd, rtc.writeFd, true);
}

int RtcSwRequest(int, unsigned long request, RtcSwTimer* record) {
    rtc.requests.push_back({request, record != nullptr ? *record : RtcSwTimer{}});
    const Call call = request == RTC_SW_START    ? Call::TimerStart
                      : request == RTC_SW_DELETE ? Call::TimerDelete
                      : request == RTC_SW_ACK    ? Call::TimerAck
                                                 : Call::TimerRelease;
    // Like the device, an acknowledgement takes one expiry, a start or a delete every one the
    // old timer still owed.
    return Answer(call, [&] {
        while (request != RTC_SW_RELEASE && fake::Consume(rtc.readFd) && request != RTC_SW_ACK) {
        }
    });
}

int RtcSwClose(int) {
    return Injected(Call::TimerClose).value_or(0);
}

int PlatformUptime(long* seconds) {
    if (fake::clock.onUptime != nullptr) fake::clock.onUptime();
    return Answer(Call::Uptime, [&] { *seconds = fake::clock.uptime; });
}

int PlatformSleep(unsigned seconds, const sigset_t*) {
    return Answer(Call::Sleep, [&] { fake::clock.uptime += seconds; });
}
