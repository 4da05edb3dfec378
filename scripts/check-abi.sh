#!/usr/bin/env bash
# The shared library defines exactly the public API: no other symbol, no C++ mangled
# name, no host service; its undefined symbols are the C/C++ runtime's and the host's.
set -euo pipefail
so=${1:?usage: check-abi.sh path/to/liblogcompress.so}
root=$(cd "$(dirname "$0")/.." && pwd)
NM=${NM:-nm}

expected=$(awk '/global:/ {g = 1; next} /local:/ {g = 0} g' "$root/logCompress/logcompress.map" |
    tr ';' '\n' | tr -d ' ' | grep -v '^$' | sort)
defined=$($NM -D --defined-only "$so" | awk '$2 ~ /^[TtWwDdBbRrVvi]$/ {print $3}' | sed 's/@.*//' | sort)
if [ "$defined" != "$expected" ]; then
    echo "check-abi: exported symbols differ from the API"
    diff <(echo "$expected") <(echo "$defined") || true
    exit 1
fi
host='^(log_sendByLevelFile|EvRunInLoop|EvQueueInLoop|UvTimerInit|UvTimerStart|UvTimerUninit|Init_LinkList|PushBack_LinkList|Size_LinkList|Get_LinkList|RemoveByPos_LinkList|Destroy_LinkList|FileCompress_Start|FileCompress_Run|FileCompress_Stop|FILE_system|DEV_getSdStatus|DEV_getFilesystemUsage)$'
undefined=$($NM -D --undefined-only "$so" | awk '{print $2}' | sed 's/@.*//' | sort -u)
odd=$(echo "$undefined" | grep -Ev "$host" | grep -Ev '^(_ZSt|_ZNSt|_ZdlPv|_Znwm|_ZTVN10__cxxabiv|__cxa_|__gxx_personality|_Unwind_|__gmon_start__|_ITM_|__stack_chk_fail|__tsan|__asan|__ubsan|__sanitizer|__lsan)' |
    grep -Ev '^(pthread_|__errno_location|__libc|__assert_fail|__ctype|__fprintf_chk|__snprintf_chk|__vsnprintf_chk|__strcpy_chk|__strcat_chk|__memcpy_chk|__memset_chk|__strncat_chk|__strncpy_chk|__sprintf_chk|__isoc99_sscanf|__xstat|__lxstat|__fxstat|stat|stat64|lstat|lstat64|fstat|fstat64|__stack_chk_guard|__cxa_finalize)' |
    grep -Ev '^(malloc|calloc|realloc|free|strdup|strndup|strlen|strnlen|strcmp|strncmp|strchr|strrchr|strstr|strcpy|strncpy|strcat|strncat|memcpy|memmove|memset|memcmp|snprintf|vsnprintf|sprintf|sscanf|printf|fprintf|puts|fputs|fwrite|abort|exit|access|opendir|readdir|readdir64|closedir|remove|unlink|rmdir|time|gmtime_r|timegm|strptime|strftime|sleep|usleep|nanosleep|clock_gettime|dirfd|fstatat|fstatat64|open|open64|close|openat|openat64|unlinkat|realpath|getpid|gettid|syscall|qsort|strtol|strtoul|isdigit|isalnum|atoi)$' || true)
if [ -n "$odd" ]; then
    echo "check-abi: unexpected undefined symbols (neither runtime nor host service):"
    echo "$odd"
    exit 1
fi
echo "check-abi: $(echo "$defined" | wc -l) exported functions, as expected"
