#!/usr/bin/env bash
# Checks the dynamic symbol table of a built liblogcompress.so:
#  - it defines exactly the functions of logCompress/logcompress.map, in the map's version
#    node: no other symbol, so no C++ mangled name and no host service;
#  - each symbol it needs is a host service of logCompress/host-symbols.list, or comes from
#    the C/C++ runtime (a reference versioned GLIBC_, GLIBCXX_, CXXABI_ or GCC_); weak
#    references are the C runtime's optional hooks. In a sanitizer build the sanitizer
#    runtime, linked ahead of libc, takes over (unversioned) what it intercepts;
#  - it needs every listed host service, so the shipped list names no more than it uses.
# NM names the nm of the library's architecture (aarch64-linux-gnu-nm for the station).
set -euo pipefail
so=${1:?usage: [NM=nm] check-abi.sh path/to/liblogcompress.so}
root=$(cd "$(dirname "$0")/.." && pwd)
NM=${NM:-nm}
map="$root/logCompress/logcompress.map"
host_list=$(sed -n 's/^ *\([A-Za-z_][A-Za-z0-9_]*\);$/\1/p' "$root/logCompress/host-symbols.list")
host=$(echo "$host_list" | paste -sd'|')

node=$(sed -n 's/^\([A-Za-z0-9_]*\) *{$/\1/p' "$map")
# nm names a defined versioned symbol NAME@@NODE and the node itself as an absolute symbol.
expected=$({ echo "$node"; sed -n '/global:/,/local:/{/:/d;p}' "$map" | tr ';' '\n' |
    tr -d ' ' | grep . | sed "s/\$/@@$node/"; } | sort)
defined=$($NM -D --defined-only "$so" | awk '{print $3}' | sort)
if [ "$defined" != "$expected" ]; then
    echo "check-abi: $so: defined symbols differ from logcompress.map (< map, > library):"
    diff <(echo "$expected") <(echo "$defined") || true
    exit 1
fi

needed=$($NM -D --undefined-only "$so" | awk '$1 == "U" {print $2}')
sanitizer=$({ ldd "$so" 2>/dev/null || true; } | awk '$1 ~ /^lib(a|t|ub)san\./ {print $3}')
intercepted=$(for lib in $sanitizer; do $NM -D --defined-only "$lib" | awk '{print $3}'; done)
odd=$(echo "$needed" | grep -Ev "^($host)\$" | grep -Ev '@(GLIBC|GLIBCXX|CXXABI|GCC)_[0-9.]+$' |
    grep -vxF -e "" -f <(echo "$intercepted") || true)
if [ -n "$odd" ]; then
    echo "check-abi: $so needs symbols that are neither runtime nor host service:"
    echo "$odd"
    exit 1
fi
unused=$(echo "$host_list" | grep -vxF -f <(echo "$needed") || true)
if [ -n "$unused" ]; then
    echo "check-abi: host-symbols.list names host services $so does not need:"
    echo "$unused"
    exit 1
fi
glibc=$(echo "$needed" | sed -n 's/.*@GLIBC_//p' | sort -V | tail -1)
echo "check-abi: $(($(echo "$defined" | wc -l) - 1)) functions exported in $node;" \
    "needs $(echo "$needed" | grep -cE "^($host)\$") host services and glibc >= ${glibc:-any}"
