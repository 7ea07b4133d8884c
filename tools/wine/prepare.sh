#!/bin/sh
# Prepares a Debian machine for the scenario suite on both sides: Wine (64-bit),
# the mingw-w64 cross compilers for the Windows build, Python 3, and the locales
# that stand for the system languages under Wine. Idempotent; run as root.
set -eu

packages=""
need() {  # need PACKAGE COMMAND-OR-FILE
  if ! command -v "$2" >/dev/null 2>&1 && [ ! -e "$2" ]; then packages="$packages $1"; fi
}
need wine /usr/bin/wine
need wine64 /usr/lib/wine/wine64
need g++-mingw-w64-x86-64-posix x86_64-w64-mingw32-g++-posix
need binutils-mingw-w64-x86-64 x86_64-w64-mingw32-windres
need cmake cmake
need python3 python3
need locales /usr/sbin/locale-gen
if [ -n "$packages" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $packages
fi

# Wine takes the system default language from the Unix locale (LC_ALL), which
# must exist on the machine: one per language the scenarios use.
for locale_def in zh_CN:UTF-8:zh_CN.UTF-8 zh_TW:UTF-8:zh_TW.UTF-8 zh_SG:UTF-8:zh_SG.UTF-8 zh_HK:UTF-8:zh_HK.UTF-8 \
            en_US:UTF-8:en_US.UTF-8 ar_SA:UTF-8:ar_SA.UTF-8 ja_JP:UTF-8:ja_JP.UTF-8; do
  input=${locale_def%%:*}
  rest=${locale_def#*:}
  charmap=${rest%%:*}
  name=${rest#*:}
  short=$(echo "$name" | sed 's/UTF-8/utf8/')
  if ! locale -a 2>/dev/null | grep -qx "$short"; then
    localedef -i "$input" -f "$charmap" "$name"
  fi
done
