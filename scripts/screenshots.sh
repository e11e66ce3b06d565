#!/usr/bin/env bash
# Renders the sign-in window in its main states under Xvfb into docs/screenshots.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target ui_screenshots
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x800x24" \
  build/tools/ui_screenshots resources docs/screenshots
ls docs/screenshots
