// Telephony client library of the handset (libzeltapi-xscale-r.so), as the daemon uses it.
// Every call returns 0 on success, except TAPI_CLIENT_Init, which returns the connection
// descriptor (0 or -1 on failure).
#pragma once

#include <cstddef>
#include <cstdint>

// One telephony message, filled by TAPI_CLIENT_ReadAndMallocMsg. `data` is heap memory that
// the caller releases with free(); it may be null.
struct TapiMessage {
    uint16_t msgId;
    uint16_t length;
    void* data;
};

// Message identifiers the daemon subscribes to, in subscription order.
inline constexpr uint16_t SERVICE_AVAILABILITY_MSGID = 0x0702;
inline constexpr uint16_t REGISTERED_MSGID = 0x070A;
inline constexpr uint16_t SIGNAL_QUALITY_MSGID = 0x0701;
inline constexpr uint16_t SMS_SEND_CNF_MSGID = 0x030D;

// Caller buffer sizes of the queries.
inline constexpr size_t TAPI_AP_VERSION_INFO_SIZE = 48;
inline constexpr size_t TAPI_BP_VERSION_INFO_SIZE = 192;
inline constexpr size_t TAPI_FACTORY_SERIAL_SIZE = 16;
inline constexpr size_t TAPI_SMS_ADDRESS_SIZE = 42;    // service centre, e-mail gateway
inline constexpr size_t TAPI_SIGNAL_QUALITY_SIZE = 2;
inline constexpr size_t TAPI_GENERIC_DATA_SIZE = 24;
// Country code and network code buffers: each holds at most 7 characters and a NUL, so that
// "cc-nc" always fits the 16-byte network id buffer of the caller.
inline constexpr size_t TAPI_NETWORK_CODE_SIZE = 8;
// The SMS submission record handed to TAPI_SMS_SendSmUnblockMode.
inline constexpr size_t TAPI_SMS_SUBMIT_RECORD_SIZE = 6500;

extern "C" {
int TAPI_CLIENT_Init(const uint16_t* msgIds, int count);
int TAPI_CLIENT_ReadAndMallocMsg(int fd, TapiMessage* message);
int TAPI_CLIENT_Fini(void);

int TAPI_NETWORK_GetCurrentNetworkId(char* countryCode, char* networkCode);
int TAPI_ACCE_GetServiceAvailability(uint8_t* available);
int TAPI_ACCE_GetSiginalQuality(uint8_t* quality);
int TAPI_ACCE_GetApVersionInfo(uint8_t* info);
int TAPI_ACCE_GetBpVersionInfo(uint8_t* info);
int TAPI_ACCE_GetFactorySerialNo(uint8_t* serial);

int TAPI_SMS_GetServiceCenter(char* address);
int TAPI_SMS_GetEmailGateway(char* address);
int TAPI_SMS_ExpirePeriodToUINT8(const uint32_t* period, uint8_t* validity);
int TAPI_SMS_SendSmUnblockMode(uint8_t* submitRecord, uint32_t* sequence);

int TAPI_ULV_GetCallTime(uint32_t* callTime);
int TAPI_ULV_GetGenericData(uint8_t* data);
}
