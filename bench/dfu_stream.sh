#!/bin/sh
# Host-side cost of streaming an image into a simulated board's "rawemmc" setting with zero poll
# time-out, against the simulated device's own work alone (writing the same blocks to its sink).
# Usage: bench/dfu_stream.sh [BUILD_DIR] [MiB] [BLOCK_SIZE]
set -eu
BUILD=${1:-build-dfu}
MIB=${2:-256}
BLOCK=${3:-4096}
RUNS=3

cmake --build "$BUILD" --target dfu_stream_bench >/dev/null
BIN="$BUILD/tests/dfu/dfu_stream_bench"

cpu_of() { sed -n 's/^cpu \([0-9.]*\) s.*/\1/p'; }
rss_of() { sed -n 's/.*peak RSS \([0-9.]*\) MB.*/\1/p'; }

ours_best=; ref_best=; rss=; per_mib=
i=0
while [ $i -lt $RUNS ]; do
    out=$("$BIN" "$MIB" "$BLOCK")
    ref=$("$BIN" --raw "$MIB" "$BLOCK")
    o=$(echo "$out" | cpu_of); r=$(echo "$ref" | cpu_of)
    if [ -z "$ours_best" ] || [ "$(echo "$o < $ours_best" | bc -l)" = 1 ]; then
        ours_best=$o; rss=$(echo "$out" | rss_of)
        per_mib=$(echo "$out" | sed -n 's/.*per MiB \([0-9.]*\) us.*/\1/p')
    fi
    if [ -z "$ref_best" ] || [ "$(echo "$r < $ref_best" | bc -l)" = 1 ]; then ref_best=$r; fi
    i=$((i + 1))
done

ratio=$(echo "scale=2; $ours_best / ($ref_best + 0.0005)" | bc -l)
echo "dfu_stream ${MIB} MiB in ${BLOCK}-byte blocks (host CPU ${per_mib} us per MiB):" \
     "ours ${ours_best} s, reference ${ref_best} s, ratio ${ratio}, peak RSS ${rss} MB"
