#!/usr/bin/env bash
# package.sh BUILD_DIR PEER XVFB_DIR: builds the Debian package from BUILD_DIR,
# checks its fields and files, lints it, unpacks it into a scratch root and
# runs the unpacked program end to end on the private X server of XVFB_DIR.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../scripts/lib/x11.sh"
case_name=package
build=$1
peer=$2
xvfb_dir=$3

start_case

if ! cpack -G DEB -B "$work" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    fail "cpack failed"
fi
debs=("$work"/*.deb)
[ "${#debs[@]}" -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one package, found: ${debs[*]}"
deb=${debs[0]}
field() { dpkg-deb --field "$deb" "$1"; }

version=$(field Version)
expected_name=display-loss-test_${version}_$(dpkg --print-architecture).deb
[ "$(basename "$deb")" = "$expected_name" ] || fail "named $(basename "$deb"), expected $expected_name"
[ "$(field Package)" = display-loss-test ] || fail "package name $(field Package)"
[ "$(field Section)" = x11 ] || fail "section $(field Section)"
[ -n "$(field Maintainer)" ] || fail "no maintainer"
[ -n "$(field Description)" ] || fail "no description"
# Debian 13 renamed it for 64-bit time: liballegro5.2t64.
[[ "$(field Depends)" =~ (^|, )liballegro5\.2(t64)?( |,|$) ]] ||
    fail "does not depend on the library's runtime package: $(field Depends)"

contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
for path in \
    ./usr/bin/display-loss-test \
    ./usr/share/man/man1/display-loss-test.1.gz \
    ./usr/share/doc/display-loss-test/README.md \
    ./usr/share/doc/display-loss-test/copyright \
    ./usr/share/doc/display-loss-test/changelog.gz; do
    grep -qxF "$path" <<<"$contents" || fail "$path is missing"
done

dpkg -x "$deb" "$work/root"
doc=$work/root/usr/share/doc/display-loss-test
man_page=$work/root/usr/share/man/man1/display-loss-test.1.gz
changelog_version=$(zcat "$doc/changelog.gz" | sed -n '1s/^display-loss-test (\([^)]*\)).*/\1/p')
[ "$changelog_version" = "$version" ] ||
    fail "the changelog's latest version is '$changelog_version', the package's $version"
grep -q "^\.TH .*\"display-loss-test $version\"" <<<"$(zcat "$man_page")" ||
    fail "the man page does not carry version $version"
man_warnings=$(zcat "$man_page" | groff -man -ww -z 2>&1)
[ -z "$man_warnings" ] || fail "the man page has warnings: $man_warnings"

# Every page or picture the installed README links to is installed with it.
for link in $(grep -o '](docs/[^)]*)' "$doc/README.md" | sed 's/^](//; s/)$//'); do
    [ -f "$doc/$link" ] || fail "the installed README links to $link, which is not installed"
done

lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 ||
    fail "lintian found errors: $(cat "$work/lintian.log")"
grep -v 'running with root privileges' "$work/lintian.log" || true

"$here/e2e.sh" escape "$work/root/usr/bin/display-loss-test" "$peer" "$xvfb_dir"
