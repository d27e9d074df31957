# 32-bit big-endian PowerPC; tests run under qemu-ppc.
set(ULV_CROSS_TRIPLE powerpc-linux-gnu)
set(ULV_CROSS_PROCESSOR ppc)
set(ULV_CROSS_FLAGS "")
set(ULV_CROSS_EMULATOR qemu-ppc)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
