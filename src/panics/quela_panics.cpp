// The QUELA panic blocks.
#include <cstdlib>

#include "panics/panics.h"
#include "state/daemon_state.h"
#include "state/trace.h"

// PLACEHOLDER: the QUELA panic block reader is not written yet; no QUELA panic is found, so
// the QUELA list stays empty and the crash reports go on to the kernel panic.
void ULVReadQuelaPanics() {}

void ULVDeleteQuelaPanics() {
    DaemonState& state = ulvState;
    if (state.quelaPanicList != nullptr) {
        ULV_TRACE("Deleting %d QUELA panics\n", state.quelaNewCount);
        std::free(state.quelaPanicList);
        state.quelaPanicList = nullptr;
    }
    if (state.quelaSortIndex != nullptr) {
        std::free(state.quelaSortIndex);
        state.quelaSortIndex = nullptr;
    }
    state.quelaSentCount = 0;
    state.quelaNewCount = 0;
}
