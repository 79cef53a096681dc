#!/usr/bin/env bash
# Runs a command with the services the tests talk to, under a throw-away HOME:
# a private D-Bus session with an unlocked gnome-keyring Secret Service.
# Everything started here stops when the command ends.
set -euo pipefail

scratch="$(mktemp -d /tmp/quillet-services.XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
export HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/home/.config" XDG_DATA_HOME="$scratch/home/.local/share"
export XDG_RUNTIME_DIR="$scratch/run"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

inner() {
  # The keyring reads its unlock password on standard input.
  eval "$(printf 'quillet-test\n' | gnome-keyring-daemon --unlock --components=secrets)"
  export GNOME_KEYRING_CONTROL
  local status=0
  "$@" || status=$?
  [ -n "${GNOME_KEYRING_PID:-}" ] && kill "$GNOME_KEYRING_PID" 2>/dev/null || true
  pkill -u "$(id -u)" -f "gnome-keyring-daemon.*$scratch" 2>/dev/null || true
  return $status
}
export -f inner
exec dbus-run-session -- bash -c 'inner "$@"' inner "$@"
