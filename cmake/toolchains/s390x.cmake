# 64-bit big-endian, for the byte order of every report; tests run under qemu-s390x.
set(ULV_CROSS_TRIPLE s390x-linux-gnu)
set(ULV_CROSS_PROCESSOR s390x)
set(ULV_CROSS_FLAGS "")
set(ULV_CROSS_EMULATOR qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
