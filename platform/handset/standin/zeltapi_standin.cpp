// Declaration-only stand-in for the phone's telephony client library, so that the handset
// build links on a development machine. Every call fails; a platform integrator links the
// real libzeltapi-xscale-r.so instead.
#include "platform/tapi.h"

extern "C" {
int TAPI_CLIENT_Init(const uint16_t*, int) { return -1; }
int TAPI_CLIENT_ReadAndMallocMsg(int, TapiMessage*) { return -1; }
int TAPI_CLIENT_Fini(void) { return 0; }
int TAPI_NETWORK_GetCurrentNetworkId(char*, char*) { return -1; }
int TAPI_ACCE_GetServiceAvailability(uint8_t*) { return -1; }
int TAPI_ACCE_GetSiginalQuality(uint8_t*) { return -1; }
int TAPI_ACCE_GetApVersionInfo(uint8_t*) { return -1; }
int TAPI_ACCE_GetBpVersionInfo(uint8_t*) { return -1; }
int TAPI_ACCE_GetFactorySerialNo(uint8_t*) { return -1; }
int TAPI_SMS_GetServiceCenter(char*) { return -1; }
int TAPI_SMS_GetEmailGateway(char*) { return -1; }
int TAPI_SMS_ExpirePeriodToUINT8(const uint32_t*, uint8_t*) { return -1; }
int TAPI_SMS_SendSmUnblockMode(uint8_t*, uint32_t*) { return -1; }
int TAPI_ULV_GetCallTime(uint32_t*) { return -1; }
int TAPI_ULV_GetGenericData(uint8_t*) { return -1; }
}
