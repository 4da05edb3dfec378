#!/usr/bin/env bash
# The compressor writes one gzip member per slice. Checks that ordinary readers take such a
# file whole: gzip -t, zcat, pigz -d and Python's gzip module on the day's <file>.gz, or
# tar -xzf on a packaged archive of the day. Prints ROW| lines for bench/run.sh; exits 1 when
# a reader fails or gives back other bytes.
#   bench/readers_check.sh CORPUS DATE
#   bench/readers_check.sh --archive ARCHIVE.tar.gz CORPUS DATE
set -uo pipefail

archive=
if [[ ${1:-} == --archive ]]; then archive=$2; shift 2; fi
corpus=$1 date_=$2
mapfile -t files < <(cd "$corpus" && ls -- *"$date_"*.log)  # the day's logs, as generated
status=0

row() { # measure, passed (0/1)
    local verdict=met value=yes
    (($2)) || { verdict=missed value=NO; status=1; }
    echo "ROW|1 multi-member output|$1|$value|whole, same bytes|$verdict"
}

if [[ -n $archive ]]; then
    back=$(mktemp -d)
    ok=1
    tar -xzf "$archive" -C "$back" || ok=0
    for f in "${files[@]}"; do cmp -s "$corpus/$f" "$back/$f" || ok=0; done
    rm -rf "$back"
    row "tar -xzf of a packaged archive gives the day's 4 files back" $ok
    exit $status
fi

all() { # command template run per file; ok when each output equals its source
    local ok=1 f
    for f in "${files[@]}"; do
        "$@" "$corpus/$f.gz" | cmp -s - "$corpus/$f" || ok=0
    done
    echo $ok
}
gzip_t=1
for f in "${files[@]}"; do gzip -t "$corpus/$f.gz" || gzip_t=0; done
row "gzip -t of the day's 4 outputs" $gzip_t
row "zcat of the 4 outputs = their sources" "$(all zcat)"
row "pigz -d -c of the 4 outputs = their sources" "$(all pigz -d -c)"
row "Python gzip module reads the 4 outputs = their sources" "$(all python3 -c '
import gzip, sys
sys.stdout.buffer.write(gzip.open(sys.argv[1]).read())')"

# What a reader that does not loop over members would see of the largest file.
python3 - "$corpus/$date_.log.gz" <<'EOF'
import sys, zlib
data = open(sys.argv[1], "rb").read()
members, first, rest = 0, None, data
while rest:
    d = zlib.decompressobj(31)
    out = d.decompress(rest)
    members += 1
    first = len(out) if first is None else first
    rest = d.unused_data
print("ROW|1 multi-member output|gzip members in %s; one bare inflate() stream alone stops after|"
      "%d members; %d bytes|-|-" % (sys.argv[1].rsplit("/", 1)[-1], members, first))
EOF
exit $status
