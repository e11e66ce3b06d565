#!/usr/bin/env bash
# Checks that every Mach-O file of a bundle loads only from the bundle and the
# system, and that none needs a macOS newer than the bundle's minimum:
#
#   scripts/check-bundle-linkage.sh BUNDLE MINIMUM
#
# Each @rpath, @loader_path and @executable_path dependency must resolve to a
# file inside the bundle; other dependencies must be in /usr/lib or /System;
# no LC_RPATH may be an absolute path. Prints each problem on stderr and exits
# 1 if there is any. OTOOL names the otool to run (default otool), so that
# llvm-otool can stand in for it off the Mac.
set -euo pipefail

if (($# != 2)); then
  echo "usage: $0 BUNDLE MINIMUM" >&2
  exit 2
fi
app=$1 minimum=$2
otool=${OTOOL:-otool}
main="$app/Contents/MacOS/VeldraCloudDesktop"

# Prints "dep PATH", "rpath PATH" and "minos VERSION" for every architecture of FILE.
load_commands() {
  "$otool" -arch all -l "$1" | awk '
    $1 == "cmd" { cmd = $2; next }
    cmd ~ /^LC_(LOAD|LOAD_WEAK|REEXPORT|LAZY_LOAD|LOAD_UPWARD)_DYLIB$/ && $1 == "name" {
      sub(/^ *name /, ""); sub(/ \(offset [0-9]+\)$/, ""); print "dep " $0 }
    cmd == "LC_RPATH" && $1 == "path" {
      sub(/^ *path /, ""); sub(/ \(offset [0-9]+\)$/, ""); print "rpath " $0 }
    cmd == "LC_BUILD_VERSION" && $1 == "minos" { print "minos " $2 }
    cmd == "LC_VERSION_MIN_MACOSX" && $1 == "version" { print "minos " $2 }'
}
expand_path() { # path with @loader_path or @executable_path, the file that names it
  local path=$1 file=$2
  case "$path" in
    @loader_path/*) echo "$(dirname "$file")/${path#@loader_path/}" ;;
    @executable_path/*) echo "$app/Contents/MacOS/${path#@executable_path/}" ;;
    *) echo "$path" ;;
  esac
}
inside_bundle() { # an existing file whose real path lies inside the bundle
  [[ -e $1 ]] && [[ $(realpath "$1") == "$(realpath "$app")"/* ]]
}
newer_than() { # version a, version b: a is newer (trailing .0 parts ignored)
  local a b
  a=$(sed -E 's/(\.0+)+$//' <<<"$1") b=$(sed -E 's/(\.0+)+$//' <<<"$2")
  [[ $a != "$b" && $(printf '%s\n%s\n' "$a" "$b" | sort -V | tail -n 1) == "$a" ]]
}

problems=0
# dyld searches the rpaths of every image in the chain that loaded a file,
# the main executable's among them.
main_rpaths=()
while read -r kind value; do
  [[ $kind == rpath ]] && main_rpaths+=("$(expand_path "$value" "$main")")
done < <(load_commands "$main")
while IFS= read -r -d '' file; do
  file -b "$file" | grep -q Mach-O || continue
  commands=$(load_commands "$file")
  rpaths=(${main_rpaths[@]+"${main_rpaths[@]}"})
  while read -r kind value; do
    [[ $kind == rpath ]] || continue
    if [[ $value != @* ]]; then
      echo "  $file has the absolute LC_RPATH $value" >&2; problems=1
    fi
    rpaths+=("$(expand_path "$value" "$file")")
  done <<<"$commands"
  while read -r kind value; do
    case "$kind" in
      minos)
        if newer_than "$value" "$minimum"; then
          echo "  $file is built for macOS $value, newer than LSMinimumSystemVersion $minimum" >&2
          problems=1
        fi ;;
      dep)
        case "$value" in
          /usr/lib/* | /System/*) ;;
          @rpath/*)
            found=0
            for rpath in ${rpaths[@]+"${rpaths[@]}"}; do
              if inside_bundle "$rpath/${value#@rpath/}"; then found=1; break; fi
            done
            if ((!found)); then echo "  $file: $value resolves to nothing in the bundle" >&2; problems=1; fi ;;
          @loader_path/* | @executable_path/*)
            if ! inside_bundle "$(expand_path "$value" "$file")"; then
              echo "  $file: $value resolves to nothing in the bundle" >&2; problems=1
            fi ;;
          *) echo "  $file links $value, outside the bundle and the system" >&2; problems=1 ;;
        esac ;;
    esac
  done <<<"$commands"
done < <(find "$app" -type f -print0)
((problems == 0)) || exit 1
