#!/bin/bash
# Download-and-write benchmark: our --cli writer fetching a .zst image from the test suite's HTTP
# server on 127.0.0.1 and writing it to a loop device, against curl | zstd -dc | dd on the same
# data and the same device, in one run, alternating, several rounds (best round counts).
# Needs root (loop device) and about 3 * SIZE of free space in $BENCH_DIR (default /var/tmp).
# Usage: bench/download_write.sh [BUILD_DIR] [SIZE_MIB] [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
size_mib=${2:-1024}
rounds=${3:-3}
imager="$PWD/$build/src/app/q5-orl-imager"
[ -x "$imager" ] || { echo "build the program first: cmake --build $build --target q5-orl-imager" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "needs root for the loop device" >&2; exit 1; }

work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/q5-dlbench.XXXXXX")
loop=""
server=""
cleanup() {
    [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
    [ -n "$loop" ] && losetup -d "$loop"
    rm -rf "$work"
}
trap cleanup EXIT

export HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" XDG_CACHE_HOME="$work/home/cache"
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent"
unset http_proxy https_proxy all_proxy

# Image data that compresses roughly like an OS image: half text-like noise, half zeros.
mkdir -p "$work/root"
/usr/bin/python3 - "$work/image.img" "$size_mib" <<'PY'
import os, sys, base64
out, mib = sys.argv[1], int(sys.argv[2])
with open(out, "wb") as f:
    for i in range(mib):
        f.write(base64.b64encode(os.urandom(393216)))  # 512 KiB of base64 text
        f.write(bytes(524288))
PY
zstd -q -T0 -3 -c "$work/image.img" > "$work/root/image.img.zst"
rm -f "$work/image.img"

/usr/bin/python3 tests/support/httpserver.py --root "$work/root" --log /dev/null > "$work/port" &
server=$!
for _ in $(seq 50); do grep -q PORT "$work/port" && break; sleep 0.1; done
url="http://127.0.0.1:$(awk '{print $2}' "$work/port")/image.img.zst"

truncate -s $(( size_mib + 64 ))M "$work/drive.bin"
loop=$(losetup -f --show "$work/drive.bin")

# Runs a command line, prints "seconds peak_rss_kib".
measure() {
    sync; echo 3 > /proc/sys/vm/drop_caches
    /usr/bin/time -f "%e %M" -o "$work/time" bash -c "$1" >/dev/null 2>"$work/err" ||
        { cat "$work/err" >&2; exit 1; }
    cat "$work/time"
}

declare -A best rss
record() {  # name seconds rss
    if [ -z "${best[$1]:-}" ] || awk "BEGIN{exit !($2 < ${best[$1]})}"; then best[$1]=$2; fi
    rss[$1]=$3
}

for r in $(seq "$rounds"); do
    read -r t m < <(measure "curl -s '$url' | zstd -q -dc | dd of=$loop bs=4M iflag=fullblock conv=fsync status=none"); record reference "$t" "$m"
    read -r t m < <(measure "'$imager' --cli --quiet --enable-writing-system-drives --disable-eject --disable-verify '$url' $loop"); record ours "$t" "$m"
done

echo "image: ${size_mib} MiB raw, $(( $(stat -c %s "$work/root/image.img.zst") / 1048576 )) MiB .zst, best of $rounds rounds, loop device over a file in ${BENCH_DIR:-/var/tmp}"
awk -v o="${best[ours]}" -v r="${best[reference]}" -v m="${rss[ours]}" \
    'BEGIN{printf "download .zst and write vs curl | zstd -dc | dd: ours %.2f s, reference %.2f s, ratio %.2f, peak RSS %.0f MB\n", o, r, o/r, m/1024}'
