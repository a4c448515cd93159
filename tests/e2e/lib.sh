# Helpers for driving the built program through its window under Xvfb with xdotool; sourced by
# tests/e2e/walk.sh and scripts/screenshots. Every wait is on a window, a file, a row or the
# screen settling, never a fixed delay.

E2E_TIMEOUT=${E2E_TIMEOUT:-90}   # seconds any single wait may take on a loaded machine

e2e_fail() { echo "FAIL: $*" >&2; exit 1; }

# Starts a 1366×768 X server on a display number it picks itself (-displayfd: no race with other
# X servers starting at the same moment) and points DISPLAY at it; sets E2E_XVFB_PID.
e2e_xvfb() {
    local fifo
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    # -noreset: the server keeps its key map and takes connections while no client is left.
    Xvfb -displayfd 3 -screen 0 1366x768x24 -nolisten tcp -noreset 3>"$fifo" 2>/dev/null &
    E2E_XVFB_PID=$!
    local number
    read -r number <"$fifo" || e2e_fail "Xvfb did not start"
    rm -f "$fifo"
    export DISPLAY=":$number"
}

# e2e_until SECONDS CMD…: runs CMD until it succeeds; fails after SECONDS.
e2e_until() {
    local limit=$1; shift
    local end=$((SECONDS + limit))
    until "$@"; do
        [ $SECONDS -lt $end ] || return 1
        sleep 0.1
    done
}

# The environment of one author: HOME and the XDG folders inside $1.
e2e_profile_env() {
    local home=$1
    mkdir -p "$home"
    echo "HOME=$home XDG_DATA_HOME=$home/.local/share XDG_CONFIG_HOME=$home/.config XDG_CACHE_HOME=$home/.cache"
}

e2e_data_dir() { echo "$1/.local/share/inkboathq/Inkboat"; }

# e2e_start HOME: starts the program for that profile in the background; sets E2E_PID.
e2e_start() {
    local home=$1
    # A service on the default port (anyone's "make service") would bring its upgrades and news
    # into the walk: unless E2E_SERVICE_URL names one, the program finds none.
    # shellcheck disable=SC2046
    env $(e2e_profile_env "$home") LANG=C.UTF-8 QT_QPA_PLATFORM=xcb \
        INKBOAT_SERVICE_URL="${E2E_SERVICE_URL:-http://127.0.0.1:1/}" "$E2E_PROGRAM" >>"$home/program.log" 2>&1 &
    E2E_PID=$!
    E2E_HOME=$home
}

# The visible top-level window of process $1 (the frame), once it is mapped.
e2e_window_of() {
    local pid=$1 w
    for w in $(xdotool search --onlyvisible --pid "$pid" 2>/dev/null); do
        # The frame is the large one; tool tips and bubbles are small.
        local geo
        geo=$(xdotool getwindowgeometry "$w" 2>/dev/null | awk '/Geometry/ {print $2}')
        local width=${geo%x*}
        if [ -n "$width" ] && [ "$width" -ge 400 ]; then
            echo "$w"
            return 0
        fi
    done
    return 1
}

# e2e_wait_window PID: waits for the program's window; sets E2E_WIN.
e2e_wait_window() {
    local pid=$1
    e2e_until "$E2E_TIMEOUT" e2e_window_of "$pid" >/dev/null ||
        e2e_fail "no window of process $pid; its output ends: $(tail -n 5 "$E2E_HOME/program.log" 2>/dev/null)"
    E2E_WIN=$(e2e_window_of "$pid")
}

# Windows of process $1 that are visible now, one id a line. Notices that take no input (the
# reminders' toasts, which come and go by themselves) are left out: taken for the window a step
# waits for, they sent its keys to the book tree.
e2e_windows() {
    local w
    for w in $(xdotool search --onlyvisible --pid "$1" 2>/dev/null); do
        xprop -id "$w" WM_HINTS 2>/dev/null | grep -q 'input focus: False' || echo "$w"
    done | sort
}

# e2e_wait_new_window PID BEFORE: waits for a visible window of PID not in BEFORE; sets E2E_DLG.
e2e_wait_new_window() {
    local pid=$1 before=$2
    _e2e_new() {
        local w
        for w in $(e2e_windows "$pid"); do
            if ! grep -qx "$w" <<<"$before"; then
                E2E_DLG=$w
                return 0
            fi
        done
        return 1
    }
    e2e_until "$E2E_TIMEOUT" _e2e_new || e2e_fail "no new window of process $pid"
}

# e2e_wait_window_gone PID WINDOW
e2e_wait_window_gone() {
    local pid=$1 win=$2
    _e2e_gone() { ! e2e_windows "$pid" | grep -qx "$win"; }
    e2e_until "$E2E_TIMEOUT" _e2e_gone || e2e_fail "window $win of process $pid did not close"
}

# The whole screen as PNG.
e2e_shot() { import -silent -window root "$1"; }

# Waits until two pictures of the screen taken one after the other are the same: painting done.
e2e_wait_settled() {
    local tmp=${TMPDIR:-/tmp}/e2e-settle.$$
    _e2e_same() {
        import -silent -window root "$tmp.a.rgb" 2>/dev/null
        import -silent -window root "$tmp.b.rgb" 2>/dev/null
        cmp -s "$tmp.a.rgb" "$tmp.b.rgb"
    }
    e2e_until "$E2E_TIMEOUT" _e2e_same || e2e_fail "the screen never settled"
    rm -f "$tmp.a.rgb" "$tmp.b.rgb"
}

# e2e_stop PID: SIGTERM (the program's orderly quit) and its exit code checked.
e2e_stop() {
    local pid=$1 rc=0
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" || rc=$?
    [ "$rc" -eq 0 ] || e2e_fail "the program ended with $rc"
}

# e2e_sql HOME SQL: a query on the main file (only while the program is not running: it holds
# its files exclusively).
e2e_sql() { sqlite3 -batch -noheader "$(e2e_data_dir "$1")/Inkboat.sdb" <<<"$2"; }

# Number of distinct colours in a region of a PNG: WxH+X+Y.
e2e_colours() { convert "$1" -crop "$2" +repage -format '%k' info:; }
