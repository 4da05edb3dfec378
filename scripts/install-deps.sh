#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demonstration need, and only
# those that are missing (a machine that has them all is left alone).
set -euo pipefail

packages=(cmake g++ clang libclang-rt-14-dev pkg-config make python3
          libuv1-dev libdeflate-dev uthash-dev zlib1g-dev googletest libgtest-dev
          libbenchmark-dev gzip tar pigz util-linux)
if [ "${LOGCOMP_CROSS:-}" = "aarch64" ]; then
    packages+=(g++-aarch64-linux-gnu qemu-user libc6-dev-arm64-cross)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
echo "install-deps: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
