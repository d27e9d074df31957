// Telephony messages and the radio-state flags that gate sending.
#include <cstdlib>
#include <cstring>

#include "daemon/daemon.h"
#include "platform/tapi.h"
#include "reports/reports.h"
#include "scheduling/scheduling.h"
#include "state/daemon_state.h"
#include "state/trace.h"

namespace {

// Data is taken only when present and within its identifier's limit. Below the limit, a
// message must still hold what is read from it: a service message needs its one byte and a
// signal message its whole 32-bit level (a shorter block carries no level in any byte order),
// so such messages are dropped like over-long ones.
bool Accepted(const TapiMessage& message, uint16_t minimum, uint16_t maximum) {
    return message.data != nullptr && message.length >= minimum && message.length <= maximum;
}

void OnServiceAvailability(uint8_t value) {
    if (value != 1) {
        ULVSetInService(0);
        return;
    }
    ULVSetInService(1);
    if (ULVStartupPending() != 1) {
        ULVSmsSend();
        return;
    }
    if (gatewayState == GATEWAY_STATE_CONFIRMED) {
        ULVStartupDecision();
        return;
    }
    if (ULVCheckGateway() == GATEWAY_AVAILABLE) {
        if (gatewayState == GATEWAY_STATE_CHECK_FAILED) ULVDeleteTimer();
        gatewayState = GATEWAY_STATE_CONFIRMED;
        ULVStartupDecision();
    }
}

void OnRegistered(const uint8_t* data, uint16_t length) {
    // The network id is compared as text; the client does not promise a terminator within
    // the data, so it is copied into a terminated buffer first.
    char networkId[REGISTERED_MAX + 1] = {};
    std::memcpy(networkId, data, length);
    ULV_LOG("REGISTERED_MSGID operator == %s\n\r", networkId);
    ULVSetPlmnValid(1);
    if (std::strcmp(networkId, TEST_NETWORK_ID) == 0)
        ULVSetPlmnValid(0);
    else
        ULVSmsSend();
}

void OnSignalQuality(const uint8_t* data) {
    uint32_t level = 0;
    std::memcpy(&level, data, sizeof level);  // the phone's own byte order
    ULV_LOG("SINGAL QUALITY VALUE RECEIVED == %d\n\r", level);
    if (level > 1) {
        ULVSetSignalQualityState(1);
        ULVSmsSend();
    } else {
        ULVSetSignalQualityState(0);
    }
}

}  // namespace

int ULVHandleTapiMessage(int fd) {
    TapiMessage message{};
    if (TAPI_CLIENT_ReadAndMallocMsg(fd, &message) != 0) {
        ULV_LOG("TAPI_Client_ReadAndMallocMsg Failure\n\r");
        return -1;
    }
    const uint8_t* data = static_cast<const uint8_t*>(message.data);
    switch (message.msgId) {
        case SMS_SEND_CNF_MSGID:
            ULV_TRACE("coming the cnf msgid\n\n");
            if (Accepted(message, 0, SMS_SEND_CNF_MAX)) ULVOnSendConfirmation(data, message.length);
            break;
        case SERVICE_AVAILABILITY_MSGID:
            if (Accepted(message, 1, SERVICE_AVAILABILITY_MAX)) OnServiceAvailability(data[0]);
            break;
        case REGISTERED_MSGID:
            if (Accepted(message, 0, REGISTERED_MAX)) OnRegistered(data, message.length);
            break;
        case SIGNAL_QUALITY_MSGID:
            if (Accepted(message, SIGNAL_QUALITY_MAX, SIGNAL_QUALITY_MAX)) OnSignalQuality(data);
            break;
        default:
            break;
    }
    std::free(message.data);
    return 0;
}

void ULVReadSignalQuality() {
    uint8_t quality[TAPI_SIGNAL_QUALITY_SIZE] = {};
    if (TAPI_ACCE_GetSiginalQuality(quality) != 0) {
        ULV_LOG("SINGAL QUALITY READ FAILURE\n\r");
        return;
    }
    uint8_t strength = quality[0];
    if (strength == 99) return;  // no reading
    // Percentage of the 0..31 scale in single precision, truncated; a strength above 31 is
    // no valid reading and keeps only the low 8 bits of its percentage.
    float percent = static_cast<float>(strength) / 31.0f * 100.0f;
    uint8_t percentage = static_cast<uint8_t>(static_cast<uint32_t>(percent));
    int level = (percentage + 19) / 20;
    ULVSetSignalQualityState(level > 1 ? 1 : 0);
}

void ULVSetPlmnValid(uint8_t value) {
    if (value == 1) {
        ULV_LOG("set PLMN valid\n\r");
        ulvState.validPlmn = 1;
    } else {
        ULV_LOG("set PLMN invalid\n\r");
        ulvState.validPlmn = 0;
    }
}

void ULVSetInService(uint8_t value) {
    if (value == 1) {
        ULV_LOG("set in service State\n\r");
        ulvState.inService = 1;
    } else {
        ULV_LOG("set not_in service State\n\r");
        ulvState.inService = 0;
    }
}

void ULVSetSignalQualityState(uint8_t value) {
    if (value == 1) {
        ULV_LOG("set Signal Quality State\n\r");
        ulvState.sqState = 1;
    } else {
        ULV_LOG("unset Signal Quality State\n\r");
        ulvState.sqState = 0;
    }
}

int ULVStartupPending() { return ulvState.startupStage == 1 ? 1 : 0; }
