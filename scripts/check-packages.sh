#!/usr/bin/env bash
# Builds the Debian packages of a build tree configured for /usr (cpack) into
# <build>/packages and checks them without installing them: their fields, what each holds
# (unpacked with dpkg-deb -x), the packaged library's ABI and its libc6 dependency, the
# pkg-config file's prefix, and lintian: no error or warning but maintscript-calls-ldconfig
# (CPack writes an ldconfig call beside the trigger for every shared library).
#   LOGCOMP_NATIVE_PACKAGES=DIR  packages of the native build: a cross build's Depends, stated
#                                by hand, must be what dpkg-shlibdeps found there
set -euo pipefail
dir=${1:?usage: check-packages.sh <build dir>}
root=$(cd "$(dirname "$0")/.." && pwd)
cache() { sed -n "s/^$1:[A-Z]*=//p" "$dir/CMakeCache.txt"; }
fail() { echo "check-packages: $*"; exit 1; }
out="$dir/packages"
version=$(cache CMAKE_PROJECT_VERSION)
libdir=$(cache CMAKE_INSTALL_LIBDIR)
arch=$(dpkg-architecture -t "$(basename "$libdir")" -qDEB_HOST_ARCH 2>/dev/null)
[ "$(cache CMAKE_INSTALL_PREFIX)" = /usr ] || fail "$dir is not configured for /usr"

rm -rf "$out"
(cd "$dir" && cpack -G DEB -B "$out") >"$out.log" 2>&1 || { cat "$out.log"; exit 1; }
mkdir -p "$out/root" "$out/control"
deb() { echo "$out/$1_${version}_$arch.deb"; }
field() { dpkg-deb -f "$(deb "$1")" "$2"; }
packages=(liblogcompress1 liblogcompress-dev logcomp)
for p in "${packages[@]}"; do
    [ -f "$(deb "$p")" ] || fail "no $(basename "$(deb "$p")")"
    [ "$(field "$p" Architecture) $(field "$p" Version)" = "$arch $version" ] ||
        fail "$p is $(field "$p" Architecture) $(field "$p" Version)"
    dpkg-deb -x "$(deb "$p")" "$out/root/$p"
    dpkg-deb -e "$(deb "$p")" "$out/control/$p"
done

# Each package holds only files matching its patterns (extended regular expressions), and
# each pattern matches a file.
holds() {
    local p=$1 files f pattern matched
    shift
    files=$(cd "$out/root/$p" && find . ! -type d | sed 's|^\./||')
    for pattern in "$@" "usr/share/doc/$p/copyright" "usr/share/doc/$p/changelog\.gz"; do
        echo "$files" | grep -Eqx "$pattern" || fail "$p holds nothing like $pattern"
    done
    for f in $files; do
        matched=
        for pattern in "$@" "usr/share/doc/$p/.*"; do
            [[ $f =~ ^($pattern)$ ]] && matched=1
        done
        [ -n "$matched" ] || fail "$p holds $f"
    done
}
lib="usr/$libdir"
holds liblogcompress1 "$lib/liblogcompress\.so\.1" "$lib/liblogcompress\.so\.$version"
holds liblogcompress-dev "$lib/liblogcompress\.so" "usr/include/logcompress/logCompress/LogCompTrigger\.h" \
    "usr/include/logcompress/(logCompress|event|list|logsys|fileUtils|device)/[A-Za-z_]+\.h" \
    "$lib/cmake/logcompress/logcompressConfig\.cmake" \
    "$lib/cmake/logcompress/logcompressConfigVersion\.cmake" \
    "$lib/cmake/logcompress/logcompressTargets(-[a-z]+)?\.cmake" \
    "$lib/pkgconfig/logcompress\.pc" "usr/share/logcompress/host-symbols\.list"
holds logcomp usr/bin/logcomp "usr/share/man/man1/logcomp\.1\.gz" \
    "usr/lib/systemd/system/logcomp\.service" etc/default/logcomp

grep -qx /etc/default/logcomp "$out/control/logcomp/conffiles" || fail "logcomp: no conffile"
grep -qx "liblogcompress 1 liblogcompress1 (>= $version)" "$out/control/liblogcompress1/shlibs" ||
    fail "liblogcompress1: shlibs: $(cat "$out/control/liblogcompress1/shlibs")"
grep -qx prefix=/usr "$out/root/liblogcompress-dev/$lib/pkgconfig/logcompress.pc" ||
    fail "logcompress.pc: $(grep prefix= "$out/root/liblogcompress-dev/$lib/pkgconfig/logcompress.pc")"
for p in liblogcompress-dev logcomp; do
    field "$p" Depends | grep -q "liblogcompress1 (= $version)" || fail "$p: Depends: $(field "$p" Depends)"
done

# The library as packaged (stripped): the ABI, and a libc6 at least as new as it needs.
abi=$(NM=$(cache CMAKE_NM) "$root/scripts/check-abi.sh" "$out/root/liblogcompress1/$lib/liblogcompress.so.1")
glibc=$(echo "$abi" | sed -n 's/.*glibc >= //p')
libc6=$(field liblogcompress1 Depends | sed -n 's/.*libc6 (>= \([0-9.]*\)).*/\1/p')
if [ -z "$libc6" ] || [ "$(printf '%s\n' "$glibc" "$libc6" | sort -V | tail -1)" != "$libc6" ]; then
    fail "liblogcompress1 needs glibc $glibc, Depends: $(field liblogcompress1 Depends)"
fi
if [ -n "${LOGCOMP_NATIVE_PACKAGES:-}" ]; then
    for p in liblogcompress1 logcomp; do
        native=$(dpkg-deb -f "$LOGCOMP_NATIVE_PACKAGES/${p}_${version}_"*.deb Depends)
        [ "$(field "$p" Depends)" = "$native" ] ||
            fail "$p: Depends: $(field "$p" Depends); native: $native"
    done
fi

lintian --display-info --fail-on error,warning --suppress-tags maintscript-calls-ldconfig \
    "$out"/*.deb >"$out/lintian.log" 2>&1 || { cat "$out/lintian.log"; fail "lintian"; }
grep -v '^running with root privileges' "$out/lintian.log" || true
for p in "${packages[@]}"; do
    echo "check-packages: $(basename "$(deb "$p")") $(stat -c %s "$(deb "$p")") bytes," \
        "installed $(field "$p" Installed-Size) KiB; Depends: $(field "$p" Depends)"
done
