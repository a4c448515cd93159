#!/usr/bin/env bash
# Installs the built package on a fresh Debian 12 the way an author would (dpkg -i, then
# apt-get -f install), starts the program with an empty home until it has laid out its data
# folder, quits it with SIGTERM, and removes the package again. Needs root and Debian's mirror;
# not part of `make test`.
# usage: packaging/tests/clean-install.sh build/inkboat_<version>_amd64.deb [screenshot.png]
set -euo pipefail
deb=$(realpath "${1:?usage: clean-install.sh PACKAGE.deb [screenshot.png]}")
shot=${2:+$(realpath -m "$2")}
[ "$(id -u)" -eq 0 ] || { echo "clean-install: run as root (debootstrap and chroot)"; exit 2; }
command -v debootstrap >/dev/null || apt-get install -y -q debootstrap >/dev/null
root=$(mktemp -d /tmp/inkboat-clean-XXXXXX)
display=""
cleanup() {
    [ -n "$display" ] && kill "$xvfb" 2>/dev/null
    umount "$root/tmp/.X11-unix" 2>/dev/null || true
    umount "$root/proc" 2>/dev/null || true
    rm -rf --one-file-system "$root"
}
trap cleanup EXIT

echo "== debootstrap bookworm (minbase) into $root"
debootstrap --variant=minbase bookworm "$root" http://deb.debian.org/debian >"$root.log" 2>&1 ||
    { tail -5 "$root.log"; exit 1; }
rm -f "$root.log"
mount --bind /proc "$root/proc"
cp /etc/resolv.conf "$root/etc/"
cp "$deb" "$root/root/inkboat.deb"
if [ -n "$shot" ]; then
    mkdir -p "$root/tmp/.X11-unix"
    for n in $(seq 60 90); do [ -e "/tmp/.X11-unix/X$n" ] || break; done
    Xvfb ":$n" -screen 0 1366x768x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb=$!
    display=":$n"
    mount --bind /tmp/.X11-unix "$root/tmp/.X11-unix"
fi

cat >"$root/root/walk.sh" <<'EOF'
set -uo pipefail
export DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8
fail() { echo "FAIL: $*"; exit 1; }
apt-get update -q >/dev/null || fail "apt-get update"
dpkg -i /root/inkboat.deb >/dev/null 2>&1   # fails on the missing dependencies, as it does for authors
apt-get -f install -y -q >/root/apt.log 2>&1 || fail "apt-get -f install: $(tail -3 /root/apt.log)"
[ "$(dpkg-query -W -f='${Status}' inkboat)" = "install ok installed" ] || fail "inkboat not installed"
echo "installed: $(dpkg-query -W -f='${Version}' inkboat), $(wc -l </var/lib/dpkg/info/inkboat.list) paths"
fc-list :lang=zh family | grep -q . || fail "no font with Chinese glyphs"
echo "Chinese font: $(fc-list :lang=zh family | head -n 1)"
exe=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' /usr/share/applications/inkboat.desktop)
[ "$(command -v "$exe")" = /usr/bin/inkboat ] || fail "the desktop file's command is not on the PATH"
export HOME=/tmp/author
data=$HOME/.local/share/inkboathq/Inkboat
mkdir -p "$HOME"
if [ -n "${DISPLAY:-}" ]; then export QT_QPA_PLATFORM=xcb; else export QT_QPA_PLATFORM=offscreen; fi
"$exe" >/root/run.log 2>&1 &
pid=$!
for _ in $(seq 600); do
    [ -s "$data/Inkboat_Article.sdb" ] && [ -s "$data/Inkboat_Material.sdb" ] &&
        [ -s "$data/Inkboat_Sentence.sdb" ] && [ -s "$data/Inkboat.sdb" ] && break
    kill -0 "$pid" 2>/dev/null || fail "the program ended: $(tail -3 /root/run.log)"
    sleep 0.1
done
[ -s "$data/Inkboat_Article.sdb" ] || fail "no libraries in $data"
echo "started: data folder laid out with the three libraries"
[ -n "${DISPLAY:-}" ] && touch /root/ready && while [ ! -e /root/shot-taken ]; do sleep 0.2; done
kill -TERM "$pid"
wait "$pid"
rc=$?
[ "$rc" -eq 0 ] || fail "exit status $rc after SIGTERM"
echo "quit: exit status 0"
list=$(cat /var/lib/dpkg/info/inkboat.list)
dpkg -r inkboat >/dev/null || fail "dpkg -r"
left=0
for f in $list; do [ -f "$f" ] && { echo "left behind: $f"; left=$((left + 1)); }; done
[ "$left" -eq 0 ] || fail "$left files left after dpkg -r"
[ -s "$data/Inkboat.sdb" ] || fail "the author's data went with the package"
echo "removed: no installed file left, the author's data folder kept"
EOF
if [ -n "$shot" ]; then
    chroot "$root" env DISPLAY="$display" bash /root/walk.sh &
    walk=$!
    for _ in $(seq 1200); do [ -e "$root/root/ready" ] && break; kill -0 "$walk" 2>/dev/null || break; sleep 0.5; done
    if [ -e "$root/root/ready" ]; then
        sleep 3 # first paint and the tour's bubble
        DISPLAY=$display import -window root "$shot"
        echo "screenshot: $shot"
    fi
    touch "$root/root/shot-taken"
    wait "$walk"
else
    chroot "$root" bash /root/walk.sh
fi
