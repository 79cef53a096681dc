#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and running need.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git python3 python3-gi clang
  libicu-dev nlohmann-json3-dev libcurl4-openssl-dev openssl
  libglib2.0-dev libsecret-1-dev libsecret-tools gnome-keyring dbus
  libgtest-dev libgmock-dev libbenchmark-dev
  gettext curl hyperfine dpkg-dev lintian zsh gcovr man-db
  libpocketsphinx-dev pocketsphinx pocketsphinx-en-us pocketsphinx-testdata
  libsndfile1-dev libsamplerate0-dev libical-dev
  libpulse-dev pulseaudio pulseaudio-utils
  libx11-dev libxtst-dev libxfixes-dev xvfb xdotool xclip x11-utils
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
