#!/usr/bin/env bash
# Builds the Debian package into a throw-away folder and checks what it holds and declares.
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack --config CPackConfig.cmake -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/inkboat_*_amd64.deb)
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
[ "$(basename "$deb")" = "inkboat_${version}_amd64.deb" ] || { echo "unexpected name $(basename "$deb")"; exit 1; }

dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/files"
for f in /usr/bin/inkboat /usr/lib/inkboat/sqldrivers/libqsqlitecipher.so \
         /usr/share/inkboat/libraries/Inkboat_Material.sdb /usr/share/inkboat/libraries/Inkboat_Sentence.sdb \
         /usr/share/inkboat/libraries/Inkboat_Article.sdb /usr/share/inkboat/server/router.php \
         /usr/share/applications/inkboat.desktop /usr/share/metainfo/io.github.inkboathq.Inkboat.metainfo.xml \
         /usr/share/icons/hicolor/scalable/apps/inkboat.svg /usr/share/doc/inkboat/copyright \
         /usr/share/doc/inkboat/changelog.gz /usr/share/inkboat/guide/guide.md \
         /usr/share/inkboat/guide/images/main-window.png; do
    grep -qx "$f" "$work/files" || { echo "missing in the package: $f"; exit 1; }
done
for size in 16 24 32 48 64 128 256; do
    grep -qx "/usr/share/icons/hicolor/${size}x${size}/apps/inkboat.png" "$work/files" || { echo "no ${size} px icon"; exit 1; }
done
if grep -E '/server/tests/|CMakeLists.txt' "$work/files"; then echo "build or test files in the package"; exit 1; fi

info=$(dpkg-deb -I "$deb")
for field in "Package: inkboat" "Version: $version" "Architecture: amd64" "Section: editors" "Maintainer: " "Description: " "砚舟写作"; do
    grep -qF "$field" <<<"$info" || { echo "control lacks \"$field\""; echo "$info"; exit 1; }
done
# The computed run-time dependencies name Qt, SQLite and libsodium.
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt5widgets5 libqt5sql5 libsqlite3-0 libsodium23 fonts-wqy-microhei; do
    grep -q "$lib" <<<"$depends" || { echo "Depends lacks $lib: $depends"; exit 1; }
done
echo "package $(basename "$deb"): $(stat -c %s "$deb") bytes"
