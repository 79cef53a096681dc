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
  pactl info >/dev/null 2>&1 || { echo "the sound server did not start:"; tail -20 "$scratch/pulseaudio.log"; exit 1; }
  pactl set-default-sink quillet_a >/dev/null
  pactl set-default-source quillet_a.monitor >/dev/null
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
  [ -e "/tmp/.X11-unix/X$n" ] || { echo "Xvfb did not start:"; tail -20 "$scratch/xvfb.log"; exit 1; }
}

start_pulseaudio
start_xvfb

inner() {
  # The keyring reads its unlock password on standard input.
  printf 'quillet-test\n' | env -u DISPLAY gnome-keyring-daemon --foreground --unlock --components=secrets \
    >"$HOME/keyring.log" 2>&1 &
  local keyring=$!
  owned() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q true
  }
  # One daemon, ours: a request that came before it owned the name would have
  # the bus start a second one whose keyring nobody unlocked.
  for _ in $(seq 200); do owned && break; sleep 0.05; done
  owned || { echo "with-services.sh: the keyring did not come up" >&2; return 1; }
  # The first store creates and unlocks the keyring's collection, which can
  # take seconds on a loaded machine: done here, without the tool's limit.
  printf x | secret-tool store --label=warm-up service quillet-warm-up account x >/dev/null 2>&1 &&
    secret-tool clear service quillet-warm-up account x >/dev/null 2>&1 || true
  local status=0
  "$@" || status=$?
  kill "$keyring" 2>/dev/null || true
  # A daemon the bus started in this session has our runtime folder in its
  # environment; those of other sessions are left alone.
  local pid
  for pid in $(pgrep -u "$(id -u)" -f gnome-keyring-daemon); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR" && kill "$pid" 2>/dev/null
  done
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
