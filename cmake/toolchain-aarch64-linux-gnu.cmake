# Cross build for the station: AArch64 Linux with glibc, from Debian's cross toolchain.
# libuv and libdeflate come from Debian's arm64 packages unpacked into a private sysroot
# (scripts/install-deps.sh with LOGCOMP_CROSS=aarch64), so nothing arm64 is installed on
# the build machine itself. Binaries run under qemu user-mode emulation.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(LOGCOMP_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${LOGCOMP_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${LOGCOMP_CROSS_TRIPLE}-g++)

# The arm64 packages' files; overridable for a sysroot kept elsewhere.
if(DEFINED ENV{LOGCOMP_ARM64_SYSROOT})
    set(LOGCOMP_ARM64_SYSROOT "$ENV{LOGCOMP_ARM64_SYSROOT}")
else()
    get_filename_component(LOGCOMP_ARM64_SYSROOT
        "${CMAKE_CURRENT_LIST_DIR}/../build/sysroot-arm64" ABSOLUTE)
endif()
if(NOT EXISTS "${LOGCOMP_ARM64_SYSROOT}/usr/lib/${LOGCOMP_CROSS_TRIPLE}")
    message(FATAL_ERROR "No arm64 sysroot at ${LOGCOMP_ARM64_SYSROOT}: "
        "run LOGCOMP_CROSS=aarch64 scripts/install-deps.sh")
endif()

# Libraries and headers from the cross libc and the sysroot only; programs from the host.
set(CMAKE_FIND_ROOT_PATH "${LOGCOMP_ARM64_SYSROOT}" /usr/${LOGCOMP_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads only the arm64 .pc files and prefixes their paths with the sysroot.
set(ENV{PKG_CONFIG_LIBDIR} "${LOGCOMP_ARM64_SYSROOT}/usr/lib/${LOGCOMP_CROSS_TRIPLE}/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${LOGCOMP_ARM64_SYSROOT}")
unset(ENV{PKG_CONFIG_PATH})

# Test binaries (gtest discovery and ctest) run under qemu with the cross libc; tests
# that need what user-mode emulation lacks check LOGCOMP_EMULATED and skip with a reason.
set(CMAKE_CROSSCOMPILING_EMULATOR
    qemu-aarch64 -L /usr/${LOGCOMP_CROSS_TRIPLE}
    -E "LD_LIBRARY_PATH=${LOGCOMP_ARM64_SYSROOT}/usr/lib/${LOGCOMP_CROSS_TRIPLE}"
    -E LOGCOMP_EMULATED=qemu-aarch64)
