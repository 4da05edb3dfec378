#!/usr/bin/env bash
# Installs a build tree into <build>/stage and builds a host against it (tests/consumer: the
# no-op host exporting the installed host symbol list), once through the CMake package and
# once through pkg-config. The CMake one runs through ctest (under the build's emulator when
# cross-built); the pkg-config one runs when native and is only linked otherwise.
set -euo pipefail
dir=${1:?usage: check-install.sh <build dir>}
root=$(cd "$(dirname "$0")/.." && pwd)
cache() { sed -n "s/^$1:[A-Z]*=//p" "$dir/CMakeCache.txt"; }
stage="$dir/stage"
libdir="$stage/$(cache CMAKE_INSTALL_LIBDIR)"
toolchain=$(cache CMAKE_TOOLCHAIN_FILE)
# The build's C compiler (a toolchain file's is not in the cache).
cc=$(sed -n 's/^set(CMAKE_C_COMPILER "\(.*\)")$/\1/p' "$dir"/CMakeFiles/*/CMakeCCompiler.cmake)
consumer="$dir/consumer"
warnings=(-Wall -Wextra -Werror)

rm -rf "$stage" "$consumer"
cmake --install "$dir" --prefix "$stage" >"$dir/stage.log"

cmake -S "$root/tests/consumer" -B "$consumer" -DCMAKE_C_FLAGS="${warnings[*]}" \
    ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} \
    -Dlogcompress_DIR="$libdir/cmake/logcompress" >"$consumer.configure.log" 2>&1 ||
    { cat "$consumer.configure.log"; exit 1; }
cmake --build "$consumer" >"$consumer.build.log" 2>&1 || { cat "$consumer.build.log"; exit 1; }
ctest --test-dir "$consumer" --output-on-failure

export PKG_CONFIG_LIBDIR="$libdir/pkgconfig"
# shellcheck disable=SC2046  # pkg-config's flags are words
"$cc" "${warnings[@]}" -o "$consumer/consumer-pc" "$root/tests/consumer/main.c" \
    "$root/tests/abi/host_stub.c" $(pkg-config --cflags --libs logcompress) \
    -Wl,--dynamic-list="$(pkg-config --variable=host_symbols logcompress)"
if [ -z "$toolchain" ]; then
    LD_BIND_NOW=1 LD_LIBRARY_PATH="$libdir" "$consumer/consumer-pc"
fi
echo "check-install: $stage used through find_package and pkg-config"
