// The QUELA panic blocks (zellocal/panic/qupanic_block.a and .b); see panic_files.h.
#include "panic_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return ulvfuzz::FuzzPanicFiles(QUELA_PANIC_LAYOUT, ULVReadQuelaPanics, ULVDeleteQuelaPanics,
                                   data, size);
}
