#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the demonstration and the Debian
# packages' making and checking need (help2man, dpkg-dev, file, lintian), and only those that
# are missing (a machine that has them all is left alone).
# LOGCOMP_CROSS=aarch64 adds the cross toolchain, qemu, and an arm64 sysroot with the
# libraries the tests link (Debian's arm64 packages unpacked, not installed).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

packages=(cmake g++ clang libclang-rt-dev pkg-config make python3
          libuv1-dev libdeflate-dev uthash-dev zlib1g-dev nlohmann-json3-dev googletest
          libgtest-dev gzip tar pigz util-linux busybox strace
          help2man dpkg-dev file lintian)
if [ "${LOGCOMP_CROSS:-}" = "aarch64" ]; then
    packages+=(g++-aarch64-linux-gnu binutils-aarch64-linux-gnu libc6-dev-arm64-cross qemu-user)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "install-deps: installing ${missing[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
[ "${LOGCOMP_CROSS:-}" = "aarch64" ] || exit 0

# The arm64 sysroot (cmake/toolchain-aarch64-linux-gnu.cmake reads it), with what the
# cross-built tool links too (nlohmann-json3-dev is headers, for all architectures).
# Unpacking keeps the machine's own -dev packages untouched: nothing arm64 goes through dpkg.
sysroot=${LOGCOMP_ARM64_SYSROOT:-$root/build/sysroot-arm64}
arm64_debs=(libuv1-dev:arm64 libuv1:arm64 libdeflate-dev:arm64 libdeflate0:arm64 uthash-dev:arm64
            nlohmann-json3-dev)
stamp="$sysroot/.debs"
[ "$(cat "$stamp" 2>/dev/null)" = "${arm64_debs[*]}" ] && exit 0

echo "install-deps: unpacking ${arm64_debs[*]} into $sysroot"
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    $SUDO dpkg --add-architecture arm64
    $SUDO apt-get update -qq
fi
debs=$(mktemp -d)
trap 'rm -rf "$debs"' EXIT
(cd "$debs" && { apt-get download -qq -o APT::Sandbox::User=root "${arm64_debs[@]}" ||
    { $SUDO apt-get update -qq && apt-get download -qq -o APT::Sandbox::User=root "${arm64_debs[@]}"; }; })
rm -rf "$sysroot"
mkdir -p "$sysroot"
for deb in "$debs"/*.deb; do
    dpkg-deb -x "$deb" "$sysroot"
done
echo "${arm64_debs[*]}" >"$stamp"
