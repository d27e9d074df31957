// Telephony messages as the daemon's loop meets them: a run of messages waiting on the
// telephony connection, each served by ULVHandleTapiMessage, the daemon in the state the input
// opens with.
//
// Input: stage(1: bit 0 start-up decision pending, bits 1-2 the gateway state, bit 3 in
// service, bit 4 valid network, bit 5 signal) then messages, each
//   kind(1: kind % 5 picks send confirmation, service, registered, signal, or any id in the
//   next u16) length(1) data(length)
#include <vector>

#include "daemon/daemon.h"
#include "fakes.h"
#include "fuzz_support.h"
#include "platform/paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr uint16_t kIds[] = {SMS_SEND_CNF_MSGID, SERVICE_AVAILABILITY_MSGID, REGISTERED_MSGID,
                                 SIGNAL_QUALITY_MSGID};
    constexpr int32_t kGatewayStates[] = {GATEWAY_STATE_INITIAL, GATEWAY_STATE_CHECK_FAILED,
                                          GATEWAY_STATE_CONFIRMED, GATEWAY_STATE_GIVE_UP};
    const ulvfuzz::InputScope scope = ulvfuzz::BeginInput();
    ulvfuzz::Input input(data, size);
    const uint8_t stage = input.U8();
    DaemonState& state = ulvState;
    state.startupStage = (stage & 1) != 0 ? 1 : 2;
    gatewayState = kGatewayStates[stage >> 1 & 3];
    state.inService = stage >> 3 & 1;
    state.validPlmn = stage >> 4 & 1;
    state.sqState = stage >> 5 & 1;
    while (input.Left() > 0) {
        const uint8_t kind = input.U8();
        const uint16_t id = kind % 5 < 4 ? kIds[kind % 5] : input.U16();
        const std::string_view bytes = input.Bytes(input.U8());
        fake::tapi.messages.push_back({id, std::vector<uint8_t>(bytes.begin(), bytes.end())});
    }
    PlatformPathBuffer buffer;
    state.timerFd = RtcSwOpen(PlatformResolvePath(TIMER_DEVICE_PATH, buffer));
    state.tapiFd = TAPI_CLIENT_Init(nullptr, 0);
    FUZZ_CHECK(state.tapiFd >= 0);

    // Every waiting message is read and served, none is lost or read twice.
    for (size_t left = fake::tapi.messages.size(); left > 0; --left) {
        FUZZ_CHECK(ULVHandleTapiMessage(state.tapiFd) == 0);
        FUZZ_CHECK(state.inService <= 1 && state.validPlmn <= 1 && state.sqState <= 1);
        FUZZ_CHECK(state.bpSentCount <= state.bpLoadedCount);
        FUZZ_CHECK(state.quelaSentCount <= state.quelaLoadedCount);
        FUZZ_CHECK((state.bpPanicList == nullptr) == (state.bpLoadedCount == 0));
        FUZZ_CHECK((state.quelaPanicList == nullptr) == (state.quelaLoadedCount == 0));
    }
    FUZZ_CHECK(fake::tapi.messages.empty());
    FUZZ_CHECK(ULVHandleTapiMessage(state.tapiFd) == -1);
    return 0;
}
