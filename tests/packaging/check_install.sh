#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the build under a scratch prefix, as `cmake --install --prefix
# DIR --strip` does for a user, and checks what a desktop, systemd and man
# find there: the programs (stripped; the kelmora command without Qt), the
# manual page (rendered without warnings), the user units (absolute paths,
# accepted by systemd-analyze verify), the menu entry and the icons, the
# example. Also configures a build without the window, with Qt out of reach.
#   tests/packaging/check_install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$(cd "$1" && pwd)"
src="$(cd "$2" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }
# Whether a command's output matches an extended regular expression. The
# output is read whole first: grep -q leaving a pipe early would kill the
# writer, which pipefail reports as a failed match.
has() {
  local pattern="$1" out
  shift
  out="$("$@" 2>/dev/null)" || true
  grep -Eq -- "$pattern" <<<"$out"
}

cmake --install "$build" --prefix "$prefix" --strip >/dev/null
window=0
[ -x "$build/kelmora-window" ] && window=1

# --- layout ---------------------------------------------------------------
expected=(bin/kelmora share/man/man1/kelmora.1 share/doc/kelmora/README.md
          share/kelmora/examples/club/Master.txt share/kelmora/examples/club/README.txt
          lib/systemd/user/kelmora.service lib/systemd/user/kelmora-once.service
          lib/systemd/user/kelmora-once.timer)
if [ "$window" = 1 ]; then
  expected+=(libexec/kelmora/kelmora-window share/applications/kelmora.desktop
             share/icons/hicolor/scalable/apps/kelmora.svg share/icons/hicolor/48x48/apps/kelmora.png
             share/icons/hicolor/256x256/apps/kelmora.png)
fi
for f in "${expected[@]}"; do
  [ -e "$prefix/$f" ] || fail "missing: $f"
done
has '^kelmora ' "$prefix/bin/kelmora" --version && ok "installed kelmora runs" || fail "installed kelmora does not run"
if [ "$window" = 1 ]; then
  for size in 48 256; do
    dims="$(/usr/bin/python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(24); print("%dx%d" % struct.unpack(">II", d[16:24]))' \
            "$prefix/share/icons/hicolor/${size}x${size}/apps/kelmora.png")"
    [ "$dims" = "${size}x${size}" ] && ok "icon ${size}x${size}" || fail "icon in ${size}x${size} is $dims"
  done
fi

# --- stripped, and the kelmora command free of Qt -------------------------
for prog in bin/kelmora libexec/kelmora/kelmora-window; do
  [ -e "$prefix/$prog" ] || continue
  if has '\.debug_info|\.symtab' readelf -SW "$prefix/$prog"; then
    fail "$prog is not stripped"
  else
    ok "$prog stripped ($(stat -c %s "$prefix/$prog") bytes)"
  fi
done
has '\.debug_info' readelf -SW "$build/kelmora" || echo "note: the build itself carries no debugging information"
if has '[Ll]ib[Qq]t' ldd "$prefix/bin/kelmora"; then
  fail "kelmora links Qt: $(ldd "$prefix/bin/kelmora" | grep -i libqt | head -n 1)"
else
  ok "kelmora links no Qt"
fi
if [ "$window" = 1 ]; then
  has 'libQt6Widgets' ldd "$prefix/libexec/kelmora/kelmora-window" && ok "kelmora-window links Qt Widgets" ||
    fail "kelmora-window should link Qt Widgets"
fi

# --- manual page ----------------------------------------------------------
if command -v man >/dev/null; then
  warnings="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$prefix/share/man/man1/kelmora.1" 2>&1 >/dev/null)"
  [ -z "$warnings" ] && ok "kelmora(1) renders without warnings" || fail "kelmora(1): $warnings"
  for section in "EXIT STATUS" "THE PROGRAM FOLDER" "FILES" "SYSTEMD USER UNITS"; do
    has "^$section" env LC_ALL=C.UTF-8 man -l "$prefix/share/man/man1/kelmora.1" ||
      fail "kelmora(1) has no section $section"
  done
else
  fail "man is missing (package man-db, installed by scripts/test.sh)"
fi

# --- user units -----------------------------------------------------------
units="$prefix/lib/systemd/user"
for unit in kelmora.service kelmora-once.service; do
  grep -Eq "^ExecStart=$prefix/bin/kelmora --" "$units/$unit" || fail "$unit: ExecStart does not name $prefix/bin/kelmora"
  grep -q '^ConditionPathExists=|%h/Kelmora/Master.txt$' "$units/$unit" &&
    grep -q '^ConditionPathExists=|%h/Kelmora/Master.csv$' "$units/$unit" || fail "$unit: not started by Master.txt or Master.csv"
done
grep -q '^Conflicts=.*kelmora-once.timer' "$units/kelmora.service" || fail "kelmora.service does not conflict with the timer"
grep -q '^SuccessExitStatus=4$' "$units/kelmora-once.service" || fail "kelmora-once.service fails when the window holds the folder"
grep -q '^RestartPreventExitStatus=1 2$' "$units/kelmora.service" || fail "kelmora.service restarts on start-up faults, or never"
if grep -l 'network-online' "$units"/*; then fail "user units cannot order after network-online.target"; fi
if command -v systemd-analyze >/dev/null; then
  runtime="$work/runtime"
  mkdir -m 700 "$runtime"
  mkdir -p "$work/home/Kelmora"
  # Documentation=man:kelmora(1) is looked up with man: on the installed page.
  out="$(cd "$units" && HOME="$work/home" XDG_RUNTIME_DIR="$runtime" MANPATH="$prefix/share/man" systemd-analyze verify --user \
         ./kelmora.service ./kelmora-once.service ./kelmora-once.timer 2>&1)" && status=0 || status=$?
  if [ "$status" -ne 0 ] && grep -q 'Failed to initialize manager' <<<"$out"; then
    echo "skipped: systemd-analyze verify --user cannot start a user manager here: $out"
  elif [ "$status" -ne 0 ] || [ -n "$out" ]; then
    fail "systemd-analyze verify --user: $out"
  else
    ok "systemd-analyze verify --user accepts the three units"
  fi
else
  echo "skipped: systemd-analyze is not installed (package systemd)"
fi

# --- menu entry -----------------------------------------------------------
if [ "$window" = 1 ]; then
  desktop="$prefix/share/applications/kelmora.desktop"
  grep -qx "Exec=$prefix/libexec/kelmora/kelmora-window" "$desktop" || fail "the menu entry does not start the window program"
  if command -v desktop-file-validate >/dev/null; then
    out="$(desktop-file-validate "$desktop" 2>&1)" && [ -z "$out" ] && ok "desktop-file-validate" ||
      fail "desktop-file-validate: $out"
  else
    fail "desktop-file-validate is missing (package desktop-file-utils, installed by scripts/test.sh)"
  fi
fi

# --- every library the build looks up is a declared build dependency ------
build_depends="$(sed -n '/^Build-Depends:/,/^[A-Z][A-Za-z-]*: /p' "$src/debian/control")"
modules="$(grep -oE 'pkg_check_modules\([A-Z_]+ REQUIRED IMPORTED_TARGET [^)]+\)' "$src/CMakeLists.txt" |
           sed -E 's/.*IMPORTED_TARGET //; s/\)$//')"
before=$failures
for module in $modules; do
  pc="$(pkg-config --variable=pcfiledir "$module" 2>/dev/null)/$module.pc"
  package="$(dpkg -S "$pc" 2>/dev/null | head -n 1 | cut -d: -f1)"
  if [ -z "$package" ]; then
    fail "no installed package provides $module"
  elif ! grep -Eq "(^|[ ,])$package([ ,(]|$)" <<<"$build_depends"; then
    fail "debian/control does not build-depend on $package (the build needs $module)"
  fi
done
if [ -z "$modules" ]; then
  fail "no pkg-config lookups found in CMakeLists.txt"
elif [ "$failures" -eq "$before" ]; then
  ok "debian/control build-depends on every library the build looks up"
fi

# --- a build without the window needs nothing of Qt -----------------------
if cmake -S "$src" -B "$work/headless" -G Ninja -DKELMORA_WITH_QT=OFF -DKELMORA_BUILD_TESTS=OFF \
     -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON >"$work/headless.log" 2>&1; then
  targets="$(ninja -C "$work/headless" -t targets all 2>/dev/null)"
  grep -q '^kelmora:' <<<"$targets" || fail "the headless build has no kelmora target"
  if grep -q 'kelmora-window' <<<"$targets"; then fail "the headless build still builds the window"; fi
  ok "a build without the window configures with Qt out of reach"
else
  tail -n 20 "$work/headless.log"
  fail "a build without the window does not configure without Qt"
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "install layout ok"
