#!/bin/sh
# Throughput of netfeeder's TFTP server against tftpd-hpa (in.tftpd) on the same data: a 200 MiB
# file fetched over a veth pair between two private network namespaces with the same client
# (tftp-hpa, 512-byte blocks), alternating, several rounds. Needs root; run by hand, not in CI.
#
#   bench/tftp_throughput.sh [path/to/netfeeder] [rounds]
#
# Prints one line per comparison: name: ours X s, reference Y s, ratio X/Y, peak RSS Z MB
set -eu

NETFEEDER=$(readlink -f "${1:-build-netfeeder/netfeeder/netfeeder}")
ROUNDS=${2:-3}
SIZE_MIB=200
[ "$(id -u)" = 0 ] || { echo "needs root (network namespaces)"; exit 1; }
[ -x "$NETFEEDER" ] || { echo "netfeeder not found at $NETFEEDER"; exit 1; }
for tool in tftp /usr/sbin/in.tftpd ip; do
    command -v "$tool" >/dev/null || { echo "needs $tool"; exit 1; }
done

TAG=q5bench-$$
SRV=$TAG-srv
BRD=$TAG-brd
WORK=$(mktemp -d)
FEEDER_PID=
REF_PID=
# CPU time is read from a cpuacct cgroup per server: it also counts the transfer children that
# in.tftpd forks.
CPU_GROUPS=/sys/fs/cgroup/cpuacct
[ -w "$CPU_GROUPS" ] || { echo "needs the cpuacct cgroup at $CPU_GROUPS"; exit 1; }

cleanup() {
    set +e
    for pid in $FEEDER_PID $REF_PID; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    ip netns del "$SRV" 2>/dev/null || true
    for group in "$CPU_GROUPS"/$TAG-*; do
        [ -d "$group" ] && rmdir "$group"
    done
    ip netns del "$BRD" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

mkdir "$WORK/served" "$WORK/shim"
head -c $((SIZE_MIB * 1024 * 1024)) /dev/urandom > "$WORK/served/image.bin"
# netfeeder configures the interface through pkexec; the real one needs a polkit agent.
printf '#!/bin/sh\nexec "$@"\n' > "$WORK/shim/pkexec"
chmod +x "$WORK/shim/pkexec"

ip netns add "$SRV"
ip netns add "$BRD"
ip link add q5srv0 netns "$SRV" type veth peer name q5brd0 netns "$BRD"
ip -n "$SRV" link set lo up
ip -n "$BRD" addr add 10.42.0.12/24 dev q5brd0
ip -n "$BRD" link set q5brd0 up

PATH="$WORK/shim:$PATH" ip netns exec "$SRV" "$NETFEEDER" --interface q5srv0 \
    --target-directory "$WORK/served" > "$WORK/feeder.log" 2>&1 &
FEEDER_PID=$!
for _ in $(seq 50); do
    grep -q "Main loop started!" "$WORK/feeder.log" && break
    sleep 0.1
done
# After netfeeder has put the server address on the interface.
ip netns exec "$SRV" /usr/sbin/in.tftpd -L -s "$WORK/served" -a 10.42.0.11:6969 &
REF_PID=$!
sleep 0.3
for server in feeder:$FEEDER_PID ref:$REF_PID; do
    mkdir "$CPU_GROUPS/$TAG-${server%%:*}"
    echo "${server#*:}" > "$CPU_GROUPS/$TAG-${server%%:*}/cgroup.procs"
done

cpu_seconds() { awk '{ printf "%.6f", $1 / 1e9 }' "$CPU_GROUPS/$TAG-$1/cpuacct.usage"; }
peak_rss_mb() { awk '/VmHWM/ { printf "%.1f", $2 / 1024 }' "/proc/$1/status"; }

fetch() { # port -> seconds
    rm -f "$WORK/got"
    start=$(date +%s.%N)
    ip netns exec "$BRD" tftp -m binary 10.42.0.11 "$1" -c get image.bin "$WORK/got"
    end=$(date +%s.%N)
    cmp -s "$WORK/got" "$WORK/served/image.bin" || { echo "fetch from port $1 differs"; exit 1; }
    echo "$end - $start" | bc -l
}

ours=0; ref=0; ours_cpu=0; ref_cpu=0
for round in $(seq "$ROUNDS"); do
    c0=$(cpu_seconds feeder)
    t=$(fetch 69)
    c1=$(cpu_seconds feeder)
    ours=$(echo "$ours + $t" | bc -l); ours_cpu=$(echo "$ours_cpu + $c1 - $c0" | bc -l)
    r0=$(cpu_seconds ref)
    t=$(fetch 6969)
    r1=$(cpu_seconds ref)
    ref=$(echo "$ref + $t" | bc -l); ref_cpu=$(echo "$ref_cpu + $r1 - $r0" | bc -l)
    echo "round $round done" >&2
done

mib=$((SIZE_MIB * ROUNDS))
printf 'tftp %d MiB 512 B blocks: ours %.2f s, reference %.2f s, ratio %.2f, peak RSS %s MB\n' \
    "$SIZE_MIB" "$(echo "$ours / $ROUNDS" | bc -l)" "$(echo "$ref / $ROUNDS" | bc -l)" \
    "$(echo "$ours / $ref" | bc -l)" "$(peak_rss_mb "$FEEDER_PID")"
printf 'tftp throughput: ours %.1f MiB/s, reference %.1f MiB/s, ratio %.2f (target >= 0.9)\n' \
    "$(echo "$mib / $ours" | bc -l)" "$(echo "$mib / $ref" | bc -l)" "$(echo "$ref / $ours" | bc -l)"
printf 'tftp server CPU per MiB: ours %.2f ms, reference %.2f ms\n' \
    "$(echo "1000 * $ours_cpu / $mib" | bc -l)" "$(echo "1000 * $ref_cpu / $mib" | bc -l)"
