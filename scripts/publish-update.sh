#!/usr/bin/env bash
# Publishes, for a local update server, the next version of an application
# as a publisher would: the application with its new version, signed; its
# disk image; a patch from the given copy; the manifest the release command
# writes, signed with minisign; and the server's routes.
#
#   scripts/publish-update.sh --from APP --version NEXT --www DIR --pki DIR
#     --release VELDRA-RELEASE --url-base https://localhost:PORT [--exits-at-once]
#
# APP is the copy the patch starts from. --exits-at-once publishes a version
# whose executable ends at once (it never says it started). With
# VELDRA_STANDINS set (the Linux build), an image is a tar archive and a
# signature a sealed marker, as the stand-ins read them; else hdiutil and an
# ad hoc codesign make them. Runs with a stock Mac's bash 3.2.
set -euo pipefail
from="" next="" www="" pki="" release="" base="" broken=0
while (($#)); do
  case "$1" in
    --from) from=$2; shift 2 ;;
    --version) next=$2; shift 2 ;;
    --www) www=$2; shift 2 ;;
    --pki) pki=$2; shift 2 ;;
    --release) release=$2; shift 2 ;;
    --url-base) base=$2; shift 2 ;;
    --exits-at-once) broken=1; shift ;;
    *) echo "usage: $0 --from APP --version NEXT --www DIR --pki DIR --release TOOL --url-base URL [--exits-at-once]" >&2
       exit 2 ;;
  esac
done
[[ -d $from && -n $next && -n $www && -d $pki && -x $release && -n $base ]] ||
  { echo "publish-update: missing or wrong arguments" >&2; exit 2; }
standins=${VELDRA_STANDINS:-}
name="Veldra Cloud Desktop.app"
plist_value() { sed -n "/<key>$2<\/key>/{n;s/.*<string>\(.*\)<\/string>.*/\1/p;}" "$1"; }
current=$(plist_value "$from/Contents/Info.plist" CFBundleShortVersionString)
stage="$www/stage-$next"
app="$stage/$name"
rm -rf "$stage"
mkdir -p "$stage"
cp -Rp "$from" "$app"
sed "/<key>CFBundleShortVersionString<\/key>/{n;s/<string>.*<\/string>/<string>$next<\/string>/;}" \
  "$from/Contents/Info.plist" >"$app/Contents/Info.plist"
executable="$app/Contents/MacOS/$(plist_value "$app/Contents/Info.plist" CFBundleExecutable)"
if ((broken)); then
  # Still an executable of this Mac's kinds, so that only its start fails.
  if [[ -n $standins ]]; then
    cp /bin/false "$executable"
  else
    printf 'int main(void) { return 1; }\n' |
      clang -arch arm64 -arch x86_64 -mmacosx-version-min=12.0 -x c - -o "$executable"
  fi
fi
image="VeldraCloudDesktop-$next.dmg" patch="VeldraCloudDesktop-$current-to-$next.patch"
if [[ -n $standins ]]; then
  mkdir -p "$app/Contents/_CodeSignature"
  echo sealed >"$app/Contents/_CodeSignature/CodeResources"
fi
# The modes a release has, whatever this shell's umask.
chmod -R u=rwX,go=rX "$app"
if [[ -n $standins ]]; then
  tar -cf "$www/$image" -C "$stage" .
  # This machine's build: its one architecture's keys.
  images=("$www/$image")
else
  codesign --force --sign - "$app"
  # hdiutil create now and then fails with "Resource busy" on a busy Mac.
  for attempt in 1 2 3; do
    hdiutil create -quiet -volname "Veldra Cloud Desktop" -srcfolder "$stage" -format UDZO -ov "$www/$image" &&
      break
    ((attempt < 3)) || exit 1
    sleep 5
  done
  images=(--universal "$www/$image")
fi
"$release" delta --from "$from" --to "$app" --output "$www/$patch" >/dev/null
"$release" manifest "${images[@]}" --version "$next" --url "$base/$image" \
  --notes "Version $next" --delta-from "$current" --delta "$www/$patch" --delta-url "$base/$patch" \
  --output "$www/version.json"
minisign -S -s "$pki/minisign.key" -m "$www/version.json" -t "Veldra Cloud Desktop $next" >/dev/null
cat >"$www/routes.json" <<JSON
{"/version.json": {"file": "version.json"}, "/version.json.minisig": {"file": "version.json.minisig"},
 "/$image": {"file": "$image"}, "/$patch": {"file": "$patch"}}
JSON
rm -rf "$stage"
echo "published $next ($image, and a patch from $current)"
