#!/usr/bin/env bash
# Runs the bundle linkage check (its path is the argument) on small bundles of
# real Mach-O files made with Debian's LLVM: one sound, one per fault it names.
set -euo pipefail
checker=$(realpath "$1")
export PATH="/usr/lib/llvm-14/bin:$PATH" OTOOL=llvm-otool
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A space in the path, as in "Veldra Cloud Desktop.app".
mkdir "$work/a b" && cd "$work/a b"
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

cc() { clang -target arm64-apple-macos12 -x c -c - -o "$1" <<<"$2"; }
ld() { local macos=$1; shift; ld64.lld -arch arm64 -platform_version macos "$macos" "$macos" "$@"; }
cc q.o 'int q(void) { return 1; }'
cc m.o 'int q(void); int main(void) { return q(); }'
# lld binds lazily through libSystem's dyld_stub_binder: a stand-in provides it.
cc s.o 'void b(void) __asm__("dyld_stub_binder"); void b(void) {}'
ld 12.0 -dylib -install_name /usr/lib/libSystem.B.dylib -o libSystem.dylib s.o

# bundle NAME MACOS_OF_LIBQ INSTALL_NAME_OF_LIBQ [LINKER FLAGS OF THE EXECUTABLE...]
bundle() {
  local contents="$1.app/Contents"
  mkdir -p "$contents/MacOS" "$contents/Frameworks"
  ld "$2" -dylib -install_name "$3" -o "$contents/Frameworks/libq.dylib" q.o
  ld 12.0 -e _main -o "$contents/MacOS/VeldraCloudDesktop" m.o "$contents/Frameworks/libq.dylib" \
    libSystem.dylib -rpath @executable_path/../Frameworks "${@:4}"
}
bundle sound 12.0 @rpath/libq.dylib
bundle newer 14.0 @rpath/libq.dylib
bundle outside 12.0 /opt/homebrew/lib/libq.dylib
bundle absolute 12.0 @rpath/libq.dylib -rpath /opt/homebrew/lib
bundle escaping 12.0 @rpath/libq.dylib # its libq is a link to one outside
mv escaping.app/Contents/Frameworks/libq.dylib . && ln -s ../../../libq.dylib escaping.app/Contents/Frameworks/

# expect NAME [PROBLEM]: the check passes NAME.app (minimum 12.0), or fails
# it reporting PROBLEM and nothing else.
expect() {
  local status=0 out
  out=$(bash "$checker" "$1.app" 12.0 2>&1) || status=$?
  if [[ $status != $(($# - 1)) || $(grep -c . <<<"$out") != $(($# - 1)) || $out != *"${2-}"* ]]; then
    fail "$1: exit status $status, said: ${out:-nothing}"
  fi
}
expect sound
expect newer "libq.dylib is built for macOS 14.0, newer than LSMinimumSystemVersion 12.0"
expect outside "VeldraCloudDesktop links /opt/homebrew/lib/libq.dylib, outside the bundle"
expect absolute "VeldraCloudDesktop has the absolute LC_RPATH /opt/homebrew/lib"
expect escaping "VeldraCloudDesktop: @rpath/libq.dylib resolves to nothing in the bundle"
exit "$failed"
