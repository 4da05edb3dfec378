# Debian packages (scripts/install-deps.sh). The library needs uthash and threads only; the
# reference host's libuv and libdeflate are looked for only when something runs the library.
find_path(UTHASH_INCLUDE_DIR uthash.h REQUIRED)
find_package(Threads REQUIRED)
if(LOGCOMP_REFERENCE_HOST)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(LIBUV REQUIRED IMPORTED_TARGET libuv)
    pkg_check_modules(LIBDEFLATE REQUIRED IMPORTED_TARGET libdeflate)
endif()
# The tool's JSON output (header-only).
if(LOGCOMP_BUILD_TOOLS)
    find_package(nlohmann_json 3.10 REQUIRED)
endif()
