#include "fakes.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/aplog.h"
#include "platform/clock.h"

namespace fake {

Aplog aplog;
Tapi tapi;
Rtc rtc;
Clock clock;

namespace {

void ClosePair(int& readFd, int& writeFd) {
    if (readFd >= 0) close(readFd);
    if (writeFd >= 0) close(writeFd);
    readFd = writeFd = -1;
}

void OpenPair(int& readFd, int& writeFd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) std::abort();
    readFd = fds[0];
    writeFd = fds[1];
}

void Signal(int fd) {
    const char one = 1;
    if (fd >= 0) (void)!write(fd, &one, 1);
}

bool Consume(int fd) {
    char byte = 0;
    return fd >= 0 && read(fd, &byte, 1) == 1;
}

void CopyText(const std::string& text, void* out, size_t size) {
    std::memset(out, 0, size);
    std::memcpy(out, text.data(), text.size() < size ? text.size() : size);
}

}  // namespace

std::vector<std::string> Aplog::Texts() const {
    std::vector<std::string> texts;
    for (const AplogRecord& record : records)
        if (record.kind == 'A') texts.push_back(record.text);
    return texts;
}

int Aplog::Count(const std::string& text) const {
    int count = 0;
    for (const AplogRecord& record : records)
        if (record.kind == 'A' && record.text == text) ++count;
    return count;
}

std::vector<AplogRecord> Aplog::Binary(uint32_t id) const {
    std::vector<AplogRecord> found;
    for (const AplogRecord& record : records)
        if (record.kind == 'B' && record.id == id) found.push_back(record);
    return found;
}

void Tapi::SetApVersion(const std::string& label) { CopyText(label, ap.data(), ap.size()); }

void Tapi::SetBpVersion(const std::string& version, const std::string& flexVersion) {
    bp.fill(0);
    CopyText(version, bp.data(), 48);
    CopyText(flexVersion, bp.data() + 48, 20);
}

void Tapi::SetSerial(const std::string& serialNumber) {
    CopyText(serialNumber, serial.data(), serial.size());
}

void Tapi::Push(uint16_t msgId, std::vector<uint8_t> data) {
    uint16_t length = static_cast<uint16_t>(data.size());
    messages.push_back({msgId, false, std::move(data), length});
    Signal(eventWriteFd);
}

void Tapi::PushNull(uint16_t msgId, uint16_t length) {
    messages.push_back({msgId, true, {}, length});
    Signal(eventWriteFd);
}

void Tapi::PushU32(uint16_t msgId, uint32_t value) {
    std::vector<uint8_t> data(4);
    std::memcpy(data.data(), &value, 4);
    Push(msgId, std::move(data));
}

void Tapi::PushConfirmation(uint32_t sequence, uint32_t result) {
    std::vector<uint8_t> data(12, 0);
    std::memcpy(data.data(), &sequence, 4);
    std::memcpy(data.data() + 8, &result, 4);
    Push(SMS_SEND_CNF_MSGID, std::move(data));
}

void Rtc::Fire() { Signal(writeFd); }

int Rtc::Pending() const {
    pollfd p{readFd, POLLIN, 0};
    return readFd >= 0 && poll(&p, 1, 0) == 1 ? 1 : 0;
}

void Reset() {
    ClosePair(tapi.eventFd, tapi.eventWriteFd);
    ClosePair(rtc.readFd, rtc.writeFd);
    aplog = Aplog{};
    tapi = Tapi{};
    rtc = Rtc{};
    clock = Clock{};
    tapi.SetApVersion("AP_R1");
    tapi.SetBpVersion("BP.12.34", "FLEX_7");
    tapi.SetSerial("SN01234567");
}

}  // namespace fake

using fake::aplog;
using fake::clock;
using fake::rtc;
using fake::tapi;

extern "C" {

int _aplog_init(const char* portName, int flags) {
    aplog.records.push_back({'I', flags, 0, portName, {}});
    return 0;
}

int _aplog_port_log_ascii(int port, int level, const char* format, ...) {
    char text[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    (void)port;
    aplog.records.push_back({'A', level, 0, text, {}});
    if (aplog.mirrorFd >= 0) (void)!write(aplog.mirrorFd, text, std::strlen(text));
    return 0;
}

int _aplog_port_log_bin(int port, int level, uint32_t recordId, const void* bytes,
                        uint32_t count) {
    (void)port;
    const auto* data = static_cast<const uint8_t*>(bytes);
    aplog.records.push_back({'B', level, recordId, {}, std::vector<uint8_t>(data, data + count)});
    return 0;
}

int _aplog_exit(int flags) {
    aplog.records.push_back({'X', flags, 0, {}, {}});
    static const char kExitMark[] = "<_aplog_exit>";
    if (aplog.mirrorFd >= 0) (void)!write(aplog.mirrorFd, kExitMark, sizeof kExitMark - 1);
    return 0;
}

int TAPI_CLIENT_Init(const uint16_t* msgIds, int count) {
    ++tapi.initCalls;
    tapi.subscriptionCount = count;
    for (int i = 0; i < count && i < 8; ++i) tapi.subscription[i] = msgIds[i];
    int result = tapi.initDefault;
    if (!tapi.initResults.empty()) {
        result = tapi.initResults.front();
        tapi.initResults.pop_front();
    }
    if (result > 0) {
        fake::ClosePair(tapi.eventFd, tapi.eventWriteFd);
        fake::OpenPair(tapi.eventFd, tapi.eventWriteFd);
        for (size_t i = 0; i < tapi.messages.size(); ++i) fake::Signal(tapi.eventWriteFd);
        return tapi.eventFd;
    }
    return result;
}

int TAPI_CLIENT_ReadAndMallocMsg(int fd, TapiMessage* message) {
    if (fd != tapi.eventFd || !fake::Consume(fd)) return -1;
    if (tapi.readFails > 0) {
        --tapi.readFails;
        return -1;
    }
    if (tapi.messages.empty()) return -1;
    fake::TapiMessageSpec spec = tapi.messages.front();
    tapi.messages.pop_front();
    message->msgId = spec.msgId;
    message->length = spec.length;
    message->data = nullptr;
    if (!spec.nullData) {
        message->data = std::malloc(spec.data.empty() ? 1 : spec.data.size());
        if (!spec.data.empty()) std::memcpy(message->data, spec.data.data(), spec.data.size());
        ++tapi.releasedData;
    }
    return 0;
}

int TAPI_CLIENT_Fini(void) {
    ++tapi.finiCalls;
    return 0;
}

int TAPI_NETWORK_GetCurrentNetworkId(char* countryCode, char* networkCode) {
    if (tapi.networkResult != 0) return tapi.networkResult;
    fake::CopyText(tapi.countryCode, countryCode, TAPI_NETWORK_CODE_SIZE - 1);
    fake::CopyText(tapi.networkCode, networkCode, TAPI_NETWORK_CODE_SIZE - 1);
    countryCode[TAPI_NETWORK_CODE_SIZE - 1] = networkCode[TAPI_NETWORK_CODE_SIZE - 1] = '\0';
    return 0;
}

int TAPI_ACCE_GetServiceAvailability(uint8_t* available) {
    if (tapi.serviceResult != 0) return tapi.serviceResult;
    *available = tapi.service;
    return 0;
}

int TAPI_ACCE_GetSiginalQuality(uint8_t* quality) {
    if (tapi.signalResult != 0) return tapi.signalResult;
    quality[0] = tapi.signal;
    return 0;
}

int TAPI_ACCE_GetApVersionInfo(uint8_t* info) {
    if (tapi.apResult != 0) return tapi.apResult;
    std::memcpy(info, tapi.ap.data(), tapi.ap.size());
    return 0;
}

int TAPI_ACCE_GetBpVersionInfo(uint8_t* info) {
    if (tapi.bpResult != 0) return tapi.bpResult;
    std::memcpy(info, tapi.bp.data(), tapi.bp.size());
    return 0;
}

int TAPI_ACCE_GetFactorySerialNo(uint8_t* serial) {
    if (tapi.serialResult != 0) return tapi.serialResult;
    std::memcpy(serial, tapi.serial.data(), tapi.serial.size());
    return 0;
}

int TAPI_SMS_GetServiceCenter(char* address) {
    ++tapi.serviceCentreCalls;
    if (tapi.serviceCentreResult != 0) return tapi.serviceCentreResult;
    fake::CopyText(tapi.serviceCentre, address, TAPI_SMS_ADDRESS_SIZE - 1);
    address[TAPI_SMS_ADDRESS_SIZE - 1] = '\0';
    return 0;
}

int TAPI_SMS_GetEmailGateway(char* address) {
    ++tapi.gatewayCalls;
    if (tapi.gatewayResult != 0) return tapi.gatewayResult;
    fake::CopyText(tapi.gateway, address, TAPI_SMS_ADDRESS_SIZE - 1);
    address[TAPI_SMS_ADDRESS_SIZE - 1] = '\0';
    return 0;
}

int TAPI_SMS_ExpirePeriodToUINT8(const uint32_t* period, uint8_t* validity) {
    tapi.expirePeriodSeen = *period;
    *validity = tapi.validity;
    return 0;
}

int TAPI_SMS_SendSmUnblockMode(uint8_t* submitRecord, uint32_t* sequence) {
    tapi.submissions.emplace_back(submitRecord, submitRecord + TAPI_SMS_SUBMIT_RECORD_SIZE);
    int result = tapi.submitDefault;
    if (!tapi.submitResults.empty()) {
        result = tapi.submitResults.front();
        tapi.submitResults.pop_front();
    }
    if (result == 0) *sequence = tapi.nextSequence++;
    return result;
}

int TAPI_ULV_GetCallTime(uint32_t* callTime) {
    if (tapi.callTimeResult != 0) return tapi.callTimeResult;
    *callTime = tapi.callTime;
    return 0;
}

int TAPI_ULV_GetGenericData(uint8_t* data) {
    if (tapi.genericResult != 0) return tapi.genericResult;
    std::memcpy(data, tapi.generic.data(), tapi.generic.size());
    return 0;
}

}  // extern "C"

int RtcSwOpen(const char*) {
    if (rtc.openFails) {
        errno = ENOENT;
        return -1;
    }
    fake::ClosePair(rtc.readFd, rtc.writeFd);
    fake::OpenPair(rtc.readFd, rtc.writeFd);
    return rtc.readFd;
}

int RtcSwRequest(int, unsigned long request, RtcSwTimer* record) {
    rtc.requests.push_back({request, record != nullptr ? *record : RtcSwTimer{}, record != nullptr});
    switch (request) {
        case RTC_SW_START: return rtc.startResult;
        case RTC_SW_DELETE: return rtc.deleteResult;
        case RTC_SW_ACK:
            fake::Consume(rtc.readFd);
            return rtc.ackResult;
        default: return 0;
    }
}

int RtcSwClose(int) { return 0; }

int PlatformUptime(long* seconds) {
    if (clock.uptimeResult != 0) {
        errno = EIO;
        return -1;
    }
    *seconds = clock.uptime;
    return 0;
}

int PlatformSleep(unsigned seconds, const sigset_t*) {
    clock.sleeps.push_back(seconds);
    clock.uptime += seconds;
    return 0;
}
