#!/usr/bin/env bash
# The installed program: every file in place, nothing of the tests or the build among them, and,
# started with a clean home, it copies the three libraries from <prefix>/share/inkboat/libraries/
# into the new data folder, reads nothing from the build or source folders, and ends with status 0
# on SIGTERM. usage: installed-tree.sh BUILD-DIR [PREFIX]: without PREFIX, the build is installed
# into a throw-away one first; with it, the tree there is checked (the package's, unpacked).
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
pid=
cleanup() {
    [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

prefix=${2:-$work/prefix}
[ -n "${2:-}" ] || cmake --install "$build" --prefix "$prefix" >/dev/null
libs=(Inkboat_Material.sdb Inkboat_Sentence.sdb Inkboat_Article.sdb)
for f in bin/inkboat lib/inkboat/sqldrivers/libqsqlitecipher.so "${libs[@]/#/share/inkboat/libraries/}" \
         share/inkboat/server/router.php share/applications/inkboat.desktop share/man/man1/inkboat.1.gz \
         share/metainfo/io.github.inkboathq.Inkboat.metainfo.xml share/icons/hicolor/scalable/apps/inkboat.svg \
         share/icons/hicolor/{16x16,24x24,32x32,48x48,64x64,128x128,256x256}/apps/inkboat.png share/doc/inkboat/copyright \
         share/doc/inkboat/changelog.gz share/inkboat/guide/guide.md share/inkboat/guide/images/{first-start,main-window}.png; do
    [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
if find "$prefix" -path '*/server/tests*' -o -name CMakeLists.txt | grep .; then echo "build or test files installed"; exit 1; fi

export HOME=$work/home
mkdir -p "$HOME"
unset XDG_DATA_HOME XDG_CONFIG_HOME XDG_CACHE_HOME QT_PLUGIN_PATH LD_LIBRARY_PATH
export QT_QPA_PLATFORM=offscreen LANG=C.UTF-8 LC_ALL=C.UTF-8
data=$HOME/.local/share/inkboathq/Inkboat
trace=$work/openat.log
strace -f -qq -e trace=openat,execve -o "$trace" "$prefix/bin/inkboat" >"$work/out.log" 2>&1 &
pid=$!

# The program is up once its libraries are in place and its main file exists.
ready() {
    for l in "${libs[@]}" Inkboat.sdb; do [ -s "$data/$l" ] || return 1; done
}
for _ in $(seq 1 600); do
    ready && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
if ! ready; then
    echo "the installed program did not set up its data folder"; ls -la "$data" 2>&1 || true
    tail -20 "$work/out.log"; exit 1
fi
for l in "${libs[@]}"; do
    cmp -s "$data/$l" "$prefix/share/inkboat/libraries/$l" || { echo "$l differs from the installed copy"; exit 1; }
done

# The signal goes to the program itself; strace then ends with the program's exit status.
kill -TERM "$(pgrep -P "$pid" -x inkboat)"
status=0
wait "$pid" || status=$?
pid=
if [ "$status" -ne 0 ]; then
    echo "exit status $status after SIGTERM"; tail -20 "$work/out.log"; exit 1
fi
if grep -E "\"($build|$source)/" "$trace" | grep -v ENOENT; then
    echo "the installed program read files of the build or source folder"; exit 1
fi
echo "installed tree: every file in place, libraries copied, exit 0 on SIGTERM"
