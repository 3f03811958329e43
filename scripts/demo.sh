#!/bin/sh
# Installs what is missing, builds, and writes a generated sample image (MBR + FAT boot
# partition, xz-compressed) to a plain file in the build tree, verifying it by reading it back.
# Needs no root for the write and touches no drive.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh build -DQ5_BUILD_TESTS=OFF
demo=build/demo
mkdir -p "$demo"
scripts/make-sample-image.sh "$demo/sample.img.xz"
rm -f "$demo/sample-written.img"
HOME="$PWD/$demo/home" XDG_CONFIG_HOME="$PWD/$demo/home/config" \
XDG_CACHE_HOME="$PWD/$demo/home/cache" DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent" \
    build/src/app/q5-orl-imager --cli --enable-writing-system-drives \
    --sha256 "$(xz -dc "$demo/sample.img.xz" | sha256sum | cut -d' ' -f1)" \
    "$demo/sample.img.xz" "$demo/sample-written.img"
echo "Written and verified: $demo/sample-written.img"
mdir -i "$demo/sample-written.img@@4M" ::/
