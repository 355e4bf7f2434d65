#!/usr/bin/env bash
# Captures what BIND's and busybox's nslookup print on stdout (all the
# lookup runner ever reads) for the test zones; scanner_test reshapes and
# scans these files. Run from anywhere, as root:
#
#   tests/netns/run --zones tests/netns/lookup.zones -- tests/data/capture.sh
#
# Needs bind9-dnsutils and busybox. Error output is dropped, as the runner
# drops it.
set -euo pipefail
[ -n "${VERIMEX_NETNS:-}" ] || { echo "capture.sh: run me inside tests/netns/run" >&2; exit 2; }
out=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

capture() {  # capture FILE COMMAND...
  local file=$1; shift
  "$@" > "$out/$file" 2>/dev/null || true
}

for tool in bind busybox; do
  case $tool in
    bind) cmd=(nslookup -q=mx) ;;
    busybox) cmd=(busybox nslookup -type=mx) ;;
  esac
  capture "$tool-nslookup-mx.txt" "${cmd[@]}" order.lookup.test
  capture "$tool-nslookup-nomx.txt" "${cmd[@]}" nomx.test
  capture "$tool-nslookup-nxdomain.txt" "${cmd[@]}" nothing.test
  capture "$tool-nslookup-many.txt" "${cmd[@]}" many.lookup.test
done
