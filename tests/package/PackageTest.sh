#!/usr/bin/env bash
# Builds the package with scripts/package and checks it: its control fields, lintian (no
# errors), a simulated apt install, the files it lists, and the unpacked program and launcher
# running from a temporary folder.
# Usage: PackageTest.sh SOURCE_DIR BUILD_DIR VERSION FILE...
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
grep -q jackd2 <<<"$(field Recommends)" || fail "Recommends: $(field Recommends)"
field Description | grep -q 'リアルタイム' || fail "no Japanese description"

echo "== lintian"
lintian --fail-on error --display-info --display-experimental --pedantic --tag-display-limit 0 "$deb" || fail "lintian reports errors"

# apt can resolve what the package needs (a misspelt dependency would stop the install).
apt-get install --simulate "$deb" 2>&1 | grep -q '^Inst sonavel ' || fail "apt cannot install the package"

listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
for file in "$@"; do
  grep -qxF "./$file" <<<"$listing" || fail "$file is not in the package"
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp/root"
out=$("$tmp/root/usr/bin/sonavel" --list-midi-devices) || fail "sonavel --list-midi-devices failed"
echo "$out"
grep -qx 'MIDI IN' <<<"$out" && grep -qx '0: FluidSynth GM Synth' <<<"$out" ||
  fail "unexpected device list"
# The launcher, run by a relative path as a user may, starts the program in the data folder.
(cd "$tmp/root/usr" && HOME=$tmp/home XDG_DATA_HOME='' bin/sonavel-start --list-midi-devices) >/dev/null ||
  fail "sonavel-start --list-midi-devices failed"
[ -d "$tmp/home/.local/share/Sonavel" ] || fail "sonavel-start made no data folder"
echo "package checks passed"
