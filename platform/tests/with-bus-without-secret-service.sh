#!/bin/sh
# Runs a command on a private session bus where no Secret Service exists or can be started.
exec dbus-run-session --config-file="$(dirname "$0")/bus-without-services.conf" -- "$@"
