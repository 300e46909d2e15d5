#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian packages from a copy of the source tree with
# dpkg-buildpackage, as a packager would, checks them with lintian (no error,
# no warning), checks the hardening of the programs and that the headless
# package needs nothing of Qt, and runs the packaged kelmora's first start.
# It takes minutes, so it runs only with KELMORA_PACKAGE_TESTS=1.
#   tests/packaging/build_package.sh SOURCE_DIR
set -euo pipefail
src="$(cd "$1" && pwd)"

if [ "${KELMORA_PACKAGE_TESTS:-}" != 1 ]; then
  echo "skipped: set KELMORA_PACKAGE_TESTS=1 to build the Debian packages and check them with lintian"
  exit 77
fi
for tool in dpkg-buildpackage dh lintian readelf git; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/test.sh installs it)"; exit 1; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
version="$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)"
tree="$work/kelmora-$version"
mkdir "$tree"
# The files of the repository as they are now (committed or not), without
# build folders or anything git ignores.
(cd "$src" && git ls-files -z --cached --others --exclude-standard |
   while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
   tar --null -T - -cf -) | tar -C "$tree" -xf -

fail() { echo "FAIL: $*"; exit 1; }
# Whether a command's output matches an extended regular expression. The
# output is read whole first: grep -q leaving a pipe early would kill the
# writer, which pipefail reports as a failed match.
has() {
  local pattern="$1" out
  shift
  out="$("$@" 2>/dev/null)" || true
  grep -Eq -- "$pattern" <<<"$out"
}

echo "== dpkg-buildpackage -us -uc (source and binary packages) =="
# The unit tests already ran in this test run; the package build skips them.
if ! (cd "$tree" && DEB_BUILD_OPTIONS="nocheck parallel=${JOBS:-$(nproc)}" \
        dpkg-buildpackage -us -uc >"$work/build.log" 2>&1); then
  tail -n 60 "$work/build.log"
  fail "dpkg-buildpackage failed"
fi
grep -E '^dpkg-(genchanges|source|buildpackage): info' "$work/build.log" | tail -n 5 || true

changes=("$work"/kelmora_"$version"_*.changes)
[ -f "${changes[0]}" ] || fail "no .changes file"
echo "== lintian ${changes[0]##*/} =="
# Shown with its informational tags and overrides; what fails the test is
# an error or a warning (an overridden one, shown as "O:", does not).
lintian_status=0
lintian --fail-on none --display-info --show-overrides "${changes[0]}" >"$work/lintian.txt" 2>&1 || lintian_status=$?
cat "$work/lintian.txt"
[ "$lintian_status" -eq 0 ] || fail "lintian did not run (status $lintian_status)"
if grep -Eq '^(E|W): ' "$work/lintian.txt"; then fail "lintian found errors or warnings"; fi
echo "lintian: no errors, no warnings"

deb="$work/kelmora_${version}_$(dpkg --print-architecture).deb"
gui="$work/kelmora-gui_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] && [ -f "$gui" ] || fail "kelmora and kelmora-gui packages expected"

echo "== the headless package needs nothing of Qt =="
depends="$(dpkg-deb -f "$deb" Depends)"
echo "kelmora Depends: $depends"
if grep -qi 'qt' <<<"$depends"; then fail "kelmora depends on Qt"; fi
has 'libqt6' dpkg-deb -f "$gui" Depends || fail "kelmora-gui should depend on Qt"

root="$work/root"
dpkg-deb -x "$deb" "$root"
dpkg-deb -x "$gui" "$root"
for f in usr/bin/kelmora usr/libexec/kelmora/kelmora-window usr/share/man/man1/kelmora.1.gz \
         usr/share/doc/kelmora/copyright usr/share/doc/kelmora-gui/copyright \
         usr/share/kelmora/examples/club/Master.txt usr/lib/systemd/user/kelmora.service \
         usr/share/applications/kelmora.desktop usr/share/icons/hicolor/48x48/apps/kelmora.png; do
  [ -e "$root/$f" ] || fail "missing from the packages: /$f"
done
has 'usr/libexec' dpkg-deb -c "$deb" && fail "the window program belongs to kelmora-gui"

echo "== hardening of the programs =="
for prog in usr/bin/kelmora usr/libexec/kelmora/kelmora-window; do
  elf="$root/$prog"
  has 'Type:.*DYN' readelf -h "$elf" || fail "$prog is not position-independent"
  has 'GNU_RELRO' readelf -lW "$elf" || fail "$prog has no RELRO"
  has 'BIND_NOW|FLAGS_1.*NOW' readelf -dW "$elf" || fail "$prog is not linked with BIND_NOW"
  has '__stack_chk_fail' readelf --dyn-syms -W "$elf" || fail "$prog has no stack protector"
  has '__[a-z_]+_chk(@|$| )' readelf --dyn-syms -W "$elf" || fail "$prog has no FORTIFY_SOURCE functions"
  echo "$prog: PIE, RELRO, BIND_NOW, stack protector, fortified"
done

echo "== the packaged kelmora's first start =="
home="$work/home"
mkdir "$home"
status=0
HOME="$home" "$root/usr/bin/kelmora" --once >"$work/first.out" 2>&1 || status=$?
cat "$work/first.out"
[ "$status" -eq 0 ] || fail "first start exited with $status"
[ -f "$home/Kelmora/Master.txt" ] || fail "the example was not copied into ~/Kelmora"
echo "packages ok"
