#!/usr/bin/env bash
# Submits FILE to Apple's notary service with the stored keychain PROFILE and
# waits; a rejection prints the notary's log and fails.
#   scripts/notarize-macos.sh PROFILE FILE
set -euo pipefail
profile=$1 file=$2
# submit --wait may end with status 0 on an "Invalid" result and non-zero on
# others: the JSON's status decides, and whenever there is a submission id the
# notary's log is printed, whatever submit's own exit status was.
submitted=0
result=$(xcrun notarytool submit "$file" --keychain-profile "$profile" --wait --output-format json) ||
  submitted=$?
echo "$result"
id=$(plutil -extract id raw - <<<"$result" 2>/dev/null || true)
status=$(plutil -extract status raw - <<<"$result" 2>/dev/null || true)
if [[ $submitted -ne 0 || $status != Accepted ]]; then
  if [[ -n $id ]]; then
    xcrun notarytool log "$id" --keychain-profile "$profile" >&2 || true
  fi
  echo "notarization of $file: ${status:-submission failed (exit status $submitted)}" >&2
  exit 1
fi
