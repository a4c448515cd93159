#!/usr/bin/env bash
# Builds the Debian package into a throw-away folder, checks its name and what it declares, and
# checks the tree it unpacks to as an installed tree (every file, and the program runs from it).
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack --config CPackConfig.cmake -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/inkboat_*_amd64.deb)
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
[ "$(basename "$deb")" = "inkboat_${version}_amd64.deb" ] || { echo "unexpected name $(basename "$deb")"; exit 1; }
info=$(dpkg-deb -I "$deb")
for field in "Package: inkboat" "Version: $version" "Architecture: amd64" "Section: editors" "Maintainer: " "Description: " "砚舟写作"; do
    grep -qF "$field" <<<"$info" || { echo "control lacks \"$field\""; echo "$info"; exit 1; }
done
# The computed run-time dependencies name Qt, SQLite and libsodium; a font with Chinese glyphs is added.
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt5widgets5 libqt5sql5 libsqlite3-0 libsodium23 fonts-wqy-microhei; do
    grep -q "$lib" <<<"$depends" || { echo "Depends lacks $lib: $depends"; exit 1; }
done
dpkg-deb -x "$deb" "$work/root"
"$(dirname "$0")/installed-tree.sh" "$build" "$work/root/usr"
echo "package $(basename "$deb"): $(stat -c %s "$deb") bytes"
