#!/bin/sh
# Installs what a fresh Debian 12 machine lacks to build and test q5-orl-imager, then configures
# and builds. Usage: scripts/setup.sh [BUILD_DIR [extra cmake arguments...]]
set -eu
cd "$(dirname "$0")/.."
build_dir=${1:-build}
[ $# -gt 0 ] && shift

packages="cmake g++ ninja-build pkg-config
  qt6-base-dev qt6-declarative-dev qt6-serialport-dev qt6-tools-dev qt6-l10n-tools
  qt6-declarative-dev-tools qml6-module-qtquick-controls qml6-module-qtquick-templates
  qml6-module-qtquick-layouts qml6-module-qtqml-workerscript qml6-module-qtquick-window
  qml6-module-qttest libcurl4-gnutls-dev libarchive-dev libgnutls28-dev libusb-1.0-0-dev
  liblzma-dev
  xz-utils zstd bzip2 gzip pigz p7zip-full zip unzip dosfstools mtools fdisk parted util-linux
  qml6-module-qtqml-models qml6-module-qtquick qml6-module-qtqml wpasupplicant tigervnc-tools openssh-client openssl perl
  dbus python3-dbus python3-gi fusefat python3-fusepy fuse socat lrzsz busybox udhcpc
  tftpd-hpa tftp-hpa atftp curl tcpdump tshark python3-scapy iproute2 ethtool bc xvfb xauth"

missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
        missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $missing
fi

cmake -S . -B "$build_dir" -G Ninja "$@"
cmake --build "$build_dir" -j "$(nproc)"
