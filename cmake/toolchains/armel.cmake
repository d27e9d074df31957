# The handset: ARMv5TE (XScale class), ARM state, soft-float. Tests run under qemu-user on
# an ARM926 model.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
set(CMAKE_CXX_FLAGS_INIT "-march=armv5te -marm -mfloat-abi=soft")
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# No binfmt on the build machine: every program of the target goes through the emulator.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-cpu;arm926;-L;/usr/arm-linux-gnueabi)
