#!/usr/bin/env bash
# Submits FILE to Apple's notary service with the stored keychain PROFILE and
# waits; a rejection prints the notary's log and fails.
#   scripts/notarize-macos.sh PROFILE FILE
set -euo pipefail
profile=$1 file=$2
result=$(xcrun notarytool submit "$file" --keychain-profile "$profile" --wait --output-format json)
echo "$result"
id=$(plutil -extract id raw - <<<"$result")
status=$(plutil -extract status raw - <<<"$result")
if [[ $status != Accepted ]]; then
  xcrun notarytool log "$id" --keychain-profile "$profile" >&2
  echo "notarization of $file: $status" >&2
  exit 1
fi
