#!/bin/sh
# Runs a command on a private session bus with gnome-keyring's Secret Service, its login
# keyring created (or unlocked) with a throwaway password. Both end with the command.
# The daemon forks before it owns its bus name; on a loaded machine the command could
# otherwise start before the service exists, so wait (up to 10 s) until the name has an owner.
exec dbus-run-session -- sh -c '
    echo -n testpassword | gnome-keyring-daemon --unlock --components=secrets >/dev/null
    tries=0
    until dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null \
            | grep -q "boolean true"; do
        tries=$((tries + 1))
        if [ "$tries" -ge 100 ]; then
            echo "with-secret-service.sh: the Secret Service did not start" >&2
            break
        fi
        sleep 0.1
    done
    exec "$@"' _ "$@"
