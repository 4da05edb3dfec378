# Debian packages: libuv1-dev, libdeflate-dev, uthash-dev, googletest (scripts/install-deps.sh).
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBUV REQUIRED IMPORTED_TARGET libuv)
pkg_check_modules(LIBDEFLATE REQUIRED IMPORTED_TARGET libdeflate)
find_path(UTHASH_INCLUDE_DIR uthash.h REQUIRED)
find_package(Threads REQUIRED)
