#!/usr/bin/env bash
# End to end: a package request for three generated days through the logcomp tool, against
# `tar -czf` of the same files: wall time, CPU time and archive size, and the archive read
# back whole with `tar -xzf`. Prints ROW| lines for bench/run.sh.
#   bench/e2e_bench.sh LOGCOMP LOGGEN LOG_DIR SCRATCH MB_PER_DAY
# LOG_DIR is the log directory compiled into that logcomp build (a scratch directory).
set -euo pipefail

logcomp=$1 loggen=$2 logdir=$3 scratch=$4 mb=$5
from=2026-11-01 to=2026-11-03
corpus=$scratch/e2e-corpus-$mb
work=$scratch/e2e-work

case $logdir in
/media/data/log*) echo "e2e_bench: refusing the device's log directory" >&2; exit 2 ;;
esac

if [[ ! -f $corpus/.complete ]]; then
    rm -rf "$corpus" && mkdir -p "$corpus"
    "$loggen" --dir "$corpus" --from $from --to $to \
        --mb-per-day "$(awk -v m="$mb" 'BEGIN { printf "%.11f", m * 1e6 / 1048576 }')"
    touch "$corpus/.complete"
fi
mapfile -t files < <(cd "$corpus" && ls -- *.log)
bytes=$(cd "$corpus" && cat -- "${files[@]}" | wc -c)

# Seconds of wall and of CPU (user + system, children included) of a command.
measure() {
    local out=$1 TIMEFORMAT='%R %U %S'; shift
    { time "$@" >/dev/null 2>"$out.err"; } 2>"$out" || { cat "$out.err" >&2; return 1; }
}

rm -rf "$work" && mkdir -p "$work/tar" "$work/back"
mkdir -p "$logdir" && find "$logdir" -mindepth 1 -maxdepth 1 -exec rm -rf {} +
for f in "${files[@]}"; do ln "$corpus/$f" "$logdir/$f"; done
measure "$work/logcomp.time" "$logcomp" package --from $from --to $to \
    --output "$work/logcomp.tar.gz" --quiet
(cd "$corpus" && measure "$work/tar.time" tar -czf "$work/tar/tar.tar.gz" -- "${files[@]}")
find "$logdir" -mindepth 1 -maxdepth 1 -exec rm -rf {} +

tar -xzf "$work/logcomp.tar.gz" -C "$work/back"
whole=met
for f in "${files[@]}"; do cmp -s "$corpus/$f" "$work/back/$f" || whole=missed; done

read -r lw lu ls <"$work/logcomp.time"
read -r tw tu ts <"$work/tar.time"
lsize=$(stat -c %s "$work/logcomp.tar.gz")
tsize=$(stat -c %s "$work/tar/tar.tar.gz")
awk -v lw="$lw" -v lu="$lu" -v lsys="$ls" -v tw="$tw" -v tu="$tu" -v tsys="$ts" \
    -v ls="$lsize" -v ts="$tsize" -v b="$bytes" -v whole="$whole" -v n="${#files[@]}" 'BEGIN {
    lc = lu + lsys; tc = tu + tsys
    printf "ROW|7 end to end|package of 3 days (%d files, %d bytes): logcomp / tar -czf, wall|%.2f s vs %.2f s: %.2fx faster|-|-\n", n, b, lw, tw, tw / lw
    printf "ROW|7 end to end|same, CPU time (user + system, children included)|%.2f s vs %.2f s: %.2fx less|-|-\n", lc, tc, tc / lc
    printf "ROW|7 end to end|archive size, logcomp (level 4) / tar -czf (gzip default, level 6)|%.3f (%d vs %d bytes)|-|-\n", ls / ts, ls, ts
    printf "ROW|7 end to end|tar -xzf of the logcomp archive gives every file back|%s|whole|%s\n", (whole == "met" ? "yes" : "NO"), whole
}'
rm -rf "$work"
[[ $whole == met ]]
