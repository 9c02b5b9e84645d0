#!/usr/bin/env bash
# Builds the package with scripts/package and checks it: its control fields, lintian (no
# errors), a simulated apt install, the files it lists, and the unpacked program and launcher
# running from a temporary folder.
# Usage: PackageTest.sh SOURCE_DIR BUILD_DIR VERSION FILE...
# (grep -q reads from a here-string, never a pipe: under pipefail a writer cut off by grep's
# early exit would fail the check.)
set -euo pipefail
src=$1 dir=$2 version=$3
shift 3
fail() { echo "FAIL: $*" >&2; exit 1; }

deb=$("$src/scripts/package" "$dir")
echo "package: $deb"
[ "$(basename "$deb")" = "sonavel_${version}_$(dpkg --print-architecture).deb" ] ||
  fail "package file named $(basename "$deb")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = sonavel ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Section)" = sound ] || fail "Section: $(field Section)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
depends=$(field Depends)
grep -qF 'timgm6mb-soundfont | fluid-soundfont-gm' <<<"$depends" || fail "no sound font in Depends: $depends"
# What dpkg-shlibdeps found in the program.
for lib in libqt6widgets6 libfluidsynth3 librtmidi6; do
  grep -q "$lib" <<<"$depends" || fail "$lib missing from Depends: $depends"
done
# Japanese captions need a Japanese font, also where Recommends are not installed.
grep -qF 'fonts-noto-cjk | fonts-japanese-gothic' <<<"$depends" || fail "no Japanese font in Depends: $depends"
# PipeWire before the older servers; a JACK server only suggested, never jackd2 by default.
grep -q '^pipewire-pulse |' <<<"$(field Recommends)" || fail "Recommends: $(field Recommends)"
grep -q jackd2 <<<"$(field Recommends)" && fail "jackd2 recommended: $(field Recommends)"
grep -qF 'pipewire-jack | jackd2' <<<"$(field Suggests)" || fail "Suggests: $(field Suggests)"
grep -q 'リアルタイム' <<<"$(field Description)" || fail "no Japanese description"

echo "== lintian"
lintian --fail-on error --display-info --display-experimental --pedantic --tag-display-limit 0 "$deb" || fail "lintian reports errors"

# apt can resolve what the package needs (a misspelt dependency would stop the install).
grep -q '^Inst sonavel ' <<<"$(apt-get install --simulate "$deb" 2>&1)" || fail "apt cannot install the package"

listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
for file in "$@"; do
  grep -qxF "./$file" <<<"$listing" || fail "$file is not in the package"
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp/root"

# Every option a command's main() takes is in its manual page.
man_lists_options() {  # COMMAND MAIN_SOURCE
  local page="$tmp/root/usr/share/man/man1/$1.1.gz" option
  for option in $(grep -o '"--[a-z0-9-]*"' "$src/$2" | tr -d '"' | sort -u); do
    grep -qF -- "${option//-/\\-}" <<<"$(zcat "$page")" || fail "$1.1 does not describe $option"
  done
}
man_lists_options sonavel src/app/Application.cpp
# --help and the manual page name the same long options.
long_options() { grep -o -- '--[a-z][a-z-]*' | sort -u; }
help=$("$tmp/root/usr/bin/sonavel" --help) || fail "sonavel --help failed"
[ "$(long_options <<<"$help")" = "$(zcat "$tmp/root/usr/share/man/man1/sonavel.1.gz" | sed 's/\\-/-/g' |
  sed -n '/^\.SH SYNOPSIS/,/^\.SH THE/p' | long_options)" ] || fail "sonavel --help and sonavel.1 differ in their options"
[ "$("$tmp/root/usr/bin/sonavel" --version)" = "Sonavel $version" ] || fail "sonavel --version"
out=$("$tmp/root/usr/bin/sonavel" --list-midi-devices) || fail "sonavel --list-midi-devices failed"
echo "$out"
grep -qx 'MIDI IN' <<<"$out" && grep -qx '0: FluidSynth GM Synth' <<<"$out" ||
  fail "unexpected device list"
# The launcher, run by a relative path as a user may, starts the program in the data folder.
(cd "$tmp/root/usr" && HOME=$tmp/home XDG_DATA_HOME='' bin/sonavel-start --list-midi-devices) >/dev/null ||
  fail "sonavel-start --list-midi-devices failed"
[ -d "$tmp/home/.local/share/Sonavel" ] || fail "sonavel-start made no data folder"
if [ -e "$tmp/root/usr/bin/sonavel-modem" ]; then
  man_lists_options sonavel-modem src/modem/main.cpp
  # The unpacked modem makes its device link and, told to stop, removes it and exits 0.
  "$tmp/root/usr/bin/sonavel-modem" --open "$tmp/ttyModem" >/dev/null &
  modem=$!
  for _ in $(seq 50); do [ -L "$tmp/ttyModem" ] && break; sleep 0.1; done
  [ -L "$tmp/ttyModem" ] || fail "sonavel-modem made no device link"
  kill -TERM "$modem"
  wait "$modem" || fail "sonavel-modem exited $? on SIGTERM"
  [ ! -e "$tmp/ttyModem" ] || fail "sonavel-modem left its device link"
fi
echo "package checks passed"
