# Debian packages: libuv1-dev, libdeflate-dev, uthash-dev, googletest, nlohmann-json3-dev
# (scripts/install-deps.sh).
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBUV REQUIRED IMPORTED_TARGET libuv)
pkg_check_modules(LIBDEFLATE REQUIRED IMPORTED_TARGET libdeflate)
find_path(UTHASH_INCLUDE_DIR uthash.h REQUIRED)
find_package(Threads REQUIRED)
# The tool's JSON output (header-only); the tool is not part of the cross build.
if(LOGCOMP_BUILD_TOOLS)
    find_package(nlohmann_json 3.10 REQUIRED)
endif()
