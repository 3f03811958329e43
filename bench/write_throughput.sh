#!/bin/bash
# Write-pipeline benchmark: our --cli writer against dd, xz, zstd and sha256sum on the same loop
# device and the same data, in one run, alternating, several rounds (best round counts).
# Needs root (loop device) and about 3 * SIZE of free space in $BENCH_DIR (default /var/tmp).
# Usage: bench/write_throughput.sh [BUILD_DIR] [SIZE_MIB] [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
size_mib=${2:-1024}
rounds=${3:-3}
imager="$PWD/$build/src/app/q5-orl-imager"
[ -x "$imager" ] || { echo "build the program first: scripts/setup.sh $build" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "needs root for the loop device" >&2; exit 1; }

work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/q5-bench.XXXXXX")
loop=""
cleanup() { [ -n "$loop" ] && losetup -d "$loop"; rm -rf "$work"; }
trap cleanup EXIT

export HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" XDG_CACHE_HOME="$work/home/cache"
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent"

# Image data that compresses roughly like an OS image: half text-like noise, half zeros.
/usr/bin/python3 - "$work/image.img" "$size_mib" <<'PY'
import os, sys, base64
out, mib = sys.argv[1], int(sys.argv[2])
with open(out, "wb") as f:
    for i in range(mib):
        f.write(base64.b64encode(os.urandom(393216)))  # 512 KiB of base64 text
        f.write(bytes(524288))
PY
xz -T0 -1 -k -c "$work/image.img" > "$work/image.img.xz"
zstd -q -T0 -3 -c "$work/image.img" > "$work/image.img.zst"
sha=$(sha256sum "$work/image.img" | cut -d' ' -f1)

truncate -s $(( size_mib + 64 ))M "$work/drive.bin"
loop=$(losetup -f --show "$work/drive.bin")

# The writer discards the whole drive before writing (freshly discarded blocks cost the loop
# device's backing file new allocations), so every reference that writes the drive does too.
# Runs a command line, prints "seconds peak_rss_kib".
measure() {
    sync; echo 3 > /proc/sys/vm/drop_caches
    /usr/bin/time -f "%e %M" -o "$work/time" bash -c "$1" >/dev/null 2>"$work/err" ||
        { cat "$work/err" >&2; exit 1; }
    cat "$work/time"
}
ours() { echo "'$imager' --cli --quiet --enable-writing-system-drives --disable-eject $1"; }

declare -A best rss
record() {  # name seconds rss
    if [ -z "${best[$1]:-}" ] || awk "BEGIN{exit !($2 < ${best[$1]})}"; then best[$1]=$2; fi
    rss[$1]=$3
}

for r in $(seq "$rounds"); do
    read -r t m < <(measure "blkdiscard $loop; dd if='$work/image.img' of=$loop bs=4M conv=fsync status=none"); record dd_raw "$t" "$m"
    read -r t m < <(measure "$(ours "--disable-verify '$work/image.img' $loop")"); record raw "$t" "$m"
    read -r t m < <(measure "$(ours "--sha256 $sha '$work/image.img' $loop")"); record raw_verify "$t" "$m"
    read -r t m < <(measure "dd if=$loop bs=4M count=$(( size_mib / 4 )) status=none | sha256sum"); record dd_readback "$t" "$m"
    read -r t m < <(measure "xz -T1 -dc '$work/image.img.xz' > /dev/null"); record xz_alone "$t" "$m"
    read -r t m < <(measure "blkdiscard $loop; xz -T1 -dc '$work/image.img.xz' | dd of=$loop bs=4M iflag=fullblock conv=fsync status=none"); record xz_dd "$t" "$m"
    read -r t m < <(measure "$(ours "--disable-verify '$work/image.img.xz' $loop")"); record xz "$t" "$m"
    read -r t m < <(measure "blkdiscard $loop; zstd -q -dc '$work/image.img.zst' | dd of=$loop bs=4M iflag=fullblock conv=fsync status=none"); record zstd_dd "$t" "$m"
    read -r t m < <(measure "$(ours "--disable-verify '$work/image.img.zst' $loop")"); record zst "$t" "$m"
    read -r t m < <(measure "sha256sum '$work/image.img'"); record sha256sum "$t" "$m"
done

line() {  # name ours reference
    awk -v n="$1" -v o="${best[$2]}" -v r="${best[$3]}" -v m="${rss[$2]}" \
        'BEGIN{printf "%s: ours %.2f s, reference %.2f s, ratio %.2f, peak RSS %.0f MB\n", n, o, r, o/r, m/1024}'
}
echo "image: ${size_mib} MiB, best of $rounds rounds, loop device over a file in ${BENCH_DIR:-/var/tmp}"
line "raw write vs dd bs=4M conv=fsync" raw dd_raw
line ".xz write vs xz -T1 -dc > /dev/null" xz xz_alone
line ".xz write vs xz -T1 -dc | dd" xz xz_dd
line ".zst write vs zstd -dc | dd" zst zstd_dd
verify=$(awk -v a="${best[raw_verify]}" -v b="${best[raw]}" 'BEGIN{print a-b}')
awk -v v="$verify" -v r="${best[dd_readback]}" -v m="${rss[raw_verify]}" \
    'BEGIN{printf "verification read-back vs dd | sha256sum: ours %.2f s, reference %.2f s, ratio %.2f, peak RSS %.0f MB\n", v, r, v/r, m/1024}'
line "hashing (raw write incl. hash) vs sha256sum" raw sha256sum
