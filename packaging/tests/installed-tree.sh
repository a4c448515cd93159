#!/usr/bin/env bash
# Installs the build into a throw-away prefix and starts the installed program with a clean home:
# it must copy the three libraries from <prefix>/share/inkboat/libraries/ into the new data folder,
# read nothing from the build or source folders, and end with status 0 on SIGTERM.
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

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/inkboat lib/inkboat/sqldrivers/libqsqlitecipher.so share/inkboat/server/router.php \
         share/applications/inkboat.desktop share/icons/hicolor/scalable/apps/inkboat.svg \
         share/inkboat/guide/guide.md share/inkboat/guide/images/first-start.png; do
    [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done

export HOME=$work/home
mkdir -p "$HOME"
unset XDG_DATA_HOME XDG_CONFIG_HOME XDG_CACHE_HOME QT_PLUGIN_PATH LD_LIBRARY_PATH
export QT_QPA_PLATFORM=offscreen LANG=C.UTF-8 LC_ALL=C.UTF-8
data=$HOME/.local/share/inkboathq/Inkboat
libs=(Inkboat_Material.sdb Inkboat_Sentence.sdb Inkboat_Article.sdb)

trace=$work/openat.log
strace -f -qq -e trace=openat,execve -o "$trace" "$prefix/bin/inkboat" >"$work/out.log" 2>&1 &
pid=$!

# The program is up once its libraries are in place and its main file exists.
ready() {
    for l in "${libs[@]}"; do [ -s "$data/$l" ] || return 1; done
    [ -s "$data/Inkboat.sdb" ]
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
app=$(pgrep -P "$pid" -x inkboat)
kill -TERM "$app"
status=0
wait "$pid" || status=$?
pid=
if [ "$status" -ne 0 ]; then
    echo "exit status $status after SIGTERM"; tail -20 "$work/out.log"; exit 1
fi
if grep -E "\"($build|$source)/" "$trace" | grep -v ENOENT; then
    echo "the installed program read files of the build or source folder"; exit 1
fi
echo "installed tree: libraries copied, exit 0 on SIGTERM"
