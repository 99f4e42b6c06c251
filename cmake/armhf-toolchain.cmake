# Cross build for 32-bit ARM (Debian armhf: ARMv7, VFPv3-D16, hard float) with
# Debian's arm-linux-gnueabihf cross compilers. The target's libraries live in the
# multiarch directories of this machine's own root (libgtest-dev:armhf,
# android-libutils-dev:armhf, ...), so the root is / and CMake searches
# /usr/lib/arm-linux-gnueabihf. Test programs run under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Tools run on this machine; libraries, headers and packages come from the ARM
# multiarch directories under /.
set(CMAKE_FIND_ROOT_PATH /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest and gtest_discover_tests run every test program through this. The ARM
# loader and C library must be one build: with libc6:armhf installed (the armhf
# libraries above depend on it), the C library is found in /lib/arm-linux-gnueabihf
# whatever the prefix, so its own loader at / goes with it; a prefix of
# /usr/arm-linux-gnueabihf would pair the cross package's older loader with it,
# and then every forked child dies of SIGSEGV before it runs a line.
if(EXISTS /lib/ld-linux-armhf.so.3)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;/)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;/usr/arm-linux-gnueabihf)
endif()

# android-libutils pulls in Debian's armhf libbacktrace, which needs the armhf 7z.so
# of p7zip-full; that package is Multi-Arch: foreign, so this machine only has its
# amd64 one, where libbacktrace's runpath points. scripts/test-armhf unpacks the
# armhf library into ARMHF_P7ZIP_DIR: the linker resolves through it, and the ARM
# loader finds it first through LD_LIBRARY_PATH, set in the emulated process only.
# (The compiler checks in try_compile projects link nothing of Android's.)
get_property(in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
set(ARMHF_P7ZIP_DIR "${CMAKE_BINARY_DIR}/p7zip" CACHE PATH "Directory holding the armhf 7z.so")
if(in_try_compile)
elseif(EXISTS "${ARMHF_P7ZIP_DIR}/7z.so")
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${ARMHF_P7ZIP_DIR}")
  list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -E LD_LIBRARY_PATH=${ARMHF_P7ZIP_DIR})
else()
  message(WARNING "No armhf 7z.so in ${ARMHF_P7ZIP_DIR}: programs that link android-libutils "
                  "will neither link nor load (scripts/test-armhf provides it)")
endif()
