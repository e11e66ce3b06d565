#!/usr/bin/env bash
# What a user waits for, each against a reference measured in the same run:
#  - start-up: the real executable to the first map of its window, and its
#    resident memory then, against a bare Qt window of the same size and
#    menus (bench_startup);
#  - the update: the download and check as the application does them with
#    its window up, from the answer to the update prompt to the hand-over of
#    the verified image to the installer, against curl fetching the same URL,
#    from nginx over HTTP/1.1 and over HTTP/2; and the growth of the
#    application's peak resident memory meanwhile.
# BUILD is a Release build with the benchmarks (-DVELDRA_BUILD_BENCH=ON),
# configured with the constants scripts/demo-pki.sh prints for BUILD/pki and
# the stand-in install tools, as the demo is:
#   bench/user_timings.sh BUILD [MIB] [ROUNDS] [STARTS]
# MIB (256) is the image's size; ROUNDS (7) the alternating rounds of each
# download and STARTS (20) of each start-up, medians printed (this machine
# varies from one run to the next by more than the goals' margins: count on
# medians of many). Runs under a private Xvfb.
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD [MIB] [ROUNDS] [STARTS]}" && pwd)
mib=${2:-256} rounds=${3:-7} starts=${4:-20}
cd "$(dirname "$0")/.."
pki=$build/pki
app="$build/Veldra Cloud Desktop.app/Contents/MacOS/VeldraCloudDesktop"
port=$(sed -n 's/^VELDRA_UPDATE_PORT:STRING=//p' "$build/CMakeCache.txt")
[[ -x $app && -s $pki/minisign.key && -n $port ]] || { echo "$0: not a pinned demo build: $build" >&2; exit 2; }

work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
for _ in {1..100}; do [[ -s $work/display ]] && break; sleep 0.1; done
DISPLAY=":$(head -n 1 "$work/display")"
export DISPLAY XDG_RUNTIME_DIR=$work

echo "== start-up (medians of $starts alternating starts, ours against a bare window)"
"$build/bench/bench_startup" "$starts" 2>&1 | grep -E 'ratio|first map|resident|faces'

mkfifo "$work/tick" && exec 9<>"$work/tick" # a wait that costs no process
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
now() { date +%s%N; }
kib() { awk -v f="$2:" '$1 == f { print $2 }' "/proc/$1/status"; }

# The image, and a manifest offering it as the next version, signed.
mkdir -p "$work/www" "$work/nginx"
head -c $((mib << 20)) /dev/urandom >"$work/www/image.dmg"
digest=$(sha256sum "$work/www/image.dmg" | cut -d' ' -f1)
url="https://localhost:$port/image.dmg"
cat >"$work/www/version.json" <<JSON
{"mac_version": "999.0", "mac_x64_url": "$url", "mac_x64_sha256": "$digest",
 "mac_arm64_url": "$url", "mac_arm64_sha256": "$digest",
 "expires": "$(date -u -d '+1 day' +%Y-%m-%dT%H:%M:%SZ)"}
JSON
minisign -S -s "$pki/minisign.key" -m "$work/www/version.json" -t bench >/dev/null

# nginx in the foreground as this user on the build's update port.
serve() { # "" or " http2"
  cat >"$work/nginx/nginx.conf" <<CONF
daemon off; master_process off; worker_processes 1; pid $work/nginx/pid; error_log $work/nginx/error.log;
events { worker_connections 64; }
http { access_log off; sendfile on; tcp_nopush on; client_body_temp_path $work/nginx;
  proxy_temp_path $work/nginx; fastcgi_temp_path $work/nginx; uwsgi_temp_path $work/nginx;
  scgi_temp_path $work/nginx; types { application/octet-stream dmg; application/json json; }
  server { listen 127.0.0.1:$port ssl$1; server_name localhost; root $work/www;
    ssl_certificate $pki/server.pem; ssl_certificate_key $pki/server.key; } }
CONF
  /usr/sbin/nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" &
  nginx=$!
  pids+=("$nginx")
  for _ in {1..50}; do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return; sleep 0.1; done
  echo "$0: nginx did not start" >&2; exit 1
}

# One download by the application: seconds from the prompt's answer to the
# hand-over, and the growth of its peak memory in MiB.
ours() {
  local home=$work/home.$1 log=$work/tools.$1.log
  mkdir -p "$home/tmp" "$work/volumes"
  env HOME="$home" XDG_STATE_HOME="$home/state" TMPDIR="$home/tmp" QT_QPA_PLATFORM=xcb \
    VELDRA_FAKE_LOG="$log" VELDRA_FAKE_VOLUMES="$work/volumes" "$app" >/dev/null 2>&1 &
  local pid=$! prompt
  pids+=("$pid")
  prompt=$(timeout 30 xdotool search --sync --onlyvisible --name '^Update Available$' | head -n 1)
  xdotool windowfocus --sync "$prompt"
  local before start end peak
  before=$(kib "$pid" VmRSS)
  rm -f "$work/curl.dmg" # see theirs
  echo 5 >"/proc/$pid/clear_refs" # the peak from here on
  start=$(now)
  xdotool key Return
  # The stand-in hdiutil is the first install tool the application runs: its
  # line is the hand-over. Looked for each 2 ms without starting a process,
  # which would take the CPU the download needs.
  until [[ -s $log ]]; do read -r -t 0.002 -u 9 || true; done
  end=$(now) peak=$(kib "$pid" VmHWM)
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  rm -rf "$home"
  echo "$(( end - start )) $(( peak - before ))" | awk '{ printf "%.4f %.1f\n", $1 / 1e9, $2 / 1024 }'
}
# Each download writes to pages the other's file freed a moment before: in a
# virtual machine that hands freed memory back to its host, pages freed
# seconds earlier cost several times more to write (500 MiB: 0.15 s against
# 0.6 to 0.8 s here), so each keeps its file until the other starts.
theirs() { # --http1.1 | --http2
  local start end
  start=$(now)
  curl -sS --fail "$1" --cacert "$pki/ca.pem" -o "$work/curl.dmg" "$url"
  end=$(now)
  awk -v ns=$(( end - start )) 'BEGIN { printf "%.4f\n", ns / 1e9 }'
}

for protocol in 1.1 2; do
  http2=""
  [[ $protocol == 1.1 ]] || http2=" http2"
  serve "$http2"
  : >"$work/rounds"
  for ((round = 0; round < rounds; round++)); do
    echo "$(ours "$protocol.$round") $(theirs "--http$protocol")" >>"$work/rounds"
  done
  kill "$nginx"
  wait "$nginx" 2>/dev/null || true
  # Each round's ratio from the two runs side by side, which share the
  # machine's state of the moment: their median.
  t_ours=$(cut -d' ' -f1 "$work/rounds" | median) t_curl=$(cut -d' ' -f3 "$work/rounds" | median)
  ratio=$(awk '{ print $3 / $1 }' "$work/rounds" | median)
  spread=$(awk '{ print $3 / $1 }' "$work/rounds" | sort -g | sed -n '1p;$p' | paste -sd' ')
  growth=$(cut -d' ' -f2 "$work/rounds" | sort -g | tail -n 1)
  echo "== the update over HTTP/$protocol, $mib MiB (medians of $rounds alternating rounds)"
  awk -v o="$t_ours" -v c="$t_curl" -v m="$mib" -v r="$ratio" -v s="$spread" -v g="$growth" 'BEGIN {
    printf "the application %.0f MiB/s (%.3f s, check included), curl %.0f MiB/s (%.3f s)\n", m / o, o, m / c, c
    split(s, x, " ")
    printf "download ratio (ours / curl): %.2f, rounds %.2f to %.2f  (goal >= 0.95)\n", r, x[1], x[2]
    printf "peak memory growth: %.1f MiB at most  (goal < 32)\n", g }'
done
