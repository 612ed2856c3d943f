#!/usr/bin/env bash
# hardening.sh BINARY: the binary is built as Debian hardens its packages:
# position-independent, full RELRO (read-only after relocation, bound now),
# with the stack protector.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib/x11.sh"
case_name=hardening
binary=$1
# Each listing is read in full first: grep -q stops at its first match, and
# under pipefail the listing's SIGPIPE would fail the check.
dynamic=$(readelf -dW "$binary")
segments=$(readelf -lW "$binary")
symbols=$(readelf -sW --dyn-syms "$binary")
grep -qE 'Flags: .*PIE' <<<"$dynamic" || fail "not a position-independent executable"
grep -qE 'BIND_NOW|Flags: NOW' <<<"$dynamic" || fail "not bound now"
grep -q GNU_RELRO <<<"$segments" || fail "no RELRO segment"
grep -q __stack_chk_fail <<<"$symbols" || fail "no stack protector"
echo "ok: PIE, bound now, RELRO, stack protector"
