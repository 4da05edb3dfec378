#!/usr/bin/env bash
# The demonstration: installs what is missing, builds the library and the logcomp tool with a
# scratch log directory compiled in, seeds it with a generated week of station logs and shows
# the library at work on it: a package request, a compress-only request, a stop in the middle
# of a long request, the daily run and the storage guard on a small real file system.
# Everything happens under build/demo; a real /media/data/log is never touched.
#   LOGCOMP_JOBS=N            parallel build jobs (default: all cores)
#   LOGCOMP_DEMO_NO_MOUNT=1   show the storage guard's stand-in for machines without mounts
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/demo"
scratch="$build/scratch"
logdir="$scratch/log"
out="$scratch/out"
card="$scratch/card"
tool="$build/tools/logcomp"
loggen="$build/tools/loggen/logcomp-loggen"

say() { printf '   %s\n' "$*"; }
step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
fail() { printf '\ndemo: FAILED: %s\n' "$*" >&2; exit 1; }
day() { date -u -d "$1 days ago" +%F; }
indent() { sed 's/^/   | /'; }
count() { find "$1" -maxdepth 1 -type f -name "$2" | wc -l; }
usage() { df --output=pcent "$1" | tail -1 | tr -d ' '; }

# Each past day's four files end that day, one second apart, the way a station writes them.
stamp_days() {
    local dir=$1 d i f
    for d in $(seq 1 6); do
        i=0
        for f in "$dir"/*"$(day "$d")"*.log; do  # every log of the day carries its date
            [ -e "$f" ] && touch -d "$(day "$d") 23:59:5$i UTC" "$f"
            i=$((i + 1))
        done
    done
}

# Waits until a file shows a text (or the process ends); deadline in tenths of a second.
wait_for_text() {
    local file=$1 text=$2 pid=$3 tenths=${4:-600}
    for _ in $(seq 1 "$tenths"); do
        grep -q -- "$text" "$file" 2>/dev/null && return 0
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

# ---- the storage guard, run inside a private mount namespace (see guard_step)
guard_inside() {
    mount -t tmpfs -o size=24m logcomp-demo-card "$card"
    mkdir "$card/log"
    "$loggen" --dir "$card/log" --from "$(day 6)" --to "$(day 0)" --mb-per-day 2.5 --seed 11
    stamp_days "$card/log"
    run_guard "$card/log" "$card" 50 "a 24 MiB tmpfs mounted on $card, seen by this step only"
}

run_guard() {
    local dir=$1 mount=$2 threshold=$3 what=$4
    say "card: $what"
    say "guarded directory before: $(count "$dir" '*') files, usage $(usage "$dir")"
    ls -tr "$dir" >"$scratch/guard-oldest-first.txt"
    "$tool" run --guard-dir "$dir" --card-mount "$mount" --threshold "$threshold" \
        --guard-period-ms 50 --trigger-time 00:00:00 >"$scratch/run.out" 2>"$scratch/run.err" &
    local pid=$!
    say "logcomp run started (guard every 50 ms, daily tick every 3 s, trigger time 00:00:00)"
    wait_for_text "$scratch/run.out" "files compressed\|no log files of that day\|task .*failed" \
        "$pid" 600 || { cat "$scratch/run.out" "$scratch/run.err"; fail "the daily run did not end"; }
    kill -TERM "$pid"
    local rc=0
    wait "$pid" || rc=$?
    indent <"$scratch/run.out"
    [ "$rc" -eq 0 ] || { cat "$scratch/run.err"; fail "run mode exited $rc after SIGTERM"; }
    grep -q "guard      deleted" "$scratch/run.out" || fail "the guard deleted nothing"
    local deleted
    deleted=$(grep -c "guard      deleted" "$scratch/run.out")
    head -n "$deleted" "$scratch/guard-oldest-first.txt" >"$scratch/expected.txt"
    sed -n 's|^guard      deleted .*/||p' "$scratch/run.out" >"$scratch/actual.txt"
    cmp -s "$scratch/expected.txt" "$scratch/actual.txt" ||
        fail "the guard did not delete the $deleted oldest files, oldest first"
    say "the guard deleted the $deleted oldest files, oldest first; usage now $(usage "$dir")"
    say "the daily run compressed yesterday's logs: $(count "$logdir" "*$(day 1)*.gz") .gz files of $(day 1)"
    say "SIGTERM stopped both cleanly: exit status 0"
}

if [ "${1:-}" = "--guard-inside-namespace" ]; then
    guard_inside
    exit 0
fi

start=$(date +%s)
printf '\033[1mlogcompress demonstration\033[0m (everything under %s)\n' "$build"
case "$logdir" in /media/*) fail "the scratch log directory must not be under /media" ;; esac

step "1. Dependencies"
"$root/scripts/install-deps.sh"
say "Debian packages in place (scripts/install-deps.sh)"

step "2. Build"
jobs=${LOGCOMP_JOBS:-$(nproc)}
mkdir -p "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOGCOMP_BUILD_TESTS=OFF \
    -DLOGCOMP_BUILD_BENCH=OFF -DLOGCOMP_LOG_DIR="$logdir" >"$build.configure.log" 2>&1 ||
    { cat "$build.configure.log"; fail "cmake configure"; }
cmake --build "$build" -j "$jobs" --target logcomp logcomp-loggen >"$build.build.log" 2>&1 ||
    { tail -40 "$build.build.log"; fail "build"; }
"$tool" --version | indent
"$tool" --version | grep -qx "log directory $logdir" || fail "the tool is not built on $logdir"
say "liblogcompress.so is loaded by logcomp, which provides and exports the host services"

step "3. A week of station logs"
rm -rf "$scratch"
mkdir -p "$logdir" "$out" "$card"
"$loggen" --dir "$logdir" --from "$(day 6)" --to "$(day 0)" --mb-per-day 4 --seed 7
stamp_days "$logdir"
say "$(count "$logdir" '*') files, $(du -sh "$logdir" | cut -f1), $(day 6) to $(day 0) (today), four name rules a day:"
find "$logdir" -name "*$(day 0)*" -printf '%f\n' | sort | indent
say "a line of the CSMS log:"
sed -n 3p "$logdir/$(day 0)-csms.log" | cut -c1-150 | indent

step "4. Package three past days ($(day 6) to $(day 4)) into one archive"
(cd "$logdir" && sha256sum ./*"$(day 6)"* ./*"$(day 5)"* ./*"$(day 4)"*) >"$scratch/packed.sha256"
"$tool" package --from "$(day 6)" --to "$(day 4)" --output "$out/three-days.tar.gz" | indent
gzip -t "$out/three-days.tar.gz" || fail "gzip -t rejects the archive"
say "gzip -t: the archive is sound; tar -tzvf lists:"
tar -tzvf "$out/three-days.tar.gz" | awk '{print $3, $6}' | indent
mkdir -p "$scratch/check" && tar -xzf "$out/three-days.tar.gz" -C "$scratch/check"
(cd "$scratch/check" && sha256sum -c --quiet "$scratch/packed.sha256") || fail "archive content"
say "unpacked again, all 12 files match the originals byte for byte"
left=$(($(count "$logdir" "*$(day 6)*") + $(count "$logdir" "*$(day 5)*") + $(count "$logdir" "*$(day 4)*")))
[ "$left" -eq 0 ] || fail "packed files of past days are still in the log directory"
say "the packed files of those past days are gone from the log directory"

step "5. Compress only: $(day 3) and $(day 2), each file to .gz"
"$tool" compress --from "$(day 3)" --to "$(day 2)" | indent
for f in "$logdir"/*"$(day 3)"*.gz "$logdir"/*"$(day 2)"*.gz; do gzip -t "$f" || fail "$f"; done
say "gzip -t accepts all of them; zcat reads them like the originals:"
zcat "$logdir/$(day 2).log.gz" | sed -n 2p | cut -c1-150 | indent

step "6. Stop a long request: a busy day of 320 MB, SIGINT once the progress shows"
"$loggen" --dir "$logdir" --from "$(day 1)" --to "$(day 1)" --mb-per-day 320 --seed 9
stamp_days "$logdir"
(cd "$logdir" && sha256sum ./*"$(day 1)"*) >"$scratch/busy.sha256"
"$tool" package --from "$(day 1)" --output "$out/busy-day.tar.gz" >"$scratch/stop.out" \
    2>"$scratch/stop.err" &
pid=$!
wait_for_text "$scratch/stop.err" "compressing file" "$pid" ||
    { cat "$scratch/stop.out" "$scratch/stop.err"; fail "no progress shown"; }
kill -INT "$pid"
rc=0
wait "$pid" || rc=$?
grep -v "^20..-" "$scratch/stop.err" | indent
indent <"$scratch/stop.out"
[ "$rc" -eq 130 ] || fail "expected exit status 130 after SIGINT, got $rc"
(cd "$logdir" && sha256sum -c --quiet "$scratch/busy.sha256") || fail "busy day not restored"
if [ -e "$out/busy-day.tar" ] || [ -e "$out/busy-day.tar.gz" ]; then fail "archive left behind"; fi
say "exit status 130; the four files of $(day 1) are back, byte for byte (sha256sum -c)"

step "7. The daily run and the storage guard (logcomp run)"
if [ -z "${LOGCOMP_DEMO_NO_MOUNT:-}" ] && unshare -m --propagation private true 2>/dev/null &&
    unshare -m --propagation private sh -c "mount -t tmpfs -o size=1m none '$card'" 2>/dev/null; then
    unshare -m --propagation private "$0" --guard-inside-namespace
else
    # No mount namespace here: the guard watches a directory on the build's own disk, with the
    # threshold at that disk's current usage, so the disk counts as full.
    mkdir -p "$scratch/guarded"
    "$loggen" --dir "$scratch/guarded" --from "$(day 6)" --to "$(day 0)" --mb-per-day 1 --seed 11
    stamp_days "$scratch/guarded"
    # The guard's own figure (used / (used + available)), rounded down.
    used=$(stat -f -c '%b %f %a' "$scratch/guarded" | awk '{u = $1 - $2; print int(100 * u / (u + $3))}')
    [ "$used" -ge 1 ] || fail "cannot simulate a full card on an empty disk"
    run_guard "$scratch/guarded" "$(df --output=target "$scratch/guarded" | tail -1)" "$used" \
        "simulated: mounting is not allowed here, so the threshold is the disk's usage ($used%)"
fi

step "Done in $(($(date +%s) - start)) s"
say "all of it under $build; try: $tool --help"
