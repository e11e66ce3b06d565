#!/usr/bin/env bash
# Installs what is missing, builds the application and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

build=build
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELDRA_FREERDP_CLIENT=/usr/bin/xfreerdp >/dev/null
cmake --build "$build"

app="$build/Veldra Cloud Desktop.app/Contents/MacOS/VeldraCloudDesktop"
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "No display: start this from a desktop session (or set DISPLAY)." >&2
  echo "The application is built at: $app" >&2
  exit 1
fi
exec "$app"
