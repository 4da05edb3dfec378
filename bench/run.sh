#!/usr/bin/env bash
# Every benchmark on one seeded station-log corpus, printed as one table of ratios measured in
# this run, and written into bench/RESULTS.md with the date and the machine.
#   bench/run.sh           full run (a 200 MB day; under ten minutes on 2 cores)
#   bench/run.sh --quick   short smoke run (a 20 MB day); writes build/bench/RESULTS-quick.md
# Builds a Release tree in build/bench. Fails (non-zero) when a benchmark fails or a reader
# cannot read the compressor's multi-member output whole; a missed speed target is reported
# in the table, not failed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/bench
quick=0
case ${1:-} in
--quick) quick=1 ;;
"") ;;
*) echo "usage: bench/run.sh [--quick]" >&2; exit 2 ;;
esac

if ((quick)); then
    mb=20 rounds=1 trials=10 large=100 small=10 idle=1 mgr=(--quick) out=$build/RESULTS-quick.md
else
    mb=200 rounds=5 trials=50 large=1024 small=100 idle=3 mgr=(--runs 9) out=$root/bench/RESULTS.md
fi
date_=2026-12-03
scratch=$build/scratch
corpus=$scratch/corpus-$mb
logcomp_log=$build/logcomp-log
raw=$build/raw
rows=$raw/rows.txt
started=$(date +%s)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

"$root/scripts/install-deps.sh"
for tool in gzip pigz tar python3 cmp cmake; do
    command -v $tool >/dev/null || { echo "run.sh: $tool is missing" >&2; exit 1; }
done

step() { printf '\n== %s (%ds)\n' "$1" $(($(date +%s) - started)) >&2; }

step "configure and build (Release, $build)"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLOGCOMP_BUILD_TESTS=OFF \
    -DLOGCOMP_LOG_DIR="$logcomp_log" >"$build.configure.log" 2>&1 ||
    { cat "$build.configure.log" >&2; exit 1; }
targets=(throughput_bench control_bench memory_bench loop_bench exec_bench manager_search_bench
    logcomp-loggen)
have_logcomp=0
if cmake --build "$build" --target help | grep '^\.\.\. logcomp$' >/dev/null; then
    targets+=(logcomp) have_logcomp=1
fi
cmake --build "$build" -j2 --target "${targets[@]}" >"$build.build.log" 2>&1 ||
    { tail -40 "$build.build.log" >&2; exit 1; }

mkdir -p "$scratch" "$raw"
: >"$rows"
step "corpus: one seeded day of $mb MB ($corpus)"
if [[ ! -f $corpus/.complete ]]; then
    rm -rf "$corpus" && mkdir -p "$corpus"
    "$build/tools/loggen/logcomp-loggen" --dir "$corpus" --from $date_ --to $date_ \
        --mb-per-day "$(awk -v m=$mb 'BEGIN { printf "%.11f", m * 1e6 / 1048576 }')"
    touch "$corpus/.complete"
fi
ls -l "$corpus" >&2

failed=()
# Runs one benchmark, keeps its whole output in $raw/NAME.log and its ROW lines in $rows.
bench() {
    local name=$1; shift
    step "$name"
    if ! "$@" >"$raw/$name.log" 2>&1; then
        failed+=("$name")
        echo "run.sh: $name FAILED" >&2
    fi
    grep '^ROW|' "$raw/$name.log" >>"$rows" || true
    grep -v '^ROW|' "$raw/$name.log" >&2 || true
}

# exec_bench regenerates the same seeded day into the corpus (same seed, size and date).
bench exec_bench "$build/bench/exec_bench" --mb $mb --trials $trials --dir "$corpus"
awk '/median .* ms, max .* ms/ {
    gsub(/,/, ""); med = $2; max = $5
    printf "ROW|3 cancel (exec_bench)|DelTask -> callback, wall: median / max|%s / %s ms|max <= 20 ms|%s\n",
        med, max, (max + 0 <= 20 ? "met" : "missed") }' "$raw/exec_bench.log" >>"$rows"
bench throughput_bench "$build/bench/throughput_bench" --dir "$corpus" --date $date_ --rounds $rounds
bench readers "$root/bench/readers_check.sh" "$corpus" $date_
# Each control trial needs a few slices ahead of it: the day's main log, or 64 MiB of its own.
control_file=$corpus/$date_.log
if (($(stat -c %s "$control_file") < 64 << 20)); then
    control_file=$scratch/control-64MiB.log
    [[ -f $control_file ]] || "$build/tools/loggen/logcomp-loggen" --file "$control_file" --mb 64
fi
bench control_bench "$build/bench/control_bench" --file "$control_file" --trials $trials
bench loop_bench "$build/bench/loop_bench" --corpus "$corpus" --date $date_ --idle-seconds $idle \
    --keep-archive "$scratch/package.tar.gz"
bench package_reader "$root/bench/readers_check.sh" --archive "$scratch/package.tar.gz" "$corpus" $date_
bench memory_bench "$build/bench/memory_bench" --dir "$scratch" --large-mib $large --small-mib $small
bench manager_search_bench "$build/bench/manager_search_bench" "${mgr[@]}" --dir "$scratch/mgr"
awk '/^library \/ bare pass:/ { printf "ROW|6 oldest-entry search|100,000 entries: library / bare readdir + stat pass, wall|%.3f|<= 1.05|%s\n", $5, ($5 + 0 <= 1.05 ? "met" : "missed") }
     /^find pipeline \/ library:/ { x = $5; sub(/x$/, "", x); printf "ROW|6 oldest-entry search|find, sort and head pipeline / library, wall|%.2fx|>= 1.9x|%s\n", x, (x + 0 >= 1.9 ? "met" : "missed") }
     /^10000 / { r10 = $2; h10 = $4 } /^100000 / { r100 = $2; h100 = $4 }
     END { printf "ROW|6 oldest-entry search|peak RSS / peak heap, 10,000 vs 100,000 entries|%s vs %s KiB / %s vs %s bytes|independent of count|%s\n", r10, r100, h10, h100, (r10 == r100 && h10 == h100 ? "met" : "missed") }' \
    "$raw/manager_search_bench.log" >>"$rows"
if ((have_logcomp)); then
    bench e2e "$root/bench/e2e_bench.sh" "$build/tools/logcomp" "$build/tools/loggen/logcomp-loggen" \
        "$logcomp_log" "$scratch" $mb
else
    echo "ROW|7 end to end|logcomp package of 3 days vs tar -czf|not run: no logcomp target|-|-" >>"$rows"
fi

# ---- the table
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
elapsed=$(($(date +%s) - started))
table=$raw/table.md
{
    echo "Run of $(date -u '+%Y-%m-%d %H:%M UTC')$( ((quick)) && echo ' (--quick smoke run)'),"\
        "commit $(git -C "$root" rev-parse --short HEAD), $elapsed s."
    echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'),"\
        "load average $load_before before and $load_after after (1, 5, 15 min)."
    echo "Corpus: one seeded day of $mb MB ($date_, four files by the four name rules)."
    echo
    echo "| item | measure | value | target | verdict |"
    echo "|---|---|---|---|---|"
    sort -s -t'|' -k2,2n "$rows" |
        awk -F'|' '{ printf "| %s | %s | %s | %s | %s |\n", $2, $3, $4, $5, $6 }'
} >"$table"
echo
cat "$table"

# Into the results file, between the markers; the notes around them stay.
begin='<!-- results:begin -->' end='<!-- results:end -->'
[[ -f $out ]] && grep -qF "$begin" "$out" || printf '%s\n%s\n' "$begin" "$end" >"$out"
awk -v b="$begin" -v e="$end" -v t="$table" '
    $0 == b { print; while ((getline line < t) > 0) print line; skip = 1; next }
    $0 == e { skip = 0 }
    !skip' "$out" >"$out.new" && mv "$out.new" "$out"
echo
echo "written to $out; raw outputs in $raw"
if ((${#failed[@]})); then
    echo "run.sh: failed: ${failed[*]}" >&2
    exit 1
fi
