#!/bin/sh
# Builds a small bootable-looking disk image: an MBR with one FAT32 boot partition holding a
# config.txt and cmdline.txt, compressed with xz. Needs sfdisk, mkfs.fat, mtools and xz; no root.
# Usage: make-sample-image.sh OUTPUT.img.xz [SIZE_MIB]
set -eu
out=${1:?usage: make-sample-image.sh OUTPUT.img.xz [SIZE_MIB]}
size_mib=${2:-64}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
img="$tmp/sample.img"
part_start=8192                      # sectors: the boot partition starts at 4 MiB
truncate -s "${size_mib}M" "$img"
printf 'label: dos\nstart=%s, type=c, bootable\n' "$part_start" | /sbin/sfdisk -q "$img"
part_kib=$(( size_mib * 1024 - part_start / 2 ))
/sbin/mkfs.fat -F 32 -n BOOT --offset "$part_start" "$img" "$part_kib" >/dev/null
printf 'arm_64bit=1\nenable_uart=1\n' > "$tmp/config.txt"
printf 'console=ttyS2,115200 root=/dev/mmcblk1p2 rootwait' > "$tmp/cmdline.txt"
mcopy -i "$img@@$(( part_start * 512 ))" "$tmp/config.txt" "$tmp/cmdline.txt" ::/
xz -T1 -6 -c "$img" > "$out"
