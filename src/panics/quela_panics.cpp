// The QUELA panic blocks.
#include "panics/panics.h"
#include "state/daemon_state.h"
#include "state/trace.h"

// PLACEHOLDER: the QUELA panic block reader is not written yet; no QUELA panic is found, so
// the QUELA list stays empty and the crash reports go on to the kernel panic.
void ULVReadQuelaPanics() {}

void ULVDeleteQuelaPanics() {
    DaemonState& state = ulvState;
    if (state.quelaPanicList != nullptr)
        ULV_TRACE("Deleting %d QUELA panics\n", state.quelaNewCount);
    ULVFreePanicList(state.quelaPanicList, state.quelaSortIndex);
    state.quelaSentCount = 0;
    state.quelaNewCount = 0;
}
