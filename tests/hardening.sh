#!/usr/bin/env bash
# hardening.sh BINARY: the binary is built as Debian hardens its packages:
# position-independent, full RELRO (read-only after relocation, bound now),
# with the stack protector.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib/x11.sh"
case_name=hardening
binary=$1
dynamic=$(readelf -dW "$binary")
grep -qE 'Flags: .*PIE' <<<"$dynamic" || fail "not a position-independent executable"
grep -qE 'BIND_NOW|Flags: NOW' <<<"$dynamic" || fail "not bound now"
readelf -lW "$binary" | grep -q GNU_RELRO || fail "no RELRO segment"
readelf -sW --dyn-syms "$binary" | grep -q __stack_chk_fail || fail "no stack protector"
echo "ok: PIE, bound now, RELRO, stack protector"
