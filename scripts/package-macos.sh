#!/usr/bin/env bash
# Builds, on a Mac with the Xcode command-line tools and Homebrew, the disk
# image users install and the update path accepts:
#   "Veldra Cloud Desktop-<version>.dmg" with "Veldra Cloud Desktop.app" at its
#   root, self-contained, signed with the hardened runtime, built for x86_64.
#
#   scripts/package-macos.sh -DVELDRA_VERSION=2.1.0 -DVELDRA_FREERDP_CLIENT=/path/to/freerdp \
#     [-DVELDRA_…=… ...] [--arch x86_64|arm64] [--sign "Developer ID Application: …"]
#     [--notarize PROFILE] [--dry-run]
#
# --arch (x86_64 by default) must be this Mac's own kind: Homebrew's libraries
# are built for the Mac they are installed on.
#
# Without --sign the result is signed ad hoc, for local trials only. With
# --dry-run every command is printed in order and none is run.
set -euo pipefail
cd "$(dirname "$0")/.."

identity="" profile="" dry=0 version="" client="" bundle_id="com.veldra.clouddesktop" arch="x86_64"
defines=()
while (($#)); do
  case "$1" in
    --sign) identity=$2; shift 2 ;;
    --notarize) profile=$2; shift 2 ;;
    --dry-run) dry=1; shift ;;
    --arch) arch=$2; shift 2 ;;
    -D*)
      defines+=("$1")
      case "$1" in
        -DVELDRA_VERSION=*) version=${1#-DVELDRA_VERSION=} ;;
        -DVELDRA_FREERDP_CLIENT=*) client=${1#-DVELDRA_FREERDP_CLIENT=} ;;
        -DVELDRA_BUNDLE_ID=*) bundle_id=${1#-DVELDRA_BUNDLE_ID=} ;;
      esac
      shift ;;
    *) echo "usage: $0 -DVELDRA_VERSION=X -DVELDRA_FREERDP_CLIENT=PATH [-D…] [--sign ID] [--notarize PROFILE] [--dry-run]" >&2
       exit 2 ;;
  esac
done
[[ -n $version ]] || { echo "package-macos: -DVELDRA_VERSION=<version> is required" >&2; exit 2; }
[[ -n $client ]] || { echo "package-macos: -DVELDRA_FREERDP_CLIENT=<FreeRDP client> is required" >&2; exit 2; }
case "$arch" in
  x86_64 | arm64) ;;
  *) echo "package-macos: --arch is x86_64 or arm64" >&2; exit 2 ;;
esac
if [[ -n $profile && -z $identity ]]; then
  echo "package-macos: --notarize needs --sign (Apple notarises Developer ID signatures only)" >&2
  exit 2
fi

build="build-macos"
app="$build/Veldra Cloud Desktop.app"
dmg="$build/Veldra Cloud Desktop-$version-$arch.dmg"
entitlements="resources/VeldraCloudDesktop.entitlements"
step_name=""
trap 'echo "package-macos: failed at step: $step_name" >&2' ERR

step() { step_name=$1; echo "== $1"; }
run() { # prints the command, then runs it unless this is a dry run
  printf ' '; printf ' %q' "$@"; echo
  if ((!dry)); then "$@"; fi
}
brew_prefix() { # Homebrew lives in /usr/local on Intel Macs, /opt/homebrew on Apple silicon
  if ((dry)); then
    if [[ $arch == arm64 ]]; then echo "/opt/homebrew/opt/$1"; else echo "/usr/local/opt/$1"; fi
  else
    brew --prefix "$1"
  fi
}

if [[ -n $identity ]]; then
  sign_flags=(--force --options runtime --timestamp --sign "$identity")
else
  sign_flags=(--force --options runtime --timestamp=none --sign -)
fi

step "configure a Release build for $arch"
run cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_OSX_ARCHITECTURES=$arch" \
  "-DCMAKE_PREFIX_PATH=$(brew_prefix qt);$(brew_prefix openssl)" \
  -DVELDRA_BUILD_TESTS=OFF -DVELDRA_BUILD_BENCH=OFF -DVELDRA_WERROR=ON "${defines[@]}"

step "build the application"
run cmake --build "$build" --target veldra_app

step "bundle Qt's frameworks and plugins, and the client's libraries"
# The update engine module (loaded at the first check) links QtNetwork and
# libcrypto; naming it here deploys them, and the TLS plugins, for it.
engine="$app/Contents/PlugIns/libveldra_update_engine.so"
run "$(brew_prefix qt)/bin/macdeployqt" "$app" "-executable=$app/Contents/MacOS/freerdp" \
  "-executable=$engine" -verbose=1

step "check that nothing links outside the bundle and the system"
echo "  otool -L on every Mach-O file under $app: only @rpath, @loader_path, @executable_path, /usr/lib, /System"
if ((!dry)); then
  outside=0
  while IFS= read -r -d '' file; do
    file -b "$file" | grep -q Mach-O || continue
    while read -r dependency _; do
      case "$dependency" in
        @rpath/* | @loader_path/* | @executable_path/* | /usr/lib/* | /System/*) ;;
        *) echo "  $file links $dependency" >&2; outside=1 ;;
      esac
    done < <(otool -L "$file" | tail -n +2)
  done < <(find "$app" -type f -print0)
  ((outside == 0))
fi

step "sign inside out, with the hardened runtime"
echo "  every library and plugin, then each framework, then the client, then the bundle"
if ((!dry)); then
  while IFS= read -r -d '' file; do
    codesign "${sign_flags[@]}" "$file"
  done < <(find "$app/Contents/Frameworks" "$app/Contents/PlugIns" -type f \( -name '*.dylib' -o -name '*.so' \) -print0)
  for framework in "$app"/Contents/Frameworks/*.framework; do
    codesign "${sign_flags[@]}" "$framework"
  done
fi
run codesign "${sign_flags[@]}" --entitlements "$entitlements" "$app/Contents/MacOS/freerdp"
run codesign "${sign_flags[@]}" --entitlements "$entitlements" "$app"

step "verify the signature and the architecture, as the updater will"
run codesign --verify --deep --strict "$app"
run lipo "$app/Contents/MacOS/VeldraCloudDesktop" -verify_arch "$arch"
run lipo "$app/Contents/MacOS/freerdp" -verify_arch "$arch"
run lipo "$engine" -verify_arch "$arch"

if [[ -n $profile ]]; then
  step "notarise and staple the application"
  run ditto -c -k --keepParent "$app" "$build/notarize.zip"
  run scripts/notarize-macos.sh "$profile" "$build/notarize.zip"
  run xcrun stapler staple "$app"
fi

step "make the disk image"
run rm -rf "$build/dmg" "$dmg"
run mkdir -p "$build/dmg"
run ditto "$app" "$build/dmg/Veldra Cloud Desktop.app"
run ln -s /Applications "$build/dmg/Applications"
run hdiutil create -volname "Veldra Cloud Desktop" -srcfolder "$build/dmg" -format UDZO -ov "$dmg"
if [[ -n $identity ]]; then
  run codesign --force --timestamp --sign "$identity" "$dmg"
fi
if [[ -n $profile ]]; then
  step "notarise and staple the disk image"
  run scripts/notarize-macos.sh "$profile" "$dmg"
  run xcrun stapler staple "$dmg"
fi

step "check the image as the updater will: name, identifier, version, signature, architecture"
mount="$build/dmg-check"
run mkdir -p "$mount"
run hdiutil attach -nobrowse -readonly -mountpoint "$mount" "$dmg"
checked="$mount/Veldra Cloud Desktop.app"
run test -d "$checked"
check_value() { # Info.plist key, the value it must have
  local plist="$checked/Contents/Info.plist"
  printf '  /usr/libexec/PlistBuddy -c %q %q  (must print %s)\n' "Print :$1" "$plist" "$2"
  if ((!dry)); then [[ $(/usr/libexec/PlistBuddy -c "Print :$1" "$plist") == "$2" ]]; fi
}
check_value CFBundleIdentifier "$bundle_id"
check_value CFBundleShortVersionString "$version"
run codesign --verify --deep --strict "$checked"
run lipo "$checked/Contents/MacOS/VeldraCloudDesktop" -verify_arch "$arch"
run hdiutil detach "$mount"

echo
if ((dry)); then
  echo "Dry run: nothing was run."
  exit 0
fi
echo "Made $dmg"
if [[ -z $identity ]]; then
  echo "It is signed ad hoc: fine on this Mac, refused by Gatekeeper anywhere else. Do not distribute it."
fi
