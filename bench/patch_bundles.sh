#!/usr/bin/env bash
# What a patch saves on a release that changes one line of our code, with a
# bundle as full as the shipped one. Builds HEAD twice from a scratch copy
# (Release, 1.0.0, then 1.0.1 with one status text changed), puts around both
# the same Qt libraries and plugins and FreeRDP libraries the Mac package step
# deploys, and runs bench_patch on the two bundles.
#
#   bench/patch_bundles.sh [WORK] [BENCH_PATCH]
#
# WORK must be new or empty (default: a temporary folder, removed at the end).
# BENCH_PATCH defaults to $BENCH_PATCH, else build/bench/bench_patch of this
# repository. Two Release builds: several minutes.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench=${2:-${BENCH_PATCH:-$repo/build/bench/bench_patch}}
if [[ -n ${1:-} ]]; then
  work=$1
  mkdir -p "$work"
  if [[ -n $(ls -A "$work") ]]; then
    echo "patch_bundles: $work is not empty" >&2
    exit 2
  fi
else
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi
work=$(cd "$work" && pwd)
if [[ ! -x $bench ]]; then
  echo "patch_bundles: no bench_patch at $bench (build the bench_patch target, or pass its path)" >&2
  exit 2
fi
bench=$(realpath "$bench")

app="Veldra Cloud Desktop.app"
libdir=/usr/lib/x86_64-linux-gnu
plugins=$libdir/qt6/plugins
client=/usr/bin/xfreerdp
edited=src/updater/engine/MacUpdater.cpp
before='QStringLiteral("Installing and restarting\u2026")'
after='QStringLiteral("Installing and restarting now\u2026")'

progress() { printf '[%4ds] %s\n' "$SECONDS" "$*"; }

build_version() { # version; logs into WORK
  progress "configuring and building veldra_app $1 (log: $work/build-$1.log)"
  {
    cmake -S "$work/src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DVELDRA_BUILD_TESTS=OFF -DVELDRA_BUILD_BENCH=OFF -DVELDRA_FREERDP_CLIENT="$client" \
      -DVELDRA_VERSION="$1"
    cmake --build "$work/build" --target veldra_app
  } >"$work/build-$1.log" 2>&1 || {
    tail -n 30 "$work/build-$1.log" >&2
    exit 1
  }
}

# Libraries FILE... load, as "soname real-path" lines, for those whose real
# path is in $libdir and whose soname matches PATTERN (first argument).
libraries() {
  local pattern=$1
  shift
  for file in "$@"; do ldd "$file"; done |
    awk '$2 == "=>" && $3 ~ /^\// { print $1, $3 }' | sort -u |
    while read -r soname path; do
      real=$(realpath "$path")
      if [[ $soname =~ $pattern && $real == "$libdir"/* ]]; then echo "$soname $real"; fi
    done
}

progress "work folder: $work"
progress "bench_patch: $bench"
progress "copying HEAD of $repo to $work/src"
mkdir -p "$work/src" "$work/old" "$work/new" "$work/deploy"
git -C "$repo" archive HEAD | tar -x -C "$work/src"

build_version 1.0.0
cp -a "$work/build/$app" "$work/old/"

# What macdeployqt adds, made once and copied into both bundles: the plugins
# a Widgets and Network application gets, the Qt libraries the executable,
# the update module and those plugins load (each as a framework, as on a
# Mac), the ICU libraries Qt needs and the FreeRDP client's libraries.
progress "collecting the Qt, ICU and FreeRDP libraries into $work/deploy"
contents=$work/deploy/Contents
mkdir -p "$contents/Frameworks" "$contents/PlugIns"
for kind in platforms imageformats iconengines styles tls platforminputcontexts networkinformation; do
  [[ -d $plugins/$kind ]] || continue
  mkdir -p "$contents/PlugIns/$kind"
  cp -L --preserve=mode "$plugins/$kind"/*.so "$contents/PlugIns/$kind/"
done
mapfile -t loaders < <(find "$work/old/$app/Contents/MacOS/VeldraCloudDesktop" \
  "$work/old/$app/Contents/PlugIns/libveldra_update_engine.so" "$contents/PlugIns" -name '*.so' \
  -o -name VeldraCloudDesktop)
while read -r soname real; do
  if [[ $soname == libQt6* ]]; then
    # libQt6Core.so.6 -> QtCore.framework/Versions/A/QtCore, with the links
    # a framework has.
    name=${soname#libQt6}
    name=Qt${name%%.so*}
    framework=$contents/Frameworks/$name.framework
    mkdir -p "$framework/Versions/A/Resources"
    cp -L --preserve=mode "$real" "$framework/Versions/A/$name"
    printf '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict>%s</dict></plist>\n' \
      "<key>CFBundleExecutable</key><string>$name</string>" >"$framework/Versions/A/Resources/Info.plist"
    ln -s A "$framework/Versions/Current"
    ln -s "Versions/Current/$name" "$framework/$name"
    ln -s Versions/Current/Resources "$framework/Resources"
  else
    cp -L --preserve=mode "$real" "$contents/Frameworks/$soname"
  fi
done < <(libraries '^(libQt6|libicu)' "${loaders[@]}"; libraries '^(libfreerdp|libwinpr)' "$client")
progress "deployed: $(find "$contents/Frameworks" -maxdepth 1 -name '*.framework' | wc -l) Qt frameworks," \
  "$(find "$contents/Frameworks" -maxdepth 1 -name '*.so*' | wc -l) other libraries," \
  "$(find "$contents/PlugIns" -name '*.so' | wc -l) plugins, $(du -sh "$contents" | cut -f1)"
cp -a "$contents/." "$work/old/$app/Contents/"

progress "changing one line of $edited"
[[ $(grep -cF "$before" "$work/src/$edited") == 1 ]] || {
  echo "patch_bundles: the status text to change is not in $edited exactly once" >&2
  exit 1
}
sed -i "s/$(sed 's/[\\/.*[]/\\&/g' <<<"$before")/$(sed 's/[\\/.*[&]/\\&/g' <<<"$after")/" \
  "$work/src/$edited"
changed=$(git -C "$repo" show "HEAD:$edited" | diff - "$work/src/$edited" | grep -c '^>' || true)
[[ $changed == 1 && $(grep -cF "$after" "$work/src/$edited") == 1 ]] || {
  echo "patch_bundles: the edit changed $changed lines of $edited" >&2
  exit 1
}

build_version 1.0.1
cp -a "$work/build/$app" "$work/new/"
cp -a "$contents/." "$work/new/$app/Contents/"

progress "old: $work/old/$app ($(du -sh "$work/old/$app" | cut -f1))"
progress "new: $work/new/$app ($(du -sh "$work/new/$app" | cut -f1))"
progress "files that differ:"
diff -rq --no-dereference "$work/old/$app" "$work/new/$app" | sed "s|$work/||g; s/^/  /" || true
progress "running bench_patch"
"$bench" "$work/old/$app" "$work/new/$app" "$work/bench"
progress "done"
