#!/usr/bin/env zsh
# A build's disk image and installer package installed, started and updated as
# people meet them: by each Mac job with the system's programs, by the test
# command with the stand-ins of tests/support/fakes (VELDRA_STANDINS). BUILD
# gives veldra-release and tests/https_server; PKI (scripts/demo-pki.sh) is what
# the build pins; --rdp-server: a folder with FreeRDP's sample server
# (sfreerdp-server, test_icon.bmp), signed in to as a user types; --keys
# COMMAND, given a process id and keys, types them instead of System Events;
# --logs DIR: where a failed run leaves what it saw.
emulate -R zsh
setopt err_exit no_unset pipe_fail

typeset -A o=(--applications /Applications --port 38443 --rdp-port 33890)
zparseopts -D -F -K -A o -- -dmg: -pkg: -build: -pki: -applications: -port: -keys: -rdp-server: \
  -rdp-port: -logs: || { print -u2 "usage: $0 --dmg IMAGE --pkg PACKAGE --build BUILD --pki PKI" \
  "[--applications DIR] [--port PORT] [--keys COMMAND] [--rdp-server DIR --rdp-port PORT] [--logs DIR]"
  exit 2 }
dmg=${${o[--dmg]:-}:A} pkg=${${o[--pkg]:-}:A} build=${${o[--build]:-}:A} pki=${${o[--pki]:-}:A}
applications=${o[--applications]:A} port=${o[--port]} keys_command=${o[--keys]:-} rdp_port=${o[--rdp-port]}
rdp=${o[--rdp-server]:+${o[--rdp-server]:A}} logs=${o[--logs]:+${o[--logs]:A}}
[[ -f $dmg && -f $pkg && -x $build/veldra-release && -d $pki ]] || { print -u2 "smoke: missing arguments"; exit 2 }

repo=${0:A:h:h:h}
standins=${VELDRA_STANDINS:-}
tool() { if [[ -n $standins && -x $standins/$1 ]]; then print -r -- $standins/$1; else print -r -- $2; fi }
hdiutil=$(tool hdiutil /usr/bin/hdiutil) open=$(tool open /usr/bin/open) ditto=$(tool ditto /usr/bin/ditto)
codesign=$(tool codesign /usr/bin/codesign) sudo=$(tool sudo /usr/bin/sudo)
installer=$(tool installer /usr/sbin/installer) plistbuddy=$(tool PlistBuddy /usr/libexec/PlistBuddy)
# Whose the installed copy must be: root's, or the stand-ins' pretend root.
root_uid=${VELDRA_SMOKE_ROOT_UID:-0}
name="Veldra Cloud Desktop.app"
# Every path compared below is canonical, made so once here: a Mac's TMPDIR
# lies behind the /var link and ends in a slash, while the application, and
# ps, know it only by its real path.
work=$(mktemp -d "${TMPDIR:-/tmp}/veldra-smoke.XXXXXX")
work=${work:A}
starts=0

step() { print -r -- "== smoke: $*" }
fail() { print -ru2 -- "smoke: FAILED: $*"; exit 1 }
wait_for() { # SECONDS WHAT COMMAND...
  local i
  for (( i = 0; i < $1 * 4; i++ )); do
    "${@[3,-1]}" >/dev/null 2>&1 && return 0
    sleep 0.25
  done
  fail "no $2 within $1 s"
}
# The processes running from APP's bundle.
pids_of() { ps -A -o pid= -o command= | PREFIX="$1/Contents/MacOS/" awk '
  { pid = $1; sub(/^ *[0-9]+ /, ""); if (index($0, ENVIRON["PREFIX"]) == 1) print pid }' }
running() { [[ -n $(pids_of $1) ]] }
first_pid() { local -a pids=( $(pids_of $1) ); print -r -- ${pids[1]:-} }
quit_app() {
  local -a pids=( $(pids_of $1) )
  (( ! $#pids )) || kill $pids 2>/dev/null || true
  wait_for 20 "exit of $1" eval "! running ${(q)1}"
}
version_of() { $plistbuddy -c "Print :CFBundleShortVersionString" "$1/Contents/Info.plist" }
has_version() { [[ $(version_of $1) == $2 ]] }
# APP's install runs (through sudo: a user's ps shows another user's process without its arguments).
install_running() { $sudo -n ps -A -o command= | grep -F -- $1 | grep -q '[v]eldra-install' }
# Nothing an install left beside the application: no hidden new or previous copy.
left_nothing() { [[ -z ${(M)${(f)"$(ls -A $1)"}:#.Veldra Cloud Desktop.*} ]] }
# A server started here, stopped by the clean-up whatever ends the run.
started_server() { print -r -- $1 >>$work/servers }
# Started, the application says its window is up (10 s after it shows it); then quit.
window_up() {
  local report=$work/started.$(( ++starts ))
  $open -n $1 --args --report-started $report
  wait_for 60 "report that the window of $1 is up" test -e $report
  quit_app $1
}
# As a user types: PID comes forward (with --prompt, once it shows the update prompt).
keys() { # PID [--prompt] KEYS... (text, "tab" or "return")
  if [[ -n $keys_command ]]; then $keys_command "$@"; return; fi
  osascript - "$@" <<'APPLESCRIPT'
on run argv
  tell application "System Events"
    set p to first process whose unix id is ((item 1 of argv) as integer)
    set ks to items 2 thru -1 of argv
    if item 1 of ks is "--prompt" then
      set ks to items 2 thru -1 of ks
      repeat 120 times
        try
          if (exists window "Update Available" of p) or (exists sheet 1 of window 1 of p) then exit repeat
        end try
        delay 0.5
      end repeat
      if not ((exists window "Update Available" of p) or (exists sheet 1 of window 1 of p)) then error "no update prompt within 60 s"
    end if
    set frontmost of p to true
    delay 2
    repeat with k in ks
      if (k as text) is "tab" then
        keystroke tab
      else if (k as text) is "return" then
        keystroke return
      else
        keystroke (k as text)
      end if
    end repeat
  end tell
end run
APPLESCRIPT
}
# The offered update taken with APP as a user does; then VERSION (new or rolled
# back to) is at APP, nothing beside it, and running. --quit kills the
# application's process group while the install runs: the install is a job of its own.
update() { # APP VERSION [--quit]
  $open -n $1
  wait_for 30 "start of $1" running $1
  local pid=$(first_pid $1)
  # Read while the application certainly runs: once it has handed over, it
  # quits by itself at once. A launched application leads its own group.
  local group=${$(ps -o pgid= -p $pid)// /}
  [[ ${3:-} != --quit || $group == $pid ]] || fail "$1 leads no process group"
  keys $pid --prompt return
  wait_for 120 "start of the install" install_running $1
  # Whatever is left of the group; an application that has quit left nothing.
  [[ ${3:-} != --quit ]] || kill -KILL -- -$group 2>/dev/null || true
  wait_for 180 "end of the install" eval "! install_running ${(q)1}"
  has_version $1 $2 || fail "$(version_of $1) at $1, not $2"
  left_nothing ${1:h} || fail "an install left $(ls -A ${1:h})"
  running $1 || fail "$1 is not running after its install"
}
root_owned() { local foreign=$(find $1 ! -user $root_uid -print | head -n 3); [[ -z $foreign ]] || fail "not root's: $foreign" }
publish() { # FROM VERSION [--exits-at-once]
  $repo/scripts/publish-update.sh --from $1 --version $2 --www $work/www --pki $pki \
    --release $build/veldra-release --url-base https://localhost:$port ${@[3,-1]} || fail "publishing $2"
}
# FreeRDP's server from --rdp-server, its log written by WLog's file appender,
# which flushes each message: its console appender writes to a buffered
# standard output and never flushes, so nothing would reach a file.
start_rdp_server() {
  mkdir -p $work/rdp
  cp $rdp/test_icon.bmp $work/rdp/
  openssl req -x509 -newkey rsa:2048 -nodes -keyout $work/rdp/server.key -out $work/rdp/server.crt \
    -days 2 -subj /CN=localhost 2>/dev/null
  ( cd $work/rdp && WLOG_APPENDER=FILE WLOG_FILEAPPENDER_OUTPUT_FILE_PATH=$work/rdp \
      WLOG_FILEAPPENDER_OUTPUT_FILE_NAME=server.log WLOG_LEVEL=INFO \
      WLOG_FILTER=com.freerdp.server.sample:DEBUG exec $rdp/sfreerdp-server --port=$rdp_port \
      >$work/rdp/server.out 2>&1 ) &
  started_server $!
  wait_for 20 "sample server" grep -q 'Listening on' $work/rdp/server.log
}
# What a failed run saw, into --logs: the servers', the application's, the client's
# and the install's logs (the unified log on a Mac, the stand-ins' here), the processes, the screen.
save_logs() {
  setopt localoptions no_err_exit
  mkdir -p $logs/client
  $sudo -n ps -A -o pid,ppid,pgid,uid,stat,command >$logs/processes.txt 2>&1
  if [[ -x /usr/sbin/screencapture ]]; then /usr/sbin/screencapture -x $logs/screen.png
  else $build/tools/screenshot $logs/screen.png; fi
  cp $work/rdp/server.{log,out} $work/server.log $work/www/requests.log $logs/ 2>/dev/null
  cp -R $HOME/Library/Logs/Veldra\ Cloud\ Desktop/. ${XDG_STATE_HOME:-$HOME}/Logs/Veldra\ Cloud\ Desktop/. \
    $logs/client/ 2>/dev/null
  local seen='process == "VeldraCloudDesktop" OR process == "freerdp" OR eventMessage CONTAINS "veldra-install" OR eventMessage CONTAINS "clouddesktop.install"'
  [[ ! -x /usr/bin/log ]] || /usr/bin/log show --last 30m --style compact --predicate $seen >$logs/unified.log
  [[ -z ${VELDRA_FAKE_LOG:-} ]] || cp $VELDRA_FAKE_LOG ${VELDRA_FAKE_LOG:h}/apps.log $logs/ 2>/dev/null
  print -ru2 -- "smoke: what the run saw is in $logs"
}
# Whatever ends the run: the logs first if it failed, then every server and
# application it started stopped, and nothing of it left.
cleanup() {
  local st=$?
  setopt localoptions no_err_exit
  (( ! st )) || [[ -z $logs ]] || save_logs
  local -a pids=( $(pids_of $work/Apps/$name) $(pids_of $applications/$name) )
  [[ ! -f $work/servers ]] || pids+=( $(<$work/servers) )
  (( ! $#pids )) || kill $pids 2>/dev/null
  $hdiutil detach $work/volume >/dev/null 2>&1
  rm -rf $work
}
trap cleanup EXIT

# The run itself in a subshell: zsh skips the EXIT trap when err_exit fires
# inside a function, and here the subshell's failure is a plain command's.
(
step "the disk image: attached, the application copied into a folder of the user's, started, quit"
mkdir -p $work/volume $work/Apps $work/www
$hdiutil attach -nobrowse -readonly -mountpoint $work/volume $dmg >/dev/null
$ditto $work/volume/$name $work/Apps/$name
$hdiutil detach $work/volume >/dev/null
own=$work/Apps/$name
version=$(version_of $own)
window_up $own

if [[ -n $rdp ]]; then
  step "signed in to FreeRDP's sample server with the bundled client"
  start_rdp_server
  $open -n $own
  wait_for 30 "start of $own" running $own
  keys $(first_pid $own) smoke tab Smoke-Run-2026 return
  wait_for 40 "activated session" grep -q 'is activated' $work/rdp/server.log
  sleep 5
  ps -A -o command= | grep -qF "$own/Contents/MacOS/freerdp" || fail "the client ended once the session opened"
  ! grep -q 'disconnected' $work/rdp/server.log || fail "the session was cut: $(tail -n 5 $work/rdp/server.log)"
  quit_app $own # and its client, which runs from the same folder
fi

step "the installer package: in $applications, root's, validly signed, started"
$sudo -n $installer -pkg $pkg -target / >/dev/null
pkg_app=$applications/$name
[[ -d $pkg_app ]] || fail "the package put nothing at $pkg_app"
root_owned $pkg_app
$codesign --verify --deep --strict $pkg_app || fail "$pkg_app is not validly signed"
has_version $pkg_app $version || fail "the package installed $(version_of $pkg_app), not $version"
window_up $pkg_app

next=${version%.*}.$(( ${version##*.} + 1 ))
step "an update to $next (image and patch) from the loopback update server"
publish $own $next
$build/tests/https_server --root $work/www --cert $pki/server.pem --key $pki/server.key \
  --port $port >$work/server.port 2>$work/server.log &
started_server $!
wait_for 10 "update server" test -s $work/server.port

step "updated on the direct path (a copy the user owns), the application killed meanwhile"
update $own $next --quit
# This copy was exactly the patch's source: the patch came, not the image.
grep -q '^GET /VeldraCloudDesktop-.*[.]patch' $work/www/requests.log || fail "no patch was downloaded"
! grep -q '^GET /VeldraCloudDesktop-.*[.]dmg' $work/www/requests.log || fail "the image came, not the patch"
quit_app $own

step "updated on the administrator path (root's copy)"
update $pkg_app $next
root_owned $pkg_app
quit_app $pkg_app

broken=${next%.*}.$(( ${next##*.} + 1 ))
step "version $broken, which exits at once, is rolled back"
publish $own $broken --exits-at-once
update $own $next
step "passed"
)
