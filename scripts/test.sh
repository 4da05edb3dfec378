#!/usr/bin/env bash
# The project's test command: installs what is missing, then builds and runs the whole
# suite three times (plain, ASan+UBSan, TSan) and once more cross-built for the station
# (AArch64, run under qemu), checks the exported ABI of each, and runs the fuzzers for a
# bounded time. The plain and AArch64 builds are also installed and packaged: a host is built
# against each staged install, and their Debian packages are checked. Warnings are errors.
# Any failure or sanitizer report fails the run.
#   LOGCOMP_TEST_BUILDS="plain asan tsan fuzz aarch64"  choose builds (default: all)
#   LOGCOMP_FUZZ_SECONDS=60                              time per fuzz target
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
builds=${LOGCOMP_TEST_BUILDS:-"plain asan tsan fuzz aarch64"}
case " $builds " in *" aarch64 "*) export LOGCOMP_CROSS=aarch64 ;; esac
"$root/scripts/install-deps.sh"

jobs=${LOGCOMP_JOBS:-$(nproc)}
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:report_signal_unsafe=0"
export GTEST_COLOR=no

configure_and_test() {
    local name=$1
    shift
    local dir="$root/build/ci-$name"
    echo "==== $name build"
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOGCOMP_WERROR=ON "$@" \
        >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
    cmake --build "$dir" -j "$jobs"
    NM=$(sed -n 's/^CMAKE_NM:FILEPATH=//p' "$dir/CMakeCache.txt") \
        "$root/scripts/check-abi.sh" "$dir/logCompress/liblogcompress.so"
    (cd "$dir" && ctest -j "$jobs" --output-on-failure --timeout 600)
}

# The install tree and the packages of a build configured for /usr.
check_install_and_packages() {
    local dir="$root/build/ci-$1"
    echo "==== $1 install and packages"
    "$root/scripts/check-install.sh" "$dir"
    "$root/scripts/check-packages.sh" "$dir"
}

run_fuzzers() {
    local dir="$root/build/ci-fuzz"
    echo "==== fuzz build"
    CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DLOGCOMP_WERROR=ON -DLOGCOMP_FUZZ=ON -DLOGCOMP_SANITIZE=address -DLOGCOMP_BUILD_BENCH=OFF \
        -DLOGCOMP_BUILD_TOOLS=OFF >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
    local targets
    targets=$(cd "$root/tests/fuzz" && ls ./*_fuzz.cpp 2>/dev/null | sed 's|./||; s|\.cpp$||')
    for t in $targets; do
        cmake --build "$dir" -j "$jobs" --target "$t"
        mkdir -p "$dir/corpus/$t"
        echo "---- fuzz $t for ${LOGCOMP_FUZZ_SECONDS:-60}s"
        "$dir/tests/fuzz/$t" -max_total_time="${LOGCOMP_FUZZ_SECONDS:-60}" -print_final_stats=1 \
            "$dir/corpus/$t" 2>"$dir/$t.log" || { tail -60 "$dir/$t.log"; return 1; }
        tail -3 "$dir/$t.log"
    done
}

mkdir -p "$root/build"
native_packages=""
for b in $builds; do
    case $b in
        plain)
            configure_and_test plain -DCMAKE_INSTALL_PREFIX=/usr
            check_install_and_packages plain
            native_packages="$root/build/ci-plain/packages" ;;
        asan) configure_and_test asan -DLOGCOMP_SANITIZE=address ;;
        tsan) configure_and_test tsan -DLOGCOMP_SANITIZE=thread ;;
        fuzz) run_fuzzers ;;
        aarch64)
            configure_and_test aarch64 -DCMAKE_INSTALL_PREFIX=/usr \
                -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-aarch64-linux-gnu.cmake" \
                -DLOGCOMP_BUILD_BENCH=OFF
            # Depends stated by hand are compared with the native packages of this run.
            LOGCOMP_NATIVE_PACKAGES=${native_packages:-} check_install_and_packages aarch64 ;;
        *) echo "unknown build $b"; exit 2 ;;
    esac
done
echo "==== all builds passed: $builds"
