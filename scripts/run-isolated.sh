#!/usr/bin/env bash
# Runs a command with HOME and the XDG folders pointed at a fresh temporary folder,
# removed afterwards, so tests never see or change the real user's files.
set -u
root=$(mktemp -d "${TMPDIR:-/tmp}/pixavella-test.XXXXXX")
export HOME="$root/home" XDG_DATA_HOME="$root/data" XDG_CONFIG_HOME="$root/config" \
       XDG_CACHE_HOME="$root/cache" XDG_RUNTIME_DIR="$root/run" TMPDIR="$root/tmp"
mkdir -p "$HOME" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR" "$TMPDIR"
chmod 700 "$XDG_RUNTIME_DIR"
# No Secret Service unless a test starts one itself.
unset DBUS_SESSION_BUS_ADDRESS
"$@"
rc=$?
rm -rf "$root" 2>/dev/null
exit $rc
