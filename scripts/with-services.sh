#!/usr/bin/env bash
# Runs a command with the services the tests talk to, under a throw-away HOME:
# a private D-Bus session with an unlocked gnome-keyring Secret Service, a
# private PulseAudio server with two null sinks, and an Xvfb display.
# Everything started here stops when the command ends.
set -euo pipefail

scratch="$(mktemp -d /tmp/quillet-services.XXXXXX)"
export HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/home/.config" XDG_DATA_HOME="$scratch/home/.local/share"
export XDG_RUNTIME_DIR="$scratch/run"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT

# Sound: a server of our own, reachable only through its socket in the scratch
# folder, so the tests never hear or disturb a desktop's sound.
start_pulseaudio() {
  command -v pulseaudio >/dev/null || return 0
  export PULSE_RUNTIME_PATH="$scratch/pulse" PULSE_STATE_PATH="$scratch/pulse-state"
  mkdir -p "$PULSE_RUNTIME_PATH" "$PULSE_STATE_PATH"
  local socket="$PULSE_RUNTIME_PATH/native"
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --use-pid-file=no \
    --load="module-native-protocol-unix socket=$socket auth-anonymous=1" \
    --load="module-null-sink sink_name=quillet_a sink_properties=device.description=QuilletA" \
    --load="module-null-sink sink_name=quillet_b sink_properties=device.description=QuilletB" \
    --log-target=file:"$scratch/pulseaudio.log" &
  pids+=($!)
  export PULSE_SERVER="unix:$socket"
  for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.05; done
  pactl set-default-sink quillet_a >/dev/null 2>&1 || true
  pactl set-default-source quillet_a.monitor >/dev/null 2>&1 || true
}

# Display: Xvfb on the first free display number.
start_xvfb() {
  command -v Xvfb >/dev/null || return 0
  local n=90
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$scratch/xvfb.log" 2>&1 &
  pids+=($!)
  export DISPLAY=":$n"
  for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.05; done
}

start_pulseaudio
start_xvfb

inner() {
  # The keyring reads its unlock password on standard input.
  eval "$(printf 'quillet-test\n' | env -u DISPLAY gnome-keyring-daemon --unlock --components=secrets)"
  export GNOME_KEYRING_CONTROL
  local status=0
  "$@" || status=$?
  [ -n "${GNOME_KEYRING_PID:-}" ] && kill "$GNOME_KEYRING_PID" 2>/dev/null || true
  pkill -u "$(id -u)" -f "gnome-keyring-daemon.*$scratch" 2>/dev/null || true
  return $status
}
export -f inner
status=0
# What the bus starts on demand (the keyring's password prompter) must not
# reach the display: a prompt there waits for an answer no test gives, and
# grabs the keyboard that the hot-key and paste tests drive.
export QUILLET_TEST_DISPLAY="${DISPLAY:-}"
env -u DISPLAY dbus-run-session -- bash -c \
  '[ -n "$QUILLET_TEST_DISPLAY" ] && export DISPLAY="$QUILLET_TEST_DISPLAY"; unset QUILLET_TEST_DISPLAY; inner "$@"' \
  inner "$@" || status=$?
exit $status
