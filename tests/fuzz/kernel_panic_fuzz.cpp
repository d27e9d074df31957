// The kernel panic partition (dev/mtdblock/kpanic), read at start-up by ULVReadKernelPanic.
//
// Input: mark(u32: the last reported kernel panic time) partition(the rest).
#include <cstring>

#include "fuzz_support.h"
#include "panics/panics.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ulvfuzz::InputScope scope = ulvfuzz::BeginInput();
    ulvfuzz::Input input(data, size);
    const uint32_t mark = input.U32();
    ulvfuzz::PlaceFile(KERNEL_PANIC_PATH + 1, input.Rest());
    DaemonState& state = ulvState;
    state.flexConfig.ulv_last_ap_kernel_timestamp = mark;

    uint32_t time = 0;
    uint8_t pc[KERNEL_PANIC_PC_SIZE] = {};
    uint8_t forced = 0;
    FUZZ_CHECK(ULVParseKernelPanicLog(&time, pc, &forced) == 0);
    FUZZ_CHECK(forced == 0 || forced == 1);

    ULVReadKernelPanic();
    const PanicRecord* record = state.kernelPanic;
    // A record exactly for a time newer than the mark, with what the parse found.
    const bool isNew = time != KERNEL_PANIC_NO_TIME && time > mark;
    FUZZ_CHECK((record != nullptr) == isNew && state.kernelPanicDone == (isNew ? 0 : 1));
    if (isNew) {
        FUZZ_CHECK(record->timestamp == time && state.kernelRestoreTimestamp == mark);
        FUZZ_CHECK(record->id == (forced != 0 ? KERNEL_PANIC_FORCED_ID : KERNEL_PANIC_ID));
        FUZZ_CHECK(std::memcmp(record->data, pc, KERNEL_PANIC_PC_SIZE) == 0);
    }
    ULVReleaseKernelPanic();
    FUZZ_CHECK(state.kernelPanic == nullptr);
    return 0;
}
