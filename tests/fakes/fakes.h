// In-process stand-ins for the handset services, for unit tests of the daemon's code: each
// records what the daemon asked and answers what the test programmed.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/rtc_sw.h"
#include "platform/tapi.h"

namespace fake {

struct AplogRecord {
    char kind;  // 'I' init, 'A' text, 'B' binary, 'X' exit
    int level;
    uint32_t id;
    std::string text;
    std::vector<uint8_t> bytes;
};

struct Aplog {
    std::vector<AplogRecord> records;
    // When set, text records (and `_aplog_exit` as "<_aplog_exit>") are appended to this file
    // too: how a death test's or a detached daemon's parent sees what the child logged. A path,
    // not a descriptor: the daemon closes every descriptor it inherits.
    std::string mirrorPath;
    std::vector<std::string> Texts() const;  // text records, in order
    bool Has(const std::string& text) const { return std::ranges::count(Texts(), text) > 0; }
    std::vector<AplogRecord> Binary(uint32_t id) const;  // binary records with this id
};

// Every platform call the daemon makes: the telephony connection, its queries, the timer
// device "/dev/rtc_sw", the clock. Each can be made to fail on its own, and each is counted.
// clang-format off
enum class Call {
    Init, ReadMessage, Fini, NetworkId, ServiceAvailability, SignalQuality, ApVersion, BpVersion,
    SerialNo, ServiceCentre, EmailGateway, ExpirePeriod, SendSms, CallTime, GenericData, TimerOpen,
    TimerStart, TimerDelete, TimerAck, TimerRelease, TimerClose, Uptime, Sleep, Count
};
// clang-format on

// The next `times` calls (every one when negative) answer `result`, fill nothing and leave
// errno at ENODEV. A failed TAPI_CLIENT_Init or RtcSwOpen answers its result as the descriptor.
void Fail(Call call, int result, int times = -1);
int Made(Call call);  // calls made since Reset, failed ones included

struct TapiMessageSpec {
    uint16_t msgId;
    std::vector<uint8_t> data;
};

struct Tapi {
    std::string countryCode = "310", networkCode = "410";
    uint8_t service = 1, signal = 20;
    std::array<uint8_t, TAPI_AP_VERSION_INFO_SIZE> ap{};
    std::array<uint8_t, TAPI_BP_VERSION_INFO_SIZE> bp{};
    std::array<uint8_t, TAPI_FACTORY_SERIAL_SIZE> serial{};
    std::string serviceCentre = "+4412345", gateway;
    uint8_t validity = 0xA7;
    uint32_t expirePeriodSeen = 0, nextSequence = 1, callTime = 0;
    std::vector<uint16_t> subscribed;               // by the last connection
    std::vector<std::vector<uint8_t>> submissions;  // every submission record, whole
    std::array<uint8_t, TAPI_GENERIC_DATA_SIZE> generic{};
    // The descriptor a successful init returns is readable exactly while messages wait.
    std::deque<TapiMessageSpec> messages;
    int eventFd = -1, eventWriteFd = -1;

    void SetApVersion(const std::string& label);
    void SetBpVersion(const std::string& version, const std::string& flexVersion);
    void Push(uint16_t msgId, std::vector<uint8_t> data);
    void PushU32(uint16_t msgId, uint32_t value);  // host order
};

struct RtcRequest {
    unsigned long request;
    RtcSwTimer record;
};

struct Rtc {
    std::vector<RtcRequest> requests;
    int readFd = -1, writeFd = -1;  // the device descriptor, and its other end
    void Fire();                    // one expiry: the descriptor becomes readable
};

struct Clock {
    long uptime = 1000;
    void (*onUptime)() = nullptr;  // called at every uptime reading, before it is answered
};

extern Aplog aplog;
extern Tapi tapi;
extern Rtc rtc;
extern Clock clock;

void Reset();  // back to the defaults above; closes descriptors of the previous test

}  // namespace fake
