#!/usr/bin/env bash
# Checks the dynamic symbol table of a built liblogcompress.so:
#  - it defines exactly the functions of logCompress/logcompress.map: no other symbol,
#    so no C++ mangled name and no host service;
#  - each symbol it needs is a host service, or comes from the C/C++ runtime (a reference
#    versioned GLIBC_, GLIBCXX_, CXXABI_ or GCC_); weak references are the C runtime's
#    optional hooks. In a sanitizer build the sanitizer runtime, linked ahead of libc,
#    takes over (unversioned) what it intercepts.
# NM names the nm of the library's architecture (aarch64-linux-gnu-nm for the station).
set -euo pipefail
so=${1:?usage: [NM=nm] check-abi.sh path/to/liblogcompress.so}
root=$(cd "$(dirname "$0")/.." && pwd)
NM=${NM:-nm}
host='log_sendByLevelFile|EvRunInLoop|EvQueueInLoop|UvTimerInit|UvTimerStart|UvTimerUninit'
host+='|Init_LinkList|PushBack_LinkList|Size_LinkList|Get_LinkList|RemoveByPos_LinkList'
host+='|Destroy_LinkList|FileCompress_Start|FileCompress_Run|FileCompress_Stop|FILE_system'
host+='|DEV_getSdStatus|DEV_getFilesystemUsage'

expected=$(sed -n '/global:/,/local:/{/:/d;p}' "$root/logCompress/logcompress.map" |
    tr ';' '\n' | tr -d ' ' | grep . | sort)
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
glibc=$(echo "$needed" | sed -n 's/.*@GLIBC_//p' | sort -V | tail -1)
echo "check-abi: $(echo "$defined" | wc -l) functions exported;" \
    "needs $(echo "$needed" | grep -cE "^($host)\$") host services and glibc >= ${glibc:-any}"
