// The SMS service centre and, for e-mail destinations, the e-mail gateway.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/tapi.h"
#include "reports/outgoing_sms.h"
#include "scheduling/scheduling.h"
#include "state/daemon_state.h"
#include "state/flex_config.h"
#include "state/placed_file.h"
#include "state/trace.h"

namespace {

constexpr char kGatewayKey[] = "EMAIL_GATEWAY = ";  // 16 characters, blanks included
constexpr size_t kGatewayKeyLength = sizeof kGatewayKey - 1;

int NotAvailable() {
    ULVStartTimer(ULV_TIMER_GATEWAY_ID, GATEWAY_RETRY_SECONDS);
    return GATEWAY_NOT_AVAILABLE;
}

// The gateway from the phone's SMS setup file: the first word after "EMAIL_GATEWAY = " on the
// first line that starts with it, lines read as a 256-byte line reader reads them.
bool TakeGatewayLine(const char* line, size_t, void*) {
    if (line[0] == '\n' || line[0] == '\0' || line[0] == '#' || line[0] == '[') return true;
    if (std::strncmp(line, kGatewayKey, kGatewayKeyLength) != 0) return true;
    std::sscanf(line + kGatewayKeyLength, "%20s", ulvState.emailGatewayAddress);
    return false;
}

}  // namespace

int ULVCheckGateway() {
    DaemonState& state = ulvState;
    if (TAPI_SMS_GetServiceCenter(state.serviceCentreAddress) != 0) {
        ULV_LOG("FAIL: GetServiceCenter");
        ULV_TRACE("FAIL: GetServiceCenter\n");
        return NotAvailable();
    }
    if (state.serviceCentreAddress[0] == '\0') {
        ULV_LOG("INV: SCAddress emtpy");
        ULV_TRACE("INV: SCAddress emtpy\n");
        return NotAvailable();
    }
    if (state.outgoingSms.addressType == SMS_ADDRESS_TYPE_EMAIL && ULVGetEmailGateway() != 0) {
        ULV_LOG("FAIL: GetEmailGateway");
        ULV_TRACE("FAIL: GetEmailGateway\n");
        return NotAvailable();
    }
    return GATEWAY_AVAILABLE;
}

int ULVGetEmailGateway() {
    DaemonState& state = ulvState;
    int result = TAPI_SMS_GetEmailGateway(state.emailGatewayAddress);
    state.emailGatewayAddress[sizeof state.emailGatewayAddress - 1] = '\0';
    ULV_TRACE("Email Gateway from TAPI is %s\n\n", state.emailGatewayAddress);
    if (result == 0 && state.emailGatewayAddress[0] != '\0') return 0;

    ULV_LOG("TAPI_SMS_GetEmailGateway failure - %d\n\r", result);
    std::memset(state.emailGatewayAddress, 0, sizeof state.emailGatewayAddress);
    char path[APP_PATH_SIZE];
    PathResult pathResult = ConfigPath(SMS_SETUP_RELATIVE_PATH, path);
    if (pathResult == PathResult::NoBase) return -1;
    if (pathResult == PathResult::Truncated) {
        ULV_TRACE("The file name is trucated - %s\n", path);
        return -1;
    }
    // Written by other software of the phone: a link or a FIFO there is unreadable, never
    // followed or waited on.
    const int fd = ULVOpenPlaced(path, PlacedKind::Regular);
    if (fd < 0) {
        ULV_TRACE("Can't open the flex file\n");
        return -1;
    }
    ULVReadLinePieces(fd, TakeGatewayLine, nullptr);
    close(fd);
    ULV_TRACE("Email Gateway from SMS setup is %s\n\n", state.emailGatewayAddress);
    return state.emailGatewayAddress[0] != '\0' ? 0 : -1;
}
