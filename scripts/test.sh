#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and UBSan, warnings as
# errors, runs the fuzzers briefly and the run command headless, and then
# every test. The test build runs in the background, at a lower priority,
# while the fuzzers and the demo have the foreground.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
# The loosest umask in common use (a private group per user): nothing the
# build puts into a bundle may take its modes from it.
umask 002

echo "== format check"
git ls-files -z '*.cpp' '*.h' | xargs -0 -r clang-format --dry-run --Werror
shellcheck scripts/*.sh bench/*.sh .ci/run
zsh -n src/updater/installing/install.zsh
# Each stage of the updater uses only the stages before it.
stages=(offer fetching patches installing engine)
for ((i = 0; i < ${#stages[@]}; i++)); do
  for later in "${stages[@]:i+1}"; do
    if grep -rn "#include \"updater/$later/" "src/updater/${stages[i]}"; then
      echo "src/updater/${stages[i]} includes the later stage $later" >&2; exit 1
    fi
  done
done
# The workflows parse; every cache step names the same folders, none by an
# exclusion (the cache action's globs have no implicit descendants, so "!"
# under an included folder leaves out nothing); every artefact has a
# retention limit and none holds keys or a whole build folder.
/usr/bin/python3 - .github/workflows/*.yml <<'PY'
import sys, yaml
for name in sys.argv[1:]:
    steps = [s for job in yaml.safe_load(open(name))["jobs"].values() for s in job.get("steps", [])]
    uses = lambda action: [s["with"] for s in steps if s.get("uses", "").startswith(action)]
    caches = {w["path"] for w in uses("actions/cache")}
    assert len(caches) <= 1, f"{name}: cache steps name different folders"
    assert not any(line.strip().startswith("!") for c in caches for line in c.splitlines()), f"{name}: a cache exclusion"
    for upload in uses("actions/upload-artifact"):
        assert "retention-days" in upload, f"{name}: an artefact kept without limit"
        paths = [line.strip() for line in upload["path"].splitlines()]
        assert not any("pki" in p or p in ("build", "build/", ".") for p in paths), f"{name}: keys or a build uploaded"
PY
# Every pin of the Mac build is one Renovate's managers find, so that each
# upstream release becomes a pull request.
/usr/bin/python3 - renovate.json macos/dependencies.txt <<'PY'
import json, re, sys
config, pins = json.load(open(sys.argv[1])), open(sys.argv[2]).read()
found = set()
for manager in config["customManagers"]:
    for expression in manager["matchStrings"]:
        for match in re.finditer(expression.replace("(?<", "(?P<"), pins):
            found.add(match.groupdict().get("depName") or manager.get("depNameTemplate"))
names = {line.split()[0] for line in pins.splitlines() if line.strip() and not line.startswith("#")}
missing = names - found
assert not missing, f"pins no Renovate manager finds: {sorted(missing)}"
PY
# The sample configuration profile is a property list whose managed payload
# forces only settings the application reads, each with a value it takes,
# and no ring or version hold beside "off" or "manual", where they do nothing.
/usr/bin/python3 - macos/managed-settings.mobileconfig <<'PY'
import plistlib, sys
profile = plistlib.load(open(sys.argv[1], "rb"))
payload = profile["PayloadContent"][0]
assert payload["PayloadType"] == "com.apple.ManagedClient.preferences"
settings = payload["PayloadContent"]["com.veldra.clouddesktop"]["Forced"][0]["mcx_preference_settings"]
takes = {"UpdateMode": lambda v: v in ("automatic", "manual", "off"),
         "TargetVersionPrefix": lambda v: isinstance(v, str),
         "UpdateRing": lambda v: v in ("early", "late"),
         "RememberUsername": lambda v: isinstance(v, bool),
         "UpdateChannel": lambda v: v in ("stable", "beta")}
for key, value in settings.items():
    assert key in takes and takes[key](value), f"the profile's {key} is not a setting the application takes"
if settings.get("UpdateMode") in ("manual", "off"):
    assert "UpdateRing" not in settings, "a ring does nothing without automatic checks"
if settings.get("UpdateMode") == "off":
    assert "TargetVersionPrefix" not in settings, "a version hold does nothing with updates off"
PY
# The package script's plans: a universal image; ad hoc without the hardened
# runtime or entitlements; a real identity with both, and only with a pinned
# publisher.
adhoc_plan=$(scripts/package-macos.sh --deps /opt/deps -DVELDRA_VERSION=9.9.9 --dry-run)
grep -q -- '-verify_arch arm64 x86_64' <<<"$adhoc_plan"
# The release command of the same build, beside the image.
grep -q -- '--target veldra_app veldra-release$' <<<"$adhoc_plan"
grep -q -- 'test -x /opt/deps/universal/bin/sdl-freerdp' <<<"$adhoc_plan"
# Install rpaths only where the bundle's targets ask for them (make_icns, run
# by the build, keeps its own); the image checked at an absolute mount point.
if grep -q -- 'INSTALL_RPATH' <<<"$adhoc_plan"; then
  echo "package-macos: rpaths set for every target, make_icns too" >&2; exit 1
fi
grep -q -- "-mountpoint $PWD/build-macos/dmg-check " <<<"$adhoc_plan"
prebuilt_plan=$(scripts/package-macos.sh --deps /opt/deps -DVELDRA_VERSION=9.9.9 --build /ci/build --dry-run)
if grep -q -- 'cmake -S' <<<"$prebuilt_plan"; then
  echo "package-macos: --build must package the tested build, not configure another" >&2; exit 1
fi
grep -q -- '-mountpoint /ci/build/dmg-check ' <<<"$prebuilt_plan"
# The dependency build turns cJSON's own -Werror off and names the client's
# channel back-ends.
for option in -DENABLE_CUSTOM_COMPILER_FLAGS=OFF -DWITH_CUPS=ON -DCHANNEL_AUDIN=ON -DWITH_MACAUDIO=ON; do
  grep -q -- "$option" scripts/build-macos-dependencies.sh
done
if grep -q -- '--options runtime\|--entitlements' <<<"$adhoc_plan"; then
  echo "package-macos: an ad hoc signature must not use the hardened runtime" >&2; exit 1
fi
if scripts/package-macos.sh --deps /opt/deps -DVELDRA_VERSION=9.9.9 --sign "Developer ID Application: T" \
  --dry-run >/dev/null 2>&1; then
  echo "package-macos: signed without a pinned publisher" >&2; exit 1
fi
if scripts/package-macos.sh --deps /opt/deps -DVELDRA_VERSION=9.9.9 --sign "Developer ID Application: T" \
  '-DVELDRA_CODESIGN_REQUIREMENT=identifier "com.veldra.clouddesktop"' -DVELDRA_ELEVATION=sudo-n \
  --dry-run >/dev/null 2>&1; then
  echo "package-macos: signed a CI build that installs with sudo -n" >&2; exit 1
fi
signed_plan=$(scripts/package-macos.sh --deps /opt/deps -DVELDRA_VERSION=9.9.9 --sign "Developer ID Application: T" \
  '-DVELDRA_CODESIGN_REQUIREMENT=identifier "com.veldra.clouddesktop"' --dry-run)
grep -q -- '--options runtime --timestamp --sign Developer' <<<"$signed_plan"
grep -q -- '--entitlements resources/VeldraCloudDesktop.entitlements' <<<"$signed_plan"
grep -qF -- '--identifier com.veldra.clouddesktop.session build-macos/Veldra\ Cloud\ Desktop.app/Contents/MacOS/freerdp' <<<"$signed_plan"
grep -q -- '__info_plist' scripts/build-macos-dependencies.sh
# The client's embedded Info.plist carries the identifier it is signed with.
grep -qF -- 'grep -aqF \<string\>org.example.cd.session\</string\>' <<<"$(scripts/package-macos.sh \
  --deps /opt/deps -DVELDRA_VERSION=9.9.9 -DVELDRA_BUNDLE_ID=org.example.cd --dry-run)"
# The installer package for device management: a component for /Applications
# alone, neither relocatable nor version-checked, in a product archive that
# names the macOS the application needs; a Developer ID package never wraps an
# ad hoc application, and a signed image without an installer identity is
# notarised alone.
grep -qF -- 'pkgbuild --root build-macos/pkg-root --component-plist build-macos/component.plist --install-location /Applications' <<<"$adhoc_plan"
grep -qF -- 'Set\ :0:BundleIsRelocatable\ false -c Set\ :0:BundleIsVersionChecked\ false' <<<"$adhoc_plan"
grep -qF -- 'productbuild --product build-macos/requirements.plist --package build-macos/component.pkg build-macos/Veldra\ Cloud\ Desktop-9.9.9.pkg' <<<"$adhoc_plan"
if scripts/package-macos.sh --deps /opt/deps -DVELDRA_VERSION=9.9.9 --installer-sign "Developer ID Installer: T" \
  --dry-run >/dev/null 2>&1; then
  echo "package-macos: a Developer ID package around an ad hoc application" >&2; exit 1
fi
image_only_plan=$(scripts/package-macos.sh --deps /opt/deps -DVELDRA_VERSION=9.9.9 --sign "Developer ID Application: T" \
  '-DVELDRA_CODESIGN_REQUIREMENT=identifier "com.veldra.clouddesktop"' --notarize p --dry-run)
grep -qF -- 'scripts/notarize-macos.sh p build-macos/Veldra\ Cloud\ Desktop-9.9.9.dmg' <<<"$image_only_plan"
if grep -q -- 'pkgbuild\|[.]pkg' <<<"$image_only_plan" ||
  [[ $(grep -c 'no installer package' <<<"$image_only_plan") != 1 ]]; then
  echo "package-macos: without an installer identity, the image alone and one line saying so" >&2; exit 1
fi
release_plan=$(scripts/package-macos.sh --deps /opt/deps -DVELDRA_VERSION=9.9.9 --sign "Developer ID Application: T" \
  '-DVELDRA_CODESIGN_REQUIREMENT=identifier "com.veldra.clouddesktop"' \
  --installer-sign "Developer ID Installer: T" --notarize p --dry-run)
grep -qF -- '--sign Developer\ ID\ Installer:\ T --timestamp build-macos/Veldra\ Cloud\ Desktop-9.9.9.pkg' <<<"$release_plan"
grep -qF -- 'scripts/notarize-macos.sh p build-macos/Veldra\ Cloud\ Desktop-9.9.9.pkg' <<<"$release_plan"
grep -qF -- 'xcrun stapler staple build-macos/Veldra\ Cloud\ Desktop-9.9.9.pkg' <<<"$release_plan"

# One build for the tests, the demo and the smoke run: AddressSanitizer and
# UBSan, unoptimised (a quarter less to compile than at -O1, and the tests
# take as long), line tables only, each target's sources compiled together
# (a quarter less to compile: Qt's headers read once per target, not per
# file; the Mac jobs compile file by file), pinned to the demo's loopback
# servers, whose CA and minisign key are made first.
build="build-test"
mapfile -t demo_constants < <(scripts/demo-pki.sh "$build/demo/pki" 33890 38443)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O0 -g1 -DNDEBUG" \
  -DVELDRA_WERROR=ON -DVELDRA_SANITIZE=ON -DCMAKE_UNITY_BUILD=ON -DVELDRA_FREERDP_CLIENT=/usr/bin/xfreerdp \
  -DVELDRA_SYSTEM_TOOLS_DIR="$PWD/tests/support/fakes" "${demo_constants[@]}" >/dev/null
# What the Mac jobs run must use nothing a Mac lacks: found here, before a Mac.
scripts/check-mac-tests.sh "$build"
fuzz="build-fuzz"
CC=clang CXX=clang++ cmake -S . -B "$fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELDRA_FUZZ=ON -DCMAKE_UNITY_BUILD=ON \
  -DVELDRA_BUILD_TESTS=OFF -DVELDRA_BUILD_BENCH=OFF -DVELDRA_WERROR=ON \
  -DVELDRA_FUZZ_SECONDS="${VELDRA_FUZZ_SECONDS:-10}" >/dev/null

echo "== building the tests and the fuzzers (ASan + UBSan)"
cmake --build "$build" >"$build/build.log" 2>&1 &
build_pid=$!
trap 'kill "$build_pid" 2>/dev/null || true' EXIT
cmake --build "$fuzz" --target fuzz_manifest fuzz_version fuzz_url >"$fuzz/build.log" 2>&1 ||
  { tail -n 60 "$fuzz/build.log"; exit 1; }
if ! wait "$build_pid"; then
  tail -n 60 "$build/build.log"
  exit 1
fi
tail -n 1 "$build/build.log"

# Every CTest test and the fuzzers (each for ${VELDRA_FUZZ_SECONDS:-10} s),
# in the background at a lower priority, while the demo and the smoke run
# mostly wait on their applications.
env ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1" \
  LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  nice -n 10 ctest --test-dir "$build" --output-on-failure -j2 >"$build/tests.log" 2>&1 &
tests_pid=$!
nice -n 10 ctest --test-dir "$fuzz" -L fuzz --output-on-failure -j2 >"$fuzz/tests.log" 2>&1 &
fuzz_pid=$!
trap 'kill "$tests_pid" "$fuzz_pid" 2>/dev/null || true' EXIT
# The demo's programs are ended, not quit: their leaks are nobody's.
export ASAN_OPTIONS=detect_leaks=0

echo "== the run command, headless: sign in to the demo server"
scripts/run.sh --headless --build "$build"
run="$build/demo/run"
client_log="$run/state/Logs/Veldra Cloud Desktop/freerdp.log"
test -s "$build/demo-signin.png" && test -s "$build/demo-session.png"
grep -q '] Starting FreeRDP: /v:127.0.0.1:.* /from-stdin:force ' "$client_log"
grep -q 'is activated' "$run/rdp-server.log"
# The password went to the real client on standard input only: nowhere on disk.
if grep -rqF 'Veldra-Demo-2026' "$run"; then echo "the demo password is on disk" >&2; exit 1; fi
grep -q 'install tools are stand-ins' "$run/app.stderr"
echo "demo checks: screenshots saved, password on standard input only, session activated"

echo "== the smoke run of what we ship, on the demo build with the stand-ins"
# What the package step makes, as the stand-ins read it: the application
# signed (a sealed marker) in a disk image and in an installer package, each
# a tar archive. Every step the Mac jobs run, under Xvfb, where xdotool types
# what System Events types there: the sign-in against the demo's shadow
# server, standing in for FreeRDP's sample server and started by the smoke's
# own function; a TMPDIR reached through a link and ending in a slash, as a
# Mac's /var/folders/.../T/ is; open starting applications by their real path;
# an application gone by the time its install shows.
smoke=$PWD/$build/smoke
rm -rf "$smoke"
mkdir -p "$smoke"/{artefacts,home,state,tmp.real,volumes,Applications,sample-server,pulse}
ln -s tmp.real "$smoke/tmp"
cp -a "$build/Veldra Cloud Desktop.app" "$smoke/artefacts/"
seal="$smoke/artefacts/Veldra Cloud Desktop.app/Contents/_CodeSignature"
mkdir -p "$seal" && echo sealed >"$seal/CodeResources" && chmod -R u=rwX,go=rX "$seal"
tar -cf "$smoke/artefacts/image.dmg" -C "$smoke/artefacts" "Veldra Cloud Desktop.app"
cp "$smoke/artefacts/image.dmg" "$smoke/artefacts/package.pkg"
cat >"$smoke/keys" <<'SH'
#!/bin/sh
# keys PID [--prompt] KEYS...: as a user types into PID's window, or with --prompt the update prompt.
pid=$1 && shift
if [ "$1" = --prompt ]; then
  shift && window=$(timeout 60 xdotool search --sync --onlyvisible --name '^Update Available$' | head -n 1)
else
  window=$(timeout 30 xdotool search --sync --onlyvisible --all --pid "$pid" --name '^Veldra Cloud Desktop$' | head -n 1)
fi
[ -n "$window" ] && xdotool windowfocus --sync "$window" || exit 1
for key; do
  case $key in tab) xdotool key Tab ;; return) xdotool key Return ;; *) xdotool type --delay 30 "$key" ;; esac
done
SH
smoke_pids=()
for screen in display desktop-display; do
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$smoke/$screen" >/dev/null 2>&1 &
  smoke_pids+=($!)
done
for _ in {1..100}; do [[ -s $smoke/display && -s $smoke/desktop-display ]] && break; sleep 0.1; done
HOME="$smoke/pulse" PULSE_RUNTIME_PATH="$smoke/pulse" pulseaudio --daemonize=no --exit-idle-time=-1 -n \
  --load="module-native-protocol-unix socket=$smoke/pulse/sock auth-anonymous=1" \
  --load=module-null-sink >/dev/null 2>&1 &
smoke_pids+=($!)
winpr-hash -u smoke -p Smoke-Run-2026 -d VELDRA -f sam >"$smoke/sample-server/sam"
cat >"$smoke/sample-server/sfreerdp-server" <<SH
#!/bin/sh
# As the Mac jobs start FreeRDP's sample server (--port=N): the shadow server on a display of its own.
DISPLAY=:$(head -n 1 "$smoke/desktop-display") exec freerdp-shadow-cli "/port:\${1#--port=}" \
  /bind-address:127.0.0.1 /sec:nla +auth "/sam-file:$smoke/sample-server/sam"
SH
: >"$smoke/sample-server/test_icon.bmp"
chmod +x "$smoke/keys" "$smoke/sample-server/sfreerdp-server"
smoke_status=0
env HOME="$smoke/home" XDG_STATE_HOME="$smoke/state" TMPDIR="$smoke/tmp/" DISPLAY=":$(head -n 1 "$smoke/display")" \
  QT_QPA_PLATFORM=xcb PULSE_SERVER="unix:$smoke/pulse/sock" VELDRA_STANDINS="$PWD/tests/support/fakes" \
  VELDRA_FAKE_OPEN_LAUNCH=1 VELDRA_FAKE_LAUNCHCTL=late VELDRA_FAKE_LOG="$smoke/tools.log" VELDRA_FAKE_VOLUMES="$smoke/volumes" \
  VELDRA_FAKE_APPLICATIONS="$smoke/Applications" VELDRA_SMOKE_ROOT_UID="$(id -u)" \
  tests/smoke/smoke.zsh --dmg "$smoke/artefacts/image.dmg" --pkg "$smoke/artefacts/package.pkg" \
  --build "$build" --pki "$build/demo/pki" --applications "$smoke/Applications" --keys "$smoke/keys" \
  --rdp-server "$smoke/sample-server" --logs "$smoke/logs" || smoke_status=$?
kill "${smoke_pids[@]}" 2>/dev/null || true
if ((smoke_status)); then
  tail -n 40 "$smoke/tools.log" >&2 || true
  exit 1
fi
# The real install programs of a Mac, as the stand-ins were asked.
grep -q '^codesign --verify --deep --strict ' "$smoke/tools.log"
grep -q '^installer -pkg ' "$smoke/tools.log"
test -z "$(ls -A "$smoke/volumes")"

echo "== fuzzing (ASan + UBSan)"
status=0
wait "$fuzz_pid" || status=$?
cat "$fuzz/tests.log"
grep -E '^[0-9]+/[0-9]+ Testing: |stat::number_of_executed_units' "$fuzz/Testing/Temporary/LastTest.log" || true
echo "== unit, widget and integration tests (ASan + UBSan)"
wait "$tests_pid" || status=$?
cat "$build/tests.log"
exit "$status"
