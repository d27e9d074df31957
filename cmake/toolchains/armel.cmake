# The handset: ARMv5TE (XScale class), ARM state, soft-float. Tests run under qemu-user on
# an ARM926 model.
set(ULV_CROSS_TRIPLE arm-linux-gnueabi)
set(ULV_CROSS_PROCESSOR arm)
set(ULV_CROSS_FLAGS "-march=armv5te -marm -mfloat-abi=soft")
set(ULV_CROSS_EMULATOR qemu-arm;-cpu;arm926)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
