#!/usr/bin/env bash
# Installs what is missing, builds the demo variant of the application and
# starts it with its local demo servers, all on 127.0.0.1:
#   - a real RDP server (FreeRDP's shadow server) with one demo account;
#   - the HTTPS update server, offering a newer version and a matching image.
# With no display (DISPLAY unset), or with --headless, everything runs under
# Xvfb: the script signs in with the demo account, saves screenshots of the
# sign-in window and of the open session under build-demo/, and exits.
# Ctrl-C, or the application quitting, stops every server it started.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# --build DIR: the demo from a build of the test command's, whose
# configuration it keeps and to which it only adds the demo's constants.
headless=0 build="build-demo"
while (($#)); do
  case "$1" in
    --headless) headless=1; shift ;;
    --build) build=$2; shift 2 ;;
    *) echo "usage: $0 [--headless] [--build DIR]" >&2; exit 2 ;;
  esac
done
if [[ -z "${DISPLAY:-}" ]]; then headless=1; fi
rdp_port=${VELDRA_DEMO_RDP_PORT:-33890}
update_port=${VELDRA_DEMO_UPDATE_PORT:-38443}
demo_user=demo
demo_password='Veldra-Demo-2026'

scripts/install-deps.sh

for port in "$rdp_port" "$update_port"; do
  if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    echo "Port $port on 127.0.0.1 is already in use: stop what listens there, or choose another with VELDRA_DEMO_RDP_PORT / VELDRA_DEMO_UPDATE_PORT." >&2
    exit 1
  fi
done

demo=$root/$build/demo
mkdir -p "$demo"

# The demo's own CA and minisign key, made once: the demo variant pins them
# and the demo manifest is signed with the key.
pki=$demo/pki
mapfile -t demo_constants < <(scripts/demo-pki.sh "$pki" "$rdp_port" "$update_port")

echo "== building the demo variant in $build/"
if [[ $build == build-demo ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELDRA_BUILD_BENCH=OFF \
    -DVELDRA_SYSTEM_TOOLS_DIR="$root/tests/support/fakes" -DVELDRA_FREERDP_CLIENT=/usr/bin/xfreerdp \
    "${demo_constants[@]}" >/dev/null
else
  cmake -S . -B "$build" "${demo_constants[@]}" >/dev/null
fi
cmake --build "$build" --target veldra_app https_server screenshot veldra-release

bundle="$root/$build/Veldra Cloud Desktop.app"
app="$bundle/Contents/MacOS/VeldraCloudDesktop"
plist_value() { sed -n "/<key>$2<\/key>/{n;s/.*<string>\(.*\)<\/string>.*/\1/p;}" "$1"; }
version=$(plist_value "$bundle/Contents/Info.plist" CFBundleShortVersionString)
next="${version%.*}.$(( ${version##*.} + 1 ))"

# Everything of this run lives here, fresh each time.
run=$demo/run
rm -rf "$run"
mkdir -p "$run"/{home,server-home,pulse,state,volumes,tmp,www}
pids=()
stop_all() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
}
trap stop_all EXIT
trap 'echo; echo "Stopping the demo servers."; exit 130' INT TERM

wait_for() { # seconds, description, command...
  local seconds=$1 what=$2; shift 2
  for ((i = 0; i < seconds * 10; i++)); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  echo "Timed out waiting for $what." >&2
  if [[ -n "${DISPLAY:-}" && -x "$root/$build/tools/screenshot" ]]; then
    "$root/$build/tools/screenshot" "$root/$build/demo-failure.png" 2>/dev/null &&
      echo "What the screen showed: $root/$build/demo-failure.png" >&2
  fi
  return 1
}
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

if ((headless)); then
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$run/display" >"$run/xvfb.log" 2>&1 &
  pids+=($!)
  wait_for 10 "the virtual display" test -s "$run/display"
  DISPLAY=":$(head -n1 "$run/display")"
  export DISPLAY
  wait_for 10 "the virtual display" xdpyinfo
fi

# Audio for the client's /sound and /microphone: a private null sink.
HOME="$run/pulse" PULSE_RUNTIME_PATH="$run/pulse" pulseaudio --daemonize=no --exit-idle-time=-1 -n \
  --load="module-native-protocol-unix socket=$run/pulse/sock auth-anonymous=1" \
  --load=module-null-sink >"$run/pulse.log" 2>&1 &
pids+=($!)
wait_for 10 "the audio server" test -S "$run/pulse/sock"

# The remote desktop: a display of its own (never the one the application and
# its client are on, or the session would show itself), with a background in
# a colour of its own, a clock and a terminal, so it reads as a desktop.
desktop_colour='#2f5d8a'
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$run/desktop-display" \
  >"$run/desktop-xvfb.log" 2>&1 &
pids+=($!)
wait_for 10 "the remote desktop's display" test -s "$run/desktop-display"
desktop=":$(head -n1 "$run/desktop-display")"
wait_for 10 "the remote desktop's display" env DISPLAY="$desktop" xdpyinfo
DISPLAY="$desktop" xsetroot -solid "$desktop_colour"
DISPLAY="$desktop" xclock -geometry 180x180-40+40 -update 1 >/dev/null 2>&1 &
pids+=($!)
DISPLAY="$desktop" xterm -geometry 90x24+60+200 -title "Veldra demo desktop" -bg black -fg '#e0e0e0' \
  -e sh -c 'printf "Veldra Cloud Desktop demo\n\nYou are signed in to the demo remote desktop on 127.0.0.1.\nClose this window (the client) to end the session.\n\n"; exec sh' \
  >/dev/null 2>&1 &
pids+=($!)

# The RDP server: NLA against a SAM file with the one demo account, sharing
# the remote desktop's display. Its log through WLog's file appender, which
# flushes each message (the console one leaves them in stdout's buffer).
winpr-hash -u "$demo_user" -p "$demo_password" -d VELDRA -f sam >"$run/sam"
DISPLAY="$desktop" HOME="$run/server-home" WLOG_LEVEL=INFO WLOG_APPENDER=FILE \
  WLOG_FILEAPPENDER_OUTPUT_FILE_PATH="$run" WLOG_FILEAPPENDER_OUTPUT_FILE_NAME=rdp-server.log \
  freerdp-shadow-cli "/port:$rdp_port" /bind-address:127.0.0.1 /sec:nla +auth "/sam-file:$run/sam" \
  >"$run/rdp-server.out" 2>&1 &
pids+=($!)
wait_for 15 "the RDP server" listening "$rdp_port"

# The update: this very application as version $next, in a test disk image (a
# tar archive that the stand-in hdiutil mounts), signed for the stand-in
# codesign, and as a patch from this version, which this copy downloads
# instead of the image, since nothing in it has changed; with the manifest the
# release command writes (with its expiry), signed with minisign.
VELDRA_STANDINS="$root/tests/support/fakes" scripts/publish-update.sh --from "$bundle" --version "$next" \
  --www "$run/www" --pki "$pki" --release "$root/$build/veldra-release" --url-base "https://localhost:$update_port" >/dev/null
patch_name="VeldraCloudDesktop-$version-to-$next.patch"
"$root/$build/tests/https_server" --root "$run/www" --cert "$pki/server.pem" --key "$pki/server.key" \
  --port "$update_port" >"$run/update-server.port" 2>"$run/update-server.log" &
pids+=($!)
wait_for 10 "the update server" listening "$update_port"

cat <<INFO

Veldra Cloud Desktop $version, demo variant
  RDP server:     127.0.0.1:$rdp_port (FreeRDP shadow server, log: $run/rdp-server.log)
  Demo account:   username "$demo_user", password "$demo_password"
  Update server:  https://localhost:$update_port/version.json offers $next, signed with minisign,
                  as an image and as a patch from $version ($(stat -c %s "$run/www/$patch_name") bytes)
  Install tools:  this is Linux, so hdiutil, codesign, osascript, ditto, xattr, open and
                  defaults are the test stand-ins in tests/support/fakes (log: $run/tools.log)
INFO

export HOME="$run/home" XDG_STATE_HOME="$run/state" TMPDIR="$run/tmp"
export PULSE_SERVER="unix:$run/pulse/sock" VELDRA_FAKE_LOG="$run/tools.log"
export VELDRA_FAKE_VOLUMES="$run/volumes" VELDRA_FAKE_OPEN_LAUNCH=1 QT_QPA_PLATFORM=xcb
client_log="$run/state/Logs/Veldra Cloud Desktop/freerdp.log"

if ((headless)); then
  "$app" 2>"$run/app.stderr" &
else
  "$app" &
fi
app_pid=$!
pids+=("$app_pid")

if ((!headless)); then
  echo "  The window is open; quit it (or press Ctrl-C here) to stop the demo."
  wait "$app_pid" || true
  # After "Download and Install" the new version starts in place of this one.
  if grep -q '^open ' "$run/tools.log" 2>/dev/null; then
    sleep 2
    while pgrep -f "^$app" >/dev/null; do sleep 1; done
  fi
  exit 0
fi

# Headless: sign in as a person would, and keep two pictures.
window=$(timeout 30 xdotool search --sync --onlyvisible --name '^Veldra Cloud Desktop$' | head -n1)
if timeout 15 xdotool search --sync --onlyvisible --name '^Update Available$' >/dev/null 2>&1; then
  sleep 0.3
  for prompt in $(xdotool search --onlyvisible --name '^Update Available$'); do
    xdotool windowfocus --sync "$prompt" 2>/dev/null && break
  done
  xdotool key Escape || true # "Later": the banner stays
fi
sleep 0.5
signin_png="$root/$build/demo-signin.png"
session_png="$root/$build/demo-session.png"
"$root/$build/tools/screenshot" "$signin_png"
xdotool windowfocus --sync "$window"
xdotool type --delay 30 "$demo_user"
xdotool key Tab
xdotool type --delay 30 "$demo_password"
xdotool key Return
wait_for 30 "the remote desktop session" grep -q 'is activated' "$run/rdp-server.log"
# Once the client has drawn the remote desktop: its background colour, true.
"$root/$build/tools/screenshot" "$session_png" --until-colour "$desktop_colour" 20000

# The application never stops its client; this script does, by PID.
client_pids=$(pgrep -f "^$bundle/Contents/MacOS/freerdp" || true)
kill "$app_pid" 2>/dev/null || true
for pid in $client_pids; do kill "$pid" 2>/dev/null || true; done

echo
echo "Screenshots:"
echo "  $signin_png"
echo "  $session_png"
echo "Client log: $client_log"
