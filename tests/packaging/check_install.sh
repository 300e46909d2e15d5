#!/usr/bin/env bash
# Installs the build into a scratch root and checks that a desktop finds the
# program where it looks: binary, menu entry, icon, systemd user units.
set -euo pipefail
build="$1"
root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
DESTDIR="$root" cmake --install "$build" --prefix /usr >/dev/null

for f in usr/bin/kelmora \
         usr/share/applications/kelmora.desktop \
         usr/share/icons/hicolor/scalable/apps/kelmora.svg \
         usr/lib/systemd/user/kelmora.service \
         usr/lib/systemd/user/kelmora-once.service \
         usr/lib/systemd/user/kelmora-once.timer \
         usr/share/doc/kelmora/README.md; do
  [ -e "$root/$f" ] || { echo "missing: /$f"; exit 1; }
done
[ -x "$root/usr/bin/kelmora" ] || { echo "kelmora is not executable"; exit 1; }
"$root/usr/bin/kelmora" --version | grep -q '^kelmora ' || { echo "installed kelmora does not run"; exit 1; }
desktop-file-validate "$root/usr/share/applications/kelmora.desktop"
grep -q '^ExecStart=kelmora --headless --dir %h/Kelmora$' "$root/usr/lib/systemd/user/kelmora.service"
grep -q '^ExecStart=kelmora --once --dir %h/Kelmora$' "$root/usr/lib/systemd/user/kelmora-once.service"
grep -q '^OnUnitActiveSec=' "$root/usr/lib/systemd/user/kelmora-once.timer"
echo "install layout ok"
