#!/bin/zsh
# Puts a new version of the application in place of the running one, and
# keeps the previous copy until the new one says it started.
#
# Run as: zsh --emulate sh -f install.zsh SOURCE TARGET MOUNT PID IMAGE
#         BUNDLE-ID VERSION ARCH REQUIREMENT STARTED WINDOW [UID DIGEST SIZE]
# The last three only as root: the user who asked, and the manifest's SHA-256
# of the image (or a patched copy's tree digest) with the size of the image
# that digest names (empty for a patched copy). A patched copy comes with an
# empty MOUNT and its folder as IMAGE; a copy moved into place as it is (the
# one running from a disk image) with an empty MOUNT and an empty IMAGE.
#
# zsh starts in sh emulation because that alone keeps it from reading any
# startup file: -f skips the user's, but not the global zshenv (zshall(1):
# "cannot be overridden"; Src/init.c reads it unless zsh emulates sh or
# ksh), which a management tool may have placed and which would run as root.
# The script is zsh again from its first line.
#
# Every program is called by the full path the application fills in for each
# name between @ signs below, so nothing of PATH decides what runs, as root
# least of all. Each is a program of the base system on every macOS the
# application runs on: no developer tool (lipo, otool, ...), which most Macs
# do not have, and no Perl or Python, which macOS may drop.
emulate -R zsh
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
# (with its size) or the patched copy's tree digest.
user_id="${12:-}" digest="${13:-}" size="${14:-}"
parent="${target_app:h}" private="" made_staged=0 checked=0 launched=0 signalled=0
# A patched copy that does not make it in: the previous copy is told, and
# takes the image next time.
refused=()
[[ -n $mount_point || -z $disk_image ]] || refused=(--args @PATCH_REFUSED@ "$version")
# The new copy is staged, and the previous one kept, beside the target; as
# root in a folder of root's own instead (below), since /Applications is
# writable by every administrator's programs.
staged="$parent/.Veldra Cloud Desktop.new.$$"
backup="$parent/.Veldra Cloud Desktop.previous.$$"
moved_out=0 swapped=0

# As the user who asked for the update, in their login session; as root the
# user's own launchd domain and identity, never root's.
as_user() {
  if [[ -n $user_id ]]; then
    "@LAUNCHCTL@" asuser "$user_id" "@SUDO@" -u "#$user_id" "$@"
  else "$@"; fi
}
start() { as_user "@OPEN@" "$@"; }
# Whether the user who asked is logged in at the screen: their launchd GUI
# domain lives only from login to logout (launchctl(1)), and only in it can
# an application start. A logout is no verdict on the new version.
has_session() { "@LAUNCHCTL@" print "gui/${user_id:-$UID}" >/dev/null 2>&1; }
# An application at the target: a folder with its Contents, not a link.
in_place() { [[ -d $target_app/Contents && ! -L $target_app ]]; }

# The processes running from the bundle at the target, of the user UID or
# of every user. ps shows root every user's commands; a user sees only their
# own with their paths (the application checks the others before it asks).
target_pids() { # [UID]
  local line
  for line in ${(f)"$("@PS@" -A -o pid= -o uid= -o command=)"}; do
    [[ $line =~ '^ *([0-9]+) +([0-9]+) (.*)$' && ${match[3]} == "$target_app/Contents/MacOS/"* ]] ||
      continue
    [[ -z ${1:-} || ${match[2]} == "$1" ]] && print -r -- ${match[1]}
  done
  return 0
}

# The asking user's processes running from the target (another user's are
# never touched): politely, then by force after 5 s; returns once none is
# left (or gives up after 10 s).
stop_target() {
  local step signal
  local -a pids
  for (( step = 0; step < 40; step++ )); do
    pids=( ${(f)"$(target_pids "${user_id:-$EUID}")"} )
    (( ${#pids} )) || return 0
    # By name: BSD kill takes no number after -s.
    signal=TERM
    (( step < 20 )) || signal=KILL
    "@KILL@" -s $signal $pids 2>/dev/null || true
    "@SLEEP@" 0.25
  done
  return 1
}

# Clears the target's name: a link there is removed (never followed), any
# other entry moved out of the way, into root's folder or beside the target.
clear_target() {
  if [[ -L $target_app ]]; then "@RM@" -f "$target_app"
  elif [[ -e $target_app ]]; then
    "@MV@" "$target_app" "${private:-$parent}/.Veldra Cloud Desktop.occupant.$$"
  fi
}

# Renames $1 to the target, right after a fresh look that nothing has the
# name. mv -h renames onto a link that appeared since, which rename(2)
# refuses for a folder, where plain mv would stat() it and move $1 into the
# folder it points to; what took the name is cleared and one more try made.
to_target() {
  clear_target || return 1
  "@MV@" -h "$1" "$target_app" && return 0
  clear_target && "@MV@" -h "$1" "$target_app"
}

cleanup() {
  # Everything here is tried, whatever fails before it.
  setopt localoptions noerrexit
  # First of all, an application at the target: the previous copy, whatever
  # took its name meanwhile, else the new one once checked. Only then is
  # anything removed.
  if (( moved_out && ! swapped )) && [[ -e $backup ]]; then
    to_target "$backup"
  elif ! in_place; then
    [[ -e "$backup" ]] && to_target "$backup"
    ! in_place && (( checked )) && [[ -e "$staged" ]] && to_target "$staged"
  fi
  in_place && [[ -e "$backup" ]] && "@RM@" -rf "$backup"
  # A patched copy comes in a folder of its own instead of an image; a copy
  # moved as it is comes with neither. What lies in the user's folders goes
  # as the user, whose folders they are.
  if [[ -n $mount_point ]]; then
    as_user "@HDIUTIL@" detach "$mount_point" >/dev/null 2>&1
    as_user "@RM@" -f "$disk_image"
  elif [[ -n $disk_image ]]; then
    # The user's own folder, removed as the user, read-only folders too.
    as_user "@CHMOD@" -R u+w "$disk_image"
    as_user "@RM@" -rf "$disk_image"
  fi
  (( made_staged )) && "@RM@" -rf "$staged"
  if [[ -n $private ]]; then
    # A busy volume is never walked by rm: it stays, and so does the folder.
    if [[ ! -d $private/volume ]] || "@HDIUTIL@" detach "$private/volume" >/dev/null 2>&1 ||
      "@HDIUTIL@" detach -force "$private/volume" >/dev/null 2>&1; then
      # Root's folder may hold the only copy, if it could not be put back.
      [[ -e $backup ]] && ! in_place || "@RM@" -rf "$private"
    fi
  fi
  as_user "@RM@" -f "$started"
  # Inside a function zsh's $0 is the function's name; the script's own path
  # is $ZSH_ARGZERO. Its launchd job lies beside it; root's copies, in a
  # folder of their own.
  "@RM@" -f "$ZSH_ARGZERO" "${ZSH_ARGZERO:r}.plist"
  [[ ${ZSH_ARGZERO:h:t} != veldra-install.* ]] || "@RM@" -rf "${ZSH_ARGZERO:h}"
  # Whatever stopped the install, the user is left with a copy, started
  # unless a signal ended it (a logout: nothing may start then).
  (( launched || signalled )) || ! in_place || ! has_session || start "$target_app" "${refused[@]}"
}
trap cleanup EXIT
trap 'signalled=1; exit 1' INT TERM HUP

# Root never works in a folder a user owns: a program of theirs could swap
# what root checked before it is moved into place.
if [[ -n $user_id ]]; then
  zstat -A owner +uid -- "$parent"
  (( owner[1] == EUID ))
fi

# What an install that died left beside the target (its process is gone): a
# user's previous copy goes back when nothing is at the target, the rest
# goes. Root never puts back what lies in a folder every administrator's
# programs can write. Nothing here stops the install.
for leftover in "$parent"/.Veldra\ Cloud\ Desktop.{previous,new,occupant}.<->(N); do
  "@PS@" -p "${leftover##*.}" >/dev/null 2>&1 && continue
  if [[ -z $user_id && ! -e "$target_app" && $leftover == *.previous.* && -d $leftover &&
    ! -L $leftover ]]; then
    "@MV@" -h "$leftover" "$target_app" || true
  else
    "@RM@" -rf "$leftover" || true
  fi
done

# The jobs of earlier installs, which launchd keeps loaded once they ended
# (this one runs, and so is left alone).
for line in ${(f)"$("@LAUNCHCTL@" list 2>/dev/null)"}; do
  [[ $line == -$'\t'*$'\t'"$bundle_id".install.* ]] && "@LAUNCHCTL@" remove "${line##*$'\t'}" || true
done

# The application quits once it has handed over; wait up to 15 s for it.
for attempt in {1..60}; do
  "@KILL@" -0 "$old_pid" 2>/dev/null || break
  "@SLEEP@" 0.25
done
# Never replace an application whose process did not exit in time.
if "@KILL@" -0 "$old_pid" 2>/dev/null; then exit 1; fi

# As root, everything that reads or changes the new copy happens in a folder
# of root's own (0700, in the sticky /tmp, where no other user can rename
# anything); the checked copy enters the target's folder by one rename.
if [[ -n $user_id ]]; then
  private=$("@MKTEMP@" -d /tmp/veldra-image.XXXXXXXX)
  staged="$private/new" backup="$private/previous"
fi
# As root, read only what is root's: a private copy of the image, checked
# against the manifest's digest and mounted inside the private folder. Only a
# regular file is read, opened without following a link (to /dev/zero, say)
# nor waiting on a FIFO, and no more of it than the image the digest names.
if [[ -n $user_id && -n $mount_point ]]; then
  zmodload -F zsh/system b:sysopen
  sysopen -r -o nofollow,nonblock -u image_fd -- "$disk_image"
  zstat -A kind -f $image_fd +mode
  zstat -A length -f $image_fd +size
  (( (kind[1] & 8#170000) == 8#100000 && length[1] == size ))
  "@HEAD@" -c "$size" <&$image_fd >"$private/image.dmg"
  exec {image_fd}<&-
  [[ "$(sha256 < "$private/image.dmg")" == "$digest" ]]
  "@MKDIR@" "$private/volume"
  "@HDIUTIL@" attach -nobrowse -readonly -mountpoint "$private/volume" "$private/image.dmg" >/dev/null
  source_app="$private/volume/${source_app:t}"
# A patched copy (or the copy moved as it is) lies in the user's folder: as
# root, a copy of it of root's own, with no ACL, attribute or owner of the
# user's, must be exactly the tree the application named.
elif [[ -n $user_id ]]; then
  "@DITTO@" --noacl --noextattr "$source_app" "$private/app"
  "@CHOWN@" -R 0:0 "$private/app"
  [[ "$(tree_digest "$private/app")" == "$digest" ]]
  source_app="$private/app"
fi

# Refuse collisions instead of deleting an unexpected existing path.
[[ ! -e "$staged" && ! -e "$backup" ]] || exit 1
made_staged=1
# No ACL of the image's survives: one granting everyone write would let any
# user change what root installs.
"@DITTO@" --noacl "$source_app" "$staged"
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
# A function that fails under errexit ends zsh without its EXIT trap, so
# every call of one at this level says what happens on failure.
has_arch "$staged/Contents/MacOS/$(info CFBundleExecutable)" "$arch" || exit 1
checked=1

# Nobody else may be running the copy about to be replaced: another window
# of the user's (open -n), or another user's (the application asked about
# those before it handed over; root sees them all again here).
[[ -z $(target_pids) ]] || exit 1

# The swap. A failure or a signal from here on ends in the clean-up, which
# first puts an application back at the target. The new copy goes in by one
# rename, right after a fresh look that nothing (no link either) has the
# target's name: mv would move it into a folder found there. Where it
# landed is checked as well.
if [[ -e $target_app || -L $target_app ]]; then
  "@MV@" "$target_app" "$backup"
  moved_out=1
fi
to_target "$staged" || exit 1
made_staged=0
in_place && [[ ! -e $target_app/${staged:t} ]] || exit 1
swapped=1
as_user "@RM@" -f "$started"
# Nobody logged in (the system's job outlives a logout): the checked copy
# stays, and starts at the next login; no verdict on it either way.
launched=1
has_session || exit 0
# A refused start still ends in the wait below, and so in the roll-back.
start "$target_app" --args @REPORT_STARTED@ "$started" || true

# The previous copy stays until the new one says it started (its window
# shown and up for 10 s); if it does not in time, the previous comes back.
# The window is counted in the loop's own steps, which stop while the Mac
# sleeps; $SECONDS would run on, and roll back a good version whose Mac was
# closed just after it opened.
# A logout meanwhile (looked for each second, since the user may be back
# before the end) ends the wait with no verdict.
logged_out=0
for (( step = 0; step < start_window * 4; step++ )); do
  [[ -e "$started" ]] && break
  (( step % 4 )) || has_session || { logged_out=1; break; }
  "@SLEEP@" 0.25
done
if [[ -e "$started" || ! -e "$backup" ]] || (( logged_out )) || ! has_session; then
  "@RM@" -rf "$backup"
  exit 0
fi

# The roll-back. Was the new version still running, only slow to say so, or
# did it end? Then it is ended: a bundle is never moved under a running
# process, and the copy put back must really start, not only bring the hung
# one forward.
reason=exited
[[ -z $(target_pids "${user_id:-$EUID}") ]] || reason=slow
stop_target || true
launched=0
made_staged=1
"@MV@" "$target_app" "$staged"
swapped=0
if ! to_target "$backup"; then
  to_target "$staged" && made_staged=0 swapped=1
  exit 1
fi
# The verdict goes where the restored copy reads it at start: open drops
# arguments for an application that is still running.
as_user "@DEFAULTS@" write "$bundle_id" updateRolledBackVersion -string "$version" || true
as_user "@DEFAULTS@" write "$bundle_id" updateRollBackReason -string "$reason" || true
as_user "@DEFAULTS@" write "$bundle_id" updateRollBackToAnnounce -string "$version" || true
launched=1
start "$target_app" --args @ROLLED_BACK@ "$version" || true
exit 1
