#!/usr/bin/env bash
# Fails when a test the Mac jobs run, or their smoke run, reaches a program or
# an option a stock macOS runner lacks (Linux's own, GNU's own, Debian's), so
# that Linux finds it first. Run once the test build is configured:
#
#   scripts/check-mac-tests.sh [BUILD]
#
# The Mac jobs' tests are those whose labels a -LE of the workflow leaves
# in. What each reaches: its own source (tests/**/NAME.cpp or .sh), any file of
# the source tree its command names, its command itself, and tests/support
# with its fakes, which they all share. Lines starting with // or # are
# comments and skipped. Prints each hit as FILE:LINE: WHAT — WHY; exits 1 on any.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build-test}" && pwd)

# The exclusions as the workflow's jobs write them: a test is the Mac jobs'
# if any of them runs it.
mapfile -t exclusions < <(grep -o -- '-LE "[^"]*"' .github/workflows/macos.yml | sort -u |
  sed -e 's/^-LE "//' -e 's/"$//')
if ((${#exclusions[@]} == 0)); then
  echo "check-mac-tests: no -LE \"...\" in .github/workflows/macos.yml" >&2
  exit 1
fi

# A program's name as a word: not a C function (setsid()), a member
# (POSIX::setsid) or part of a longer name.
program() { printf '(^|[^:[:alnum:]_.-])(%s)([^(_[:alnum:].-]|$)' "$1"; }
# What, the extended regular expression that finds it, and why a Mac fails it.
deny=(
  setsid "$(program setsid)" "util-linux's; macOS has no setsid(1)"
  stdbuf "$(program stdbuf)" "GNU coreutils'; macOS has none"
  timeout '(^|[^-[:alnum:]_.])timeout( +[-A-Z][^ ]*)* +[0-9]|"timeout"' "GNU coreutils'; macOS has no timeout(1)"
  "GNU-only programs" "$(program 'tac|shuf|numfmt|nproc|ldd|getent')" "macOS has none of them"
  "X11 tools" "$(program 'xvfb-run|Xvfb|xdotool|xwininfo|xprop|xwd')" "no X server or X tools on a Mac"
  icns2png "$(program 'icns2png|icnsutils')" "Debian's icnsutils; not on a Mac"
  "Debian's LLVM" "$(program 'llvm-[a-z][-a-z]*|ld64\.lld')|/usr/lib/llvm-" "Xcode has no llvm-lipo, ld64.lld or /usr/lib/llvm-N"
  "clang -target" '\bclang\b.*-target\b' "cross-building Mach-O as Debian's clang does; the Mac jobs build no such files"
  "Debian's FreeRDP" "$(program 'winpr-hash|xfreerdp|freerdp-shadow-cli')" "the Mac build has only its own sdl-freerdp"
  "*sum" "$(program '(md5|sha1|sha224|sha256|sha384|sha512)sum')" "GNU coreutils'; older macOS has only shasum and md5"
  /proc '/proc\b' "Linux's procfs; macOS has no /proc"
  "/usr/bin/zsh" '/usr/bin/zsh\b' "Debian's path; macOS has /bin/zsh"
  "Debian's package tools" "$(program 'apt-get|dpkg|dpkg-query')" "not on a Mac"
  "find -printf" '(^|[^[:alnum:]_])-f?printf\b' "GNU find's (and stat --printf); BSD find has none"
  "GNU find tests" '(^|[[:space:]"])-(executable|readable|writable|regextype|xtype)\b' "BSD find has none of them"
  "stat -c" '\bstat( +-[[:alnum:]]+)* +(-[[:alnum:]]*c\b|--format)|"stat".*"(-c|--format)' "GNU stat's; BSD stat takes -f"
  "sed -i" '\bsed( +-[[:alnum:]]+)* +-[[:alnum:]]*i( |"|$)|"sed".*"-i"' "BSD sed takes the next word as the suffix: write -i.bak"
  "readlink -f" '\breadlink( +-[[:alnum:]]+)* +-[[:alnum:]]*f\b' "macOS before 12.3 has no readlink -f"
  "date -d" '\bdate( +[-+][^ ]*)* +(-d|--date)\b|"date".*"(-d|--date)' "GNU date's; BSD date parses with -j -f"
  "GNU tar options" '--(owner|group|mode|transform|sort|mtime)\b' "bsdtar has none of them"
  --no-dereference '--no-dereference\b' "GNU's (diff, cp, chown); the BSD tools have none"
  --reflink '--reflink\b' "GNU cp's; BSD cp clones with -c"
  "mktemp --suffix" '\bmktemp\b.*--(suffix|tmpdir)\b' "GNU mktemp's; BSD mktemp has neither"
  "grep -P" '\bgrep( +-[[:alnum:]]+)* +-[[:alnum:]]*P|"grep".*"-[[:alnum:]]*P' "BSD grep has no Perl expressions"
  "xargs -r" '\bxargs( +-[[:alnum:]]+)* +-[[:alnum:]]*r\b' "GNU xargs'; BSD xargs skips empty input without it: drop it"
  "base64 -w" '\bbase64( +-[[:alnum:]]+)* +-w' "GNU base64's; BSD base64 wraps with -b"
  "head -n -N" '\bhead +-[nc] *-[0-9]' "GNU head's negative counts; BSD head has none"
  "kill -s N" '\bkill +-s +[0-9]' "BSD kill takes a signal name after -s, not a number"
)

# Each test: name, labels, where it is added, command (lists split by \x1f).
listing=$(ctest --test-dir "$build" --show-only=json-v1 | /usr/bin/python3 -c '
import json, os, sys
data = json.load(sys.stdin)
graph = data["backtraceGraph"]
for test in data["tests"]:
    labels = next((p["value"] for p in test.get("properties", []) if p["name"] == "LABELS"), [])
    node = graph["nodes"][test["backtrace"]]
    where = "%s:%d" % (os.path.relpath(graph["files"][node["file"]]), node.get("line", 0))
    print("\x1e".join([test["name"], "\x1f".join(labels), where, "\x1f".join(test.get("command", []))]))')

files=() commands=() mac=0
while IFS=$'\x1e' read -r name labels where command; do
  IFS=$'\x1f' read -ra label_list <<<"$labels"
  run_by_a_job=0
  for excluded in "${exclusions[@]}"; do
    left_out=0
    for label in "${label_list[@]}"; do
      if [[ $label =~ $excluded ]]; then left_out=1; fi
    done
    if ((!left_out)); then run_by_a_job=1; fi
  done
  if ((!run_by_a_job)); then continue; fi
  mac=$((mac + 1))
  commands+=("$where" "${command//$'\x1f'/ }")
  mapfile -t -O "${#files[@]}" files < <(find tests -name "$name.cpp" -o -name "$name.sh")
  IFS=$'\x1f' read -ra arguments <<<"$command"
  for argument in "${arguments[@]}"; do
    if [[ -f $argument && $argument == "$PWD"/* && $argument != "$build"/* ]]; then
      files+=("${argument#"$PWD"/}")
    fi
  done
done <<<"$listing"
if ((mac)); then
  mapfile -t -O "${#files[@]}" files < <(find tests/support -type f)
fi
# The smoke run, which every Mac job runs too, and the scripts it calls.
smoke=tests/smoke/smoke.zsh
files+=("$smoke")
mapfile -t -O "${#files[@]}" files < <(grep -o 'repo/scripts/[[:alnum:]_-]*\.sh' "$smoke" | sed 's|^repo/||')
mapfile -t files < <(printf '%s\n' "${files[@]}" | sort -u | grep .)

comment='^[[:space:]]*(//|#([^!]|$))'
# A file as a Mac compiles it: the lines of its "not macOS" branches blanked,
# their numbers kept.
as_mac_compiles() {
  awk '/^#if(def Q_OS_MACOS|ndef Q_OS_MACOS)/ { depth = 1; skip = ($1 == "#ifndef"); print; next }
    depth && /^#if/ { depth++ }
    depth == 1 && /^#else/ { skip = !skip; print; next }
    depth && /^#endif/ { if (--depth == 0) skip = 0 }
    { print (skip ? "" : $0) }' "$1"
}
hits=0
for ((i = 0; i < ${#deny[@]}; i += 3)); do
  what=${deny[i]} pattern=${deny[i + 1]} why=${deny[i + 2]}
  for file in "${files[@]}"; do
    while IFS= read -r hit; do
      if [[ ${hit#*:} =~ $comment ]]; then continue; fi
      echo "$file:${hit%%:*}: $what — $why"
      hits=$((hits + 1))
    done < <(as_mac_compiles "$file" | grep -nE -- "$pattern" || true)
  done
  for ((j = 0; j < ${#commands[@]}; j += 2)); do
    if grep -qE -- "$pattern" <<<"${commands[j + 1]}"; then
      echo "${commands[j]}: $what — $why (in the test's command)"
      hits=$((hits + 1))
    fi
  done
done
if ((hits)); then
  echo "check-mac-tests: $hits use(s) of what a Mac lacks in the $mac tests and the smoke run the Mac jobs run" >&2
  exit 1
fi
echo "check-mac-tests: the $mac tests and the smoke run the Mac jobs run use nothing a Mac lacks (${#files[@]} files)"
