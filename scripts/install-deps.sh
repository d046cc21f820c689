#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Pixavella needs.
# Idempotent: packages already present are left alone. Works on a fresh Debian 12.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config clang-format ccache
  # Qt 6 (Core, Network, Widgets, DBus, Sql, Test, Concurrent) and its SQLite driver
  qt6-base-dev qt6-base-dev-tools libqt6sql6-sqlite libqt6sql6-psql libqt6svg6
  qt6-image-formats-plugins
  # the Immich double's event channel test: a real WebSocket client
  qt6-websockets-dev
  # secrets, FUSE, EXIF, small HTTP servers
  qtkeychain-qt6-dev libfuse3-dev fuse3 libexiv2-dev libcpp-httplib-dev
  # test tools: a session bus, a Secret Service, an X server, the user's file tools
  dbus dbus-x11 gnome-keyring libsecret-tools xvfb xauth libglib2.0-bin rsync curl
  # the desktop's photo thumbnailer, which the drive tests run on the mount
  libgdk-pixbuf2.0-bin
  # the drive tests' network relay (tests/drive/tcp-relay.py)
  python3
  # gio trash --list/--restore talk to the trash backend of gvfs: the daemons, and the GIO
  # module (package gvfs) through which gio reaches them
  gvfs gvfs-daemons
  # fixtures: HEIC from JPEG, image conversion
  libheif-examples imagemagick
  # names service with PostgreSQL
  postgresql
  # benchmarks: apt-get source unpacks libfuse's source with dpkg-source (bench/passthrough.sh);
  # the drop benchmark counts the daemon's system calls with strace
  dpkg-dev strace
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
