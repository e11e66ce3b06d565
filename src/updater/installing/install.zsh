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
# least of all.
set -euo pipefail

# The tree digest of a bundle, exactly as the application takes it: the
# sorted listing of "type mode content-digest path" of every entry, hashed.
tree_digest() {
  emulate -L zsh
  zmodload -F zsh/stat b:zstat || return 1
  local root=$1 p o content listing='' i j=0
  local -a paths kinds perms files sums m target
  paths=( ${(f)"$(cd "$root" && LC_ALL=C "@FIND@" . -mindepth 1 | LC_ALL=C "@SORT@")"} )
  for p in $paths; do
    zstat -L -A m +mode -- "$root/$p" || return 1
    case $(( m[1] & 8#170000 )) in
      (16384) kinds+=d ;;
      (32768) kinds+=f; files+=("$p") ;;
      (40960) kinds+=l; m[1]=0 ;;
      (*) return 1 ;;
    esac
    perms+=( $(( m[1] & 8#7777 )) )
  done
  # One run for every file; a name with a backslash is printed after one.
  (( ${#files} )) && sums=( ${(f)"$(cd "$root" && "@SHASUM@" -a 256 -- $files)"} )
  for (( i = 1; i <= ${#paths}; i++ )); do
    p=${paths[i]} content=-
    if [[ ${kinds[i]} == f ]]; then (( ++j )); content=${${sums[j]#\\}[1,64]}; fi
    if [[ ${kinds[i]} == l ]]; then
      zstat -L -A target +link -- "$root/$p" || return 1
      content=$(print -rn -- "${target[1]}" | "@SHASUM@" -a 256)
      content=${content[1,64]}
    fi
    o=$(( [##8] perms[i] ))
    listing+="${kinds[i]} ${(l:4::0:)o} $content ${p#./}"$'\n'
  done
  print -rn -- "$listing" | "@SHASUM@" -a 256 | "@CUT@" -c1-64
}

source_app="$1" target_app="$2" mount_point="$3" old_pid="$4"
disk_image="$5" bundle_id="$6" version="$7" arch="$8"
requirement="$9" started="${10}" start_window="${11}"
# As root also: the user who asked, and the image's SHA-256 from the manifest
# or the patched copy's tree digest.
user_id="${12:-}" digest="${13:-}"
parent="${target_app:h}" private="" made_staged=0 launched=0
# A patched copy that does not make it in: the previous copy is told, and
# takes the image next time.
refused=()
[[ -n $mount_point ]] || refused=(--args @PATCH_REFUSED@ "$version")
staged="$parent/.Veldra Cloud Desktop.new.$$"
backup="$parent/.Veldra Cloud Desktop.previous.$$"

# Never started as root: as the user who asked for the update.
start() {
  if [[ -n $user_id ]]; then
    "@LAUNCHCTL@" asuser "$user_id" "@SUDO@" -u "#$user_id" "@OPEN@" "$@"
  else "@OPEN@" "$@"; fi
}
as_user() {
  if [[ -n $user_id ]]; then "@SUDO@" -u "#$user_id" "$@"; else "$@"; fi
}

cleanup() {
  # Everything here is tried, whatever fails before it.
  setopt localoptions noerrexit
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
  # Inside a function zsh's $0 is the function's name; the script's own path
  # is $ZSH_ARGZERO.
  "@RM@" -f "$ZSH_ARGZERO"
  # Whatever stopped the install, the user is left with a running copy.
  (( launched )) || [[ ! -e "$target_app" ]] || start "$target_app" "${refused[@]}"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

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
  [[ "$("@SHASUM@" -a 256 < "$private/image.dmg")" == "$digest  -" ]]
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

# What goes in place is what was checked, by whoever puts it there.
info() { "@PLISTBUDDY@" -c "Print :$1" "$staged/Contents/Info.plist"; }
[[ "$(info CFBundleIdentifier)" == "$bundle_id" ]]
[[ "$(info CFBundleShortVersionString)" == "$version" ]]
"@CODESIGN@" --verify --deep --strict "$staged"
[[ -z $requirement ]] || "@CODESIGN@" --verify --deep --strict -R "=$requirement" "$staged"
"@LIPO@" "$staged/Contents/MacOS/$(info CFBundleExecutable)" -verify_arch "$arch" >/dev/null

# The swap.
if [[ -e "$target_app" ]]; then "@MV@" "$target_app" "$backup"; fi
if ! "@MV@" "$staged" "$target_app"; then
  [[ -e "$backup" ]] && "@MV@" "$backup" "$target_app"
  exit 1
fi
made_staged=0
"@RM@" -f "$started"
# A refused start still ends in the wait below, and so in the roll-back.
launched=1
start "$target_app" --args @REPORT_STARTED@ "$started" || true

# The previous copy stays until the new one says it started (its window
# shown and up for 10 s); if it does not in time, the previous comes back.
deadline=$(( SECONDS + start_window ))
while [[ ! -e "$started" ]] && (( SECONDS < deadline )); do "@SLEEP@" 0.25; done
if [[ -e "$started" || ! -e "$backup" ]]; then
  "@RM@" -f "$started"
  "@RM@" -rf "$backup"
  exit 0
fi
"@MV@" "$target_app" "$staged" || exit 1
made_staged=1
"@MV@" "$backup" "$target_app"
start "$target_app" --args @ROLLED_BACK@ "$version"
exit 1
