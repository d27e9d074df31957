// The last kernel panic, kept in the kernel panic partition.
#include <cstdlib>

#include "panics/panics.h"
#include "state/daemon_state.h"

// PLACEHOLDER: the kernel panic partition is not read yet; it counts as holding no new
// panic, which is what the reader decides when the partition cannot be read.
void ULVReadKernelPanic() { ulvState.kernelPanicDone = 1; }

void ULVReleaseKernelPanic() {
    if (ulvState.kernelPanic == nullptr) return;
    std::free(ulvState.kernelPanic);
    ulvState.kernelPanic = nullptr;
}
