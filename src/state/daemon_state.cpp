#include "state/daemon_state.h"

DaemonState ulvState{};
int32_t gatewayState = GATEWAY_STATE_INITIAL;
uint8_t timerFirstTime = 1;
