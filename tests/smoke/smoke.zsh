#!/usr/bin/env zsh
# The first run of what we ship, as people meet it: a build's disk image and
# installer package, installed, started and updated with the system's own
# programs. Each Mac job runs it against the workflow's artefacts; the test
# command runs it against the Linux demo build with the stand-ins of
# tests/support/fakes (VELDRA_STANDINS), so that the script is tried on every
# change.
#
#   tests/smoke/smoke.zsh --dmg IMAGE --pkg PACKAGE --build DIR --pki DIR
#       [--applications DIR] [--port PORT] [--accept COMMAND]
#       [--rdp-server DIR --rdp-port PORT]
#
# DIR is the build the artefacts come from: its veldra-release and its
# loopback update server (tests/https_server). PKI is what scripts/demo-pki.sh
# made for it: the build pins its CA and minisign key. The update prompt is
# answered with Return through System Events, or by COMMAND, given the
# application's process id. With --rdp-server (FreeRDP's sample server and its
# test_icon.bmp, built from the pinned source and never shipped), the copy
# signs in through System Events as a user types, on the port the build's
# remote desktop host names, and the session must open.
emulate -R zsh
setopt err_exit no_unset pipe_fail

dmg="" pkg="" build="" pki="" applications=/Applications port=38443 accept="" rdp="" rdp_port=33890
while (( $# )); do
  case $1 in
    (--dmg) dmg=${2:A} ;;
    (--pkg) pkg=${2:A} ;;
    (--build) build=${2:A} ;;
    (--pki) pki=${2:A} ;;
    (--applications) applications=${2:A} ;;
    (--port) port=$2 ;;
    (--accept) accept=$2 ;;
    (--rdp-server) rdp=${2:A} ;;
    (--rdp-port) rdp_port=$2 ;;
    (*) print -u2 "usage: $0 --dmg IMAGE --pkg PACKAGE --build DIR --pki DIR [--applications DIR] [--port PORT] [--accept COMMAND]"
        exit 2 ;;
  esac
  shift 2
done
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
work=$(mktemp -d "${TMPDIR:-/tmp}/veldra-smoke.XXXXXX")
server=0 starts=0

step() { print -r -- "== smoke: $*" }
fail() { print -ru2 -- "smoke: FAILED: $*"; exit 1 }
wait_for() { # SECONDS WHAT COMMAND...
  local seconds=$1 what=$2 i
  shift 2
  for (( i = 0; i < seconds * 4; i++ )); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.25
  done
  fail "no $what within $seconds s"
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
install_running() { ps -A -o command= | grep -q '[v]eldra-install' }
# Nothing an install left beside the application: no hidden new or previous copy.
left_nothing() { [[ -z ${(M)${(f)"$(ls -A $1)"}:#.Veldra Cloud Desktop.*} ]] }
# Started, the application says its window is up (it does so 10 s after it
# is shown); then it is quit.
window_up() {
  local report=$work/started.$(( ++starts ))
  $open -n $1 --args --report-started $report
  wait_for 60 "report that the window of $1 is up" test -e $report
  quit_app $1
}
answer_prompt() {
  if [[ -n $accept ]]; then
    eval "$accept $1"
    return
  fi
  # The prompt is a sheet of the window (or a window of its own): once it is
  # there, the application comes forward and Return takes the default button.
  osascript - $1 <<'APPLESCRIPT'
on run argv
  set thePid to (item 1 of argv) as integer
  tell application "System Events"
    repeat 120 times
      try
        set theProcess to first process whose unix id is thePid
        if (exists window "Update Available" of theProcess) or (exists sheet 1 of window 1 of theProcess) then
          set frontmost of theProcess to true
          delay 1
          keystroke return
          return "answered"
        end if
      end try
      delay 0.5
    end repeat
  end tell
  error "no update prompt within 60 s"
end run
APPLESCRIPT
}
# Takes the offered update with APP as a user does: started, the prompt
# answered; the install ends with VERSION at APP, nothing beside it, running.
# With --quit, once the install runs, whatever is left of the application's
# process group is killed, as quitting it or stopping its background
# activity would: the install is a job of its own and finishes.
update() { # APP VERSION [--quit]
  $open -n $1
  wait_for 30 "start of $1" running $1
  local pid=$(first_pid $1)
  answer_prompt $pid
  if [[ ${3:-} == --quit ]]; then
    wait_for 120 "start of the install" install_running
    # It leads a process group of its own, as launched applications do.
    [[ -n $pid && ${$(ps -o pgid= -p $pid)// /} == $pid ]] || fail "$1 leads no process group"
    kill -KILL -- -$pid
  fi
  wait_for 180 "version $2 at $1" has_version $1 $2
  wait_for 120 "end of the install" eval '! install_running'
  left_nothing ${1:h} || fail "an install left $(ls -A ${1:h})"
  running $1 || fail "$1 is not running after its install"
}
publish() { # FROM VERSION [--exits-at-once]
  $repo/scripts/publish-update.sh --from $1 --version $2 --www $work/www --pki $pki \
    --release $build/veldra-release --url-base https://localhost:$port ${@[3,-1]}
}
cleanup() {
  setopt localoptions no_err_exit
  local app
  for app in $work/Apps/$name $applications/$name; do quit_app $app 2>/dev/null; done
  (( ! server )) || kill $server 2>/dev/null
  $hdiutil detach $work/volume >/dev/null 2>&1
  rm -rf $work
}
trap cleanup EXIT

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
  mkdir -p $work/rdp
  cp $rdp/test_icon.bmp $work/rdp/
  openssl req -x509 -newkey rsa:2048 -nodes -keyout $work/rdp/server.key -out $work/rdp/server.crt \
    -days 2 -subj /CN=localhost 2>/dev/null
  ( cd $work/rdp && WLOG_FILTER=com.freerdp.server.sample:DEBUG exec $rdp/sfreerdp-server \
      --port=$rdp_port >$work/rdp/server.log 2>&1 ) &
  rdp_server=$!
  wait_for 20 "sample server" grep -q 'Listening on' $work/rdp/server.log
  $open -n $own
  wait_for 30 "start of $own" running $own
  osascript - $(first_pid $own) <<'APPLESCRIPT'
on run argv
  tell application "System Events"
    set theProcess to first process whose unix id is ((item 1 of argv) as integer)
    set frontmost of theProcess to true
    delay 2
    keystroke "smoke"
    keystroke tab
    keystroke "Smoke-Run-2026"
    keystroke return
  end tell
end run
APPLESCRIPT
  wait_for 40 "activated session" grep -q 'is activated' $work/rdp/server.log
  sleep 5
  running_client() { ps -A -o command= | grep -qF "$own/Contents/MacOS/freerdp" }
  running_client || fail "the client ended once the session opened"
  ! grep -q 'disconnected' $work/rdp/server.log || fail "the session was cut: $(tail -n 5 $work/rdp/server.log)"
  quit_app $own # and its client, which runs from the same folder
  kill $rdp_server 2>/dev/null || true
fi

step "the installer package: in $applications, root's, validly signed, started"
$sudo -n $installer -pkg $pkg -target / >/dev/null
pkg_app=$applications/$name
[[ -d $pkg_app ]] || fail "the package put nothing at $pkg_app"
foreign=$(find $pkg_app ! -user $root_uid -print | head -n 3)
[[ -z $foreign ]] || fail "not root's: $foreign"
$codesign --verify --deep --strict $pkg_app || fail "$pkg_app is not validly signed"
has_version $pkg_app $version || fail "the package installed $(version_of $pkg_app), not $version"
window_up $pkg_app

next=${version%.*}.$(( ${version##*.} + 1 ))
step "an update to $next (image and patch) from the loopback update server"
publish $own $next
$build/tests/https_server --root $work/www --cert $pki/server.pem --key $pki/server.key \
  --port $port >$work/server.port 2>$work/server.log &
server=$!
wait_for 10 "update server" test -s $work/server.port

step "updated on the direct path (a copy the user owns), the application killed meanwhile"
update $own $next --quit
# This copy was exactly the patch's source: the patch came, not the image.
grep -q '^GET /VeldraCloudDesktop-.*[.]patch' $work/www/requests.log || fail "no patch was downloaded"
! grep -q '^GET /VeldraCloudDesktop-.*[.]dmg' $work/www/requests.log || fail "the image came, not the patch"
quit_app $own

step "updated on the administrator path (root's copy)"
update $pkg_app $next
foreign=$(find $pkg_app ! -user $root_uid -print | head -n 3)
[[ -z $foreign ]] || fail "not root's after the update: $foreign"
quit_app $pkg_app

broken=${next%.*}.$(( ${next##*.} + 1 ))
step "version $broken, which exits at once, is rolled back"
publish $own $broken --exits-at-once
$open -n $own
wait_for 30 "start of $own" running $own
answer_prompt $(first_pid $own)
wait_for 60 "the install of $broken" install_running
wait_for 180 "end of the roll-back" eval '! install_running'
has_version $own $next || fail "$(version_of $own) at $own after the roll-back, not $next"
left_nothing $own:h || fail "the roll-back left $(ls -A $own:h)"
running $own || fail "the previous version was not started again"
step "passed"
