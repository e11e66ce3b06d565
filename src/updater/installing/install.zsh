#!/bin/zsh
# Puts a new version of the application in place of the running one, and
# keeps the previous copy until the new one says it started.
#
# Run as: zsh -f install.zsh SOURCE TARGET MOUNT PID IMAGE BUNDLE-ID VERSION
#         ARCH REQUIREMENT STARTED WINDOW [UID DIGEST]
# The last two only as root: the user who asked, and the manifest's SHA-256 of
# the image (or a patched copy's tree digest). A patched copy comes with an
# empty MOUNT and its folder as IMAGE.
#
# Every program is called by the full path the application fills in for each
# name between @ signs below, so nothing of PATH decides what runs, as root
# least of all. Each is a program of the base system on every macOS the
# application runs on: no developer tool (lipo, otool, ...), which most Macs
# do not have, and no Perl or Python, which macOS may drop.
set -euo pipefail
zmodload -F zsh/stat b:zstat

# The SHA-256 of standard input in hex: the last word of what openssl prints,
# whichever label its version puts first.
sha256() {
  local out
  out=$("@OPENSSL@" dgst -sha256) || return 1
  print -r -- "${out##* }"
}

# The tree digest of a bundle, exactly as the application takes it: the
# sorted listing of "type mode content-digest path" of every entry, hashed.
# Each file is hashed on its own, so a bundle of any size and any names fits.
tree_digest() {
  emulate -L zsh
  local root=$1 p o content listing='' target
  local -a paths m
  paths=( ${(f)"$(cd "$root" && LC_ALL=C "@FIND@" . -mindepth 1 | LC_ALL=C "@SORT@")"} )
  for p in $paths; do
    zstat -L -A m +mode -- "$root/$p" || return 1
    o=$(( [##8] m[1] & 8#7777 ))
    case $(( m[1] & 8#170000 )) in
      (16384) listing+="d ${(l:4::0:)o} - ${p#./}"$'\n' ;;
      (32768) content=$(sha256 < "$root/$p") || return 1
              listing+="f ${(l:4::0:)o} $content ${p#./}"$'\n' ;;
      (40960) zstat -L -A m +link -- "$root/$p" || return 1
              content=$(print -rn -- "${m[1]}" | sha256) || return 1
              listing+="l 0000 $content ${p#./}"$'\n' ;;
      (*) return 1 ;;
    esac
  done
  print -rn -- "$listing" | sha256
}

# The four bytes at OFFSET of FILE, in hex as they lie in the file.
bytes_at() {
  local hex
  hex=$("@OD@" -An -tx1 -j "$2" -N 4 -- "$1") || return 1
  hex=${hex//[[:space:]]/}
  (( ${#hex} == 8 )) && print -r -- "$hex"
}

# Whether the executable FILE holds code for ARCH (x86_64 or arm64), read
# from its header as the loader reads it: a thin 64-bit Mach-O file, or a fat
# one (fat32 or fat64 table, big-endian). The Linux build's bundles carry ELF
# executables instead.
has_arch() {
  local file=$1 want magic i count entry
  case $2 in
    (x86_64) want=01000007 ;;
    (arm64) want=0100000c ;;
    (*) return 1 ;;
  esac
  magic=$(bytes_at "$file" 0) || return 1
  case $magic in
    (cffaedfe) [[ $(bytes_at "$file" 4) == ${want[7,8]}${want[5,6]}${want[3,4]}${want[1,2]} ]] ;;
    (feedfacf) [[ $(bytes_at "$file" 4) == $want ]] ;;
    (cafebabe|cafebabf)
      count=$(( 16#$(bytes_at "$file" 4) ))
      entry=20; [[ $magic == cafebabe ]] || entry=32
      # A Java class file shares the magic; its version reads as a huge count.
      (( count > 0 && count <= 64 )) || return 1
      for (( i = 0; i < count; i++ )); do
        [[ $(bytes_at "$file" $(( 8 + i * entry ))) == $want ]] && return 0
      done
      return 1 ;;
    (7f454c46)
      case $2 in
        (x86_64) [[ $(bytes_at "$file" 18) == 3e00* ]] ;;
        (arm64) [[ $(bytes_at "$file" 18) == b700* ]] ;;
      esac ;;
    (*) return 1 ;;
  esac
}

source_app="$1" target_app="$2" mount_point="$3" old_pid="$4"
disk_image="$5" bundle_id="$6" version="$7" arch="$8"
requirement="$9" started="${10}" start_window="${11}"
# As root also: the user who asked, and the image's SHA-256 from the manifest
# or the patched copy's tree digest.
user_id="${12:-}" digest="${13:-}"
parent="${target_app:h}" private="" made_staged=0 checked=0 launched=0
# A patched copy that does not make it in: the previous copy is told, and
# takes the image next time.
refused=()
[[ -n $mount_point ]] || refused=(--args @PATCH_REFUSED@ "$version")
staged="$parent/.Veldra Cloud Desktop.new.$$"
backup="$parent/.Veldra Cloud Desktop.previous.$$"

# As the user who asked for the update, in their login session; as root the
# user's own launchd domain and identity, never root's.
as_user() {
  if [[ -n $user_id ]]; then
    "@LAUNCHCTL@" asuser "$user_id" "@SUDO@" -u "#$user_id" "$@"
  else "$@"; fi
}
start() { as_user "@OPEN@" "$@"; }

# Every process running from the bundle at the target: politely, then by
# force after 5 s; returns once none is left (or gives up after 10 s).
stop_target() {
  local line step signal
  local -a pids
  for (( step = 0; step < 40; step++ )); do
    pids=()
    for line in ${(f)"$("@PS@" -A -o pid= -o command=)"}; do
      [[ $line =~ '^ *([0-9]+) (.*)$' && ${match[2]} == "$target_app/Contents/MacOS/"* ]] &&
        pids+=( ${match[1]} )
    done
    (( ${#pids} )) || return 0
    # By name: BSD kill takes no number after -s.
    signal=TERM
    (( step < 20 )) || signal=KILL
    "@KILL@" -s $signal $pids 2>/dev/null || true
    "@SLEEP@" 0.25
  done
  return 1
}

cleanup() {
  # Everything here is tried, whatever fails before it.
  setopt localoptions noerrexit
  # First of all, an application at the target: the previous copy, else the
  # new one once checked. Only then is anything removed.
  if [[ ! -e "$target_app" ]]; then
    [[ -e "$backup" ]] && "@MV@" "$backup" "$target_app"
    [[ ! -e "$target_app" ]] && (( checked )) && [[ -e "$staged" ]] &&
      "@MV@" "$staged" "$target_app"
  fi
  [[ -e "$target_app" && -e "$backup" ]] && "@RM@" -rf "$backup"
  # A patched copy comes in a folder of its own instead of an image.
  if [[ -n $mount_point ]]; then
    "@HDIUTIL@" detach "$mount_point" >/dev/null 2>&1
    "@RM@" -f "$disk_image"
  else
    # The user's own folder, removed as the user, read-only folders too.
    as_user "@CHMOD@" -R u+w "$disk_image"
    as_user "@RM@" -rf "$disk_image"
  fi
  if [[ -n $private ]]; then
    "@HDIUTIL@" detach "$private/volume" >/dev/null 2>&1 || true
    "@RM@" -rf "$private"
  fi
  (( made_staged )) && "@RM@" -rf "$staged"
  "@RM@" -f "$started"
  # Inside a function zsh's $0 is the function's name; the script's own path
  # is $ZSH_ARGZERO.
  "@RM@" -f "$ZSH_ARGZERO"
  # Whatever stopped the install, the user is left with a running copy.
  (( launched )) || [[ ! -e "$target_app" ]] || start "$target_app" "${refused[@]}"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# Root never works in a folder a user owns: a program of theirs could swap
# what root checked before it is moved into place.
if [[ -n $user_id ]]; then
  zstat -A owner +uid -- "$parent"
  (( owner[1] == EUID ))
fi

# What an install that died left beside the target (its process is gone):
# the previous copy goes back when nothing is at the target, the rest goes.
for leftover in "$parent"/.Veldra\ Cloud\ Desktop.{previous,new}.<->(N); do
  "@PS@" -p "${leftover##*.}" >/dev/null 2>&1 && continue
  if [[ ! -e "$target_app" && $leftover == *.previous.* && -d $leftover && ! -L $leftover ]]; then
    "@MV@" "$leftover" "$target_app"
  else
    "@RM@" -rf "$leftover"
  fi
done

# The application quits once it has handed over; wait up to 15 s for it.
for attempt in {1..60}; do
  "@KILL@" -0 "$old_pid" 2>/dev/null || break
  "@SLEEP@" 0.25
done
# Never replace an application whose process did not exit in time.
if "@KILL@" -0 "$old_pid" 2>/dev/null; then exit 1; fi

# As root, read only what is root's: a private copy of the image, checked
# against the manifest's digest and mounted inside the private folder.
if [[ -n $user_id && -n $mount_point ]]; then
  private=$("@MKTEMP@" -d /tmp/veldra-image.XXXXXXXX)
  "@CP@" "$disk_image" "$private/image.dmg"
  [[ "$(sha256 < "$private/image.dmg")" == "$digest" ]]
  "@MKDIR@" "$private/volume"
  "@HDIUTIL@" attach -nobrowse -readonly -mountpoint "$private/volume" "$private/image.dmg" >/dev/null
  source_app="$private/volume/${source_app:t}"
# A patched copy lies in the user's folder: as root, a copy of it of root's
# own, with no ACL, attribute or owner of the user's, must be exactly the
# tree the manifest names.
elif [[ -n $user_id ]]; then
  private=$("@MKTEMP@" -d /tmp/veldra-image.XXXXXXXX)
  "@DITTO@" --noacl --noextattr "$source_app" "$private/app"
  "@CHOWN@" -R 0:0 "$private/app"
  [[ "$(tree_digest "$private/app")" == "$digest" ]]
  source_app="$private/app"
fi

# Refuse collisions instead of deleting an unexpected existing path.
[[ ! -e "$staged" && ! -e "$backup" ]] || exit 1
made_staged=1
"@DITTO@" "$source_app" "$staged"
"@XATTR@" -dr com.apple.quarantine "$staged" 2>/dev/null || true
# What root installs is root's and writable by root alone, whatever owners
# (the publisher's build account, or 99 "unknown") and modes the image stored;
# ditto run as root keeps them. The bundle's own folder is set, not copied.
[[ -z $user_id ]] || "@CHOWN@" -R 0:0 "$staged"
"@CHMOD@" -R go-w,ug-s "$staged"
"@CHMOD@" 0755 "$staged"

# What goes in place is what was checked, by whoever puts it there.
info() { "@PLISTBUDDY@" -c "Print :$1" "$staged/Contents/Info.plist"; }
[[ "$(info CFBundleIdentifier)" == "$bundle_id" ]]
[[ "$(info CFBundleShortVersionString)" == "$version" ]]
"@CODESIGN@" --verify --deep --strict "$staged"
[[ -z $requirement ]] || "@CODESIGN@" --verify --deep --strict -R "=$requirement" "$staged"
has_arch "$staged/Contents/MacOS/$(info CFBundleExecutable)" "$arch"
checked=1

# The swap. A failure or a signal from here on ends in the clean-up, which
# first puts an application back at the target.
if [[ -e "$target_app" ]]; then "@MV@" "$target_app" "$backup"; fi
"@MV@" "$staged" "$target_app"
made_staged=0
"@RM@" -f "$started"
# A refused start still ends in the wait below, and so in the roll-back.
launched=1
start "$target_app" --args @REPORT_STARTED@ "$started" || true

# The previous copy stays until the new one says it started (its window
# shown and up for 10 s); if it does not in time, the previous comes back.
# The window is counted in the loop's own steps, which stop while the Mac
# sleeps; $SECONDS would run on, and roll back a good version whose Mac was
# closed just after it opened.
for (( step = 0; step < start_window * 4; step++ )); do
  [[ -e "$started" ]] && break
  "@SLEEP@" 0.25
done
if [[ -e "$started" || ! -e "$backup" ]]; then
  "@RM@" -rf "$backup"
  exit 0
fi

# The roll-back. The new version is ended first: a bundle is never moved
# under a running process, and the copy put back must really start, not
# only bring the hung one forward.
stop_target || true
launched=0
made_staged=1
"@MV@" "$target_app" "$staged"
if ! "@MV@" "$backup" "$target_app"; then
  "@MV@" "$staged" "$target_app"
  exit 1
fi
# The verdict goes where the restored copy reads it at start: open drops
# arguments for an application that is still running.
as_user "@DEFAULTS@" write "$bundle_id" updateRolledBackVersion -string "$version" || true
as_user "@DEFAULTS@" write "$bundle_id" updateRollBackToAnnounce -string "$version" || true
launched=1
start "$target_app" --args @ROLLED_BACK@ "$version" || true
exit 1
