#!/usr/bin/env bash
# The loop's stall during a package request, per 100 MB packed, on tmpfs and on a file system
# whose writes go at a card's speed. Packaging syncs the archive and its directory before the
# packed logs are deleted, so on a card the loop also waits for the archive to be written.
# The card is a file-backed loop device (ext4) whose writes are throttled to --mbps MB/s by the
# blkio cgroup (v1); each medium is mounted over the bench build's test-media in a private mount
# namespace. Needs root. Uses the loop_bench and logcomp-loggen of --build (default build/bench,
# as bench/run.sh builds it).
#   bench/package_stall.sh [--build DIR] [--mb N] [--mbps N]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/bench
mb=100
mbps=30
while (($#)); do
    case $1 in
    --build) build=$(cd "$2" && pwd) ;;
    --mb) mb=$2 ;;
    --mbps) mbps=$2 ;;
    *) echo "usage: bench/package_stall.sh [--build DIR] [--mb N] [--mbps N]" >&2; exit 2 ;;
    esac
    shift 2
done
bench=$build/bench/loop_bench
loggen=$build/tools/loggen/logcomp-loggen
media=$build/test-media
for f in "$bench" "$loggen"; do
    [[ -x $f ]] || { echo "package_stall.sh: $f is missing (bench/run.sh builds it)" >&2; exit 1; }
done

work=$(mktemp -d /var/tmp/package-stall.XXXXXX)
cgroup=/sys/fs/cgroup/blkio/logcomp-card-$$
dev=""
cleanup() {
    [[ -n $dev ]] && losetup -d "$dev"
    [[ -d $cgroup ]] && rmdir "$cgroup"
    rm -rf "$work"
}
trap cleanup EXIT

# measure NAME MOUNT [JOIN]: one package request of an mb-sized day on the mounted medium.
measure() {
    mkdir -p "$media"
    unshare -m bash -euo pipefail -c "
        mount --make-rprivate /
        $2
        mkdir -p '$media/log' '$media/corpus'
        '$loggen' --dir '$media/corpus' --from 2026-12-03 --to 2026-12-03 --mb-per-day $mb
        sync
        ${3:-}
        '$bench' --corpus '$media/corpus' --date 2026-12-03 --idle-seconds 0.2 |
            sed -n 's|^.*loop stall|$1: loop stall|p'
    "
}

measure "tmpfs" "mount -t tmpfs -o size=$((mb * 4))m tmpfs '$media'"

truncate -s $((mb * 4 + 64))M "$work/card.img"
dev=$(losetup -f --show "$work/card.img")
mkfs.ext4 -q "$dev"
mkdir "$cgroup"
echo "$(lsblk -dno MAJ:MIN "$dev" | tr -d ' ') $((mbps * 1048576))" >"$cgroup/blkio.throttle.write_bps_device"
measure "card at $mbps MB/s" "mount '$dev' '$media'" "echo \$\$ > '$cgroup/tasks'"
