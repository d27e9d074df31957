// ulv-kpanic-scan: runs the daemon's kernel panic partition reader once on the partition of the
// sim sandbox ($ULV_SIM_ROOT/dev/mtdblock/kpanic) and prints what it found. For the benchmark
// script, which times it on a large partition of binary data.
#include <cinttypes>
#include <cstdio>

#include "panics/panics.h"

int main() {
    uint32_t time = 0;
    uint8_t pc[4] = {};
    uint8_t forced = 0;
    const int result = ULVParseKernelPanicLog(&time, pc, &forced);
    std::printf("result %d time %" PRIu32 " pc %02x%02x%02x%02x forced %u\n", result, time, pc[0],
                pc[1], pc[2], pc[3], forced);
    return result == 0 ? 0 : 1;
}
