#!/usr/bin/env bash
# Installs every Debian package that building, testing and the demo need.
# Safe to run again: apt-get skips what is already installed, and the package
# lists are refreshed only when they are missing or older than a day.
set -euo pipefail

packages=(
  # build
  build-essential cmake pkg-config clang lld libclang-rt-14-dev
  qtbase5-dev qtbase5-dev-tools libqt5test5 libqt5svg5
  libusb-1.0-0-dev
  # emulated USB devices
  umockdev libumockdev-dev libglib2.0-dev
  # the SANE backend, its JPEG decoding and the front ends it is tested with
  libsane-dev libsane1 sane-utils simple-scan libjpeg62-turbo-dev
  # print queues
  cups cups-client cups-bsd
  # virtual desktop, tray host, screenshots, reading windows from outside
  xvfb xauth trayer xdotool imagemagick x11-utils x11-xserver-utils
  fonts-wqy-microhei dbus dbus-x11 at-spi2-core python3 python3-gi gir1.2-atspi-2.0
  # the tray item's menu over D-Bus; a real item host, watcher and notification server for its tests
  libdbusmenu-qt5-dev haskell-gtk-sni-tray-utils haskell-status-notifier-item-utils xfce4-notifyd libglib2.0-bin
  # process and network tools used by tests and the demo
  procps psmisc iproute2 util-linux python3-minimal
  # the Debian packages: build, lint, check units and menu entries, install
  debhelper dpkg-dev lintian desktop-file-utils systemd adduser
  # the scan share: HTTP, XML, PNG; its real client, mDNS and PDF checks
  libmicrohttpd-dev libxml2-dev libpng-dev libavahi-client-dev sane-airscan avahi-daemon avahi-utils poppler-utils
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#packages[@]} packages already installed"
  exit 0
fi

stamp=/var/lib/apt/periodic/update-success-stamp
lists=$(find /var/lib/apt/lists -maxdepth 1 -name '*_Packages' -mmin -1440 2>/dev/null | head -n 1)
if [ -z "$lists" ]; then
  $SUDO apt-get update -q
fi
echo "setup: installing ${missing[*]}"
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
