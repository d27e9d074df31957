// The BP panic logs (zellocal/panic/bp_panic.log1 and .log2); see panic_files.h.
#include "panic_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return ulvfuzz::FuzzPanicFiles(BP_PANIC_LAYOUT, ULVReadBpPanics, ULVDeleteBpPanics, data, size);
}
