#!/usr/bin/env bash
# Sets up, builds, and runs the project's main job: plays the demo piece
# (synthesised by the build) with nuvex-play. Where nothing can be heard (no
# sound card, or OpenAL's silent null output) it renders the demo to a WAV
# file instead and says where it is and what it holds.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${NUVEX_BUILD_DIR:-build}

scripts/setup.sh
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target nuvex-play nuvex-demo

player=$(cd "$build" && pwd)/tools/nuvex-play
demo=$(cd "$build" && pwd)/demo
files=("$demo/demo.ogg" "$demo/demo.mod")
rendered=$demo/demo-rendered.wav

echo
echo "==> The demo: a short piece in C major as Ogg Vorbis, then its chords as a tracker module"
"$player" --info "${files[@]}" | sed 's/^/    /'
echo

render() { # reason
  echo "==> $1"
  echo "    Rendering the demo to a WAV file instead (no sound card needed)."
  "$player" --render "$rendered" "${files[@]}"
  echo
  echo "The demo is in $rendered:"
  echo "exactly what a listener would hear, demo.ogg followed by demo.mod, as 16-bit"
  echo "stereo PCM at 44100 Hz. Copy it to a machine with speakers, or play it with"
  echo "any audio player (for example: aplay $rendered)."
}

# OpenAL Soft's null output opens like a device but plays into nothing.
if [[ ",${ALSOFT_DRIVERS:-}," == *",null,"* ]]; then
  render "ALSOFT_DRIVERS=null: OpenAL's output is the silent null device, so nothing would be heard."
  exit 0
fi

# ALSA's list of cards is the quick answer; PulseAudio or PipeWire may still
# offer an output without one, so the player has the last word.
if [[ -r /proc/asound/cards ]] && ! grep -q "no soundcards" /proc/asound/cards; then
  has_card=yes
else
  has_card=no
fi
if [[ $has_card == no && -z "${PULSE_SERVER:-}" && ! -S "${XDG_RUNTIME_DIR:-/nonexistent}/pulse/native" ]]; then
  render "No sound card: ALSA lists none and no sound server is running."
  exit 0
fi

echo "==> Playing the demo through the default output device (Ctrl-C stops it)"
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
status=0
"$player" "${files[@]}" 2>"$errors" || status=$?
if [[ $status -eq 0 || $status -eq 130 ]]; then
  exit "$status"
fi
if grep -q "Device open failed" "$errors"; then
  render "No usable sound output: OpenAL could not open the default device."
  exit 0
fi
grep -v '^ALSA lib\|^AL lib' "$errors" >&2 || true
exit "$status"
