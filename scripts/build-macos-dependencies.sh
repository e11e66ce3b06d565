#!/usr/bin/env bash
# Builds, on an Apple silicon Mac with the Xcode command-line tools, CMake,
# Ninja, autoconf, automake, libtool and pkg-config, everything the
# application links or bundles that macOS does not have, for both kinds of
# Mac, from the pinned sources of macos/dependencies.txt:
#   PREFIX/Qt/<version>/macos   Qt's own universal binaries (macdeployqt included)
#   PREFIX/universal            OpenSSL's libcrypto, libplist, SDL3, SDL3_ttf,
#                               cJSON, zstd, libarchive (tar only) and FreeRDP
#                               as static libraries with their pkg-config files,
#                               and the FreeRDP SDL client (bin/sdl-freerdp),
#                               each built once per architecture and joined
#                               with lipo
#   PREFIX/sample-server        FreeRDP's sample server (universal) and its
#                               test icon: what the CI smoke run signs in to;
#                               never shipped
#
#   scripts/build-macos-dependencies.sh PREFIX [MINIMUM_MACOS [BUNDLE_ID]]
#
# MINIMUM_MACOS (12.3 by default) must be the build's VELDRA_MACOS_MINIMUM: the
# package script refuses code built for a newer macOS. BUNDLE_ID (by default
# com.veldra.clouddesktop) must be the build's VELDRA_BUNDLE_ID: the client
# is known to macOS as BUNDLE_ID.session. A finished PREFIX is left as it is
# (PREFIX/.complete names the pins it was built from).
set -euo pipefail
prefix=${1:?usage: $0 PREFIX [MINIMUM_MACOS]}
minimum=${2:-12.3}
bundle_id=${3:-com.veldra.clouddesktop}
mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)
script="$(cd "$(dirname "$0")" && pwd)/$(basename "$0")"
cd "$(dirname "$script")/.."
pins="$PWD/macos/dependencies.txt"
stamp="$(shasum -a 256 "$pins" "$script" | shasum -a 256 | cut -c1-16) $minimum $bundle_id"
if [[ -f $prefix/.complete && $(<"$prefix/.complete") == "$stamp" ]]; then
  echo "Dependencies in $prefix are built from these pins already."
  exit 0
fi
jobs=$(sysctl -n hw.ncpu)
archs=(arm64 x86_64)

pin() { # name → "tag commit source"
  awk -v name="$1" '$1 == name { print $2, $3, $4 }' "$pins"
}

fetch_source() { # name, destination: the pinned source, checked against its pin
  local tag commit url
  read -r tag commit url <<<"$(pin "$1")"
  rm -rf "$2"
  if [[ $url == *.tar.gz ]]; then
    curl --fail --location --silent --show-error --output "$2.tar.gz" "$url"
    if [[ $(shasum -a 256 "$2.tar.gz" | cut -d' ' -f1) != "$commit" ]]; then
      echo "build-macos-dependencies: $url is not the pinned $commit" >&2
      exit 1
    fi
    mkdir -p "$2"
    tar -xzf "$2.tar.gz" -C "$2" --strip-components 1
    rm -f "$2.tar.gz"
    return
  fi
  git clone --quiet --depth 1 --branch "$tag" --recurse-submodules --shallow-submodules "$url" "$2"
  local head
  head=$(git -C "$2" rev-parse HEAD)
  if [[ $head != "$commit" ]]; then
    echo "build-macos-dependencies: $1 $tag is $head, not the pinned $commit" >&2
    exit 1
  fi
}

read -r qt_version qt_arch aqt <<<"$(pin qt)"
if [[ ! -x $prefix/Qt/$qt_version/macos/bin/macdeployqt ]]; then
  python3 -m venv "$prefix/aqt-venv"
  "$prefix/aqt-venv/bin/pip" install --quiet "$aqt"
  "$prefix/aqt-venv/bin/aqt" install-qt mac desktop "$qt_version" "$qt_arch" -O "$prefix/Qt"
fi

sources="$prefix/src"
mkdir -p "$sources"
for name in openssl libplist sdl3 sdl3_ttf cjson zstd libarchive freerdp libsodium minisign; do
  fetch_source "$name" "$sources/$name"
done

cmake_build() { # source, build folder, arch, extra CMake arguments...
  local source=$1 build=$2 arch=$3
  shift 3
  # Only this prefix: a Homebrew library found by accident would be one
  # architecture's only. CMake 4 refuses projects that still declare a
  # minimum below 3.5 (cJSON does).
  PKG_CONFIG_LIBDIR="$prefix/$arch/lib/pkgconfig" cmake -S "$source" -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_OSX_ARCHITECTURES="$arch" \
    -DCMAKE_OSX_DEPLOYMENT_TARGET="$minimum" -DCMAKE_INSTALL_PREFIX="$prefix/$arch" \
    -DCMAKE_PREFIX_PATH="$prefix/$arch" "-DCMAKE_IGNORE_PREFIX_PATH=/opt/homebrew;/usr/local" \
    -DCMAKE_POLICY_VERSION_MINIMUM=3.5 -DBUILD_SHARED_LIBS=OFF "$@"
  cmake --build "$build" --parallel "$jobs"
  cmake --install "$build"
}

# The client runs as its own responsible process (so that stopping the
# application's background activity never ends a session), and so asks for
# the microphone and the local network itself: its executable carries an
# Info.plist with the usage sentences macOS shows, as the application's does,
# and the identifier the package step signs it with.
client_plist="$prefix/client-Info.plist"
cat >"$client_plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleIdentifier</key>
	<string>$bundle_id.session</string>
	<key>CFBundleName</key>
	<string>Veldra Cloud Desktop</string>
	<key>NSLocalNetworkUsageDescription</key>
	<string>Veldra Cloud Desktop connects to your organisation's remote desktop and update servers, which may be on your local network.</string>
	<key>NSMicrophoneUsageDescription</key>
	<string>Veldra Cloud Desktop passes your microphone to the remote desktop session while you are signed in.</string>
</dict>
</plist>
PLIST

for arch in "${archs[@]}"; do
  out="$prefix/$arch" work="$prefix/work-$arch"
  rm -rf "$out" "$work"
  mkdir -p "$out" "$work"
  flags="-arch $arch -mmacosx-version-min=$minimum"
  host=$([[ $arch == arm64 ]] && echo aarch64-apple-darwin || echo x86_64-apple-darwin)

  # OpenSSL: libcrypto only is linked; static, so nothing to relocate.
  cp -R "$sources/openssl" "$work/openssl"
  (cd "$work/openssl" &&
    ./Configure "darwin64-$arch-cc" no-shared no-tests no-docs no-apps "--prefix=$out" --libdir=lib \
      "-mmacosx-version-min=$minimum" &&
    make -j"$jobs" build_libs && make install_dev)

  # libplist from its git tag: autogen.sh makes and runs configure.
  cp -R "$sources/libplist" "$work/libplist"
  (cd "$work/libplist" &&
    CFLAGS="$flags" CXXFLAGS="$flags" LDFLAGS="$flags" ./autogen.sh "--prefix=$out" "--host=$host" \
      --disable-shared --enable-static --without-cython --without-tests &&
    make -j"$jobs" && make install)

  cmake_build "$sources/sdl3" "$work/sdl3" "$arch" -DSDL_SHARED=OFF -DSDL_STATIC=ON -DSDL_TESTS=OFF
  cmake_build "$sources/sdl3_ttf" "$work/sdl3_ttf" "$arch" -DSDLTTF_VENDORED=ON -DSDLTTF_SAMPLES=OFF
  # cJSON's own flags (-Werror among them) off: a new compiler warning in it
  # must not stop the build.
  cmake_build "$sources/cjson" "$work/cjson" "$arch" -DENABLE_CJSON_TEST=OFF -DENABLE_CJSON_UTILS=OFF \
    -DENABLE_CUSTOM_COMPILER_FLAGS=OFF
  # The SDL3 client, statically linked: one executable with no library of its
  # own to bundle; and FreeRDP's sample server, for CI's sign-in (the client
  # links none of it). No shadow or platform server, no FFmpeg, no X11, no
  # Kerberos. The channels the
  # launch asks for are named with their back-ends, never left to defaults: a
  # missing one ends the session right after it connects (/printer: CUPS;
  # /sound and /microphone: rdpsnd and audin with macOS audio).
  cmake_build "$sources/freerdp" "$work/freerdp" "$arch" \
    -DWITH_CLIENT_SDL=ON -DWITH_CLIENT_SDL3=ON -DWITH_CLIENT_SDL2=OFF -DWITH_SDL_LINK_SHARED=OFF \
    -DWITH_CLIENT_MAC=OFF -DWITH_SERVER=ON -DWITH_SHADOW=OFF -DWITH_PROXY=OFF -DWITH_SAMPLE=ON \
    -DWITH_PLATFORM_SERVER=OFF -DWITH_MANPAGES=OFF -DWITH_WEBVIEW=OFF -DWITH_X11=OFF \
    -DWITH_WAYLAND=OFF -DWITH_FFMPEG=OFF -DWITH_DSP_FFMPEG=OFF -DWITH_VIDEO_FFMPEG=OFF \
    -DWITH_SWSCALE=OFF -DWITH_OPENH264=OFF -DWITH_KRB5=OFF -DWITH_PCSC=OFF -DWITH_FUSE=OFF \
    -DCHANNEL_URBDRC=OFF -DWITH_OPUS=OFF -DWITH_URIPARSER=OFF -DWITH_CJSON_REQUIRED=ON -DWITH_INTERNAL_RC4=ON -DWITH_INTERNAL_MD4=ON \
    -DWITH_INTERNAL_MD5=ON -DOPENSSL_ROOT_DIR="$out" -DOPENSSL_USE_STATIC_LIBS=ON \
    -DCHANNEL_PRINTER=ON -DWITH_CUPS=ON -DCHANNEL_RDPSND=ON -DCHANNEL_AUDIN=ON -DWITH_MACAUDIO=ON \
    "-DCMAKE_EXE_LINKER_FLAGS=-Wl,-sectcreate,__TEXT,__info_plist,$client_plist"

  # zstd and libarchive come after FreeRDP so that nothing built above can
  # pick them up. zstd: the library alone (its CMake project is build/cmake);
  # threads come from libSystem, so libzstd.pc needs nothing more. No
  # pre-1.0 frame formats.
  cmake_build "$sources/zstd/build/cmake" "$work/zstd" "$arch" \
    -DZSTD_BUILD_STATIC=ON -DZSTD_BUILD_SHARED=OFF -DZSTD_BUILD_PROGRAMS=OFF \
    -DZSTD_BUILD_TESTS=OFF -DZSTD_BUILD_CONTRIB=OFF -DZSTD_LEGACY_SUPPORT=OFF \
    -DZSTD_MULTITHREAD_SUPPORT=ON
  # libarchive for plain tar only: no compression filters, no crypto library,
  # no XML, iconv, ACLs or extended attributes, no tools. Its digests come
  # from libSystem, so libmd is never probed: a Homebrew or MacPorts copy must
  # not end up in libarchive.pc. Regular expressions from libc only.
  cmake_build "$sources/libarchive" "$work/libarchive" "$arch" \
    -DENABLE_OPENSSL=OFF -DENABLE_MBEDTLS=OFF -DENABLE_NETTLE=OFF -DENABLE_CNG=OFF \
    -DENABLE_LIBB2=OFF -DENABLE_LZ4=OFF -DENABLE_LZO=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF \
    -DENABLE_ZLIB=OFF -DENABLE_BZip2=OFF -DENABLE_LIBXML2=OFF -DENABLE_EXPAT=OFF \
    -DENABLE_PCREPOSIX=OFF -DENABLE_PCRE2POSIX=OFF -DENABLE_LIBGCC=OFF -DPOSIX_REGEX_LIB=LIBC \
    -DLIBMD_FOUND=OFF -DENABLE_ICONV=OFF -DENABLE_ACL=OFF -DENABLE_XATTR=OFF \
    -DENABLE_TAR=OFF -DENABLE_CPIO=OFF -DENABLE_CAT=OFF -DENABLE_UNZIP=OFF -DENABLE_TEST=OFF \
    -DENABLE_INSTALL=ON

  # A test tool, never bundled: minisign on a static libsodium (whose release
  # tag carries its configure), so that the Intel runner needs no Homebrew.
  cp -R "$sources/libsodium" "$work/libsodium"
  (cd "$work/libsodium" &&
    CFLAGS="$flags -O2" LDFLAGS="$flags" ./configure "--prefix=$out" "--host=$host" \
      --disable-shared --enable-static &&
    make -j"$jobs" && make install)
  cmake_build "$sources/minisign" "$work/minisign" "$arch" -DBUILD_STATIC_EXECUTABLES=ON
done

# One universal prefix: every static library and the client joined with lipo.
# The headers must be the same for both; a difference would mean one of the
# two builds sees declarations that do not match its own code. FreeRDP's two
# generated build descriptions name each build's own prefix and flags.
universal="$prefix/universal"
rm -rf "$universal"
mkdir -p "$universal/lib" "$universal/bin"
diff -r -x build-config.h -x buildflags.h "$prefix/arm64/include" "$prefix/x86_64/include"
cp -R "$prefix/arm64/include" "$universal/include"
while IFS= read -r -d '' archive; do
  relative=${archive#"$prefix/arm64/"}
  mkdir -p "$(dirname "$universal/$relative")"
  lipo -create "$archive" "$prefix/x86_64/$relative" -output "$universal/$relative"
done < <(find "$prefix/arm64/lib" -name '*.a' -print0)
lipo -create "$prefix/arm64/bin/sdl-freerdp" "$prefix/x86_64/bin/sdl-freerdp" \
  -output "$universal/bin/sdl-freerdp"
lipo "$universal/bin/sdl-freerdp" -verify_arch arm64 x86_64
lipo -create "$prefix/arm64/bin/minisign" "$prefix/x86_64/bin/minisign" -output "$universal/bin/minisign"
rm -rf "$prefix/sample-server"
mkdir -p "$prefix/sample-server"
lipo -create "$prefix/arm64/bin/sfreerdp-server" "$prefix/x86_64/bin/sfreerdp-server" \
  -output "$prefix/sample-server/sfreerdp-server"
cp "$sources/freerdp/server/Sample/test_icon.bmp" "$prefix/sample-server/"
# pkg-config and CMake package files (text only, never the archives),
# pointed at the universal prefix.
cp -R "$prefix/arm64/lib/pkgconfig" "$prefix/arm64/lib/cmake" "$universal/lib/"
find "$universal/lib/pkgconfig" "$universal/lib/cmake" -type f \( -name '*.pc' -o -name '*.cmake' \) \
  -exec sed -i '' "s|$prefix/arm64|$universal|g" {} +

rm -rf "$prefix/work-arm64" "$prefix/work-x86_64"
echo "$stamp" >"$prefix/.complete"
echo "Dependencies for macOS $minimum and later in $prefix"
