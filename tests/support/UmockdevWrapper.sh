#!/bin/sh
# Runs a test program under umockdev's preload (umockdev-wrapper). With the
# preload first in line, AddressSanitizer must be told not to insist on its
# runtime coming first; its other options stay as given.
case "${ASAN_OPTIONS:-}" in
  *verify_asan_link_order*) ;;
  *) ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
     export ASAN_OPTIONS ;;
esac
# umockdev's own preload leaks a few GLib strings; they are not the program's.
LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$(dirname "$0")/UmockdevLeaks.supp"
export LSAN_OPTIONS
exec "${UMOCKDEV_WRAPPER:-umockdev-wrapper}" "$@"
