#!/usr/bin/env bash
# Builds, on an Apple silicon Mac with the Xcode command-line tools, CMake and
# Ninja, the disk image users install and the update path accepts:
#   "Veldra Cloud Desktop-<version>.dmg" with "Veldra Cloud Desktop.app" at its
#   root: universal (arm64 and x86_64), self-contained, and signed;
# and the installer package organisations deploy with device management:
#   "Veldra Cloud Desktop-<version>.pkg", installing the same application into
#   /Applications;
# and beside them veldra-release, the publisher's command of the same build.
#
#   scripts/package-macos.sh --deps PREFIX -DVELDRA_VERSION=2.1.0 [-DVELDRA_…=… ...]
#     [-DVELDRA_FREERDP_CLIENT=PATH] [--sign "Developer ID Application: …"]
#     [--installer-sign "Developer ID Installer: …"] [--notarize PROFILE] [--build DIR]
#     [--dry-run]
#
# --build DIR packages a universal build already made and tested there (what
# CI does, so that the tests ran on the very build the image is made from);
# without it a Release build is configured in build-macos.
#
# PREFIX is what scripts/build-macos-dependencies.sh made: Qt's universal
# binaries, and the pinned libraries and FreeRDP client joined with lipo. The
# client is PREFIX/universal/bin/sdl-freerdp unless -DVELDRA_FREERDP_CLIENT
# names another.
#
# With --sign the bundle gets the hardened runtime, a secure timestamp and the
# entitlements, and the build must pin its publisher
# (-DVELDRA_CODESIGN_REQUIREMENT). Without it the result is signed ad hoc, for
# trials on the Mac that made it: no hardened runtime, whose library
# validation refuses frameworks that carry no team identifier. With --dry-run
# every command is printed in order and none is run.
set -euo pipefail
cd "$(dirname "$0")/.."

identity="" installer_identity="" profile="" dry=0 version="" client="" deps="" requirement="" build=""
bundle_id="com.veldra.clouddesktop"
defines=()
while (($#)); do
  case "$1" in
    --sign) identity=$2; shift 2 ;;
    --installer-sign) installer_identity=$2; shift 2 ;;
    --notarize) profile=$2; shift 2 ;;
    --deps) deps=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --dry-run) dry=1; shift ;;
    -D*)
      defines+=("$1")
      case "$1" in
        -DVELDRA_VERSION=*) version=${1#-DVELDRA_VERSION=} ;;
        -DVELDRA_FREERDP_CLIENT=*) client=${1#-DVELDRA_FREERDP_CLIENT=} ;;
        -DVELDRA_BUNDLE_ID=*) bundle_id=${1#-DVELDRA_BUNDLE_ID=} ;;
        -DVELDRA_CODESIGN_REQUIREMENT=*) requirement=${1#-DVELDRA_CODESIGN_REQUIREMENT=} ;;
      esac
      shift ;;
    *) echo "usage: $0 --deps PREFIX -DVELDRA_VERSION=X [-D…] [--sign ID] [--notarize PROFILE] [--dry-run]" >&2
       exit 2 ;;
  esac
done
[[ -n $version ]] || { echo "package-macos: -DVELDRA_VERSION=<version> is required" >&2; exit 2; }
[[ -n $deps ]] || { echo "package-macos: --deps <prefix of build-macos-dependencies.sh> is required" >&2; exit 2; }
if [[ -n $profile && -z $identity ]]; then
  echo "package-macos: --notarize needs --sign (Apple notarises Developer ID signatures only)" >&2
  exit 2
fi
if [[ -n $installer_identity && -z $identity ]]; then
  echo "package-macos: --installer-sign needs --sign: a Developer ID package must not wrap an ad hoc signed application" >&2
  exit 2
fi
# A CI build asks for root with sudo -n; nothing signed for release may.
if [[ -n $identity ]] && { printf '%s\n' "${defines[@]}" | grep -qx -- '-DVELDRA_ELEVATION=sudo-n' ||
  grep -qsx 'VELDRA_ELEVATION:STRING=sudo-n' "${build:-build-macos}/CMakeCache.txt"; }; then
  echo "package-macos: a build that installs as root with sudo -n is for CI runners only: never sign it for release" >&2
  exit 2
fi
if [[ -n $identity && -z $requirement ]]; then
  echo "package-macos: a signed image needs -DVELDRA_CODESIGN_REQUIREMENT=<requirement>: a production copy always pins its publisher" >&2
  exit 2
fi

qt_version=$(awk '$1 == "qt" { print $2 }' macos/dependencies.txt)
qt="$deps/Qt/$qt_version/macos"
universal="$deps/universal"
client=${client:-$universal/bin/sdl-freerdp}
macdeployqt="$qt/bin/macdeployqt"
archs=(arm64 x86_64)
prebuilt=$build
build=${build:-build-macos}
app="$build/Veldra Cloud Desktop.app"
dmg="$build/Veldra Cloud Desktop-$version.dmg"
entitlements="resources/VeldraCloudDesktop.entitlements"
step_name=""
trap 'echo "package-macos: failed at step: $step_name" >&2' ERR

step() { step_name=$1; echo "== $1"; }
run() { # prints the command, then runs it unless this is a dry run
  printf ' '; printf ' %q' "$@"; echo
  if ((!dry)); then "$@"; fi
}

if [[ -n $identity ]]; then
  sign_flags=(--force --options runtime --timestamp --sign "$identity")
  app_sign_flags=("${sign_flags[@]}" --entitlements "$entitlements")
else
  sign_flags=(--force --sign -)
  app_sign_flags=("${sign_flags[@]}")
fi

step "check the tools and the client before building"
run test -x "$macdeployqt"
run test -x "$client"
run lipo "$client" -verify_arch "${archs[@]}"

if [[ -z $prebuilt ]]; then
  step "configure a universal Release build"
  # The bundle's targets add the bundle's Frameworks folder to their rpaths
  # themselves (src/app/CMakeLists.txt); nothing here changes the rpaths of
  # every target, which would leave make_icns, run by the build, without Qt.
  run cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_OSX_ARCHITECTURES=arm64;x86_64" \
    "-DCMAKE_PREFIX_PATH=$qt;$universal" "-DOPENSSL_ROOT_DIR=$universal" -DOPENSSL_USE_STATIC_LIBS=ON \
    -DVELDRA_BUILD_TESTS=OFF -DVELDRA_BUILD_BENCH=OFF -DVELDRA_WERROR=ON \
    "-DVELDRA_FREERDP_CLIENT=$client" "${defines[@]}"
fi

step "build the application, and beside it the release command of this very build"
# veldra-release writes and checks manifests with this build's update host,
# keys and signer: the one that belongs with the image.
run env "PKG_CONFIG_PATH=$universal/lib/pkgconfig" cmake --build "$build" --target veldra_app veldra-release

step "bundle Qt's frameworks and plugins"
# The update engine module (loaded at the first check) links QtNetwork;
# naming it here deploys it, and the TLS plugins, for it.
engine="$app/Contents/PlugIns/libveldra_update_engine.so"
run "$macdeployqt" "$app" "-executable=$app/Contents/MacOS/freerdp" "-executable=$engine" -verbose=1

step "drop every absolute LC_RPATH: a folder of this Mac means nothing on another"
echo "  install_name_tool -delete_rpath PATH on every Mach-O file under $app, for each PATH not"
echo "  starting with @; what it was needed for must then resolve inside the bundle (next step)"
if ((!dry)); then
  while IFS= read -r -d '' file; do
    file -b "$file" | grep -q Mach-O || continue
    otool -arch all -l "$file" | awk '$1 == "cmd" { cmd = $2; next }
      cmd == "LC_RPATH" && $1 == "path" { sub(/^ *path /, ""); sub(/ \(offset [0-9]+\)$/, ""); print }' |
      sort -u | while IFS= read -r rpath; do
        [[ $rpath == @* ]] || install_name_tool -delete_rpath "$rpath" "$file"
      done
  done < <(find "$app" -type f -print0)
fi

step "check that every Mach-O file loads only from the bundle and the system"
echo "  otool -l on every Mach-O file under $app: each @rpath, @loader_path and @executable_path"
echo "  dependency resolves to a file inside the bundle; other dependencies are in /usr/lib or"
echo "  /System; no LC_RPATH is an absolute path"
minimum=LSMinimumSystemVersion # a dry run reads no Info.plist, and prints this in its place
if ((!dry)); then
  minimum=$(/usr/libexec/PlistBuddy -c "Print :LSMinimumSystemVersion" "$app/Contents/Info.plist")
fi
run scripts/check-bundle-linkage.sh "$app" "$minimum"

step "modes a release needs, whatever the umask the frameworks were built or copied with"
run chmod -R u=rwX,go=rX "$app"

if [[ -n $identity ]]; then
  step "sign inside out, with the hardened runtime and a secure timestamp"
else
  step "sign inside out, ad hoc (no hardened runtime, no entitlements)"
fi
echo "  every library and plugin, then each framework, then the client, then the bundle"
if ((!dry)); then
  while IFS= read -r -d '' file; do
    codesign "${sign_flags[@]}" "$file"
  done < <(find "$app/Contents/Frameworks" "$app/Contents/PlugIns" -type f \( -name '*.dylib' -o -name '*.so' \) -print0)
  for framework in "$app"/Contents/Frameworks/*.framework; do
    codesign "${sign_flags[@]}" "$framework"
  done
fi
# The client is its own responsible process: macOS knows it (its privacy
# permissions, the microphone's and the local network's) by this identifier,
# which its embedded Info.plist must carry too.
run grep -aqF "<string>$bundle_id.session</string>" "$app/Contents/MacOS/freerdp"
run codesign "${app_sign_flags[@]}" --identifier "$bundle_id.session" "$app/Contents/MacOS/freerdp"
run codesign "${app_sign_flags[@]}" "$app"

step "verify the signature and both architectures, as the updater will"
run codesign --verify --deep --strict "$app"
if [[ -n $requirement ]]; then
  run codesign --verify --deep --strict -R "=$requirement" "$app"
fi
for binary in "$app/Contents/MacOS/VeldraCloudDesktop" "$app/Contents/MacOS/freerdp" "$engine"; do
  run lipo "$binary" -verify_arch "${archs[@]}"
done

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
# hdiutil create now and then fails with "Resource busy" on a busy Mac: a
# few tries.
create_image() {
  local attempt
  for attempt in 1 2 3; do
    hdiutil create -volname "Veldra Cloud Desktop" -srcfolder "$build/dmg" -format UDZO -ov "$dmg" && return 0
    echo "  hdiutil create failed (try $attempt of 3)" >&2
    sleep 5
  done
  return 1
}
echo "  hdiutil create -volname 'Veldra Cloud Desktop' -srcfolder $build/dmg -format UDZO -ov $dmg  (up to 3 tries)"
if ((!dry)); then create_image; fi
if [[ -n $identity ]]; then
  run codesign --force --timestamp --sign "$identity" "$dmg"
fi
if [[ -n $profile ]]; then
  step "notarise and staple the disk image"
  run scripts/notarize-macos.sh "$profile" "$dmg"
  run xcrun stapler staple "$dmg"
fi

# The installer package for device management: made for an ad hoc build (to
# try, and for CI), and for a signed one only with an installer identity; a
# Developer ID application in an unsigned package is what Gatekeeper refuses.
pkg="$build/Veldra Cloud Desktop-$version.pkg"
if [[ -n $identity && -z $installer_identity ]]; then
  echo "== no installer package: it needs --installer-sign \"Developer ID Installer: …\" (the image is complete)"
  pkg=""
else
  step "make the installer package for device management"
  # A component for /Applications alone: not relocatable (Installer would
  # otherwise upgrade any copy with our identifier it finds, in Downloads or
  # a build folder, and leave /Applications without one) and not version
  # checked (an organisation that pushes an older version to undo a bad
  # release must get it). Such a property list needs a root folder.
  root="$build/pkg-root" component_plist="$build/component.plist" requirements="$build/requirements.plist"
  run rm -rf "$root"
  run mkdir -p "$root"
  run ditto "$app" "$root/Veldra Cloud Desktop.app"
  run pkgbuild --analyze --root "$root" "$component_plist"
  run /usr/libexec/PlistBuddy -c "Set :0:BundleIsRelocatable false" -c "Set :0:BundleIsVersionChecked false" \
    "$component_plist"
  run pkgbuild --root "$root" --component-plist "$component_plist" --install-location /Applications \
    --identifier "$bundle_id" --version "$version" "$build/component.pkg"
  # Installer refuses a Mac older than the application needs, and one of
  # another kind, before anything is written.
  echo "  requirements: os $minimum, arch ${archs[*]} -> $requirements"
  if ((!dry)); then
    cat >"$requirements" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>os</key><array><string>$minimum</string></array>
  <key>arch</key><array><string>arm64</string><string>x86_64</string></array>
</dict>
</plist>
PLIST
  fi
  if [[ -n $installer_identity ]]; then
    run productbuild --product "$requirements" --package "$build/component.pkg" \
      --sign "$installer_identity" --timestamp "$pkg"
  else
    run productbuild --product "$requirements" --package "$build/component.pkg" "$pkg"
  fi
  run rm -rf "$build/component.pkg" "$root"
  if [[ -n $profile ]]; then
    step "notarise and staple the installer package"
    run scripts/notarize-macos.sh "$profile" "$pkg"
    run xcrun stapler staple "$pkg"
  fi
fi

step "check the image as the updater will: name, identifier, version, signature, architectures"
# hdiutil wants an absolute mount point: a relative one is taken from
# wherever hdiutil's helper runs, not from here.
mount="$PWD/$build/dmg-check"
[[ $build == /* ]] && mount="$build/dmg-check"
run mkdir -p "$mount"
run hdiutil attach -nobrowse -readonly -mountpoint "$mount" "$dmg"
if ((!dry)); then
  trap 'hdiutil detach -force "$mount" >/dev/null 2>&1 || true' EXIT
fi
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
run lipo "$checked/Contents/MacOS/VeldraCloudDesktop" -verify_arch "${archs[@]}"
run hdiutil detach "$mount"
trap - EXIT

echo
if ((dry)); then
  echo "Dry run: nothing was run."
  exit 0
fi
echo "Made $dmg${pkg:+ and $pkg} (arm64 and x86_64), and $build/veldra-release for its manifest"
if [[ -z $identity ]]; then
  echo "It is signed ad hoc: fine on this Mac, refused by Gatekeeper anywhere else. Do not distribute it."
fi
