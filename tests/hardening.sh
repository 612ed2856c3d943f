#!/usr/bin/env bash
# hardening.sh BINARY: the binary is built as Debian hardens its packages:
# position-independent, full RELRO (read-only after relocation, bound now),
# with the stack protector.
set -euo pipefail
binary=$1
ok=true
check() {
    if grep -qE "$2" <<<"$3"; then
        echo "ok: $1"
    else
        echo "FAILED: $1" >&2
        ok=false
    fi
}
check "position-independent executable" 'Flags: .*PIE' "$(readelf -dW "$binary")"
check "bound now" 'BIND_NOW|Flags: NOW' "$(readelf -dW "$binary")"
check "RELRO segment" 'GNU_RELRO' "$(readelf -lW "$binary")"
check "stack protector" '__stack_chk_fail' "$(readelf -sW --dyn-syms "$binary")"
$ok
