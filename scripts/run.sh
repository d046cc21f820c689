#!/usr/bin/env bash
# Installs what is missing, builds in build/ and starts Pixavella.
#   scripts/run.sh                a demo: a local Immich-compatible server on 127.0.0.1 holding a
#                                 generated library, the names service, and Pixavella signed in
#   scripts/run.sh --server URL   Pixavella against your Immich server; sign in in its window
# Ctrl+C (or SIGTERM) stops everything it started and removes the drive.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

usage() {
  sed -n '2,6s/^# \{0,1\}//p' "$0"
}

server=""
while [ $# -gt 0 ]; do
  case "$1" in
    --server)
      [ $# -ge 2 ] || { usage >&2; exit 2; }
      server=$2
      shift 2
      ;;
    -h | --help)
      usage
      exit 0
      ;;
    *)
      usage >&2
      exit 2
      ;;
  esac
done

scripts/install-deps.sh
# The same configuration as scripts/test.sh, so a later test run reuses this build.
export CCACHE_BASEDIR="$root"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE= -DPIXAVELLA_WERROR=ON -DPIXAVELLA_BENCH=OFF \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null
cmake --build build -j "$(nproc)" \
  --target pixavella passerelle pixavella-names immich-double demo-library

pixavella=$root/build/app/program/pixavella
if [ -n "$server" ]; then
  exec "$pixavella" --server "$server"
fi

# ---- The demo.
mount_point=$HOME/Library/CloudStorage/Pixavella-Pixavella
email=demo@pixavella.local
password=demo

if mountpoint -q "$mount_point" 2>/dev/null || pgrep -u "$(id -u)" -x pixavella >/dev/null; then
  echo "Pixavella is already running for $(id -un); quit it first (menu \"Quitter\")." >&2
  exit 1
fi
# The demo signs in with the desktop's Secret Service and signs out at the end, which deletes the
# stored key: never do that to a real session.
keyring=""
if [ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] && command -v secret-tool >/dev/null; then
  keyring=1
  if timeout 5 secret-tool lookup server app.pixavella.immich user immich.apiKey >/dev/null 2>&1; then
    echo "Pixavella holds a sign-in to a server in your keyring; the demo would replace it." >&2
    echo "Sign out first ($pixavella --sign-out), or run: scripts/run.sh --server URL" >&2
    exit 1
  fi
fi

run=$(mktemp -d "${TMPDIR:-/tmp}/pixavella-demo.XXXXXX")
# The demo keeps its settings, queue and caches in the run folder, apart from a real session's.
export XDG_DATA_HOME=$run/data XDG_CONFIG_HOME=$run/config XDG_CACHE_HOME=$run/cache
mkdir -p "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME"

double_pid=""
names_pid=""
app_pid=""

# Daemons started by this checkout's pixavella.
our_passerelles() {
  local pid
  for pid in $(pgrep -u "$(id -u)" -x passerelle || true); do
    if [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$root/build/passerelle/passerelle" ]; then
      echo "$pid"
    fi
  done
}

stop_pid() {
  local pid=$1 waited=0
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null || true
  while kill -0 "$pid" 2>/dev/null && [ $waited -lt 100 ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  kill -KILL "$pid" 2>/dev/null || true
}

stopping=""
stop_demo() {
  [ -z "$stopping" ] || return 0
  stopping=1
  trap '' INT TERM HUP
  echo
  echo "Stopping the demo…"
  if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then
    # Revokes the demo's key and deletes it from the keyring, then removes the drive.
    timeout 30 "$pixavella" --sign-out >/dev/null 2>&1 || true
    stop_pid "$app_pid"
  fi
  # Pixavella quit from its menu does not sign out: the key in the keyring is the demo's (there
  # was none at the start), so it goes too.
  if [ -n "$keyring" ]; then
    timeout 5 secret-tool clear server app.pixavella.immich user immich.apiKey 2>/dev/null || true
  fi
  local pid
  for pid in $(our_passerelles); do stop_pid "$pid"; done
  if mountpoint -q "$mount_point" 2>/dev/null; then
    fusermount3 -u -z "$mount_point" 2>/dev/null || true
  fi
  stop_pid "$names_pid"
  stop_pid "$double_pid"
  rm -rf "$run"
  echo "Stopped; nothing of the demo is left running."
}
trap stop_demo EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# Waits for "listening on HOST:PORT" in a log and prints the port.
port_of() {
  local log=$1 pid=$2 waited=0
  while ! grep -q '^listening on ' "$log" 2>/dev/null; do
    if ! kill -0 "$pid" 2>/dev/null || [ $waited -ge 300 ]; then
      cat "$log" >&2
      return 1
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$log" | head -n 1
}

echo "Drawing the demo library…"
build/immich-double/demo-library "$run/library" "$email"

# Each in its own process group: Ctrl+C reaches this script only, which stops them in order.
setsid build/immich-double/immich-double --port 0 --demo "$run/library" \
  --user "$email:$password" >"$run/immich-double.log" 2>&1 &
double_pid=$!
port=$(port_of "$run/immich-double.log" "$double_pid")
url=http://127.0.0.1:$port

setsid build/names-service/pixavella-names --immich-url "$url" --listen 127.0.0.1:0 \
  --database "$run/names.sqlite" >"$run/names.log" 2>&1 &
names_pid=$!
names_port=$(port_of "$run/names.log" "$names_pid")
# Like a reverse proxy in front of Immich: the names service answers at $url/pixavella-names.
curl -fsS -X POST -d "{\"prefix\":\"/pixavella-names\",\"url\":\"http://127.0.0.1:$names_port\"}" \
  "$url/_double/forward" >/dev/null

echo "Starting Pixavella, signed in as $email on $url…"
PIXAVELLA_PASSWORD=$password setsid "$pixavella" --server "$url" --sign-in "$email" &
app_pid=$!

waited=0
until mountpoint -q "$mount_point" 2>/dev/null; do
  if ! kill -0 "$app_pid" 2>/dev/null; then
    wait "$app_pid" || true
    echo "Pixavella stopped before the drive was mounted." >&2
    exit 1
  fi
  if [ $waited -ge 600 ]; then
    echo "The drive did not appear at $mount_point within a minute." >&2
    exit 1
  fi
  sleep 0.1
  waited=$((waited + 1))
done

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  (gio open "$mount_point" || xdg-open "$mount_point") >/dev/null 2>&1 &
fi
cat <<EOF

Pixavella is running. The drive is mounted at
    $mount_point
It holds the demo library of $email ("Mes photos", "Mes albums", "Mes albums partagés").
Drop photos into it, make albums with new folders, rename and trash photos.

The demo server is $url (its log: $run/immich-double.log).
Press Ctrl+C here (or send SIGTERM to $$) to stop: Pixavella signs out and quits, the drive is
removed and the demo server and names service stop.
EOF

wait "$app_pid" || true
app_pid=""
