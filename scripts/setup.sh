#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test nuvex
# (and, with --bench, to run the benchmarks).
# Safe to run again: apt-get skips what is already installed.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libopenal-dev libvorbis-dev libmodplug-dev
  libsndfile1-dev libmpg123-dev libflac-dev libopusfile-dev libfluidsynth-dev
  googletest libgtest-dev libgmock-dev
  clang libclang-rt-14-dev llvm valgrind
)
# With --bench, what the benchmarks alone use: the 148 MB GM SoundFont.
if [ "${1:-}" = "--bench" ]; then
  packages+=(fluid-soundfont-gm)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "setup: run as root to install: ${missing[*]}" >&2; exit 1; }
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
