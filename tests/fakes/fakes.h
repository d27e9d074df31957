// In-process stand-ins for the handset services, for unit tests of the daemon's code: each
// records what the daemon asked and answers what the test programmed.
#pragma once

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
    // When >= 0, every text record is also written here as it is made, and `_aplog_exit` as
    // "<_aplog_exit>": the only way to see what a child process logged before it ended (death
    // tests). The test owns the descriptor.
    int mirrorFd = -1;
    // Text records, in order.
    std::vector<std::string> Texts() const;
    int Count(const std::string& text) const;
    bool Has(const std::string& text) const { return Count(text) > 0; }
    // Binary records with this identifier, in order.
    std::vector<AplogRecord> Binary(uint32_t id) const;
};

struct TapiMessageSpec {
    uint16_t msgId;
    bool nullData;
    std::vector<uint8_t> data;
    uint16_t length;  // as reported; normally data.size()
};

struct Tapi {
    std::deque<int> initResults;  // consumed one per call; then initDefault
    int initDefault = 1;  // > 0: connected
    int initCalls = 0;
    uint16_t subscription[8] = {};
    int subscriptionCount = 0;
    int finiCalls = 0;

    int networkResult = 0;
    std::string countryCode = "310";
    std::string networkCode = "410";
    int serviceResult = 0;
    uint8_t service = 1;
    int signalResult = 0;
    uint8_t signal = 20;
    int apResult = 0;
    std::array<uint8_t, TAPI_AP_VERSION_INFO_SIZE> ap{};
    int bpResult = 0;
    std::array<uint8_t, TAPI_BP_VERSION_INFO_SIZE> bp{};
    int serialResult = 0;
    std::array<uint8_t, TAPI_FACTORY_SERIAL_SIZE> serial{};
    int serviceCentreResult = 0;
    std::string serviceCentre = "+4412345";
    int serviceCentreCalls = 0;
    int gatewayResult = 0;
    std::string gateway;
    int gatewayCalls = 0;
    uint8_t validity = 0xA7;
    uint32_t expirePeriodSeen = 0;
    std::deque<int> submitResults;  // consumed one per submission; then submitDefault
    int submitDefault = 0;
    uint32_t nextSequence = 1;
    std::vector<std::vector<uint8_t>> submissions;  // every submission record, whole
    int callTimeResult = 0;
    uint32_t callTime = 0;
    int genericResult = 0;
    std::array<uint8_t, TAPI_GENERIC_DATA_SIZE> generic{};

    // Telephony messages: the descriptor returned by a successful init is readable exactly
    // while messages wait.
    int readFails = 0;  // the next reads fail (the message cannot be read)
    std::deque<TapiMessageSpec> messages;
    int eventFd = -1;  // read end, handed to the daemon
    int eventWriteFd = -1;
    int releasedData = 0;  // data blocks handed out (the daemon frees them)

    void SetApVersion(const std::string& label);
    void SetBpVersion(const std::string& version, const std::string& flexVersion);
    void SetSerial(const std::string& serialNumber);
    void Push(uint16_t msgId, std::vector<uint8_t> data);
    void PushNull(uint16_t msgId, uint16_t length);
    void PushU32(uint16_t msgId, uint32_t value);                    // host order
    void PushConfirmation(uint32_t sequence, uint32_t result);       // 12 bytes, host order
};

struct RtcRequest {
    unsigned long request;
    RtcSwTimer record;
    bool hasRecord;
};

struct Rtc {
    std::vector<RtcRequest> requests;
    int startResult = 0;
    int deleteResult = 0;
    int ackResult = 0;
    bool openFails = false;
    int readFd = -1;  // the device descriptor
    int writeFd = -1;
    void Fire();      // one expiry: the descriptor becomes readable
    int Pending() const;
};

struct Clock {
    long uptime = 1000;
    int uptimeResult = 0;
    std::vector<unsigned> sleeps;
};

extern Aplog aplog;
extern Tapi tapi;
extern Rtc rtc;
extern Clock clock;

// Back to the defaults above; closes descriptors of the previous test.
void Reset();

}  // namespace fake
