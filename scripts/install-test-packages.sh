#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the packages the tests need, leaving none of their system services
# running or enabled: mail servers such as Dovecot and Postfix would
# otherwise start on the machine (Dovecot listening on every interface) and
# come back at every boot. The tests start private instances of their own on
# loopback and need only the programs.
#   scripts/install-test-packages.sh PACKAGE...
# Packages already installed are left exactly as they are.
set -euo pipefail

missing=()
for p in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ "${#missing[@]}" -gt 0 ] || exit 0

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
as_root() { "${sudo_cmd[@]}" "$@"; }

as_root apt-get update -q

# Postfix takes the place of any other mail server (an Exim, a Sendmail) the
# machine has. Rather than remove the owner's, it is left out; the tests that
# need it say that they are skipped.
for i in "${!missing[@]}"; do
  if [ "${missing[$i]}" = postfix ] && apt-get -s install postfix 2>/dev/null | grep -q '^Remv '; then
    echo "install-test-packages: not installing postfix: it would remove this machine's mail server" >&2
    unset 'missing[i]'
  fi
done
missing=("${missing[@]}")
[ "${#missing[@]}" -gt 0 ] || exit 0
# Postfix only as a program: its installer must not set up the machine's mail.
echo "postfix postfix/main_mailer_type select No configuration" | as_root debconf-set-selections

# No service may start while installing. A policy-rc.d that refuses every
# start does that (invoke-rc.d and deb-systemd-invoke ask it); one the
# machine already has is left in place.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\n# scripts/install-test-packages.sh: no service starts while it installs.\nexit 101\n' |
    as_root tee "$policy" >/dev/null
  as_root chmod 755 "$policy"
  trap 'as_root rm -f "$policy"' EXIT
fi

echo "install-test-packages: installing ${missing[*]}"
DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -q --no-install-recommends "${missing[@]}"

# ... nor start at the next boot: the units and init scripts of what was just
# installed are disabled (and stopped, should one be running regardless).
running_systemd=0
[ -d /run/systemd/system ] && running_systemd=1
for p in "${missing[@]}"; do
  while IFS= read -r unit; do
    name="${unit##*/}"
    if command -v systemctl >/dev/null; then
      if [ "$running_systemd" = 1 ]; then as_root systemctl stop "$name" >/dev/null 2>&1 || true; fi
      as_root systemctl disable --quiet "$name" >/dev/null 2>&1 || true
    fi
  done < <(dpkg -L "$p" 2>/dev/null | grep -E '^(/usr)?/lib/systemd/system/[^/@]+\.(service|socket|timer|path)$' || true)
  while IFS= read -r script; do
    name="${script##*/}"
    if [ "$running_systemd" = 0 ] && [ -x "$script" ]; then as_root "$script" stop >/dev/null 2>&1 || true; fi
    if command -v update-rc.d >/dev/null; then as_root update-rc.d "$name" disable >/dev/null 2>&1 || true; fi
  done < <(dpkg -L "$p" 2>/dev/null | grep -E '^/etc/init\.d/[^/]+$' || true)
done
