#include "process_reset.h"

#include "daemon/daemon.h"
#include "fakes.h"
#include "panics/panics.h"
#include "state/daemon_state.h"

void ResetProcessState() {
    ULVDeleteBpPanics();
    ULVDeleteQuelaPanics();
    ULVReleaseKernelPanic();
    ulvState = DaemonState{};
    gatewayState = GATEWAY_STATE_INITIAL;
    timerFirstTime = 1;
    fake::Reset();
}
